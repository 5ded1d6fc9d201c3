#include "finder/findDelayCommand.h"

#include <cmath>
#include <cstdio>
#include <ostream>

#include "finder/wavReader.h"

namespace una::finder {
namespace {

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

std::string plain(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string twoDecimals(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

}  // namespace

std::string describeProblem(const DelayEstimate& e, const SearchRange& range) {
    switch (e.problem) {
        case Problem::None: break;
        case Problem::TooShort:
            return "the recordings overlap by less than " + plain(kMinOverlapSeconds) + " s";
        case Problem::Silent: return "a recording is silent";
        case Problem::Clipped: return "a recording is clipped (too loud to compare)";
        case Problem::BadInput: return "a recording holds no usable audio";
        case Problem::BeyondRange:
            if (e.lagSeconds < range.minLagSeconds)
                return "the TV is " + (e.lagSeconds < 0 ? seconds(-e.lagSeconds) + " s ahead of" : seconds(e.lagSeconds) + " s behind") +
                       " the radio, less than a delay can make up";
            return "the TV is " + seconds(e.lagSeconds) + " s behind the radio, more than the " +
                   plain(range.maxLagSeconds) + " s a delay can hold";
        case Problem::NotClear: break;
    }
    if (!e.confident)
        return "the two recordings share no sound clear enough (best guess " + seconds(e.lagSeconds) +
               " s, confidence " + twoDecimals(e.confidence) + ")";
    return {};
}

int runFindDelay(std::string_view radioPath, std::string_view tvPath, std::ostream& out,
                 std::ostream& err) {
    WavAudio radio, tv;
    std::string error;
    if (!readWavMono(radioPath, kFindDelayMaxSeconds, radio, error) ||
        !readWavMono(tvPath, kFindDelayMaxSeconds, tv, error)) {
        err << error << '\n';
        return kFindDelayUnreadable;
    }
    // Which side is silent or clipped is worth naming.
    for (const auto& [audio, path] : {std::pair{&radio, radioPath}, std::pair{&tv, tvPath}}) {
        const Problem p = checkSignal({audio->samples, audio->sampleRate});
        if (p == Problem::Silent || p == Problem::Clipped || p == Problem::TooShort) {
            out << "no lag found: " << path
                << (p == Problem::Silent    ? " is silent"
                    : p == Problem::Clipped ? " is clipped (too loud to compare)"
                                            : " is shorter than " + plain(kMinOverlapSeconds) + " s")
                << '\n';
            return kFindDelayNotConfident;
        }
    }
    const DelayEstimate e = findDelay({radio.samples, radio.sampleRate}, {tv.samples, tv.sampleRate});
    if (e.confident) {
        out << "lag " << seconds(e.lagSeconds) << " s, confidence " << twoDecimals(e.confidence) << '\n';
        return kFindDelayFound;
    }
    out << "no lag found: " << describeProblem(e) << '\n';
    return kFindDelayNotConfident;
}

}  // namespace una::finder

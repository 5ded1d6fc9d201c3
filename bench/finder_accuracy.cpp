// How often the delay finder finds the right lag, on generated pairs measured the way the
// program measures live: 30 s of the TV against the radio's last 190 s, the whole 0.1-160 s
// range searched. Every fifth pair shows two different matches and must not be confident.
//   bench_finder_accuracy [--pairs N] [--window SECONDS] [--first INDEX] [--cache FOLDER]
// --cache keeps the pairs made there, for tuning runs that measure the same pairs again.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "finder/delayFinder.h"
#include "tools/stadiumPairs.h"

namespace {
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
const char* problemName(una::finder::Problem p) {
    using una::finder::Problem;
    switch (p) {
        case Problem::None: return "none";
        case Problem::TooShort: return "too-short";
        case Problem::Silent: return "silent";
        case Problem::Clipped: return "clipped";
        case Problem::NotClear: return "not-clear";
        case Problem::BeyondRange: return "beyond-range";
        case Problem::BadInput: return "bad-input";
    }
    return "?";
}

bool load(const std::string& name, una::pairs::Pair& p) {
    std::ifstream f(name, std::ios::binary);
    const auto side = [&](una::pairs::Side& s) {
        uint64_t n = 0;
        f.read(reinterpret_cast<char*>(&s.sampleRate), sizeof s.sampleRate);
        f.read(reinterpret_cast<char*>(&n), sizeof n);
        if (!f || n > (1u << 28)) return false;
        s.samples.resize(n);
        f.read(reinterpret_cast<char*>(s.samples.data()), static_cast<std::streamsize>(n * sizeof(float)));
        return static_cast<bool>(f);
    };
    f.read(reinterpret_cast<char*>(&p.trueLagSeconds), sizeof p.trueLagSeconds);
    return f && side(p.radio) && side(p.tv);
}

void store(const std::string& name, const una::pairs::Pair& p) {
    std::ofstream f(name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(&p.trueLagSeconds), sizeof p.trueLagSeconds);
    for (const una::pairs::Side* s : {&p.radio, &p.tv}) {
        const uint64_t n = s->samples.size();
        f.write(reinterpret_cast<const char*>(&s->sampleRate), sizeof s->sampleRate);
        f.write(reinterpret_cast<const char*>(&n), sizeof n);
        f.write(reinterpret_cast<const char*>(s->samples.data()), static_cast<std::streamsize>(n * sizeof(float)));
    }
}
}  // namespace

int main(int argc, char** argv) {
    int pairs = 40, first = 0;
    double window = 30;
    std::string cache;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--pairs")) pairs = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--window")) window = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--first")) first = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--cache")) cache = argv[i + 1];
    }
    using namespace una;
    std::printf("speech: %s\n", pairs::haveSpeech() ? "espeak-ng" : "stand-in babble");
    int shared = 0, right = 0, confidentRight = 0, confidentWrong = 0, strangersConfident = 0;
    double worstStranger = 0, weakestRight = 1, cpu = 0;
    for (int i = first; i < first + pairs; ++i) {
        const pairs::PairSpec recipe = pairs::variedSpec(static_cast<uint64_t>(i), window + 160 + 2);
        pairs::Pair p;
        const std::string cached = cache.empty() ? "" : cache + "/pair-" + std::to_string(i) + "-" +
                                                            std::to_string(static_cast<int>(window)) + ".f32";
        if (cached.empty() || !load(cached, p)) {
            p = pairs::makePair(recipe);
            if (!cached.empty()) store(cached, p);
        }
        // The TV's last `window` seconds; the radio's whole history, ending with it.
        const auto tvKeep = static_cast<size_t>(window * p.tv.sampleRate);
        const std::span<const float> tv(p.tv.samples.data() + p.tv.samples.size() - tvKeep, tvKeep);
        const double tvStart = static_cast<double>(p.tv.samples.size() - tvKeep) / p.tv.sampleRate;
        finder::SearchRange range;
        range.ownPlaybackLagSeconds = recipe.ownPlaybackLagSeconds;
        const double before = cpuSeconds();
        const finder::DelayEstimate e =
            finder::findDelay({p.radio.samples, p.radio.sampleRate}, {tv, p.tv.sampleRate, tvStart}, range);
        cpu += cpuSeconds() - before;
        // The TV clock's error moves the lag along the recording: the truth at the window's middle.
        const double truth = p.trueLagSeconds + recipe.tvClockPpm * 1e-6 * (recipe.seconds / 2 - tvStart - window / 2);
        const double errorMs = (e.lagSeconds - truth) * 1000;
        const bool near = recipe.shared && std::abs(errorMs) <= 20;
        if (recipe.shared) {
            ++shared;
            right += near && e.confident;
            if (near) weakestRight = std::min(weakestRight, e.confidence);
        } else {
            strangersConfident += e.confident;
            worstStranger = std::max(worstStranger, e.confidence);
        }
        confidentRight += e.confident && near;
        confidentWrong += e.confident && !near;
        std::printf("pair %3d %-6s lag %8.3f found %8.3f err %9.1f ms conf %.3f %-12s "
                    "radio %5d tv %5d codec %d lp %4.0f %+5.0f ppm%s%s\n",
                    i, recipe.shared ? "shared" : "apart", truth, e.lagSeconds,
                    recipe.shared ? errorMs : 0.0, e.confidence, problemName(e.problem), recipe.radioRate,
                    p.tv.sampleRate, static_cast<int>(recipe.tvCodec), recipe.tvLowPassHz, recipe.tvClockPpm,
                    recipe.room ? " room" : "", recipe.ownPlaybackLagSeconds ? " +own" : "");
        std::fflush(stdout);
    }
    std::printf("found within 20 ms and confident: %d of %d shared pairs (%.1f %%)\n", right, shared,
                shared ? 100.0 * right / shared : 0.0);
    std::printf("confident and wrong: %d; pairs apart confident: %d of %d\n", confidentWrong,
                strangersConfident, pairs - shared);
    std::printf("confidence: lowest of a right lag %.3f, highest of a pair apart %.3f, threshold %.2f\n",
                weakestRight, worstStranger, finder::kConfidenceThreshold);
    std::printf("CPU per measurement: %.3f s (from the sides' own rates)\n", cpu / pairs);
    return 0;
}

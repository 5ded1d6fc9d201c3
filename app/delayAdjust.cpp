#include "app/delayAdjust.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/delayValue.h"
#include "foundation/unaText.h"

namespace una::app {

double delayStepped(double seconds, int steps) {
    // Whole tenths, so 0.1 + 0.1 + 0.1 lands on 0.3 and not next to it.
    const double tenths = std::round(delayEditReadBack(seconds) * 10.0) + steps;
    return delayExitRule(tenths / 10.0).seconds;
}

uint32_t delayStepMs(uint32_t ms, int steps) {
    const int64_t minMs = 100, maxMs = 160'000;
    return static_cast<uint32_t>(std::clamp<int64_t>(static_cast<int64_t>(ms) + 100LL * steps, minMs, maxMs));
}

std::string delayHeardSeconds(const DelayLine::Figures& figures) {
    if (!figures.measured)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(figures.delayNs) / 1e9);
    return text;
}

namespace {

std::optional<double> number(std::string_view text) {
    std::string digits(trimView(text));
    for (char& c : digits)
        if (c == ',')
            c = '.';
    double value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<DelayCommand> parseDelayCommand(std::string_view line) {
    line = trimView(line);
    if (line.empty())
        return std::nullopt;
    if (line == "+")
        return DelayCommand{DelayCommand::Kind::Step, 1, 0, {}};
    if (line == "-")
        return DelayCommand{DelayCommand::Kind::Step, -1, 0, {}};
    if (line == "start")
        return DelayCommand{DelayCommand::Kind::Start, 0, 0, {}};
    if (line == "stop")
        return DelayCommand{DelayCommand::Kind::Stop, 0, 0, {}};
    if (line == "radio")
        return DelayCommand{DelayCommand::Kind::TapRadio, 0, 0, {}};
    if (line == "tv")
        return DelayCommand{DelayCommand::Kind::TapTv, 0, 0, {}};
    if (line == "undo")
        return DelayCommand{DelayCommand::Kind::Undo, 0, 0, {}};
    if (line == "follow on")
        return DelayCommand{DelayCommand::Kind::FollowOn, 0, 0, {}};
    if (line == "follow off")
        return DelayCommand{DelayCommand::Kind::FollowOff, 0, 0, {}};
    constexpr std::string_view kPreset = "preset ";
    if (line.starts_with(kPreset) && !trimView(line.substr(kPreset.size())).empty())
        return DelayCommand{DelayCommand::Kind::Preset, 0, 0,
                            std::string(trimView(line.substr(kPreset.size())))};
    constexpr std::string_view kWord = "delay";
    if (line.starts_with(kWord)) {
        if (const auto seconds = number(line.substr(kWord.size())))
            return DelayCommand{DelayCommand::Kind::Set, 0, *seconds, {}};
    }
    constexpr std::string_view kStep = "step";
    if (line.starts_with(kStep)) {
        const std::string_view rest = trimView(line.substr(kStep.size()));
        const bool signed_ = rest.starts_with('+') || rest.starts_with('-');
        const auto seconds = signed_ ? number(rest.substr(1)) : std::nullopt;
        if (seconds && *seconds >= 0) {
            // Further than the whole range is the whole range: no step can overflow.
            const double tenths = std::min(std::round(*seconds * 10.0), double(kMaxDelaySteps));
            const int steps = static_cast<int>(tenths);
            return DelayCommand{DelayCommand::Kind::Step, rest.front() == '-' ? -steps : steps, 0,
                                {}};
        }
    }
    return DelayCommand{DelayCommand::Kind::Bad, 0, 0, std::string(line.substr(0, 256))};
}

namespace {

std::string_view keyWord(char key) {
    return key == 'r' ? "radio" : key == 't' ? "tv" : "undo";
}

}  // namespace

std::vector<DelayCommand> DelayCommandReader::feed(std::string_view bytes) {
    std::vector<DelayCommand> commands;
    for (char c : bytes) {
        if (keyTaken_) {
            // The rest of "radio", "tv" or "undo" typed out after its key acted is the same
            // press; anything else starts afresh.
            const std::string typed = keyTaken_ + line_ + c;
            if (keyWord(keyTaken_).starts_with(typed)) {
                line_ += c;
                continue;
            }
            keyTaken_ = 0;
            line_.clear();
        }
        if ((c == '+' || c == '-') && trimView(line_).empty()) {
            line_.clear();
            commands.push_back({DelayCommand::Kind::Step, c == '+' ? 1 : -1, 0, {}});
            continue;
        }
        if (singleKeys_ && (c == 'r' || c == 't' || c == 'u') && trimView(line_).empty()) {
            line_.clear();
            keyTaken_ = c;
            commands.push_back({c == 'r'   ? DelayCommand::Kind::TapRadio
                                : c == 't' ? DelayCommand::Kind::TapTv
                                           : DelayCommand::Kind::Undo,
                                0, 0, {}});
            continue;
        }
        if (c == '\n' || c == '\r') {
            if (auto command = parseDelayCommand(line_))
                commands.push_back(std::move(*command));
            line_.clear();
            continue;
        }
        // A line nobody ends is not kept for ever.
        if (line_.size() < 256)
            line_ += c;
    }
    return commands;
}

}  // namespace una::app

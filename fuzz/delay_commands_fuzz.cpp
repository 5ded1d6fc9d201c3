// Arbitrary bytes on the headless program's standard input, in arbitrary pieces, read as lines
// or as a terminal's single keys: every command that comes out is a known kind, steps stay
// within the delay's range, and a delay set from it (through the exit rule, or by taps at
// arbitrary moments) stays within 0.1 and 160 s.
// fuzz-sources: app/delayAdjust.cpp app/delayValue.cpp app/delayTaps.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/delayAdjust.h"
#include "app/delayTaps.h"
#include "app/delayValue.h"

using namespace una::app;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "delay command invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    DelayCommandReader reader(input.ConsumeBool());
    DelayTaps taps;
    double delay = 5.0;
    while (input.remaining_bytes() > 0) {
        const int64_t atNs = input.ConsumeIntegral<int64_t>();
        const std::string piece = input.ConsumeRandomLengthString(64);
        for (const DelayCommand& command : reader.feed(piece)) {
            switch (command.kind) {
                case DelayCommand::Kind::Step:
                    check(command.steps >= -kMaxDelaySteps && command.steps <= kMaxDelaySteps,
                          "a step stays within the range");
                    delay = delayStepped(delay, command.steps);
                    break;
                case DelayCommand::Kind::Set:
                    delay = delayExitRule(command.seconds).seconds;
                    break;
                case DelayCommand::Kind::Start:
                case DelayCommand::Kind::Stop:
                case DelayCommand::Kind::FollowOn:
                case DelayCommand::Kind::FollowOff:
                    check(command.receivedNs == 0, "only the server stamps arrivals");
                    break;
                case DelayCommand::Kind::Bad:
                    check(command.text.size() <= 256, "a bad line is cut");
                    break;
                case DelayCommand::Kind::Preset:
                    check(!command.text.empty() && command.text.size() <= 256, "a preset has a name");
                    break;
                case DelayCommand::Kind::TapRadio:
                case DelayCommand::Kind::TapTv:
                    if (const auto change = taps.press(command.kind == DelayCommand::Kind::TapTv
                                                           ? TapSide::Tv
                                                           : TapSide::Radio,
                                                       atNs, delayMilliseconds(delay)))
                        delay = change->toMs / 1000.0;
                    break;
                case DelayCommand::Kind::Undo:
                    if (const auto back = taps.undo())
                        delay = *back / 1000.0;
                    break;
            }
            check(delay >= kMinDelaySeconds && delay <= kMaxDelaySeconds, "the bounds hold");
        }
    }
    return 0;
}

#pragma once
// Changing the delay while the chain runs: steps of a tenth of a second within the delay's
// bounds, the figure of the delay heard, and the commands the headless program reads on its
// standard input ("+" and "-" keys, lines such as "delay 5.3"). Pure logic, safe from any
// thread; the window's buttons and the headless loop both use it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/delayLine.h"

namespace una::app {

inline constexpr double kDelayStepSeconds = 0.1;

// The delay `steps` tenths of a second away from `seconds`, as the edit keeps it (one decimal)
// and within 0.1 to 160 s.
double delayStepped(double seconds, int steps);

// The delay `steps` tenths of a second away from a delay kept to the millisecond (a tapped,
// found or preset one keeps its milliseconds), within 0.1 to 160 s.
uint32_t delayStepMs(uint32_t ms, int steps);

// The delay heard in seconds with three decimals ("5.000"), or "-" while it is not measured.
std::string delayHeardSeconds(const DelayLine::Figures& figures);

// One thing asked on standard input or from the phone's page.
struct DelayCommand {
    enum class Kind {
        Step,
        Set,
        Bad,
        Start,
        Stop,
        TapRadio,  // the event is heard on the radio now
        TapTv,     // the event is seen on the TV now
        Undo,      // take back the last change made by taps
        Preset,    // the delay kept under the name in text
        FollowOn,  // while listening to the TV, follow it as it moves
        FollowOff,
    };
    Kind kind = Kind::Bad;
    int steps = 0;         // Step: tenths, -1600 to 1600 (a key gives +1 or -1)
    double seconds = 0;    // Set: as typed (the exit rule is applied by whoever sets it)
    std::string text;      // Bad: what was not understood; Preset: the name
    // When it arrived (steady clock), for a tap that waits before it is handled; 0: now.
    int64_t receivedNs = 0;
};

inline constexpr int kMaxDelaySteps = 1600;

// One line of the vocabulary: "+", "-", "delay 5.3" (a comma works too), "step +1" and
// "step -0.1" (that many seconds longer or shorter, in whole tenths), "start", "stop",
// "radio" and "tv" (the two taps), "undo", "preset Cable", "follow on", "follow off".
// Nothing but blanks gives nothing; anything else a Bad command carrying the line (cut to
// 256 bytes).
std::optional<DelayCommand> parseDelayCommand(std::string_view line);

// Turns the bytes arriving on standard input into commands: a "+" or "-" at the start of a
// line acts at once (a terminal in raw mode sends single keys), other lines act when they
// end: "delay 5.3" (a comma works too), "+", "-", "radio", "tv", "undo", "preset Cable".
// With single keys (a terminal) "r", "t" and "u" at the start of a line act at once too, and
// the rest of "radio" or "tv" typed after them is taken as the same press. Empty lines are
// ignored.
class DelayCommandReader {
  public:
    explicit DelayCommandReader(bool singleKeys = false) : singleKeys_(singleKeys) {}
    void setSingleKeys(bool on) { singleKeys_ = on; }
    std::vector<DelayCommand> feed(std::string_view bytes);

  private:
    std::string line_;
    bool singleKeys_ = false;
    char keyTaken_ = 0;  // the single key that began the current line, already acted on
};

}  // namespace una::app

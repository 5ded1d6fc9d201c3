#pragma once
// Listening to the TV to find the delay and keep it right: the radio as recorded (before the
// delay) and a second input that hears the TV are compared by the delay finder on a thread of
// its own; a confident lag asked for becomes the delay, to the millisecond, through the live
// adjustment. Below the finder's threshold, or with a silent, clipped or lost input, it says
// why and changes nothing. While it listens the finder measures every 20 s of TV audio;
// following moves the delay when the finder's FollowPolicy says so (two confident
// measurements in a row agreeing that the TV moved by more than 40 ms).
//
// Threading: every operation belongs to the owner's thread, which also calls poll() often
// (the window's meter timer, the headless loop). The recorders' workers only copy their
// blocks in; the measuring thread reads them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/delayFinder.h"
#include "finder/followPolicy.h"

namespace una::app {

class DelayChain;

// The finder measures this often (seconds of TV audio) while it listens.
inline constexpr double kMeasureEverySeconds = 20.0;
// TV sound in each measurement.
inline constexpr double kTvWindowSeconds = 30.0;

struct SyncMeasurement {
    finder::DelayEstimate estimate;
    int64_t atNs = 0;         // steady clock, when it was taken
    int64_t wallSeconds = 0;  // time of day, for the user
    bool applied = false;     // it set the delay
};

class DelaySync {
  public:
    explicit DelaySync(DelayChain& chain);
    ~DelaySync();
    DelaySync(const DelaySync&) = delete;
    DelaySync& operator=(const DelaySync&) = delete;

    // Starts listening on device `tvDeviceId` in the radio's recording format. Needs the
    // chain holding a delay (delaying or running). False, nothing listening, with the
    // sentence in `said` (language of the code).
    bool start(int32_t tvDeviceId, std::string_view tvName, std::string_view languageCode,
               std::string& said);
    // Stops listening; the delay stays as it is. Safe when not listening.
    void stop();
    bool listening() const;

    void setFollow(bool on);
    bool follow() const { return follow_; }
    // A measurement as soon as a full window of the TV is there; unsure answers are followed
    // by the next ones until one is sure enough to set the delay (starting to listen asks
    // for one too).
    void measureNow();

    // Sets the delay to the millisecond and gives back the one set (ms).
    using Apply = std::function<uint32_t(double seconds)>;
    // Takes what the finder found, acts on it and returns the sentences to tell the user. Stops
    // listening (and says so) when the TV input went away or the chain stopped.
    std::vector<std::string> poll(int64_t nowNs, std::string_view languageCode, const Apply& apply);

    const std::optional<SyncMeasurement>& last() const { return last_; }
    // "12.345 s, confidence 0.87, at 19:02:11" in the language of the code; the nothing-yet
    // sentence before the first.
    std::string lastText(std::string_view languageCode) const;

    // The sentence for an estimate that is not acted on; empty for a confident one.
    static std::string problemText(const finder::DelayEstimate& estimate,
                                   std::string_view languageCode);

  private:
    class Listener;
    void decide(const finder::DelayEstimate& estimate, int64_t nowNs, std::string_view code,
                const Apply& apply, std::vector<std::string>& said);

    DelayChain& chain_;
    std::unique_ptr<Listener> listener_;
    std::string tvName_;
    bool follow_ = false;
    finder::FollowPolicy policy_;
    uint32_t appliedMs_ = 0;  // the delay as this object last saw or set it
    std::optional<SyncMeasurement> last_;
    // A request of the user's (a start, "measure now") is open until a confident answer,
    // which is acted on at once, without waiting for a second.
    bool seeking_ = false;
};

}  // namespace una::app

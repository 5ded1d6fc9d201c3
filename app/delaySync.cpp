#include "app/delaySync.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "app/delayChain.h"
#include "app/delayValue.h"
#include "app/syncCapture.h"
#include "app/texts.h"
#include "finder/followPolicy.h"
#include "finder/liveDelayFinder.h"

namespace una::app {

namespace {

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

// The measuring side: the finder's live driver, fed the radio by the chain's tap and the TV by
// its own recorder, both placed on the monotonic clock; its answers wait here for poll().
class DelaySync::Listener {
  public:
    explicit Listener(const unaPcmFormat& radioFormat)
        : radioFormat_(radioFormat),
          radioClock_(radioFormat),
          finder_(
              static_cast<int>(radioFormat.samplesPerSec),
              static_cast<int>(radioFormat.samplesPerSec),
              [this](const finder::DelayEstimate& estimate, double) {
                  std::lock_guard lock(m_);
                  results_.push_back(estimate);
              },
              settings()) {}
    ~Listener() { tv_.close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool openTv(int32_t deviceId, std::string& error) {
        return tv_.open(
            deviceId, radioFormat_,
            [this](std::span<const float> mono, int, int64_t captureNs) {
                finder_.feedTv(mono, static_cast<double>(captureNs) / 1e9);
            },
            error);
    }
    bool tvLost() const { return tv_.isLost() || !tv_.isOpen(); }

    // On the radio recorder's worker.
    void radioChunk(std::span<const uint8_t> pcm, uint64_t firstFrame,
                    const platform::StreamTiming& reading) {
        finder_.feedRadioPcm(pcm, static_cast<int>(radioFormat_.bitsPerSample),
                             static_cast<int>(radioFormat_.channels),
                             static_cast<double>(radioClock_.captureNs(firstFrame, reading)) / 1e9);
    }

    void request() { finder_.requestMeasurement(); }
    void confirmSoon() { finder_.confirmSoon(); }
    void setOwnPlaybackLag(std::optional<double> seconds) { finder_.setOwnPlaybackLag(seconds); }

    std::vector<finder::DelayEstimate> takeResults() {
        std::lock_guard lock(m_);
        return std::exchange(results_, {});
    }

  private:
    static finder::LiveFinderSettings settings() {
        finder::LiveFinderSettings s;
        s.windowSeconds = kTvWindowSeconds;
        s.intervalSeconds = kMeasureEverySeconds;
        s.range.minLagSeconds = kMinDelaySeconds;
        s.range.maxLagSeconds = kMaxDelaySeconds;
        return s;
    }

    const unaPcmFormat radioFormat_;
    MonoBlocks radioClock_;  // only its frame-to-time rule
    std::mutex m_;
    std::vector<finder::DelayEstimate> results_;  // under m_
    // Declared last of what the callbacks use, so it stops before they go; the TV recorder
    // feeding it is closed first of all.
    finder::LiveDelayFinder finder_;
    TvInput tv_;
};

DelaySync::DelaySync(DelayChain& chain) : chain_(chain) {}

DelaySync::~DelaySync() {
    stop();
}

bool DelaySync::start(int32_t tvDeviceId, std::string_view tvName, std::string_view code,
                      std::string& said) {
    stop();
    const ChainState state = chain_.state();
    if (state != ChainState::Delaying && state != ChainState::Running) {
        said = msg(Msg::SyncNeedsChain, code);
        return false;
    }
    auto listener = std::make_unique<Listener>(chain_.inFormat());
    std::string error;
    // In the radio's format, so the two sides run at one rate.
    if (!listener->openTv(tvDeviceId, error)) {
        said = msg(
            Msg::SyncRateRefused, code,
            {std::to_string(chain_.inFormat().samplesPerSec), error.empty() ? "" : ": " + error});
        return false;
    }
    listener_ = std::move(listener);
    chain_.setRadioTap([listener = listener_.get()](std::span<const uint8_t> pcm, uint64_t first,
                                                    const platform::StreamTiming& reading) {
        listener->radioChunk(pcm, first, reading);
    });
    tvName_ = std::string(tvName);
    policy_.reset();
    measureNow();
    said = msg(Msg::SyncListening, code, {tvName_});
    return true;
}

void DelaySync::stop() {
    if (!listener_)
        return;
    // No radio block reaches the listener once the tap is gone.
    chain_.setRadioTap(nullptr);
    listener_.reset();
    seeking_ = false;
}

bool DelaySync::listening() const {
    return listener_ != nullptr;
}

void DelaySync::setFollow(bool on) {
    follow_ = on;
    policy_.reset();
}

void DelaySync::measureNow() {
    if (!listener_)
        return;
    seeking_ = true;
    listener_->request();
}

std::vector<std::string> DelaySync::poll(int64_t nowNs, std::string_view code, const Apply& apply) {
    std::vector<std::string> said;
    if (!listener_)
        return said;
    const ChainState state = chain_.state();
    if (state != ChainState::Delaying && state != ChainState::Running) {
        stop();
        return said;
    }
    if (listener_->tvLost()) {
        stop();
        said.push_back(msg(Msg::SyncTvLost, code, {tvName_}));
        return said;
    }
    // A delay changed otherwise (taps, steps, typed) is what following starts from again.
    if (chain_.delayMs() != appliedMs_) {
        policy_.reset();
        appliedMs_ = chain_.delayMs();
    }
    // The program's own playback reaches a microphone or a monitor too, this long after the
    // radio was recorded: the delay as heard.
    std::optional<double> own;
    if (state == ChainState::Running) {
        const DelayLine::Figures figures = chain_.delayFigures();
        own = figures.measured ? static_cast<double>(figures.delayNs) / 1e9
                               : chain_.delayMs() / 1000.0;
    }
    listener_->setOwnPlaybackLag(own);
    for (const finder::DelayEstimate& estimate : listener_->takeResults())
        decide(estimate, nowNs, code, apply, said);
    return said;
}

void DelaySync::decide(const finder::DelayEstimate& estimate, int64_t nowNs, std::string_view code,
                       const Apply& apply, std::vector<std::string>& said) {
    SyncMeasurement measured;
    measured.estimate = estimate;
    measured.atNs = nowNs;
    measured.wallSeconds = static_cast<int64_t>(std::time(nullptr));
    const bool asked = seeking_;
    // Following hears every answer; a wrong lock is worse than none, and the policy only moves
    // on two confident ones that agree.
    bool moveFollowing = false;
    double followedLag = 0;
    if (follow_) {
        if (const auto lag = policy_.onMeasurement(estimate, chain_.delayMs() / 1000.0)) {
            moveFollowing = true;
            followedLag = *lag;
        }
        // A move seen once is confirmed 10 s later, so a rebuffered stream is caught up soon.
        if (policy_.awaitingConfirmation())
            listener_->confirmSoon();
    }
    if (!estimate.confident) {
        last_ = measured;
        // Said when someone waits for an answer; following's are only shown: once in step,
        // the TV sits where the program's own playback does, which the finder sets aside.
        if (asked)
            said.push_back(problemText(estimate, code));
        return;
    }
    if (asked) {
        seeking_ = false;
        policy_.reset();
        appliedMs_ = apply(delayWithinBounds(estimate.lagSeconds));
        measured.applied = true;
        said.push_back(msg(Msg::SyncApplied, code,
                           {fixed(estimate.lagSeconds, 3), fixed(estimate.confidence, 2),
                            delaySetText(appliedMs_)}));
    } else if (moveFollowing) {
        appliedMs_ = apply(delayWithinBounds(followedLag));
        measured.applied = true;
        said.push_back(
            msg(Msg::SyncFollowMoved, code, {fixed(followedLag, 3), delaySetText(appliedMs_)}));
    }
    last_ = measured;
}

std::string DelaySync::problemText(const finder::DelayEstimate& estimate, std::string_view code) {
    using finder::Problem;
    switch (estimate.problem) {
        case Problem::None:
            return estimate.confident
                       ? std::string()
                       : msg(Msg::SyncNotClear, code, {fixed(estimate.confidence, 2)});
        case Problem::NotClear:
            return msg(Msg::SyncNotClear, code, {fixed(estimate.confidence, 2)});
        case Problem::TooShort:
            return msg(Msg::SyncTooShort, code);
        case Problem::Silent:
            return msg(Msg::SyncSilent, code);
        case Problem::Clipped:
            return msg(Msg::SyncClipped, code);
        case Problem::BeyondRange:
            return msg(Msg::SyncBeyondRange, code, {fixed(estimate.lagSeconds, 3)});
        case Problem::BadInput:
            return msg(Msg::SyncBadInput, code);
    }
    return msg(Msg::SyncBadInput, code);
}

std::string DelaySync::lastText(std::string_view code) const {
    if (!last_)
        return msg(Msg::SyncNothingYet, code);
    char clock[16] = "";
    const std::time_t when = static_cast<std::time_t>(last_->wallSeconds);
    std::tm local{};
    if (localtime_r(&when, &local))
        std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    return msg(Msg::SyncLast, code,
               {fixed(last_->estimate.lagSeconds, 3), fixed(last_->estimate.confidence, 2), clock});
}

}  // namespace una::app

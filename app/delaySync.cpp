#include "app/delaySync.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "app/delayChain.h"
#include "app/delayValue.h"
#include "app/syncCapture.h"
#include "app/texts.h"
#include "finder/resampler.h"

namespace una::app {

namespace {

// Radio kept for a measurement: the longest lag and the TV's window, and a little more.
constexpr double kRadioKeptSeconds = kMaxDelaySeconds + kTvWindowSeconds + 10.0;
// TV sound needed before a measurement is tried.
constexpr double kTvNeededSeconds = 15.0;
// Blocks waiting for the measuring thread beyond this many seconds are dropped.
constexpr double kPendingSeconds = 10.0;

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

// The measuring side: the recorders' workers queue their blocks; a thread of its own
// resamples them to the finder's rate, keeps the last minutes of each side placed on the
// monotonic clock, and measures when asked.
class DelaySync::Listener {
  public:
    explicit Listener(const unaPcmFormat& radioFormat) : radioBlocks_(radioFormat) {
        worker_ = std::thread([this] { run(); });
    }
    ~Listener() {
        tv_.close();
        {
            std::lock_guard lock(m_);
            stopping_ = true;
        }
        wake_.notify_all();
        worker_.join();
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool openTv(int32_t deviceId, const unaPcmFormat& format, std::string& error) {
        return tv_.open(
            deviceId, format,
            [this](std::span<const float> mono, int rate, int64_t captureNs) {
                queue(tvSide_, mono, rate, captureNs);
            },
            error);
    }
    bool tvLost() const { return tv_.isLost() || !tv_.isOpen(); }

    // On the recorder's worker.
    void radioChunk(std::span<const uint8_t> pcm, uint64_t firstFrame,
                    const platform::StreamTiming& reading) {
        queue(radioSide_, radioBlocks_.convert(pcm), radioBlocks_.rate(),
              radioBlocks_.captureNs(firstFrame, reading));
    }

    void request(std::optional<double> ownPlaybackLagSeconds) {
        {
            std::lock_guard lock(m_);
            requested_ = true;
            ownLag_ = ownPlaybackLagSeconds;
        }
        wake_.notify_all();
    }

    std::vector<finder::DelayEstimate> takeResults() {
        std::lock_guard lock(m_);
        return std::exchange(results_, {});
    }

  private:
    struct Block {
        std::vector<float> samples;
        int rate = 0;
        int64_t captureNs = 0;
    };
    // One input at the finder's rate. Worker only, but for `pending`, under m_.
    struct Side {
        std::vector<Block> pending;
        size_t pendingSamples = 0;
        std::unique_ptr<finder::Resampler> resampler;
        std::vector<float> kept;  // at kAnalysisRate
        int64_t keptStart = 0;    // output index of kept[0]
        int64_t inCount = 0;      // input samples so far
        int64_t anchorIn = 0;     // input index of the latest block's first sample
        int64_t anchorNs = 0;     // and when it was captured
        int rate = 0;

        // When output sample `n` was captured, from the latest block's capture time.
        int64_t timeOf(int64_t n) const {
            const double in = static_cast<double>(n) * rate / finder::kAnalysisRate;
            return anchorNs + static_cast<int64_t>(std::llround((in - anchorIn) * 1e9 / rate));
        }
    };

    void queue(Side& side, std::span<const float> mono, int rate, int64_t captureNs) {
        if (mono.empty() || rate <= 0)
            return;
        std::lock_guard lock(m_);
        if (side.pendingSamples > static_cast<size_t>(kPendingSeconds * rate))
            return;  // the measuring thread is far behind: this block is lost to it
        side.pending.push_back({std::vector<float>(mono.begin(), mono.end()), rate, captureNs});
        side.pendingSamples += mono.size();
    }

    void drain(Side& side, double keepSeconds) {
        std::vector<Block> blocks;
        {
            std::lock_guard lock(m_);
            blocks.swap(side.pending);
            side.pendingSamples = 0;
        }
        for (Block& block : blocks) {
            if (!side.resampler || block.rate != side.rate) {
                side = Side{};
                side.rate = block.rate;
                side.resampler =
                    std::make_unique<finder::Resampler>(block.rate, finder::kAnalysisRate);
            }
            side.anchorIn = side.inCount;
            side.anchorNs = block.captureNs;
            side.inCount += static_cast<int64_t>(block.samples.size());
            side.resampler->push(block.samples, side.kept);
        }
        const size_t keep = static_cast<size_t>(keepSeconds * finder::kAnalysisRate);
        // Cut in large steps, so the kept audio is not moved for every block.
        if (side.kept.size() > keep + keep / 4) {
            const size_t cut = side.kept.size() - keep;
            side.kept.erase(side.kept.begin(),
                            side.kept.begin() + static_cast<std::ptrdiff_t>(cut));
            side.keptStart += static_cast<int64_t>(cut);
        }
    }

    void measure(std::optional<double> ownLag) {
        const size_t tvWindow = static_cast<size_t>(kTvWindowSeconds * finder::kAnalysisRate);
        const size_t tvCount = std::min(tvWindow, tvSide_.kept.size());
        const size_t tvFirst = tvSide_.kept.size() - tvCount;
        const int64_t radioStartNs = radioSide_.timeOf(radioSide_.keptStart);
        const int64_t tvStartNs = tvSide_.timeOf(tvSide_.keptStart + static_cast<int64_t>(tvFirst));
        finder::Signal radio{radioSide_.kept, finder::kAnalysisRate, 0.0};
        finder::Signal tv{std::span<const float>(tvSide_.kept).subspan(tvFirst, tvCount),
                          finder::kAnalysisRate,
                          static_cast<double>(tvStartNs - radioStartNs) / 1e9};
        finder::SearchRange range;
        range.minLagSeconds = kMinDelaySeconds;
        range.maxLagSeconds = kMaxDelaySeconds;
        range.ownPlaybackLagSeconds = ownLag;
        const finder::DelayEstimate estimate = finder::findDelay(radio, tv, range);
        std::lock_guard lock(m_);
        results_.push_back(estimate);
    }

    void run() {
        std::unique_lock lock(m_);
        for (;;) {
            wake_.wait_for(lock, std::chrono::milliseconds(200));
            if (stopping_)
                return;
            lock.unlock();
            drain(radioSide_, kRadioKeptSeconds);
            drain(tvSide_, kTvWindowSeconds);
            lock.lock();
            const bool enough = tvSide_.kept.size() >=
                                    static_cast<size_t>(kTvNeededSeconds * finder::kAnalysisRate) &&
                                !radioSide_.kept.empty();
            if (requested_ && enough) {
                requested_ = false;
                const std::optional<double> ownLag = ownLag_;
                lock.unlock();
                measure(ownLag);
                lock.lock();
            }
        }
    }

    MonoBlocks radioBlocks_;  // the radio recorder's worker only
    TvInput tv_;
    std::mutex m_;
    std::condition_variable wake_;
    bool stopping_ = false;                       // under m_
    bool requested_ = false;                      // under m_
    std::optional<double> ownLag_;                // under m_
    std::vector<finder::DelayEstimate> results_;  // under m_
    Side radioSide_;
    Side tvSide_;
    std::thread worker_;
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
    // The radio's format, so the two sides run at one rate.
    if (!listener->openTv(tvDeviceId, chain_.inFormat(), error)) {
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
    moveCandidate_.reset();
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
    awaiting_ = false;
}

bool DelaySync::listening() const {
    return listener_ != nullptr;
}

void DelaySync::setFollow(bool on) {
    follow_ = on;
    nextFollowNs_ = 0;
    moveCandidate_.reset();
}

void DelaySync::measureNow() {
    request(true);
}

void DelaySync::request(bool asked) {
    if (!listener_)
        return;
    if (asked)
        seeking_ = true;
    awaiting_ = true;
    std::optional<double> own;
    // The program's own playback reaches a microphone or a monitor too, this long after the
    // radio was recorded: the delay as heard.
    if (chain_.state() == ChainState::Running) {
        const DelayLine::Figures figures = chain_.delayFigures();
        own = figures.measured ? static_cast<double>(figures.delayNs) / 1e9
                               : chain_.delayMs() / 1000.0;
    }
    listener_->request(own);
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
    for (const finder::DelayEstimate& estimate : listener_->takeResults())
        decide(estimate, nowNs, code, apply, said);
    if (awaiting_)
        return said;
    if (seeking_) {
        // Asked for and not found yet: try again with more sound, until it is found.
        if (nowNs >= nextSeekNs_)
            request(true);
    } else if (follow_ && nowNs >= nextFollowNs_) {
        request(false);
        nextFollowNs_ = nowNs + kFollowEveryNs;
    }
    return said;
}

void DelaySync::decide(const finder::DelayEstimate& estimate, int64_t nowNs, std::string_view code,
                       const Apply& apply, std::vector<std::string>& said) {
    awaiting_ = false;
    const bool asked = seeking_;
    SyncMeasurement measured;
    measured.estimate = estimate;
    measured.atNs = nowNs;
    measured.wallSeconds = static_cast<int64_t>(std::time(nullptr));
    if (!estimate.confident) {
        // A wrong lock is worse than none: nothing changes, and following starts over.
        moveCandidate_.reset();
        last_ = measured;
        nextSeekNs_ = nowNs + kSeekAgainNs;
        said.push_back(problemText(estimate, code));
        return;
    }
    const double lag = delayWithinBounds(estimate.lagSeconds);
    const double now = chain_.delayMs() / 1000.0;
    bool move = asked;
    if (!asked) {
        // Following: two measurements in a row must agree that the TV moved.
        if (std::fabs(lag - now) <= kFollowMinMoveSeconds)
            moveCandidate_.reset();
        else if (moveCandidate_ && std::fabs(lag - *moveCandidate_) <= kFollowMinMoveSeconds)
            move = true;
        else
            moveCandidate_ = lag;
    }
    seeking_ = false;
    nextFollowNs_ = nowNs + kFollowEveryNs;
    if (move) {
        moveCandidate_.reset();
        const uint32_t ms = apply(lag);
        measured.applied = true;
        said.push_back(asked ? msg(Msg::SyncApplied, code,
                                   {fixed(estimate.lagSeconds, 3), fixed(estimate.confidence, 2),
                                    delaySetText(ms)})
                             : msg(Msg::SyncFollowMoved, code,
                                   {fixed(estimate.lagSeconds, 3), delaySetText(ms)}));
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

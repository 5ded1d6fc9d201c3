#include "finder/liveDelayFinder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "finder/pcmToMono.h"
#include "finder/resampler.h"

namespace una::finder {
namespace {

constexpr double kFs = kAnalysisRate;
// Anchors from this many recent blocks; their median shrugs off a late callback.
constexpr size_t kAnchors = 64;
// A block this far from where the side's clock puts it means the input restarted.
constexpr double kAnchorJumpSeconds = 0.25;
// The TV held beyond a window, for a radio whose blocks trail the TV's.
constexpr double kTvSpareSeconds = 6;
// The radio held beyond the longest lag: room for the resampler and the TV window's edges.
constexpr double kRadioSpareSeconds = 5;
constexpr float kClipLevel = 0.999f;
constexpr double kClippedShare = 0.01;

}  // namespace

struct LiveDelayFinder::Side {
    Side(int rate, double holdSeconds) : rate(rate), hold(static_cast<size_t>(holdSeconds * kFs)) {
        history.reserve(hold + hold / 8);
        restart();
    }

    void restart() {
        resampler = std::make_unique<Resampler>(rate, kAnalysisRate);
        produced = 0;
        historyStart = 0;
        history.clear();
        rawTaken = 0;
        anchors.clear();
        anchorNext = 0;
        rawSeen = rawClipped = 0;
        measuredAt = -1;
    }
    double anchor() const {
        std::vector<double> sorted = anchors;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
        return sorted[sorted.size() / 2];
    }
    // The worker takes in the next block, whose first sample was captured at `at`.
    void takeIn(std::span<const float> block, double at) {
        double anchorNow = at - static_cast<double>(rawTaken) / rate;
        if (!anchors.empty() && std::abs(anchorNow - anchor()) > kAnchorJumpSeconds) {
            restart();
            anchorNow = at;
        }
        if (anchors.size() < kAnchors) {
            anchors.push_back(anchorNow);
        } else {
            anchors[anchorNext] = anchorNow;
            anchorNext = (anchorNext + 1) % kAnchors;
        }
        for (float v : block) rawClipped += std::abs(v) >= kClipLevel;
        rawSeen += static_cast<int64_t>(block.size());
        rawTaken += static_cast<int64_t>(block.size());
        scratch.clear();
        resampler->push(block, scratch);
        // One straight run, so a measurement reads it in place; the oldest part goes only
        // once an eighth more than the hold has piled up.
        if (history.size() + scratch.size() > history.capacity()) {
            const size_t drop = history.size() - std::min(history.size(), hold - std::min(hold, scratch.size()));
            history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(drop));
            historyStart += static_cast<int64_t>(drop);
        }
        history.insert(history.end(), scratch.begin(), scratch.end());
        produced += static_cast<int64_t>(scratch.size());
    }
    int64_t oldest() const { return historyStart; }
    std::span<const float> span(int64_t from, int64_t to) const {
        return std::span(history).subspan(static_cast<size_t>(from - historyStart), static_cast<size_t>(to - from));
    }
    double timeOf(int64_t analysisIndex) const { return anchor() + static_cast<double>(analysisIndex) / kFs; }

    const int rate;
    // Under the finder's lock: what the feeding thread has handed over.
    std::vector<float> incoming;
    std::vector<std::pair<int64_t, double>> marks;  // a block's first raw sample, its capture time
    int64_t fedRaw = 0;
    bool overflowed = false;
    // The worker's own.
    std::vector<float> taking;
    std::vector<std::pair<int64_t, double>> takingMarks;
    std::unique_ptr<Resampler> resampler;
    const size_t hold;             // analysis samples kept at least
    std::vector<float> history;    // analysis samples from historyStart on
    int64_t historyStart = 0;
    std::vector<float> scratch;
    int64_t produced = 0;  // analysis samples so far
    int64_t rawTaken = 0;  // raw samples taken in since the last restart
    std::vector<double> anchors;  // the time of raw sample 0, from recent blocks
    size_t anchorNext = 0;
    int64_t rawSeen = 0, rawClipped = 0;  // since the last measurement
    int64_t measuredAt = -1;              // TV: the end of the last window measured
};

LiveDelayFinder::LiveDelayFinder(int radioRate, int tvRate, Callback onEstimate, LiveFinderSettings settings)
    : settings_(settings),
      onEstimate_(std::move(onEstimate)),
      radio_(std::make_unique<Side>(std::clamp(radioRate, 1000, 384000),
                                    settings.range.maxLagSeconds + settings.windowSeconds + kRadioSpareSeconds)),
      tv_(std::make_unique<Side>(std::clamp(tvRate, 1000, 384000), settings.windowSeconds + kTvSpareSeconds)),
      ownPlaybackLag_(settings.range.ownPlaybackLagSeconds),
      worker_([this](std::stop_token stop) { run(stop); }) {}

LiveDelayFinder::~LiveDelayFinder() {
    worker_.request_stop();
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

double LiveDelayFinder::nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void LiveDelayFinder::feed(Side& side, std::span<const float> mono, double capturedAt) {
    if (mono.empty()) return;
    {
        std::lock_guard guard(lock_);
        if (static_cast<double>(side.incoming.size() + mono.size()) > kMaxQueuedSeconds * side.rate) {
            // The worker fell far behind: the side starts afresh rather than misplace audio.
            takenBlocks_ += side.marks.size();  // dropped: nobody waits for them
            side.incoming.clear();
            side.marks.clear();
            side.overflowed = true;
        }
        side.marks.emplace_back(side.fedRaw, capturedAt);
        side.incoming.insert(side.incoming.end(), mono.begin(), mono.end());
        side.fedRaw += static_cast<int64_t>(mono.size());
        ++fedBlocks_;
    }
    wake_.notify_one();
}

void LiveDelayFinder::feedRadio(std::span<const float> mono, double capturedAtSeconds) {
    feed(*radio_, mono, capturedAtSeconds);
}

void LiveDelayFinder::feedTv(std::span<const float> mono, double capturedAtSeconds) {
    feed(*tv_, mono, capturedAtSeconds);
}

void LiveDelayFinder::feedRadioPcm(std::span<const uint8_t> pcm, int bits, int channels, double at) {
    std::vector<float> mono;
    pcmToMono(pcm, bits, channels, mono);
    feed(*radio_, mono, at);
}

void LiveDelayFinder::feedTvPcm(std::span<const uint8_t> pcm, int bits, int channels, double at) {
    std::vector<float> mono;
    pcmToMono(pcm, bits, channels, mono);
    feed(*tv_, mono, at);
}

void LiveDelayFinder::setOwnPlaybackLag(std::optional<double> lagSeconds) {
    std::lock_guard guard(lock_);
    ownPlaybackLag_ = lagSeconds;
}

void LiveDelayFinder::requestMeasurement() {
    {
        std::lock_guard guard(lock_);
        measureRequested_ = true;
        requestWakes_ = true;
    }
    wake_.notify_one();
}

void LiveDelayFinder::confirmSoon() {
    std::lock_guard guard(lock_);
    confirmSoon_ = true;
}

void LiveDelayFinder::resetTv() {
    {
        std::lock_guard guard(lock_);
        takenBlocks_ += tv_->marks.size();  // dropped: nobody waits for them
        tv_->incoming.clear();
        tv_->marks.clear();
        resetRequested_ = true;
    }
    wake_.notify_one();
}

void LiveDelayFinder::waitIdle() {
    std::unique_lock guard(lock_);
    idle_.wait(guard, [&] { return takenBlocks_ == fedBlocks_ && !busy_ && !resetRequested_; });
}

size_t LiveDelayFinder::heldBytes() const {
    std::lock_guard guard(lock_);
    return (radio_->history.capacity() + tv_->history.capacity() + radio_->incoming.capacity() +
            tv_->incoming.capacity()) *
           sizeof(float);
}

bool LiveDelayFinder::takeIn() {
    bool reset = false;
    uint64_t blocks = 0;
    {
        std::lock_guard guard(lock_);
        for (Side* side : {radio_.get(), tv_.get()}) {
            side->taking.swap(side->incoming);
            side->takingMarks.swap(side->marks);
            side->incoming.clear();
            side->marks.clear();
            blocks += side->takingMarks.size();
            if (side->overflowed) {
                side->overflowed = false;
                side->restart();
            }
        }
        reset = std::exchange(resetRequested_, false);
        busy_ = true;
        takenBlocks_ += blocks;
    }
    // resetTv emptied the queue: what was taken here came after it.
    if (reset) tv_->restart();
    for (Side* side : {radio_.get(), tv_.get()}) {
        size_t at = 0;
        for (size_t m = 0; m < side->takingMarks.size(); ++m) {
            const auto [first, capturedAt] = side->takingMarks[m];
            const size_t length = m + 1 < side->takingMarks.size()
                                      ? static_cast<size_t>(side->takingMarks[m + 1].first - first)
                                      : side->taking.size() - at;
            side->takeIn(std::span(side->taking).subspan(at, length), capturedAt);
            at += length;
        }
    }
    return blocks > 0 || reset;
}

void LiveDelayFinder::measureIfDue() {
    Side& tv = *tv_;
    Side& radio = *radio_;
    const auto window = static_cast<int64_t>(settings_.windowSeconds * kFs);
    bool requested, confirm;
    std::optional<double> ownLag;
    {
        std::lock_guard guard(lock_);
        requested = measureRequested_;
        confirm = confirmSoon_;
        ownLag = ownPlaybackLag_;
    }
    if (tv.produced < window || radio.produced == 0) return;
    const double interval = confirm ? settings_.confirmSeconds : settings_.intervalSeconds;
    const bool due = tv.measuredAt < 0 || requested ||
                     tv.produced - tv.measuredAt >= static_cast<int64_t>(interval * kFs);
    if (!due) return;
    // The latest window the radio already covers: the two inputs' blocks need not arrive
    // in step.
    const int64_t radioCovers = static_cast<int64_t>(std::floor((radio.timeOf(radio.produced) - tv.anchor()) * kFs));
    const int64_t tvTo = std::min(tv.produced, std::max(radioCovers, tv.oldest() + window));
    const int64_t tvFrom = tvTo - window;
    if (tvFrom < tv.oldest() || tvTo <= tv.measuredAt) return;
    const double tvStart = tv.timeOf(tvFrom);
    const double tvEnd = tvStart + static_cast<double>(window) / kFs;
    const double radioStartWanted = tvStart - settings_.range.maxLagSeconds - 1;
    const int64_t radioFrom = std::clamp<int64_t>(
        static_cast<int64_t>(std::floor((radioStartWanted - radio.anchor()) * kFs)), radio.oldest(), radio.produced);
    const std::span<const float> x = radio.span(radioFrom, radio.produced);
    const std::span<const float> y = tv.span(tvFrom, tvTo);
    SearchRange range = settings_.range;
    range.ownPlaybackLagSeconds = ownLag;
    DelayEstimate estimate;
    const auto clipped = [](const Side& s) {
        return static_cast<double>(s.rawClipped) > kClippedShare * static_cast<double>(s.rawSeen);
    };
    if (clipped(radio) || clipped(tv))
        estimate.problem = Problem::Clipped;
    else
        estimate = findDelay({x, kAnalysisRate, radio.timeOf(radioFrom)}, {y, kAnalysisRate, tvStart}, range);
    tv.measuredAt = tvTo;
    radio.rawSeen = radio.rawClipped = tv.rawSeen = tv.rawClipped = 0;
    {
        std::lock_guard guard(lock_);
        measureRequested_ = false;
        confirmSoon_ = false;
    }
    if (onEstimate_) onEstimate_(estimate, tvEnd);
}

void LiveDelayFinder::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock guard(lock_);
            wake_.wait_for(guard, std::chrono::milliseconds(200), [&] {
                return stop.stop_requested() || !radio_->marks.empty() || !tv_->marks.empty() ||
                       requestWakes_ || resetRequested_;
            });
            // A request waits for a full window if there is none yet, without spinning.
            requestWakes_ = false;
            if (stop.stop_requested()) break;
        }
        takeIn();
        measureIfDue();
        {
            std::lock_guard guard(lock_);
            busy_ = false;
        }
        idle_.notify_all();
    }
    std::lock_guard guard(lock_);
    busy_ = false;
    idle_.notify_all();
}

}  // namespace una::finder

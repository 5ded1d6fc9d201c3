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
// How long a measurement waits for the radio to catch up with the TV window's end.
constexpr double kRadioWaitSeconds = 5;
// The radio held beyond the longest lag: room for the resampler and the TV window's edges.
constexpr double kRadioSpareSeconds = 5;
constexpr float kClipLevel = 0.999f;
constexpr double kClippedShare = 0.01;

}  // namespace

struct LiveDelayFinder::Side {
    Side(int rate, double holdSeconds)
        : rate(rate), ring(static_cast<size_t>(holdSeconds * kFs)) { restart(); }

    void restart() {
        resampler = std::make_unique<Resampler>(rate, kAnalysisRate);
        produced = 0;
        rawTaken = 0;
        anchors.clear();
        anchorNext = 0;
        rawSeen = rawClipped = 0;
        measuredAt = -1;
        waitingSince = -1;
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
        for (float v : scratch) ring[static_cast<size_t>(produced++ % static_cast<int64_t>(ring.size()))] = v;
    }
    int64_t oldest() const { return std::max<int64_t>(0, produced - static_cast<int64_t>(ring.size())); }
    std::vector<float> copy(int64_t from, int64_t to) const {
        std::vector<float> out;
        out.reserve(static_cast<size_t>(std::max<int64_t>(0, to - from)));
        for (int64_t i = from; i < to; ++i) out.push_back(ring[static_cast<size_t>(i % static_cast<int64_t>(ring.size()))]);
        return out;
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
    std::vector<float> ring;
    std::vector<float> scratch;
    int64_t produced = 0;  // analysis samples so far
    int64_t rawTaken = 0;  // raw samples taken in since the last restart
    std::vector<double> anchors;  // the time of raw sample 0, from recent blocks
    size_t anchorNext = 0;
    int64_t rawSeen = 0, rawClipped = 0;  // since the last measurement
    int64_t measuredAt = -1;              // TV: produced at the last measurement
    double waitingSince = -1;             // TV: when a due measurement began to wait for the radio
};

LiveDelayFinder::LiveDelayFinder(int radioRate, int tvRate, Callback onEstimate, LiveFinderSettings settings)
    : settings_(settings),
      onEstimate_(std::move(onEstimate)),
      radio_(std::make_unique<Side>(std::clamp(radioRate, 1000, 384000),
                                    settings.range.maxLagSeconds + settings.windowSeconds + kRadioSpareSeconds)),
      tv_(std::make_unique<Side>(std::clamp(tvRate, 1000, 384000), settings.windowSeconds + kRadioWaitSeconds + 1)),
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
    }
    wake_.notify_one();
}

void LiveDelayFinder::resetTv() {
    {
        std::lock_guard guard(lock_);
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
    return (radio_->ring.size() + tv_->ring.size() + radio_->incoming.capacity() + tv_->incoming.capacity()) *
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
    if (reset) {
        tv_->restart();
        tv_->taking.clear();
        tv_->takingMarks.clear();
    }
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
    bool requested;
    std::optional<double> ownLag;
    {
        std::lock_guard guard(lock_);
        requested = measureRequested_;
        ownLag = ownPlaybackLag_;
    }
    if (tv.produced < window || radio.produced == 0) return;
    const bool due = tv.measuredAt < 0 || requested ||
                     tv.produced - tv.measuredAt >= static_cast<int64_t>(settings_.intervalSeconds * kFs);
    if (!due) return;
    const int64_t tvFrom = tv.produced - window;
    const double tvStart = tv.timeOf(tvFrom);
    const double tvEnd = tvStart + static_cast<double>(window) / kFs;
    const double radioEnd = radio.timeOf(radio.produced);
    // The radio's blocks may trail the TV's: give them a moment to cover the window.
    if (radioEnd < tvEnd - 0.5) {
        const double tvNow = tv.timeOf(tv.produced);
        if (tv.waitingSince < 0) tv.waitingSince = tvNow;
        if (tvNow - tv.waitingSince < kRadioWaitSeconds) return;
    }
    tv.waitingSince = -1;
    const double radioStartWanted = tvStart - settings_.range.maxLagSeconds - 1;
    const int64_t radioFrom = std::clamp<int64_t>(
        static_cast<int64_t>(std::floor((radioStartWanted - radio.anchor()) * kFs)), radio.oldest(), radio.produced);
    const std::vector<float> x = radio.copy(radioFrom, radio.produced);
    const std::vector<float> y = tv.copy(tvFrom, tv.produced);
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
    tv.measuredAt = tv.produced;
    radio.rawSeen = radio.rawClipped = tv.rawSeen = tv.rawClipped = 0;
    {
        std::lock_guard guard(lock_);
        measureRequested_ = false;
    }
    if (onEstimate_) onEstimate_(estimate, tvEnd);
}

void LiveDelayFinder::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock guard(lock_);
            wake_.wait_for(guard, std::chrono::milliseconds(200), [&] {
                return stop.stop_requested() || !radio_->marks.empty() || !tv_->marks.empty() ||
                       measureRequested_ || resetRequested_;
            });
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

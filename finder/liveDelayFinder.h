#pragma once
// Measures the TV's lag behind the radio while the delay runs: fed the radio (before the
// delay) and the TV input block by block, it keeps the radio's last maxLag + window seconds
// and the TV's last window at the analysis rate, and every intervalSeconds of TV audio runs
// findDelay on its own worker thread and reports the estimate through a callback.
//
// Threading: feedRadio and feedTv may be called from the audio threads (each side from one
// thread at a time, the two sides concurrently); they copy the block under a short lock and
// return, never waiting for a measurement. setOwnPlaybackLag, requestMeasurement and resetTv
// may be called from any thread. The callback runs on the finder's worker, one estimate at a
// time; it must not destroy the finder. Construct and destroy on the owner's thread: the
// destructor stops the worker, waiting for a measurement under way (well under a second).

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "finder/delayFinder.h"

namespace una::finder {

struct LiveFinderSettings {
    double windowSeconds = 30;    // of the TV in each measurement
    double intervalSeconds = 20;  // of TV audio between two measurements
    double confirmSeconds = 10;   // after confirmSoon()
    SearchRange range;            // its ownPlaybackLagSeconds is setOwnPlaybackLag's start value
};

class LiveDelayFinder {
  public:
    // tvEndSeconds: when the measured TV window ended, on the clock the feeds use.
    using Callback = std::function<void(const DelayEstimate& estimate, double tvEndSeconds)>;

    // Rates of the mono samples the two sides will be fed (1000 to 384000 Hz).
    LiveDelayFinder(int radioRate, int tvRate, Callback onEstimate, LiveFinderSettings settings = {});
    ~LiveDelayFinder();
    LiveDelayFinder(const LiveDelayFinder&) = delete;
    LiveDelayFinder& operator=(const LiveDelayFinder&) = delete;

    // capturedAtSeconds: when the block's first sample entered its input, on one clock for
    // both sides (nowSeconds() minus the block's length and the input's latency will do).
    // Blocks must follow each other without gaps; a block arriving while more than
    // kMaxQueuedSeconds wait untaken is dropped.
    void feedRadio(std::span<const float> mono, double capturedAtSeconds);
    void feedTv(std::span<const float> mono, double capturedAtSeconds);
    // Interleaved little-endian PCM of 8 (unsigned), 16, 24 or 32 bits: the channels' mean.
    void feedRadioPcm(std::span<const uint8_t> pcm, int bitsPerSample, int channels, double capturedAtSeconds);
    void feedTvPcm(std::span<const uint8_t> pcm, int bitsPerSample, int channels, double capturedAtSeconds);

    // Where the program's own playback shows up in the TV input: what the delay plays now, as
    // a lag behind the radio; nullopt when nothing plays or the TV input cannot hear it.
    void setOwnPlaybackLag(std::optional<double> lagSeconds);
    // Measures as soon as a full window is there instead of waiting for the interval.
    void requestMeasurement();
    // Makes the next measurement come confirmSeconds after the last one instead of
    // intervalSeconds: for a change that one measurement has seen and a second must confirm.
    void confirmSoon();
    // The TV input changed or was unplugged: forgets its audio and waits for a new window.
    void resetTv();
    // For tests and simulations fed faster than real time: returns once everything fed so far
    // has been taken in and any measurement it made due has been reported.
    void waitIdle();

    // Memory held for both sides' audio, in bytes.
    size_t heldBytes() const;
    // Seconds on the steady clock, for callers without a clock of their own.
    static double nowSeconds();

    static constexpr double kMaxQueuedSeconds = 10;

  private:
    struct Side;
    void feed(Side& side, std::span<const float> mono, double capturedAt);
    void run(std::stop_token stop);
    bool takeIn();
    void measureIfDue();

    LiveFinderSettings settings_;
    Callback onEstimate_;
    std::unique_ptr<Side> radio_;
    std::unique_ptr<Side> tv_;
    mutable std::mutex lock_;  // guards the sides' incoming blocks and the requests below
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::optional<double> ownPlaybackLag_;
    bool measureRequested_ = false;
    bool requestWakes_ = false;
    bool confirmSoon_ = false;
    bool resetRequested_ = false;
    bool busy_ = false;  // the worker holds blocks or a measurement it has not finished
    uint64_t fedBlocks_ = 0, takenBlocks_ = 0;
    std::jthread worker_;
};

}  // namespace una::finder

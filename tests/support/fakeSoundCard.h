#pragma once
// A scripted sound card for tests: its streams keep the queued buffers until the test completes
// them, in queue order or in an order the test picks, and signal the stream's event like a real
// card. Every operation of the card, its streams and their controls is safe from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/soundCard.h"

namespace una {

// What the test sees of one opened stream; stays valid after the device closed it.
class FakeStreamControl {
  public:
    FakeStreamControl(platform::WaveDirection direction, const platform::WaveFormatEx& format,
                      platform::EventHandle event, uint32_t flags);
    ~FakeStreamControl();
    FakeStreamControl(const FakeStreamControl&) = delete;
    FakeStreamControl& operator=(const FakeStreamControl&) = delete;

    platform::WaveDirection direction() const { return direction_; }
    const platform::WaveFormatEx& format() const { return format_; }
    uint32_t openFlags() const { return flags_; }

    // Completes the first n queued buffers in queue order; returns how many were completed.
    // Input buffers are filled from the record source, with recordedBytes each when given
    // (capped at the buffer length), else full.
    size_t complete(size_t n = 1, std::optional<uint32_t> recordedBytes = std::nullopt);
    // Completes the queued buffers at these positions of the current queue, in this order;
    // false when a position is out of range (nothing is completed then).
    bool completeOutOfOrder(const std::vector<size_t>& positions);
    // Bytes the next completed input buffers receive; once used up the running byte counter
    // takes over (byte k of the recording is uint8_t(k)).
    void fillRecorded(std::vector<uint8_t> bytes);

    size_t queuedCount() const;
    std::vector<uint32_t> queuedLengths() const;
    std::vector<const platform::WaveBuffer*> queued() const;
    // Waits until pred(queuedCount()) holds; false on time-out.
    bool waitQueued(const std::function<bool(size_t)>& pred, uint32_t timeoutMs = 5000) const;

    // Everything played so far (output), and the buffer lengths in completion order.
    std::vector<uint8_t> played() const;
    std::vector<uint32_t> playedLengths() const;

    // The next addBuffer or write is refused with this code.
    void failNextQueue(platform::MmResult code);
    void setXruns(uint32_t n);
    // The device is gone (a USB card unplugged): every queued buffer comes back done and
    // empty, and from now on queueing and start are refused with kMmNoDriver.
    void vanish();

    bool isStarted() const;
    bool isPaused() const;
    bool isClosed() const;
    // Calls seen, by name: "prepare", "unprepare", "addBuffer", "write", "start", "stop",
    // "pause", "reset", "close".
    size_t calls(const std::string& name) const;
    // Total accepted queue calls (addBuffer or write).
    size_t queueCalls() const;

    // From now on the stream runs like a card on a crystal of its own, driven by a thread of
    // the control until close: input buffers fill and output buffers play at the format's
    // rate x (1 + ppm / 1e6) frames per second of the monotonic clock, and timing() tells
    // where the converter is: latencyFrames past what the input buffers handed over, or
    // short of what the output buffers handed to the card. Input frame k gets the bytes
    // `source` (k, its bytes) writes, else the byte counter's.
    void runClock(double ppm, uint32_t latencyFrames,
                  std::function<void(uint64_t, uint8_t*)> source = {});
    // A running clock: when input frame k was captured; when the first frame of each played
    // output buffer was heard (its frame number, monotonic ns), in order.
    int64_t capturedAtNs(uint64_t frame) const;
    std::vector<std::pair<uint64_t, int64_t>> heardTimes() const;

    // The stream side, used by FakeWaveStream.
    platform::MmResult doPrepare(platform::WaveBuffer& b, bool on);
    platform::MmResult doQueue(platform::WaveBuffer& b, bool isWrite);
    platform::MmResult doCommand(const std::string& name);
    platform::MmResult doPosition(uint64_t& samples);
    platform::MmResult doTiming(platform::StreamTiming& out);
    uint32_t xruns() const;

  private:
    void stopClock();
    void advanceLocked(int64_t nowNs);  // the clocked converter up to now; under m_
    void finish(platform::WaveBuffer* b, std::optional<uint32_t> recordedBytes);
    void returnAllLocked();
    void signal();

    const platform::WaveDirection direction_;
    const platform::WaveFormatEx format_;
    const platform::EventHandle event_;
    const uint32_t flags_;

    mutable std::mutex m_;
    mutable std::condition_variable changed_;
    std::vector<platform::WaveBuffer*> queue_;
    std::vector<uint8_t> pendingRecord_;
    uint64_t recordCounter_ = 0;
    std::vector<uint8_t> played_;
    std::vector<uint32_t> playedLengths_;
    std::optional<platform::MmResult> failNext_;
    std::map<std::string, size_t> calls_;
    size_t queueCalls_ = 0;
    uint64_t completedBytes_ = 0;
    uint32_t xruns_ = 0;
    bool started_ = false;
    bool paused_ = false;
    bool closed_ = false;
    bool lost_ = false;

    // The running clock (under m_ but the thread handle).
    bool clocked_ = false;
    bool clockStop_ = false;
    double clockRate_ = 0;  // frames per second
    uint32_t clockLatency_ = 0;
    int64_t clockStartNs_ = 0;
    int64_t clockLastNs_ = 0;
    uint64_t clockDone_ = 0;    // input frames handed over
    double clockTaken_ = 0;     // output frames taken by the converter's side
    double clockFrontTaken_ = 0;  // frames of the front output buffer already taken
    std::function<void(uint64_t, uint8_t*)> clockSource_;
    std::vector<std::pair<uint64_t, int64_t>> heard_;
    std::thread clockThread_;
};

class FakeSoundCard final : public platform::SoundCard {
  public:
    // One recording and one playback device ("Fake In", "Fake Out"), every format accepted.
    FakeSoundCard();

    void setDevices(platform::WaveDirection direction, std::vector<platform::WaveCaps> devices);
    void setMapperCaps(platform::WaveDirection direction, platform::WaveCaps caps);
    // Formats for which accept returns false are refused with kWaveErrBadFormat.
    void setFormatFilter(std::function<bool(const platform::WaveFormatEx&)> accept);
    // The next open (query or not) fails with this code.
    void failNextOpen(platform::MmResult code);
    void setErrorText(platform::MmResult code, std::string text);
    // Whether its streams say they run on one graph's cycles, as PipeWire's do.
    void setSharesCycles(bool shares) { sharesCycles_ = shares; }

    // The last stream opened in that direction (none before the first open).
    std::shared_ptr<FakeStreamControl> stream(platform::WaveDirection direction) const;
    // Waits for an open in that direction after `after` earlier ones; none on time-out.
    std::shared_ptr<FakeStreamControl> waitStream(platform::WaveDirection direction,
                                                  size_t after = 0,
                                                  uint32_t timeoutMs = 5000) const;
    size_t openCount(platform::WaveDirection direction) const;
    size_t queryCount(platform::WaveDirection direction) const;

    uint32_t deviceCount(platform::WaveDirection direction) override;
    platform::MmResult caps(platform::WaveDirection direction, int32_t deviceId,
                            platform::WaveCaps& caps) override;
    platform::MmResult open(platform::WaveDirection direction, int32_t deviceId,
                            const platform::WaveFormatEx& format, platform::EventHandle toSignal,
                            uint32_t flags, std::unique_ptr<platform::WaveStream>& out) override;
    std::optional<std::string> errorText(platform::WaveDirection direction,
                                         platform::MmResult code) override;
    bool streamsShareCycles(int32_t) override { return sharesCycles_; }

  private:
    struct Side {
        std::vector<platform::WaveCaps> devices;
        platform::WaveCaps mapper;
        std::vector<std::shared_ptr<FakeStreamControl>> streams;
        size_t queries = 0;
    };
    Side& side(platform::WaveDirection d) {
        return d == platform::WaveDirection::input ? in_ : out_;
    }
    const Side& side(platform::WaveDirection d) const {
        return d == platform::WaveDirection::input ? in_ : out_;
    }

    mutable std::mutex m_;
    mutable std::condition_variable opened_;
    Side in_, out_;
    std::function<bool(const platform::WaveFormatEx&)> accept_;
    std::optional<platform::MmResult> failNextOpen_;
    std::map<platform::MmResult, std::string> texts_;
    std::atomic<bool> sharesCycles_{false};
};

// Installs a fresh FakeSoundCard as the process-wide card for the scope; ALSA is back after.
class ScopedFakeSoundCard {
  public:
    ScopedFakeSoundCard();
    ~ScopedFakeSoundCard();
    ScopedFakeSoundCard(const ScopedFakeSoundCard&) = delete;
    ScopedFakeSoundCard& operator=(const ScopedFakeSoundCard&) = delete;

    FakeSoundCard& card() { return *card_; }
    FakeSoundCard* operator->() { return card_.get(); }

  private:
    std::shared_ptr<FakeSoundCard> card_;
};

}  // namespace una

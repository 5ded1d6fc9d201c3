#pragma once
// What listening to the TV needs from a recording input: its chunks as mono samples in
// [-1, 1], and the moment the first frame of each was captured at the card's converter, so
// the radio and the TV are compared on one clock whatever each input's own latency.
//
// MonoBlocks belongs to one audio thread (the recorder's worker); TvInput's operations to the
// owner's thread, its callback runs on its recorder's worker.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "audio/unaWaveFormat.h"
#include "foundation/unaObject.h"
#include "platform/soundCard.h"

namespace una {
class unaWaveInDevice;
}

namespace una::app {

// A mono block of one input: samples at `rate`, the first captured at `captureNs`
// (CLOCK_MONOTONIC). The samples are valid only during the call.
using MonoBlockFn = std::function<void(std::span<const float> mono, int rate, int64_t captureNs)>;

class MonoBlocks {
  public:
    // Formats of 8 (unsigned), 16, 24 or 32 bits (signed) with 1 or more channels; others
    // give no samples (the finder's own conversion).
    explicit MonoBlocks(const unaPcmFormat& format);

    // The chunk's channels averaged into mono; the buffer is reused, so after the first
    // chunks no memory is taken on the audio thread.
    std::span<const float> convert(std::span<const uint8_t> pcm);

    // When frame number `frame` of the input was captured, from a reading of its card
    // (frames counted from the same start). Nominal rate: readings come every few chunks.
    int64_t captureNs(uint64_t frame, const platform::StreamTiming& reading) const;

    uint32_t frameBytes() const { return frameBytes_; }
    int rate() const { return static_cast<int>(format_.samplesPerSec); }

  private:
    unaPcmFormat format_;
    uint32_t frameBytes_;
    std::vector<float> mono_;
};

// The input that hears the TV: a second recorder, its chunks handed on as mono blocks on
// the monotonic clock. The card's clock is read every third chunk, as the delay chain does.
class TvInput {
  public:
    TvInput();
    ~TvInput();
    TvInput(const TvInput&) = delete;
    TvInput& operator=(const TvInput&) = delete;

    // Opens device `deviceId` (-1: the default) in `format`; onBlock runs on its worker for
    // every chunk. False, nothing open, with the device's text in `error`.
    bool open(int32_t deviceId, const unaPcmFormat& format, MonoBlockFn onBlock,
              std::string& error);
    // Stops the recorder; no block arrives after it returns. Safe when closed.
    void close();
    bool isOpen() const;
    // The device went away (unplugged) while open.
    bool isLost() const;
    int32_t deviceId() const { return deviceId_; }

  private:
    struct Feed;
    unaPtr<unaWaveInDevice> recorder_;
    std::shared_ptr<Feed> feed_;
    int32_t deviceId_ = -1;
};

}  // namespace una::app

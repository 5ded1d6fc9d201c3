#pragma once
// The resampler: a software device that converts PCM audio between rates, channel counts and
// 8/16-bit samples, one whole source chunk per step.

#include <cstdint>
#include <vector>

#include "audio/unaWaveSoftwareDevice.h"

namespace una {

// A block of PCM audio of one format: `used` valid bytes in a buffer of `size` bytes.
struct waveChunk {
    uint32_t rate = 0;
    uint32_t bits = 0;
    uint32_t channels = 0;
    uint32_t used = 0;
    uint32_t size = 0;
    std::vector<uint8_t> data;

    void setFormat(uint32_t rate_, uint32_t bits_, uint32_t channels_) {
        rate = rate_;
        bits = bits_;
        channels = channels_;
    }
    // Room for the given number of frames; used := 0.
    void resize(uint32_t frames);
};

// Converts the used bytes of src into dst by repeating or skipping whole frames and folding
// channels; returns the bytes written into dst (never more than dst.size), 0 when either side
// has no buffer, no frames or an unusable format. src and dst may be the same record only for
// equal formats.
uint32_t waveResample(const waveChunk& src, waveChunk& dst);

// Frames of the chunks that cover the same span of time at both rates: 1/c s.
uint32_t resamplerChunkDivisor(uint32_t srcRate, uint32_t dstRate);

// Converts chunks of its source format into its destination format (its own side) and
// delivers them; not real-time, it works whenever a whole source chunk is waiting.
// Threading: providers write from their workers; conversion and delivery run on this worker
// (so onDataAvailable runs there); setFormat and a conversion step exclude each other
// through the thread's gate.
class unaWaveResampler : public unaWaveSoftwareDevice {
  public:
    explicit unaWaveResampler(bool realTime = false, int32_t overNum = 0);
    // Gives the device owned memory streams on both sides.
    void afterConstruction() override;

    // Only rate, bits and channels of the record count; the side becomes PCM. True once both
    // sides are set; false before that or when the gate stays busy for a second.
    bool setFormat(bool isSrc, const WaveFormatEx* format) override;
    bool setFormat(bool isSrc, uint32_t samplesPerSec, uint32_t channels, uint32_t bitsPerSample);
    using unaWaveSoftwareDevice::setFormat;
    bool deviceFormatIsSrc() const override { return false; }
    // Pads the input with silence to whole source chunks; true.
    bool flush(bool waitAll) override;

    const waveChunk& sourceChunk() const { return srcChunk; }
    const waveChunk& destinationChunk() const { return dstChunk; }

  protected:
    // False when there was nothing whole to convert or nothing was delivered.
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override;

  private:
    waveChunk srcChunk;
    waveChunk dstChunk;
};

}  // namespace una

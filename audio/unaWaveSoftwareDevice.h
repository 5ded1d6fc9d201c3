#pragma once
// Software devices: stream devices without sound-card hardware, paced by a timer (real-time)
// or by the arrival of input; the multi-stream device that holds input streams, and the mixer
// that adds them up one chunk per tick.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "audio/unaMMTimer.h"
#include "audio/unaWaveDevice.h"

namespace una {

// One PCM sample as a signed value: 8-bit unsigned bytes are centred and scaled to the 16-bit
// range, 16- and 32-bit samples are signed little-endian. Other widths read as 0.
inline int32_t readSample(const uint8_t* at, uint32_t bits) {
    switch (bits) {
        case 8:
            return (static_cast<int32_t>(*at) - 128) * 256;
        case 16: {
            int16_t v;
            std::memcpy(&v, at, 2);
            return v;
        }
        case 32: {
            int32_t v;
            std::memcpy(&v, at, 4);
            return v;
        }
        default:
            return 0;
    }
}

// Stores value with clipping to the width's range (32-bit wraps); other widths store nothing.
inline void writeSample(uint8_t* at, int64_t value, uint32_t bits) {
    switch (bits) {
        case 8:
            if (value < -32768)
                *at = 0;
            else
                *at = static_cast<uint8_t>(value >= 32768 ? 255 : (value >> 8) + 128);
            break;
        case 16: {
            const int16_t v =
                static_cast<int16_t>(value > 32767 ? 32767 : (value < -32768 ? -32768 : value));
            std::memcpy(at, &v, 2);
            break;
        }
        case 32: {
            const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(value));
            std::memcpy(at, &v, 4);
            break;
        }
        default:
            break;
    }
}

inline bool isSampleWidth(uint32_t bits) {
    return bits == 8 || bits == 16 || bits == 32;
}

// out := a + b (or a - b) sample by sample over channels x frames values, each buffer in its
// own width. out may be a or b. Nothing happens for a missing buffer, a zero count or a width
// other than 8, 16 or 32.
void waveMix(const void* a, const void* b, void* out, uint32_t channels, bool add, uint32_t bitsOut,
             uint32_t bitsB, uint32_t bitsA, uint32_t frames);

// The byte that stands for silence in a PCM format of that width.
inline uint8_t silenceByte(uint32_t bits) {
    return bits == 8 ? 128 : 0;
}

// A wave device without hardware: opening always succeeds, and its worker is paced by a
// multimedia timer (real-time: one chunk of work per tick) or by the arrival of input.
// Threading: as any stream device; the timer's thread only counts ticks and signals
// deviceEvent, all work runs on the device's worker.
class unaWaveSoftwareDevice : public unaWaveDevice {
  public:
    unaWaveSoftwareDevice(bool realTime, bool isInput, int32_t overNum);
    void afterConstruction() override;

    // The inherited setter, then the timer follows the new chunk rate; false as inherited.
    bool setFormat(bool isSrc, const WaveFormatEx* format) override;
    using unaWaveDevice::setFormat;
    // As inherited; a successful open (not a query) makes the handle 1.
    MmResult open(bool query = false, uint32_t timeoutMs = 10000, uint32_t flags = 0) override;
    bool deviceFormatIsSrc() const override { return true; }
    // Stores the flag and creates or frees the timer to match.
    void setRealTime(bool value) override;

    unaMMTimer* getTimer() const { return timer.get(); }

    // Timer ticks not yet turned into chunks.
    std::atomic<int32_t> ticks{0};
    // How long a device that is not real-time waits for a chunk of input per wake-up.
    std::atomic<uint32_t> idleWaitMs{20};

  protected:
    MmResult doOpen(uint32_t flags) override;
    MmResult prepareHeader(unaMsAcmDeviceHeader& header) override;
    MmResult unprepareHeader(unaMsAcmDeviceHeader& header) override;
    // Starts the timer when there is one; the inherited result.
    MmResult afterOpen() override;
    void afterClose(MmResult result) override;
    MmResult queueHeader(unaWaveHeader& header) override;
    // The pacing step: false when a real-time device has no tick to spend. Subclasses call it
    // first and work only when it gave true.
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override;

    void setupTimer();
    void adjustTimer(bool isSrc);
    void onTimerTick();

  private:
    unaPtr<unaMMTimer> timer;
};

// A software device whose input is a list of streams it owns. Threading: the list changes
// only under the thread's gate; writers fill each stream under the stream's own lock.
class unaWaveMultiStreamDevice : public unaWaveSoftwareDevice {
  public:
    unaWaveMultiStreamDevice(bool realTime, bool addSilence, int32_t overNum);

    // A new memory stream (100 ms lock time-out) that the device owns; none when the gate
    // stays busy for a second.
    unaMemoryStream* addStream();
    // Takes the stream over and returns it; none (and the caller keeps it) when the gate stays
    // busy for a second or no stream is given.
    unaAbstractStream* addStream(unaPtr<unaAbstractStream>&& stream);
    // Removes and frees a stream of this device; false when it is not one or the gate is busy.
    bool removeStream(unaAbstractStream* stream);
    uint32_t getStreamCount() const { return streams->getCount(); }
    // None past the end.
    unaAbstractStream* getStream(uint32_t index);

    // Calls onStream for every stream in list order; 0.
    virtual int32_t forEachStream();

    std::atomic<bool> addSilence;

  protected:
    virtual void onStream(unaAbstractStream& /*stream*/) {}

    unaPtr<unaObjectList> streams;
};

// Reads one chunk from every stream per step, adds them with clipping and delivers the sum;
// with addSilence short streams are padded, so a real-time mixer gives one chunk per tick.
// Threading: the worker reads the streams while holding the thread's gate, so the list is
// never changed under it.
class unaWaveMixerDevice : public unaWaveMultiStreamDevice {
  public:
    using unaWaveMultiStreamDevice::unaWaveMultiStreamDevice;

    // Asked on the worker at every tick, before the streams are read: how many chunks to
    // deliver for it (0, 1, 2 ...). A consumer whose card runs on a clock of its own is fed at
    // that card's pace rather than the timer's. Unset: one. Set it while the mixer is closed.
    std::function<uint32_t(unaWaveMixerDevice&)> onTick;

  protected:
    // False when there was no tick, no format, no stream, or (without addSilence) a short
    // stream; true when a chunk was delivered.
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override;

  private:
    // Reads one chunk from every stream and delivers their sum; false when nothing went out.
    bool mixOnce();

    std::vector<uint8_t> mixBuffer;
    std::vector<uint8_t> outBuffer;
};

}  // namespace una

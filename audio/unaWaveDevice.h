#pragma once
// Wave buffer headers and the base of every PCM device: device number, open options, format
// setters and the worker loop that wave and software devices share.

#include <cstdint>

#include "audio/unaMsAcmStreamDevice.h"
#include "audio/unaWaveFormat.h"
#include "foundation/unaHeap.h"
#include "platform/soundCard.h"

namespace una {

// One buffer of audio plus the descriptor the platform fills or plays. Owned by its device's
// header list; the platform's thread writes the descriptor only while it is queued.
class unaWaveHeader : public unaMsAcmDeviceHeader {
  public:
    // A buffer of size bytes (none for 0), filled from data when given.
    unaWaveHeader(unaMsAcmStreamDevice* device, const void* data, uint32_t size);

    bool isFlagSet(uint32_t flag) const override { return buffer.isFlagSet(flag); }
    void setFlag(uint32_t flag, bool on) override { buffer.setFlag(flag, on); }
    void markQueued() override;
    bool isDone() const override;
    bool isInQueue() const override;

    uint8_t* data() { return buffer.data; }
    uint32_t bufferLength() const { return buffer.bufferLength; }
    uint32_t bytesRecorded() const { return buffer.bytesRecorded; }

    platform::WaveBuffer buffer;

  private:
    unaHeapBlock storage_;
};

// The base of the recording, playback and software devices. Threading as the stream device;
// `execute` is the device's worker, every other operation the application's.
class unaWaveDevice : public unaMsAcmStreamDevice {
  public:
    unaWaveDevice(int32_t deviceId, bool mapped, bool direct, bool isInput, int32_t overNum);

    // False when the gate stays busy.
    bool setPcmFormat(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t channels);
    bool setPcmFormat(const unaPcmFormat& format) {
        return setPcmFormat(format.samplesPerSec, format.bitsPerSample, format.channels);
    }
    // Sets the device's own side; false when the gate stays busy or format is none.
    bool setDeviceFormat(const WaveFormatEx* format);
    bool setDeviceFormat(const unaWaveFormat& format) { return setDeviceFormat(format.get()); }

    // Flags 0 are made from the device's options; as the stream device's open otherwise.
    MmResult open(bool query = false, uint32_t timeoutMs = 10000, uint32_t flags = 0) override;
    // The platform's open flags for the device's options and query.
    uint32_t composeOpenFlags(bool query) const;

    const int32_t deviceId;
    bool mapped;
    bool direct;

  protected:
    // Hands a prepared header to the platform; 0 when it was accepted.
    virtual MmResult queueHeader(unaWaveHeader& header) = 0;
    // One processing step, with a done header or none; runs on the worker.
    virtual bool onHeader(unaWaveHeader* /*header*/, bool /*deviceEvent*/) { return true; }

    int32_t execute(int32_t slotIndex) override;
};

}  // namespace una

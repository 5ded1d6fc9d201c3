#pragma once
// The recording device: captures PCM from a sound-card input and delivers it chunk by chunk,
// in capture order, to its consumers.

#include "audio/unaWaveCardStream.h"
#include "audio/unaWaveDevice.h"
#include "audio/unaWaveDevices.h"
#include "platform/soundCard.h"

namespace una {

// Keeps five one-chunk buffers queued with the sound card. Threading as the stream device: the
// application opens and closes (under openCloseGate), the time-critical worker takes the done
// buffers and puts them back; the card's thread only marks buffers done and signals.
class unaWaveInDevice : public unaWaveDevice {
  public:
    static constexpr uint32_t kQueuedBuffers = 5;

    unaWaveInDevice(int32_t deviceId = platform::kWaveMapper, bool mapped = false,
                    bool direct = false, int32_t overNum = 0);

    bool deviceFormatIsSrc() const override { return false; }
    std::string getErrorText(MmResult code) override { return getInErrorText(code); }
    // Samples recorded since open; 0 when closed or the card cannot tell.
    int64_t getPosition() override { return card_.position(); }
    // Over- and underruns the card recovered from while open, kept after close for the
    // window to show; 0 before the first open.
    uint32_t xrunCount() { return card_.xrunCount(); }
    // Frames captured at the converter by a moment of the monotonic clock; kMmNotSupported
    // when the card cannot tell, kMmInvalidHandle when closed. Safe from any thread.
    MmResult timing(platform::StreamTiming& out) { return card_.timing(out); }
    // True while open on a device that has gone; its side then runs on without audio until
    // closed.
    bool isDeviceLost() { return card_.isLost(); }
    // What the sound server did to the device (suspended it, moved the stream, went away).
    platform::DeviceState deviceState() { return card_.deviceState(); }
    uint32_t moveCount() { return card_.moveCount(); }

    // Read once at construction; empty when the card refused.
    unaWaveCaps caps;

  protected:
    void startIn() override;
    void startOut() override;
    MmResult doOpen(uint32_t flags) override;
    MmResult doClose(uint32_t timeoutMs) override;
    MmResult prepareHeader(unaMsAcmDeviceHeader& header) override;
    MmResult unprepareHeader(unaMsAcmDeviceHeader& header) override;
    MmResult afterOpen() override;
    MmResult queueHeader(unaWaveHeader& header) override;
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override;

    // Queues header (a new one when none) and tops the queue up; false when nothing was
    // queued (stopping, queue full, or the card refused).
    bool addBuffers(unaWaveHeader* header);

  private:
    unaWaveCardStream card_;
};

}  // namespace una

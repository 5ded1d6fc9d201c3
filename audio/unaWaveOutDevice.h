#pragma once
// The playback device: plays the PCM that providers write into its input stream.

#include "audio/unaWaveCardStream.h"
#include "audio/unaWaveDevice.h"
#include "audio/unaWaveDevices.h"
#include "platform/soundCard.h"

namespace una {

// Starts once two chunks are waiting and then keeps two to four one-chunk buffers queued with
// the sound card; starves (plays nothing) when the input runs dry. Threading as the stream
// device: providers write from their workers, the time-critical worker queues buffers, the
// application opens and closes.
class unaWaveOutDevice : public unaWaveDevice {
  public:
    static constexpr uint32_t kMinQueued = 2;
    static constexpr uint32_t kMaxQueued = 4;

    unaWaveOutDevice(int32_t deviceId = platform::kWaveMapper, bool mapped = false,
                     bool direct = false, int32_t overNum = 0);

    bool deviceFormatIsSrc() const override { return true; }
    std::string getErrorText(MmResult code) override { return getOutErrorText(code); }
    // Samples played since open; 0 when closed or the card cannot tell.
    int64_t getPosition() override { return card_.position(); }
    // Over- and underruns the card recovered from while open, kept after close for the
    // window to show; 0 before the first open.
    uint32_t xrunCount() { return card_.xrunCount(); }
    // Frames heard at the converter by a moment of the monotonic clock; kMmNotSupported
    // when the card cannot tell, kMmInvalidHandle when closed. Safe from any thread.
    MmResult timing(platform::StreamTiming& out) { return card_.timing(out); }
    // True while open on a device that has gone; its side then runs on without audio until
    // closed.
    bool isDeviceLost() { return card_.isLost(); }
    // What the sound server did to the device (suspended it, moved the stream, went away).
    platform::DeviceState deviceState() { return card_.deviceState(); }
    uint32_t moveCount() { return card_.moveCount(); }
    // Drops all but one waiting chunk of input; false when the device is not open.
    bool flush(bool waitAll) override;

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

  private:
    unaWaveCardStream card_;
};

}  // namespace una

#pragma once
// The codec device: a stream device that converts audio between two formats with a
// compression driver. PCM written into its input leaves it compressed, or compressed input
// leaves it as PCM, one source chunk per conversion. A close converts what is left (the
// driver's carry-over and input short of a chunk) as the end of the stream, so nothing written
// before it is lost.
//
// Threading: the worker thread does every conversion; open and close come from the owner's
// thread under the device's open/close gate; the formats are set by the owner while closed.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/unaMsAcmStreamDevice.h"
#include "platform/compression.h"

namespace una {

class unaMsAcmDriver;
class unaMsAcmCodec;

// How a codec reaches its driver.
inline constexpr int32_t kCodecModeAcmStream = 0;     // the manager's conversion streams
inline constexpr int32_t kCodecModeDriverStream = 1;  // the driver's own stream messages
inline constexpr int32_t kCodecModeNotSupported = 2;
inline constexpr int32_t kCodecModeExternal = 3;      // an encoder object the caller supplies

// The encoder of mode 3: opens, converts and closes on its own terms. Its setting is kept
// across a close and given back at the next open when it has none.
class unaMsAcmExternalEncoder {
  public:
    virtual ~unaMsAcmExternalEncoder() = default;
    virtual MmResult open(const WaveFormatEx& src, const WaveFormatEx& dst) = 0;
    virtual MmResult close() = 0;
    // Output bytes for input (sourceToDestination) or the reverse.
    virtual MmResult size(uint32_t bytes, bool sourceToDestination, uint32_t& out) = 0;
    virtual MmResult convert(platform::AcmStreamHeader& header, uint32_t flags) = 0;
    virtual std::string setting() const = 0;
    virtual void setSetting(const std::string& value) = 0;
};

// One conversion buffer pair: a source chunk and room for what it converts to. Which of the
// two platform headers is used follows the codec's mode.
class unaMsAcmCodecHeader : public unaMsAcmDeviceHeader {
  public:
    unaMsAcmCodecHeader(unaMsAcmCodec* codec, uint32_t sourceSize, uint32_t destinationSize);

    bool isFlagSet(uint32_t flag) const override { return (status() & flag) != 0; }
    void setFlag(uint32_t flag, bool on) override;
    // The inherited one, then nothing used yet.
    void markQueued() override;
    bool isDone() const override;
    bool isInQueue() const override;

    uint8_t* source() { return sourceBuffer.data(); }
    uint32_t sourceLength() const { return stream.sourceLength; }
    // How much of the source buffer the next conversion reads: at most its size.
    void setSourceLength(uint32_t bytes);
    uint32_t sourceUsed() const;
    uint8_t* destination() { return destinationBuffer.data(); }
    uint32_t destinationUsed() const;

    platform::AcmStreamHeader stream;
    platform::AcmDrvStreamHeader driverStream;
    unaMsAcmCodec* const codec;

  private:
    uint32_t status() const;

    std::vector<uint8_t> sourceBuffer;
    std::vector<uint8_t> destinationBuffer;
};

class unaMsAcmCodec : public unaMsAcmStreamDevice {
  public:
    // Input and output memory streams limited to overNum chunks (0: no limit); no volumes.
    // A codec without a driver is allowed: mode 0 then asks the whole manager.
    unaMsAcmCodec(unaMsAcmDriver* driver, bool realTime = false, int32_t overNum = 0,
                  bool highPriority = false, int32_t mode = kCodecModeAcmStream);

    // Flags 0 become non-real-time (unless realTime), plus query when asked; then the
    // inherited open.
    MmResult open(bool query = false, uint32_t timeoutMs = 10000, uint32_t flags = 0) override;
    bool deviceFormatIsSrc() const override { return true; }

    // Sets format on one side and the PCM format the driver suggests for it on the other;
    // false without a driver, in mode 3, or when the driver suggests nothing (the given side
    // stays set).
    bool setFormatSuggestPcm(bool givenIsDst, const WaveFormatEx* format);
    // Sets format on one side and the driver's suggestion of tag (any, for 0) on the other;
    // false without a driver, in mode 3, or when the driver suggests nothing (then neither
    // side is set).
    bool setFormatsByTag(bool givenIsSrc, const WaveFormatEx* format, uint32_t tag);

    // The platform's answers, per mode: 6 in mode 1 without a driver, 8 in mode 2, 11 above 3.
    MmResult streamSize(uint32_t bytes, uint32_t& out, uint32_t flags);
    MmResult reset();
    MmResult convert(unaMsAcmCodecHeader& header, uint32_t flags);

    // Hands mode 3 its encoder (the codec owns it).
    void setExternalEncoder(std::unique_ptr<unaMsAcmExternalEncoder> encoder);

    unaMsAcmDriver* driver() const { return driver_; }
    int32_t codecMode() const { return mode_; }
    bool callbackMode() const { return false; }
    const bool highPriority;

  protected:
    int32_t execute(int32_t slotIndex) override;
    MmResult doOpen(uint32_t flags) override;
    MmResult doClose(uint32_t timeoutMs) override;
    MmResult prepareHeader(unaMsAcmDeviceHeader& header) override;
    MmResult unprepareHeader(unaMsAcmDeviceHeader& header) override;

  private:
    // 0 when the mode may go on; else the mode's fixed answer.
    MmResult modeAnswer() const;
    // The one header the worker converts with, made on first need.
    void makeHeader(uint32_t chunk);
    // Delivers the pending conversion, and keeps the source bytes the driver left for the
    // next one. A driver that took nothing of a whole chunk would stall the stream for good:
    // that chunk is dropped and counted in inLostBytes.
    void deliverPending();
    // At close, on the worker: converts the carry-over and all input still waiting, the last
    // piece marked as the end and not block-aligned, so the driver pads its last block.
    void finishStream();
    intptr_t sendMessage(uint32_t message, intptr_t param1, intptr_t param2);
    uint32_t maxFormatSize();

    unaMsAcmDriver* driver_;
    int32_t mode_;
    std::unique_ptr<unaMsAcmExternalEncoder> encoder_;
    std::string encoderSetting_;
    platform::AcmDrvStreamInstance instance_;
    // The worker's conversion state, kept past its loop for the end of the stream.
    unaMsAcmCodecHeader* header_ = nullptr;
    bool pending_ = false;
    uint32_t carry_ = 0;  // source bytes at the start of the header's buffer, waiting for more
    uint32_t convertFlags_ = 0;
};

}  // namespace una

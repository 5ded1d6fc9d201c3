#pragma once
// The compression manager the program brings along: the PCM converter, IMA ADPCM, G.711
// (A-law and u-law) and GSM 6.10 drivers, listed in that order. Driver ids, driver handles
// and stream handles are distinct numbers. Safe from any thread (one lock guards the tables;
// a stream's conversion runs outside it and belongs to one thread at a time).

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/compression.h"
#include "platform/compressionDriver.h"

namespace platform {

class BuiltinCompression : public Compression {
  public:
    // The four built-in drivers.
    BuiltinCompression();
    // These drivers instead (tests).
    explicit BuiltinCompression(std::vector<std::unique_ptr<CompressionDriver>> drivers);
    ~BuiltinCompression() override;

    uint32_t version() override { return kAcmVersion; }
    uint32_t platformId() override { return 2; }
    MmResult driverEnum(const std::function<bool(AcmId, uint32_t)>& callback,
                        uint32_t flags) override;
    MmResult driverDetailsW(AcmId driverId, AcmDriverDetailsW& details, uint32_t flags) override;
    MmResult driverDetailsA(AcmId driverId, AcmDriverDetailsA& details, uint32_t flags) override;
    MmResult driverOpen(AcmId& handle, AcmId driverId, uint32_t flags) override;
    MmResult driverClose(AcmId handle, uint32_t flags) override;
    intptr_t driverMessage(AcmId handle, uint32_t message, intptr_t param1,
                           intptr_t param2) override;
    intptr_t sendDriverMessage(AcmId handle, uint32_t message, intptr_t param1,
                               intptr_t param2) override;
    MmResult formatTagEnum(AcmId handle, AcmFormatTagDetails& details,
                           const std::function<bool(AcmId, const AcmFormatTagDetails&)>& callback,
                           uint32_t flags) override;
    MmResult formatEnum(AcmId handle, AcmFormatDetails& details,
                        const std::function<bool(AcmId, const AcmFormatDetails&)>& callback,
                        uint32_t flags) override;
    MmResult formatSuggest(AcmId handle, const WaveFormatEx* src, WaveFormatEx* dst,
                           uint32_t dstSize, uint32_t flags) override;
    MmResult metrics(AcmId object, uint32_t metric, uint32_t& value) override;
    MmResult streamOpen(AcmId& stream, AcmId driver, const WaveFormatEx* src,
                        const WaveFormatEx* dst, const void* filter, uintptr_t callback,
                        uintptr_t instance, uint32_t flags) override;
    MmResult streamClose(AcmId stream, uint32_t flags) override;
    MmResult streamSize(AcmId stream, uint32_t input, uint32_t& output, uint32_t flags) override;
    MmResult streamPrepareHeader(AcmId stream, AcmStreamHeader& header, uint32_t flags) override;
    MmResult streamUnprepareHeader(AcmId stream, AcmStreamHeader& header, uint32_t flags) override;
    MmResult streamConvert(AcmId stream, AcmStreamHeader& header, uint32_t flags) override;
    MmResult streamReset(AcmId stream, uint32_t flags) override;

  private:
    struct Stream {
        std::unique_ptr<CompressionConverter> converter;
        size_t driver = 0;
    };

    // The driver of a driver id or an open handle; none for anything else.
    const CompressionDriver* driverOf(AcmId object, size_t* index = nullptr);
    Stream* streamOf(AcmId stream);
    MmResult suggestWith(const CompressionDriver& driver, const WaveFormatEx* src,
                         WaveFormatEx* dst, uint32_t dstSize, uint32_t flags);
    MmResult openWith(size_t driver, const WaveFormatEx* src, const WaveFormatEx* dst,
                      uint32_t flags, std::unique_ptr<CompressionConverter>& out);

    std::vector<std::unique_ptr<CompressionDriver>> drivers_;
    std::mutex lock_;
    std::map<AcmId, size_t> handles_;  // open driver handle -> driver index
    std::map<AcmId, Stream> streams_;
    AcmId nextHandle_ = 0x10000;
};

}  // namespace platform

#pragma once
// The audio compression manager as the codec classes see it: the list of compression drivers,
// their details, format tags and formats, format suggestion, metrics, driver messages and
// conversion streams. Linux has none, so the program brings its own (builtinCompression.h);
// tests put a scripted one in its place. Records keep the layout and the flag values of the
// documented interface so the classes above can be written against it.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/soundCard.h"
#include "platform/waveFormat.h"

namespace platform {

// A driver id, an open driver's handle or a stream handle; 0 is none.
using AcmId = uintptr_t;

inline constexpr uint32_t kAcmVersion = 0x04000000;

// Results of the manager beyond the multimedia codes.
inline constexpr MmResult kAcmErrNotPossible = 512;
inline constexpr MmResult kAcmErrBusy = 513;
inline constexpr MmResult kAcmErrUnprepared = 514;
inline constexpr MmResult kAcmErrCanceled = 515;

inline constexpr uint32_t kAcmMetricMaxSizeFormat = 50;

inline constexpr uint32_t kAcmDriverSupportCodec = 0x1;
inline constexpr uint32_t kAcmDriverSupportConverter = 0x2;

// Suggestion flags (which fields of the destination are given) and enumeration flags (which
// fields of the template restrict the formats) share their values.
inline constexpr uint32_t kAcmFormatSuggestWFormatTag = 0x10000;
inline constexpr uint32_t kAcmFormatSuggestNChannels = 0x20000;
inline constexpr uint32_t kAcmFormatSuggestNSamplesPerSec = 0x40000;
inline constexpr uint32_t kAcmFormatSuggestWBitsPerSample = 0x80000;
inline constexpr uint32_t kAcmFormatEnumWFormatTag = 0x10000;
inline constexpr uint32_t kAcmFormatEnumNChannels = 0x20000;
inline constexpr uint32_t kAcmFormatEnumNSamplesPerSec = 0x40000;
inline constexpr uint32_t kAcmFormatEnumWBitsPerSample = 0x80000;

inline constexpr uint32_t kAcmStreamOpenQuery = 0x1;
inline constexpr uint32_t kAcmStreamOpenNonRealtime = 0x4;
inline constexpr uint32_t kAcmStreamSizeSource = 0x0;
inline constexpr uint32_t kAcmStreamSizeDestination = 0x1;
inline constexpr uint32_t kAcmConvertBlockAlign = 0x4;
inline constexpr uint32_t kAcmConvertStart = 0x10;
inline constexpr uint32_t kAcmConvertEnd = 0x20;

inline constexpr uint32_t kAcmHdrDone = 0x10000;
inline constexpr uint32_t kAcmHdrPrepared = 0x20000;
inline constexpr uint32_t kAcmHdrInQueue = 0x100000;

// Messages a driver answers (param1 and param2 point to the records below).
inline constexpr uint32_t kAcmdmDriverDetails = 0x600A;
inline constexpr uint32_t kAcmdmFormatSuggest = 0x601B;
inline constexpr uint32_t kAcmdmStreamOpen = 0x604C;
inline constexpr uint32_t kAcmdmStreamClose = 0x604D;
inline constexpr uint32_t kAcmdmStreamSize = 0x604E;
inline constexpr uint32_t kAcmdmStreamConvert = 0x604F;
inline constexpr uint32_t kAcmdmStreamReset = 0x6050;
inline constexpr uint32_t kAcmdmStreamPrepare = 0x6051;
inline constexpr uint32_t kAcmdmStreamUnprepare = 0x6052;

#pragma pack(push, 1)
struct AcmDriverDetailsW {
    uint32_t size = 1800;
    uint32_t type = 0;
    uint32_t component = 0;
    uint16_t mid = 0;
    uint16_t pid = 0;
    uint32_t acmVersion = 0;
    uint32_t driverVersion = 0;
    uint32_t support = 0;
    uint32_t formatTagCount = 0;
    uint32_t filterTagCount = 0;
    uint32_t icon = 0;
    char16_t shortName[32] = {};
    char16_t longName[128] = {};
    char16_t copyright[80] = {};
    char16_t licensing[128] = {};
    char16_t features[512] = {};
};
static_assert(sizeof(AcmDriverDetailsW) == 1800);

struct AcmDriverDetailsA {
    uint32_t size = 920;
    uint32_t type = 0;
    uint32_t component = 0;
    uint16_t mid = 0;
    uint16_t pid = 0;
    uint32_t acmVersion = 0;
    uint32_t driverVersion = 0;
    uint32_t support = 0;
    uint32_t formatTagCount = 0;
    uint32_t filterTagCount = 0;
    uint32_t icon = 0;
    char shortName[32] = {};
    char longName[128] = {};
    char copyright[80] = {};
    char licensing[128] = {};
    char features[512] = {};
};
static_assert(sizeof(AcmDriverDetailsA) == 920);

struct AcmFormatTagDetails {
    uint32_t size = 72;
    uint32_t formatTagIndex = 0;
    uint32_t formatTag = 0;
    uint32_t formatSize = 0;  // the largest record of the tag
    uint32_t support = 0;
    uint32_t standardFormats = 0;
    char name[48] = {};
};
static_assert(sizeof(AcmFormatTagDetails) == 72);
#pragma pack(pop)

// The size field the documented record carries; the pointer makes it longer in memory here.
inline constexpr uint32_t kAcmFormatDetailsSize = 152;
struct AcmFormatDetails {
    uint32_t size = kAcmFormatDetailsSize;
    uint32_t formatIndex = 0;
    uint32_t formatTag = 0;
    uint32_t support = 0;
    WaveFormatEx* format = nullptr;  // the caller's buffer of formatSize bytes
    uint32_t formatSize = 0;
    char name[128] = {};
};

inline constexpr uint32_t kAcmStreamHeaderSize = 84;
struct AcmStreamHeader {
    uint32_t size = kAcmStreamHeaderSize;
    uint32_t status = 0;
    uintptr_t user = 0;
    uint8_t* source = nullptr;
    uint32_t sourceLength = 0;
    uint32_t sourceLengthUsed = 0;
    uintptr_t sourceUser = 0;
    uint8_t* destination = nullptr;
    uint32_t destinationLength = 0;
    uint32_t destinationLengthUsed = 0;
    uintptr_t destinationUser = 0;
    uint32_t reserved[10] = {};
};

// The driver's side of a stream header; convertFlags carries the flags of the conversion.
struct AcmDrvStreamHeader {
    uint32_t size = kAcmStreamHeaderSize;
    uint32_t status = 0;
    uintptr_t user = 0;
    uint8_t* source = nullptr;
    uint32_t sourceLength = 0;
    uint32_t sourceLengthUsed = 0;
    uintptr_t sourceUser = 0;
    uint8_t* destination = nullptr;
    uint32_t destinationLength = 0;
    uint32_t destinationLengthUsed = 0;
    uintptr_t destinationUser = 0;
    uint32_t convertFlags = 0;
    uint32_t reserved[9] = {};
};

struct AcmDrvFormatSuggest {
    uint32_t size = 24;
    uint32_t flags = 0;
    WaveFormatEx* source = nullptr;
    uint32_t sourceSize = 0;
    WaveFormatEx* destination = nullptr;
    uint32_t destinationSize = 0;
};

struct AcmDrvStreamInstance {
    uint32_t size = 40;
    WaveFormatEx* source = nullptr;
    WaveFormatEx* destination = nullptr;
    const void* filter = nullptr;
    uintptr_t callback = 0;
    uintptr_t instance = 0;
    uint32_t flags = 0;
    uint32_t openFlags = 0;
    uintptr_t driverData = 0;  // the driver's own, set by its open
    uintptr_t stream = 0;
};

struct AcmDrvStreamSize {
    uint32_t size = 16;
    uint32_t flags = 0;  // kAcmStreamSizeSource: from sourceLength; Destination: the reverse
    uint32_t sourceLength = 0;
    uint32_t destinationLength = 0;
};

// The compression manager. Enumeration callbacks return false to stop. Operations on one
// stream or driver handle come from one thread at a time; the lists may be read from any.
class Compression {
  public:
    Compression() = default;
    Compression(const Compression&) = delete;
    Compression& operator=(const Compression&) = delete;
    virtual ~Compression() = default;

    virtual uint32_t version() = 0;
    // The version query's platform id: above 1, the wide-text details call exists.
    virtual uint32_t platformId() = 0;
    virtual MmResult driverEnum(const std::function<bool(AcmId driverId, uint32_t support)>& callback,
                                uint32_t flags) = 0;
    virtual MmResult driverDetailsW(AcmId driverId, AcmDriverDetailsW& details, uint32_t flags) = 0;
    virtual MmResult driverDetailsA(AcmId driverId, AcmDriverDetailsA& details, uint32_t flags) = 0;
    // handle stays 0 on failure.
    virtual MmResult driverOpen(AcmId& handle, AcmId driverId, uint32_t flags) = 0;
    virtual MmResult driverClose(AcmId handle, uint32_t flags) = 0;
    // A message to an open driver; the driver's answer (0 success, 8 not supported ...).
    virtual intptr_t driverMessage(AcmId handle, uint32_t message, intptr_t param1,
                                   intptr_t param2) = 0;
    // The same for a driver opened outside the manager (by file); its id is its handle.
    virtual intptr_t sendDriverMessage(AcmId handle, uint32_t message, intptr_t param1,
                                       intptr_t param2) = 0;
    // Every tag of the open driver; details.size must be at least 72.
    virtual MmResult formatTagEnum(
        AcmId handle, AcmFormatTagDetails& details,
        const std::function<bool(AcmId handle, const AcmFormatTagDetails&)>& callback,
        uint32_t flags) = 0;
    // The standard formats of details.formatTag, restricted by the fields of details.format
    // that flags name; each is copied into details.format (formats larger than
    // details.formatSize are skipped).
    virtual MmResult formatEnum(
        AcmId handle, AcmFormatDetails& details,
        const std::function<bool(AcmId handle, const AcmFormatDetails&)>& callback,
        uint32_t flags) = 0;
    // Fills dst (dstSize bytes) with a format the driver (or, with handle 0, any driver) can
    // convert src to; the fields that flags name are given in dst already.
    virtual MmResult formatSuggest(AcmId handle, const WaveFormatEx* src, WaveFormatEx* dst,
                                   uint32_t dstSize, uint32_t flags) = 0;
    // object: a driver id, an open driver's handle or 0 for the whole manager.
    virtual MmResult metrics(AcmId object, uint32_t metric, uint32_t& value) = 0;
    virtual MmResult streamOpen(AcmId& stream, AcmId driver, const WaveFormatEx* src,
                                const WaveFormatEx* dst, const void* filter, uintptr_t callback,
                                uintptr_t instance, uint32_t flags) = 0;
    virtual MmResult streamClose(AcmId stream, uint32_t flags) = 0;
    // Bytes on the other side for input bytes (flags kAcmStreamSizeSource: output for that
    // much input; kAcmStreamSizeDestination: input for that much output).
    virtual MmResult streamSize(AcmId stream, uint32_t input, uint32_t& output, uint32_t flags) = 0;
    virtual MmResult streamPrepareHeader(AcmId stream, AcmStreamHeader& header, uint32_t flags) = 0;
    virtual MmResult streamUnprepareHeader(AcmId stream, AcmStreamHeader& header,
                                           uint32_t flags) = 0;
    virtual MmResult streamConvert(AcmId stream, AcmStreamHeader& header, uint32_t flags) = 0;
    virtual MmResult streamReset(AcmId stream, uint32_t flags) = 0;
};

// The process-wide manager: the built-in drivers unless replaced. Never null.
std::shared_ptr<Compression> compression();
// Replaces the process-wide manager; null brings back the built-in one.
void setCompression(std::shared_ptr<Compression> manager);

}  // namespace platform

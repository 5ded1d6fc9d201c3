#pragma once
// One compression driver built into the program, as the built-in manager sees it: its
// details, its tags and standard formats, its suggestion rules, and conversions between its
// formats. Drivers are immutable after construction and safe from any thread; a converter
// belongs to one stream and is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/compression.h"

namespace platform {

// A format record with its extra bytes, as a driver enumerates or suggests it.
using FormatBytes = std::vector<uint8_t>;

inline const WaveFormatEx& asFormat(const FormatBytes& bytes) {
    return *reinterpret_cast<const WaveFormatEx*>(bytes.data());
}
inline WaveFormatEx& asFormat(FormatBytes& bytes) {
    return *reinterpret_cast<WaveFormatEx*>(bytes.data());
}
// The record's size: 16 for PCM, 18 + extraSize otherwise.
uint32_t recordSize(const WaveFormatEx& format);
// A PCM record (18 bytes, extraSize 0).
FormatBytes pcmRecord(uint32_t rate, uint32_t bits, uint32_t channels);
// Copies record into dst of dstSize bytes; false (dst untouched) when it does not fit.
bool copyRecord(const FormatBytes& record, WaveFormatEx* dst, uint32_t dstSize);
// "8.000 kHz, 16 Bit, Mono" and the like, for the format details' name.
std::string formatDetailsName(const WaveFormatEx& format);
bool isPcm16(const WaveFormatEx& format);

class CompressionConverter {
  public:
    CompressionConverter() = default;
    CompressionConverter(const CompressionConverter&) = delete;
    CompressionConverter& operator=(const CompressionConverter&) = delete;
    virtual ~CompressionConverter() = default;

    // The output for bytes of input (sourceToDestination) or the input that gives bytes of
    // output; false when it cannot tell.
    virtual bool size(uint32_t bytes, bool sourceToDestination, uint32_t& out) const = 0;
    // Converts whole blocks of src while they fit into dst; what it used and gave. With
    // kAcmConvertStart the state starts afresh. A source block it cannot parse is skipped,
    // never read past. 0, or a result code.
    virtual MmResult convert(std::span<const uint8_t> src, std::span<uint8_t> dst, uint32_t flags,
                             uint32_t& srcUsed, uint32_t& dstUsed) = 0;
    virtual void reset() {}
};

class CompressionDriver {
  public:
    CompressionDriver() = default;
    CompressionDriver(const CompressionDriver&) = delete;
    CompressionDriver& operator=(const CompressionDriver&) = delete;
    virtual ~CompressionDriver() = default;

    // Fills every field but size.
    virtual void details(AcmDriverDetailsW& out) const = 0;
    virtual std::vector<AcmFormatTagDetails> formatTags() const = 0;
    // The standard formats of the tag, each a whole record; none for a tag it lacks.
    virtual std::vector<FormatBytes> formats(uint32_t tag) const = 0;
    virtual uint32_t maxFormatSize() const = 0;
    // A destination for src that the driver converts to, honouring the fields flags name in
    // dst; kAcmErrNotPossible when there is none.
    virtual MmResult suggest(const WaveFormatEx& src, const WaveFormatEx& given, uint32_t flags,
                             FormatBytes& out) const = 0;
    // A converter from src to dst; with query only whether there would be one.
    // kAcmErrNotPossible when the driver does not convert between the two.
    virtual MmResult open(const WaveFormatEx& src, const WaveFormatEx& dst, bool query,
                          std::unique_ptr<CompressionConverter>& out) const = 0;
};

// The built-in drivers, in the order the manager lists them.
std::unique_ptr<CompressionDriver> makePcmConverterDriver();
std::unique_ptr<CompressionDriver> makeImaAdpcmDriver();
std::unique_ptr<CompressionDriver> makeG711Driver();
std::unique_ptr<CompressionDriver> makeGsmDriver();

}  // namespace platform

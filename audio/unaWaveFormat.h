#pragma once
// Wave format records owned by the devices, and the helpers that build, copy and describe them.
// Pure functions and value types, safe from any thread; the format chooser is installed once by
// the application before any device asks for it.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/soundCard.h"
#include "platform/waveFormat.h"

namespace una {

using platform::MmResult;
using platform::WaveFormatEx;

// Result codes the library produces itself; 12 is its own, for lock and wait time-outs.
inline constexpr MmResult kMmResultOk = platform::kMmNoError;
inline constexpr MmResult kMmResultNotSupported = platform::kMmNotSupported;
inline constexpr MmResult kMmResultInvalidParam = platform::kMmInvalidParam;
inline constexpr MmResult kMmResultTimeout = 12;

// Format chooser style: start the choice from the caller's record.
inline constexpr uint32_t kFormatChooseInitToWfx = 0x40;
// Format chooser enumeration flags.
inline constexpr uint32_t kFormatEnumHardware = 0x400000;
inline constexpr uint32_t kFormatEnumInput = 0x800000;
inline constexpr uint32_t kFormatEnumOutput = 0x1000000;

// A PCM format kept as three numbers, the way the application stores its choices.
struct unaPcmFormat {
    uint32_t samplesPerSec = 0;
    uint32_t bitsPerSample = 0;
    uint32_t channels = 0;
};

// An owned wave format record: 16 bytes for PCM, 18 + extraSize otherwise. The storage is
// never shorter than 18 bytes, so extraSize of a PCM record reads as 0 instead of past the end.
// A value type: copies are deep. An empty record is "none".
class unaWaveFormat {
  public:
    unaWaveFormat() = default;
    // A zeroed record of size bytes; none for 0.
    explicit unaWaveFormat(uint32_t size);
    unaWaveFormat(const unaWaveFormat& other);
    unaWaveFormat& operator=(const unaWaveFormat& other);
    unaWaveFormat(unaWaveFormat&&) noexcept = default;
    unaWaveFormat& operator=(unaWaveFormat&&) noexcept = default;

    explicit operator bool() const { return size_ != 0; }
    WaveFormatEx* get() { return size_ ? reinterpret_cast<WaveFormatEx*>(bytes_.get()) : nullptr; }
    const WaveFormatEx* get() const {
        return size_ ? reinterpret_cast<const WaveFormatEx*>(bytes_.get()) : nullptr;
    }
    WaveFormatEx* operator->() { return get(); }
    const WaveFormatEx* operator->() const { return get(); }
    // The record's bytes as written into a WAV file.
    std::span<const uint8_t> bytes() const { return {bytes_.get(), size_}; }
    std::span<uint8_t> bytes() { return {bytes_.get(), size_}; }
    uint32_t size() const { return size_; }
    void reset();

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    uint32_t size_ = 0;
};

// Bytes of the record: 16 for PCM, 18 + extraSize otherwise.
uint32_t formatRecordSize(const WaveFormatEx& format);

// Fills the PCM fields (extraSize untouched) and returns the record.
WaveFormatEx& fillPcmFormat(WaveFormatEx& format, uint32_t samplesPerSec, uint32_t bitsPerSample,
                            uint32_t channels);
// Makes format a PCM record (18 bytes of storage when it was none) and fills it.
unaWaveFormat& fillPcmFormat(unaWaveFormat& format, uint32_t samplesPerSec, uint32_t bitsPerSample,
                             uint32_t channels);
unaWaveFormat makePcmFormat(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t channels);
inline unaWaveFormat makePcmFormat(const unaPcmFormat& pcm) {
    return makePcmFormat(pcm.samplesPerSec, pcm.bitsPerSample, pcm.channels);
}

// Copies source into copy and returns the copy's size; none source gives 0 and a none copy.
uint32_t duplicateFormat(const WaveFormatEx* source, unaWaveFormat& copy);
// Frees a record made by duplicateFormat; none is allowed.
void freeFormat(unaWaveFormat& format);

// "PCM", "ADPCM", ...; "#" and the number for a tag without a name.
std::string formatTagName(uint32_t tag);
// e.g. "PCM: 44,100 Hz; 16 Bit; Stereo" with the locale's thousands separator; empty for none.
std::string formatToText(const WaveFormatEx* format);
inline std::string formatToText(const unaWaveFormat& format) {
    return formatToText(format.get());
}
// The same with a given separator, for callers that do not want the locale's.
std::string formatToText(const WaveFormatEx* format, char thousandSeparator);

// "<code>: <text>." for the multimedia result codes; unknown codes give "unknown error code".
std::string mmErrorText(MmResult code);

// The format-choice dialog the application installs: edits format in place (the caller owns
// it) and returns 0 when the user confirmed a format.
using unaFormatChooserFn =
    std::function<MmResult(unaWaveFormat& format, uint32_t bufferSize, std::string_view title,
                           uint32_t style, uint32_t enumFlags)>;
// Installs the chooser (none removes it). Call before devices are used from other threads.
void setFormatChooser(unaFormatChooserFn chooser);
// The largest format record the compression layer knows; 0 when it cannot tell.
void setMaxFormatSizeQuery(std::function<uint32_t()> query);

// Runs the installed chooser. Without a record and with kFormatChooseInitToWfx the caller
// gets a default 44100 Hz 16-bit stereo record of the largest format size first.
// No chooser installed: kMmResultNotSupported.
MmResult formatChooser(unaWaveFormat& format, std::string_view title, uint32_t style,
                       uint32_t enumFlags, uint32_t bufferSizeOverride = 0);

}  // namespace una

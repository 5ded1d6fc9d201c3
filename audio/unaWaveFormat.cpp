#include "audio/unaWaveFormat.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "foundation/unaConvert.h"

namespace una {

namespace {

// Storage is never shorter than a full header, so extraSize can always be read.
constexpr uint32_t kMinStorage = sizeof(WaveFormatEx);

std::unique_ptr<uint8_t[]> zeroedStorage(uint32_t size) {
    return std::make_unique<uint8_t[]>(std::max(size, kMinStorage));
}

std::mutex& chooserMutex() {
    static std::mutex mutex;
    return mutex;
}
unaFormatChooserFn& installedChooser() {
    static unaFormatChooserFn chooser;
    return chooser;
}
std::function<uint32_t()>& installedSizeQuery() {
    static std::function<uint32_t()> query;
    return query;
}

}  // namespace

unaWaveFormat::unaWaveFormat(uint32_t size) : size_(size) {
    if (size)
        bytes_ = zeroedStorage(size);
}

unaWaveFormat::unaWaveFormat(const unaWaveFormat& other) : size_(other.size_) {
    if (size_) {
        bytes_ = zeroedStorage(size_);
        std::memcpy(bytes_.get(), other.bytes_.get(), size_);
    }
}

unaWaveFormat& unaWaveFormat::operator=(const unaWaveFormat& other) {
    if (this != &other) {
        unaWaveFormat copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void unaWaveFormat::reset() {
    bytes_.reset();
    size_ = 0;
}

uint32_t formatRecordSize(const WaveFormatEx& format) {
    if (format.formatTag == platform::kWaveFormatPcm)
        return platform::kPcmFormatRecordSize;
    return static_cast<uint32_t>(sizeof(WaveFormatEx)) + format.extraSize;
}

WaveFormatEx& fillPcmFormat(WaveFormatEx& format, uint32_t samplesPerSec, uint32_t bitsPerSample,
                            uint32_t channels) {
    format.formatTag = platform::kWaveFormatPcm;
    format.channels = static_cast<uint16_t>(channels);
    format.samplesPerSec = samplesPerSec;
    format.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
    format.blockAlign =
        static_cast<uint16_t>(static_cast<uint16_t>(format.channels * format.bitsPerSample) / 8);
    format.avgBytesPerSec = format.blockAlign * samplesPerSec;
    return format;
}

unaWaveFormat& fillPcmFormat(unaWaveFormat& format, uint32_t samplesPerSec, uint32_t bitsPerSample,
                             uint32_t channels) {
    if (!format)
        format = unaWaveFormat(platform::kPcmFormatRecordSize);
    fillPcmFormat(*format.get(), samplesPerSec, bitsPerSample, channels);
    return format;
}

unaWaveFormat makePcmFormat(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t channels) {
    unaWaveFormat format;
    fillPcmFormat(format, samplesPerSec, bitsPerSample, channels);
    return format;
}

uint32_t duplicateFormat(const WaveFormatEx* source, unaWaveFormat& copy) {
    if (!source) {
        copy.reset();
        return 0;
    }
    const uint32_t size = formatRecordSize(*source);
    unaWaveFormat result(size);
    std::memcpy(result.bytes().data(), source, size);
    if (size >= sizeof(WaveFormatEx))
        result->extraSize = static_cast<uint16_t>(size - sizeof(WaveFormatEx));
    copy = std::move(result);
    return size;
}

void freeFormat(unaWaveFormat& format) {
    format.reset();
}

std::string formatTagName(uint32_t tag) {
    switch (tag) {
        case 1:
            return "PCM";
        case 2:
            return "ADPCM";
        case 3:
            return "IEEEF";
        case 6:
            return "ALaw";
        case 7:
            return "MuLaw";
        case 8:
            return "DTS";
        case 17:
            return "IMA";
        case 34:
            return "DSP.TS";
        case 49:
            return "GSM";
        case 66:
            return "G.723";
        case 80:
            return "MPEG";
        case 85:
            return "MP3";
        case 352:
            return "MSA";
        default:
            break;
    }
    if (tag >= 112 && tag <= 115)
        return "VOXW";
    if (tag >= 304 && tag <= 306)
        return "ACELP";
    return "#" + std::to_string(tag);
}

std::string formatToText(const WaveFormatEx* format, char separator) {
    if (!format)
        return {};
    std::string channels;
    if (format->channels == 1)
        channels = "Mono";
    else if (format->channels == 2)
        channels = "Stereo";
    else
        channels = std::to_string(format->channels) + " channels";
    return formatTagName(format->formatTag) + ": " +
           int2str(format->samplesPerSec, 10, 3, separator) + " Hz; " +
           std::to_string(format->bitsPerSample) + " Bit; " + channels;
}

std::string formatToText(const WaveFormatEx* format) {
    return formatToText(format, thousandSeparator());
}

std::string mmErrorText(MmResult code) {
    const char* text = "unknown error code";
    switch (code) {
        case 1:
            text = "unspecified error";
            break;
        case 2:
            text = "device ID out of range";
            break;
        case 3:
            text = "driver failed enable";
            break;
        case 4:
            text = "device already allocated";
            break;
        case 5:
            text = "device handle is invalid";
            break;
        case 6:
            text = "no device driver present";
            break;
        case 7:
            text = "memory allocation error";
            break;
        case 8:
            text = "function isn't supported";
            break;
        case 9:
            text = "error value out of range";
            break;
        case 10:
            text = "invalid flag passed";
            break;
        case 11:
            text = "invalid parameter passed";
            break;
        case 12:
            text = "handle being used simultaneously on another thread (eg callback)";
            break;
        case 13:
            text = "specified alias not found";
            break;
        case 14:
            text = "bad registry database";
            break;
        case 15:
            text = "registry key not found";
            break;
        case 16:
            text = "registry read error";
            break;
        case 17:
            text = "registry write error";
            break;
        case 18:
            text = "registry delete error";
            break;
        case 19:
            text = "registry value not found";
            break;
        case 20:
            text = "driver does not call DriverCallback";
            break;
        case 512:
            text = "NOT POSSIBLE";
            break;
        case 513:
            text = "BUSY";
            break;
        case 514:
            text = "UNPREPARED";
            break;
        case 515:
            text = "CANCELED";
            break;
        default:
            break;
    }
    return std::to_string(code) + ": " + text + ".";
}

void setFormatChooser(unaFormatChooserFn chooser) {
    std::lock_guard lock(chooserMutex());
    installedChooser() = std::move(chooser);
}

void setMaxFormatSizeQuery(std::function<uint32_t()> query) {
    std::lock_guard lock(chooserMutex());
    installedSizeQuery() = std::move(query);
}

MmResult formatChooser(unaWaveFormat& format, std::string_view title, uint32_t style,
                       uint32_t enumFlags, uint32_t bufferSizeOverride) {
    unaFormatChooserFn chooser;
    std::function<uint32_t()> sizeQuery;
    {
        std::lock_guard lock(chooserMutex());
        chooser = installedChooser();
        sizeQuery = installedSizeQuery();
    }
    uint32_t bufferSize = bufferSizeOverride;
    if (!bufferSize && format)
        bufferSize = formatRecordSize(*format.get());
    if (!format && (style & kFormatChooseInitToWfx)) {
        bufferSize = sizeQuery ? sizeQuery() : 0;
        if (bufferSize == 0)
            bufferSize = sizeof(WaveFormatEx);
        format = unaWaveFormat(bufferSize);
        fillPcmFormat(*format.get(), 44100, 16, 2);
        if (bufferSize >= sizeof(WaveFormatEx))
            format->extraSize = static_cast<uint16_t>(bufferSize - sizeof(WaveFormatEx));
        format->formatTag = platform::kWaveFormatPcm;
    }
    if (!chooser)
        return kMmResultNotSupported;
    return chooser(format, bufferSize, title, style, enumFlags);
}

}  // namespace una

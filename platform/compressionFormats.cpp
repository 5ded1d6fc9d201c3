#include <cstdio>
#include <cstring>

#include "platform/compressionDriver.h"

namespace platform {

uint32_t recordSize(const WaveFormatEx& format) {
    return format.formatTag == kWaveFormatPcm ? kPcmFormatRecordSize : 18u + format.extraSize;
}

FormatBytes pcmRecord(uint32_t rate, uint32_t bits, uint32_t channels) {
    FormatBytes bytes(18, 0);
    WaveFormatEx& f = asFormat(bytes);
    f.formatTag = kWaveFormatPcm;
    f.channels = static_cast<uint16_t>(channels);
    f.samplesPerSec = rate;
    f.bitsPerSample = static_cast<uint16_t>(bits);
    f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.avgBytesPerSec = f.blockAlign * rate;
    return bytes;
}

bool copyRecord(const FormatBytes& record, WaveFormatEx* dst, uint32_t dstSize) {
    const uint32_t size = recordSize(asFormat(record));
    if (!dst || dstSize < size || record.size() < size)
        return false;
    std::memcpy(dst, record.data(), size);
    // A PCM record in a larger buffer says it has no extra bytes.
    if (size < 18 && dstSize >= 18)
        dst->extraSize = 0;
    return true;
}

std::string formatDetailsName(const WaveFormatEx& format) {
    char text[64];
    const char* channels = format.channels == 1 ? "Mono" : format.channels == 2 ? "Stereo" : "";
    if (*channels)
        std::snprintf(text, sizeof text, "%u.%03u kHz, %u Bit, %s", format.samplesPerSec / 1000,
                      format.samplesPerSec % 1000, format.bitsPerSample, channels);
    else
        std::snprintf(text, sizeof text, "%u.%03u kHz, %u Bit, %u channels",
                      format.samplesPerSec / 1000, format.samplesPerSec % 1000,
                      format.bitsPerSample, format.channels);
    return text;
}

bool isPcm16(const WaveFormatEx& format) {
    return format.formatTag == kWaveFormatPcm && format.bitsPerSample == 16 &&
           format.channels > 0 && format.samplesPerSec > 0 &&
           format.blockAlign == format.channels * 2;
}

}  // namespace platform

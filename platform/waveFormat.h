#pragma once
// The wave format record shared by the audio devices, the sound card layer and WAV files:
// little-endian and packed, 16 bytes for PCM, 18 + extraSize otherwise (the extra bytes
// follow the record in memory).

#include <cstdint>

namespace platform {

inline constexpr uint16_t kWaveFormatPcm = 1;

#pragma pack(push, 1)
struct WaveFormatEx {
    uint16_t formatTag;
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    uint16_t extraSize;  // absent in a 16-byte PCM record: read it only when the record has 18+
};
#pragma pack(pop)

static_assert(sizeof(WaveFormatEx) == 18);
inline constexpr uint32_t kPcmFormatRecordSize = 16;

}  // namespace platform

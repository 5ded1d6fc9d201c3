#pragma once
// What the WAV file stream needs of the compression drivers: codec devices that turn its PCM
// into a compressed format and back. The driver list of the codec subsystem provides them;
// the stream only opens, feeds, drains and closes what it is given.

#include <cstdint>
#include <vector>

#include "audio/unaMsAcmStreamDevice.h"

namespace una {

// Results of the makers: a chain ready to open, no driver for the tag, or a driver that
// could not be set up for the formats.
inline constexpr int32_t kCodecReady = 1;
inline constexpr int32_t kCodecNoDriver = 3;
inline constexpr int32_t kCodecFailed = 4;

class unaWaveCodecSource {
  public:
    virtual ~unaWaveCodecSource() = default;

    // Devices, not yet opened, that turn pcm into tag when written into the first and read
    // from the last (each chained to the next); the last one's destination format is the
    // file's. chain stays empty unless the result is kCodecReady.
    virtual int32_t makeEncoder(const WaveFormatEx& pcm, uint32_t tag,
                                std::vector<unaPtr<unaMsAcmStreamDevice>>& chain) = 0;
    // A device, not yet opened, that turns coded into PCM (its destination format).
    virtual int32_t makeDecoder(const WaveFormatEx& coded, unaPtr<unaMsAcmStreamDevice>& codec) = 0;
};

}  // namespace una

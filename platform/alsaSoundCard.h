#pragma once
// The sound card reached through ALSA. Device -1 is ALSA's "default"; 0..n-1 are the PCM
// devices ALSA lists for the direction, in ALSA's order. Every open stream runs one thread
// that moves audio between ALSA and the queued buffers. Safe to call from any thread.
// Only the default device's caps list its formats; the others report none.

#include "platform/soundCard.h"

namespace platform {

class AlsaSoundCard final : public SoundCard {
  public:
    AlsaSoundCard() = default;

    uint32_t deviceCount(WaveDirection direction) override;
    MmResult caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) override;
    MmResult open(WaveDirection direction, int32_t deviceId, const WaveFormatEx& format,
                  EventHandle toSignal, uint32_t flags, std::unique_ptr<WaveStream>& out) override;
    // snd_strerror for the card's own codes (kAlsaResultBase up) and the wave error texts for
    // 32 to 35; none for any other code.
    std::optional<std::string> errorText(WaveDirection direction, MmResult code) override;
};

}  // namespace platform

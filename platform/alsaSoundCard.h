#pragma once
// The sound card reached through ALSA. Device -1 is ALSA's "default"; 0..n-1 are the PCM
// devices ALSA lists for the direction, in ALSA's order. Every open stream runs one thread
// that moves audio between ALSA and the queued buffers. Safe to call from any thread.
// Only the default device's caps list its formats; the others report none.

#include <mutex>
#include <string>
#include <vector>

#include "platform/soundCard.h"

namespace platform {

// The ALSA names of the devices 0..n-1 of that direction, in the card's order.
std::vector<std::string> alsaDeviceNames(WaveDirection direction);
// ALSA's configuration is process-global; hold this while a call may (re)read it.
std::mutex& alsaConfigMutex();
// Keeps ALSA's library from printing its errors on stderr.
void quietenAlsaOnce();
// ALSA's UTF-8 text as wide characters, at most maxChars of them; bad bytes become '?'.
std::wstring alsaWideText(const std::string& utf8, size_t maxChars);

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

#pragma once
// The sound card reached through ALSA. Device -1 is ALSA's "default"; 0..n-1 are first the
// sound cards' devices of the direction ("card name: device name", like `arecord -l`), then the
// PCMs the user or administrator configured with a hint, in ALSA's order. The plugins that
// ALSA and its plugin packages define (null, pulse, jack, rate converters ...) are left out. Every open stream runs one thread
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
    // Keys are the ALSA PCM names ("plughw:CARD=CODEC,DEV=0").
    std::vector<DeviceInfo> deviceList(WaveDirection direction) override;
    std::string backendName() const override { return "ALSA"; }
};

}  // namespace platform

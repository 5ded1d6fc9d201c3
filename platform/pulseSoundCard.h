#pragma once
// The sound card reached through the desktop's sound server (PulseAudio, or PipeWire's
// PulseAudio service) with libpulse. Device -1 is the server's default source or sink, and a
// stream on it follows the user's default when that changes. Devices 0..n-1 are, for
// recording, the server's sources (the real inputs first, then the sinks' monitors) and, for
// playback, its sinks, each in the server's order and named by the server's description. A
// stream on a chosen device does not move: it is lost when that device goes.
//
// One libpulse thread per card does all the work, woken by the server (no polling). Every
// operation is safe from any thread. When the server goes away every stream is lost; the card
// connects again at the next list or open.

#include <memory>
#include <string>
#include <vector>

#include "platform/soundCard.h"

namespace platform {

// Codes from kPulseResultBase up are the server's own: base + the libpulse error number.
inline constexpr MmResult kPulseResultBase = 0x20000;

class PulseSoundCard final : public SoundCard {
  public:
    struct Connection;

    // Connects to the server; null when none answers within timeoutMs. `slow`, when given,
    // says whether a server was reached that had not answered by then (one still starting, or
    // stalled). With evenUnanswered such a server's card is returned all the same: it connects
    // at its next list or open.
    static std::shared_ptr<PulseSoundCard> connect(uint32_t timeoutMs, bool* slow = nullptr,
                                                   bool evenUnanswered = false);
    explicit PulseSoundCard(std::shared_ptr<Connection> connection);
    ~PulseSoundCard() override;

    // 0 when the server cannot be reached.
    uint32_t deviceCount(WaveDirection direction) override;
    // The name field holds the description cut to 31 characters; every standard format is
    // offered, since the server converts. kMmBadDeviceId for an id not in the list.
    MmResult caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) override;
    // kMmBadDeviceId for an unknown id or a device gone meanwhile, kWaveErrBadFormat for a
    // format the server cannot take, kMmNoDriver when the server cannot be reached.
    MmResult open(WaveDirection direction, int32_t deviceId, const WaveFormatEx& format,
                  EventHandle toSignal, uint32_t flags, std::unique_ptr<WaveStream>& out) override;
    // The server's text for its own codes (kPulseResultBase up) and the wave error texts.
    std::optional<std::string> errorText(WaveDirection direction, MmResult code) override;
    // "Default (<description of the default device>)" first; keys are the server's device
    // names. Only the mapper's entry when the server cannot be reached.
    std::vector<DeviceInfo> deviceList(WaveDirection direction) override;
    std::string backendName() const override;
    // Whether the server is PipeWire's pulse service. Its streams run on the graph, but their
    // readings are the service's answers, whose breaks tell of one stream only: the delay line
    // does not pair them.
    bool onPipeWire() const;

  private:
    std::shared_ptr<Connection> connection_;
};

}  // namespace platform

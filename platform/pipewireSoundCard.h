#pragma once
// The sound card reached through PipeWire's own protocol (libpipewire), beside the pulse
// service's emulation: its streams' clock readings come from the graph itself (the cycle's
// monotonic time, what is queued and the graph's delay to the device), not from answers
// stamped when sent. Devices are listed as the pulse backend lists them: device -1 is the
// default source or sink (a stream on it follows the user's default), 0..n-1 the sinks, or
// for recording the real sources first, then the sinks' monitors, named by description; keys
// are the nodes' names ("<sink>.monitor" for a monitor). A stream on a chosen device does not
// move: it is lost when that device goes.
//
// One PipeWire thread per card does all the work; every operation is safe from any thread.
// When the server goes away every stream is lost; the card connects again at the next list or
// open.

#include <memory>
#include <string>
#include <vector>

#include "platform/soundCard.h"

namespace platform {

// Codes from kPipeWireResultBase up are the server's own: base + the errno it gave.
inline constexpr MmResult kPipeWireResultBase = 0x30000;

class PipeWireSoundCard final : public SoundCard {
  public:
    struct Connection;

    // Connects to the server; null when none answers within timeoutMs.
    static std::shared_ptr<PipeWireSoundCard> connect(uint32_t timeoutMs);
    explicit PipeWireSoundCard(std::shared_ptr<Connection> connection);
    ~PipeWireSoundCard() override;

    uint32_t deviceCount(WaveDirection direction) override;
    MmResult caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) override;
    MmResult open(WaveDirection direction, int32_t deviceId, const WaveFormatEx& format,
                  EventHandle toSignal, uint32_t flags, std::unique_ptr<WaveStream>& out) override;
    std::optional<std::string> errorText(WaveDirection direction, MmResult code) override;
    std::vector<DeviceInfo> deviceList(WaveDirection direction) override;
    std::string backendName() const override;
    bool streamsShareCycles(int32_t) override { return true; }

  private:
    std::shared_ptr<Connection> connection_;
};

}  // namespace platform

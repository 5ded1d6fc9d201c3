#pragma once
// The mixers reached through ALSA's simple mixer (snd_mixer). How cards and their elements
// become mixers, lines and controls is told at the top of alsaMixer.cpp. One thread at a time.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mixer.h"

namespace platform {

class AlsaAudioMixer final : public AudioMixer {
  public:
    AlsaAudioMixer();
    ~AlsaAudioMixer() override;

    uint32_t mixerCount() override;
    MmResult caps(uint32_t mixer, MixerCaps& out) override;
    MmResult destinationInfo(uint32_t mixer, uint32_t destination, MixerLineInfo& out) override;
    MmResult sourceInfo(uint32_t mixer, uint32_t destination, uint32_t source,
                        MixerLineInfo& out) override;
    MmResult lineControls(uint32_t mixer, uint32_t lineId,
                          std::vector<MixerControlInfo>& out) override;
    MmResult getValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                       uint32_t detailsSize, std::span<uint8_t> out) override;
    MmResult getListTexts(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                          std::vector<MixerListText>& out) override;
    MmResult setValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                       uint32_t detailsSize, std::span<const uint8_t> values) override;
    MmResult open(uint32_t mixer, std::unique_ptr<MixerNotifier>& out) override;
    MmResult mixerOfWaveDevice(int32_t waveDevice, WaveDirection direction,
                               uint32_t& mixer) override;
    int32_t waveDeviceOfMixer(uint32_t mixer, WaveDirection direction) override;
    int32_t preferredWaveDevice(WaveDirection direction) override;

    struct Mixer;

  private:
    std::vector<std::unique_ptr<Mixer>> mixers_;
};

// The card's own device among ALSA's device names for a card id ("PCH", "USB", ...): the
// first of default:CARD=, sysdefault:CARD=, plughw:CARD=..,DEV=0, dsnoop/dmix:CARD=..,DEV=0,
// hw:CARD=..,DEV=0 that is listed, else the first name of that card; -1 when none.
int32_t pickCardDevice(const std::vector<std::string>& names, std::string_view cardId,
                       WaveDirection direction);
// The card id in an ALSA device name ("plughw:CARD=PCH,DEV=0" gives "PCH"); empty when none.
std::string cardIdOfDeviceName(std::string_view name);
// The source component type that an element or item name suggests ("Mic" is a microphone).
uint32_t componentTypeOfName(std::string_view name);

}  // namespace platform

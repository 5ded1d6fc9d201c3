#pragma once
// The mixers reached through ALSA's simple mixer (snd_mixer). How cards and their elements
// become mixers, lines and controls is told at the top of alsaMixer.cpp. One thread at a time.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mixer.h"

namespace platform {

namespace alsa {

// What the mapping needs to know of one simple mixer element.
struct ElementSide {
    bool volume = false;
    bool sw = false;
    bool volumeJoined = false;
    bool switchJoined = false;
    bool switchExclusive = false;
    std::vector<int> channels;  // ALSA channel ids present, in order
    long volumeMin = 0;
    long volumeMax = 0;
};
struct ElementFacts {
    std::string name;
    unsigned index = 0;
    bool enumerated = false;
    bool enumCapture = false;
    std::vector<std::string> enumItems;
    ElementSide playback;
    ElementSide capture;
};

struct ElemRef {
    std::string name;
    unsigned index = 0;
};

enum class Kind { volume, mute, enumSource, switchList };

struct Control {
    MixerControlInfo info;
    Kind kind = Kind::volume;
    bool capture = false;
    ElemRef elem;  // volume, mute, enumSource
    long alsaMin = 0;
    long alsaMax = 0;
    std::vector<int> channels;          // model channel k -> ALSA channel
    std::vector<MixerListText> texts;   // lists
    std::vector<ElemRef> itemSwitches;  // switchList: each item's element
    std::vector<unsigned> enumItems;    // enumSource: each item's enum index
};

struct Line {
    MixerLineInfo info;
    std::vector<Control> controls;
};

struct Destination {
    Line line;
    std::vector<Line> sources;  // by platform source index
};

// The destinations, lines and controls that the elements (in ALSA's order) make.
std::vector<Destination> buildLayout(const std::vector<ElementFacts>& elements);

}  // namespace alsa

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
    static int32_t serverDefault(WaveDirection direction);
    MmResult findValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                        uint32_t detailsSize, size_t bytes, Mixer*& m,
                        const alsa::Control*& c) const;

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

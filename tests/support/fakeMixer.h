#pragma once
// Scripted mixers for tests: the test builds mixers, lines and controls with their values,
// sees every write, fails reads on demand and changes values "from another program", which
// open notifiers report through a readable descriptor like the real mixer. One thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mixer.h"

namespace una {

class FakeMixer final : public platform::AudioMixer {
  public:
    struct Control {
        platform::MixerControlInfo info;
        uint32_t channels = 1;         // channels the values hold
        std::vector<uint32_t> values;  // channels x max(items, 1), item-major per channel
        std::vector<platform::MixerListText> texts;
    };
    struct Line {
        platform::MixerLineInfo info;
        std::vector<Control> controls;
    };
    struct Destination {
        Line line;
        std::vector<Line> sources;  // by platform source index
    };
    struct Write {
        uint32_t mixer = 0;
        uint32_t controlId = 0;
        std::vector<uint32_t> values;
    };

    FakeMixer();
    ~FakeMixer() override;

    // ---- building; every call returns the new thing's index or id
    uint32_t addMixer(const std::wstring& name);
    uint32_t addDestination(uint32_t mixer, uint32_t componentType, const std::wstring& name,
                            uint32_t channels = 2, uint32_t targetType = 0);
    // Appended at the next platform source index; returns the line id.
    uint32_t addSource(uint32_t mixer, uint32_t dest, uint32_t componentType,
                       const std::wstring& name, uint32_t channels = 2);
    // A destination's line id.
    uint32_t destinationLineId(uint32_t mixer, uint32_t dest) const;
    // Any control; a control id of 0 gets the next free one. Returns the id.
    uint32_t addControl(uint32_t mixer, uint32_t lineId, platform::MixerControlInfo info,
                        uint32_t channels, std::vector<uint32_t> values,
                        std::vector<platform::MixerListText> texts = {});
    // A volume fader with the bounds and one value per channel (one value: uniform).
    uint32_t addVolume(uint32_t mixer, uint32_t lineId, uint32_t minimum, uint32_t maximum,
                       std::vector<uint32_t> values);
    uint32_t addMute(uint32_t mixer, uint32_t lineId, bool muted, uint32_t channels = 1);
    // A mux over the sources (line ids), `selected` on in each channel.
    uint32_t addMux(uint32_t mixer, uint32_t lineId, const std::vector<uint32_t>& sourceLineIds,
                    uint32_t selected, uint32_t channels = 1);
    // The wave devices of the mixer (-1 none) and the preferred device of each direction.
    void setWaveDevices(uint32_t mixer, int32_t waveIn, int32_t waveOut);
    void setPreferredWaveDevice(platform::WaveDirection direction, int32_t device);

    // ---- inspecting and scripting
    std::vector<uint32_t> values(uint32_t mixer, uint32_t controlId) const;
    // Sets the values as another program would; open notifiers report the control.
    void changeFromOutside(uint32_t mixer, uint32_t controlId, std::vector<uint32_t> values);
    const std::vector<Write>& writes() const { return writes_; }
    void clearWrites() { writes_.clear(); }
    int openNotifiers(uint32_t mixer) const;
    bool failValueReads = false;
    bool failListTexts = false;
    bool notifyOwnWrites = true;

    // ---- platform::AudioMixer
    uint32_t mixerCount() override;
    platform::MmResult caps(uint32_t mixer, platform::MixerCaps& out) override;
    platform::MmResult destinationInfo(uint32_t mixer, uint32_t destination,
                                       platform::MixerLineInfo& out) override;
    platform::MmResult sourceInfo(uint32_t mixer, uint32_t destination, uint32_t source,
                                  platform::MixerLineInfo& out) override;
    platform::MmResult lineControls(uint32_t mixer, uint32_t lineId,
                                    std::vector<platform::MixerControlInfo>& out) override;
    platform::MmResult getValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                 uint32_t items, uint32_t detailsSize,
                                 std::span<uint8_t> out) override;
    platform::MmResult getListTexts(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                    uint32_t items,
                                    std::vector<platform::MixerListText>& out) override;
    platform::MmResult setValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                 uint32_t items, uint32_t detailsSize,
                                 std::span<const uint8_t> values) override;
    platform::MmResult open(uint32_t mixer, std::unique_ptr<platform::MixerNotifier>& out) override;
    platform::MmResult mixerOfWaveDevice(int32_t waveDevice, platform::WaveDirection direction,
                                         uint32_t& mixer) override;
    int32_t waveDeviceOfMixer(uint32_t mixer, platform::WaveDirection direction) override;
    int32_t preferredWaveDevice(platform::WaveDirection direction) override;

    struct Device {
        platform::MixerCaps caps;
        std::vector<Destination> destinations;
        int32_t waveIn = -1;
        int32_t waveOut = -1;
        uint32_t nextControlId = 1;
        uint32_t nextLineId = 0x100;
    };
    struct NotifierState;

  private:
    Line* line(uint32_t mixer, uint32_t lineId);
    Control* control(uint32_t mixer, uint32_t controlId);
    const Control* control(uint32_t mixer, uint32_t controlId) const;
    void notify(uint32_t mixer, uint32_t controlId);

    std::vector<Device> devices_;
    std::vector<Write> writes_;
    int32_t preferredIn_ = -1;
    int32_t preferredOut_ = -1;
    std::vector<std::weak_ptr<NotifierState>> notifiers_;
};

}  // namespace una

#pragma once
// The sound card's mixers as the mixer model sees them: a list of mixers, each with destination
// lines, their source lines, and the controls of every line, all addressed by the mixer's
// index, a destination and source index, a line id or a control id. Control values travel as
// arrays of channels x items values of one details size. The real mixers are ALSA's; tests put
// a scripted one in its place.

#include <poll.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/soundCard.h"

namespace platform {

// Mixer result codes beside the multimedia ones.
inline constexpr MmResult kMixerErrInvalidLine = 1024;
inline constexpr MmResult kMixerErrInvalidControl = 1025;
inline constexpr MmResult kMixerErrInvalidValue = 1026;

// Control type = class | subclass | units | index.
inline constexpr uint32_t kMixerControlClassMask = 0xF0000000;
inline constexpr uint32_t kMixerControlSubclassMask = 0x0F000000;
inline constexpr uint32_t kMixerControlUnitsMask = 0x00FF0000;

inline constexpr uint32_t kMixerControlClassCustom = 0x00000000;
inline constexpr uint32_t kMixerControlClassSwitch = 0x20000000;
inline constexpr uint32_t kMixerControlClassFader = 0x50000000;
inline constexpr uint32_t kMixerControlClassList = 0x70000000;

inline constexpr uint32_t kMixerControlUnitsCustom = 0x00000;
inline constexpr uint32_t kMixerControlUnitsBoolean = 0x10000;
inline constexpr uint32_t kMixerControlUnitsSigned = 0x20000;
inline constexpr uint32_t kMixerControlUnitsUnsigned = 0x30000;
inline constexpr uint32_t kMixerControlUnitsDecibels = 0x40000;
inline constexpr uint32_t kMixerControlUnitsPercent = 0x50000;

inline constexpr uint32_t kMixerControlTypeMute = 0x20010002;
inline constexpr uint32_t kMixerControlTypeVolume = 0x50030001;
inline constexpr uint32_t kMixerControlTypeEqualizer = 0x50030004;
inline constexpr uint32_t kMixerControlTypeSingleSelect = 0x70010000;
inline constexpr uint32_t kMixerControlTypeMux = 0x70010001;
inline constexpr uint32_t kMixerControlTypeMultipleSelect = 0x71010000;
inline constexpr uint32_t kMixerControlTypeMixer = 0x71010001;

inline constexpr uint32_t kMixerControlFlagUniform = 1;
inline constexpr uint32_t kMixerControlFlagMultiple = 2;
inline constexpr uint32_t kMixerControlFlagDisabled = 0x80000000;

inline constexpr uint32_t kMixerLineFlagActive = 1;
inline constexpr uint32_t kMixerLineFlagSource = 0x80000000;

// Component types of destination lines.
inline constexpr uint32_t kMixerDstUndefined = 0;
inline constexpr uint32_t kMixerDstLine = 2;
inline constexpr uint32_t kMixerDstSpeakers = 4;
inline constexpr uint32_t kMixerDstHeadphones = 5;
inline constexpr uint32_t kMixerDstWaveIn = 7;
// Component types of source lines.
inline constexpr uint32_t kMixerSrcUndefined = 0x1000;
inline constexpr uint32_t kMixerSrcDigital = 0x1001;
inline constexpr uint32_t kMixerSrcLine = 0x1002;
inline constexpr uint32_t kMixerSrcMicrophone = 0x1003;
inline constexpr uint32_t kMixerSrcSynthesizer = 0x1004;
inline constexpr uint32_t kMixerSrcCompactDisc = 0x1005;
inline constexpr uint32_t kMixerSrcTelephone = 0x1006;
inline constexpr uint32_t kMixerSrcPcSpeaker = 0x1007;
inline constexpr uint32_t kMixerSrcWaveOut = 0x1008;
inline constexpr uint32_t kMixerSrcAuxiliary = 0x1009;
inline constexpr uint32_t kMixerSrcAnalog = 0x100A;
// Target types.
inline constexpr uint32_t kMixerTargetUndefined = 0;
inline constexpr uint32_t kMixerTargetWaveOut = 1;
inline constexpr uint32_t kMixerTargetWaveIn = 2;

inline constexpr size_t kMixerShortNameMax = 15;
inline constexpr size_t kMixerLongNameMax = 63;
inline constexpr size_t kMixerProductNameMax = 31;
inline constexpr size_t kMixerListTextMax = 63;

struct MixerCaps {
    uint16_t manufacturerId = 0;
    uint16_t productId = 0;
    uint32_t driverVersion = 0;
    std::wstring productName;  // at most kMixerProductNameMax characters
    uint32_t support = 0;
    uint32_t destinations = 0;
};

struct MixerLineInfo {
    uint32_t destination = 0;
    uint32_t source = 0;
    uint32_t lineId = 0;
    uint32_t flags = 0;
    uintptr_t user = 0;
    uint32_t componentType = 0;
    uint32_t channels = 0;
    uint32_t connections = 0;  // destinations only
    uint32_t controls = 0;
    std::wstring shortName;  // at most kMixerShortNameMax characters
    std::wstring name;       // at most kMixerLongNameMax characters
    uint32_t targetType = 0;
    uint32_t targetDeviceId = 0;
    uint16_t targetManufacturerId = 0;
    uint16_t targetProductId = 0;
    uint32_t targetDriverVersion = 0;
    std::wstring targetName;  // at most kMixerProductNameMax characters
};

struct MixerControlInfo {
    uint32_t controlId = 0;
    uint32_t controlType = 0;
    uint32_t flags = 0;
    uint32_t items = 0;  // list entries of a multiple-item control, else 0
    std::wstring shortName;
    std::wstring name;
    // Bounds as the driver's 32-bit words: unsigned for unsigned faders, two's complement for
    // signed units.
    uint32_t minimum = 0;
    uint32_t maximum = 0;
    uint32_t steps = 0;
    uint32_t customDataSize = 0;  // details size of a custom control
};

// One entry of a list control: param1 is the line id of the source the entry selects and
// param2 its component type.
struct MixerListText {
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    std::string name;  // at most kMixerListTextMax characters
};

// An open mixer: the descriptors to watch and the call that reads what arrived on them.
// One thread at a time; destroying it stops the notifications.
class MixerNotifier {
  public:
    MixerNotifier() = default;
    MixerNotifier(const MixerNotifier&) = delete;
    MixerNotifier& operator=(const MixerNotifier&) = delete;
    virtual ~MixerNotifier() = default;

    // The descriptors that become readable when a control changed; may be empty.
    virtual std::vector<pollfd> pollDescriptors() = 0;
    // Reads what is pending without blocking and returns the ids of the controls that changed,
    // each once, in the order of their first change; empty when nothing changed.
    virtual std::vector<uint32_t> handleEvents() = 0;
};

// The mixers. One thread at a time (the model's).
class AudioMixer {
  public:
    AudioMixer() = default;
    AudioMixer(const AudioMixer&) = delete;
    AudioMixer& operator=(const AudioMixer&) = delete;
    virtual ~AudioMixer() = default;

    // Lists the mixers afresh; what the other calls address until the next call. 0 when none.
    virtual uint32_t mixerCount() = 0;
    // kMmBadDeviceId for an unknown mixer.
    virtual MmResult caps(uint32_t mixer, MixerCaps& out) = 0;
    // Destination line `destination`; kMixerErrInvalidLine when there is none.
    virtual MmResult destinationInfo(uint32_t mixer, uint32_t destination, MixerLineInfo& out) = 0;
    // Source line `source` of the destination; kMixerErrInvalidLine when there is none.
    virtual MmResult sourceInfo(uint32_t mixer, uint32_t destination, uint32_t source,
                                MixerLineInfo& out) = 0;
    // Every control of the line, in the line's order; kMixerErrInvalidLine for an unknown id.
    virtual MmResult lineControls(uint32_t mixer, uint32_t lineId,
                                  std::vector<MixerControlInfo>& out) = 0;
    // Fills out with channels x max(items, 1) values of detailsSize bytes, item-major within a
    // channel; kMixerErrInvalidControl for an unknown control (out is left as it was).
    virtual MmResult getValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                               uint32_t items, uint32_t detailsSize, std::span<uint8_t> out) = 0;
    // The list texts of a list control: channels x max(items, 1) records; kMmNotSupported for
    // a control that is not a list.
    virtual MmResult getListTexts(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                  uint32_t items, std::vector<MixerListText>& out) = 0;
    // Writes the values laid out as getValues gives them; kMixerErrInvalidControl or
    // kMixerErrInvalidValue on failure, when nothing may have been written.
    virtual MmResult setValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                               uint32_t items, uint32_t detailsSize,
                               std::span<const uint8_t> values) = 0;
    // Opens the mixer for change notifications; kMmBadDeviceId, out stays empty, on failure.
    virtual MmResult open(uint32_t mixer, std::unique_ptr<MixerNotifier>& out) = 0;

    // The mixer that the wave device (0..n-1 of the sound card's list, or kWaveMapper) belongs
    // to; kMmBadDeviceId when it belongs to none.
    virtual MmResult mixerOfWaveDevice(int32_t waveDevice, WaveDirection direction,
                                       uint32_t& mixer) = 0;
    // The wave device of that direction to use with the mixer; -1 when it has none.
    virtual int32_t waveDeviceOfMixer(uint32_t mixer, WaveDirection direction) = 0;
    // The user's preferred wave device of that direction as an index of the list; -1 when it
    // is not in the list.
    virtual int32_t preferredWaveDevice(WaveDirection direction) = 0;
};

// The process-wide mixers: ALSA unless replaced. Never null.
std::shared_ptr<AudioMixer> audioMixer();
// Replaces the process-wide mixers; null brings back ALSA.
void setAudioMixer(std::shared_ptr<AudioMixer> mixer);

}  // namespace platform

#pragma once
// The sound card's mixers as objects: a system of mixer devices, each with destination lines
// (playback, recording), their source lines (connections) and every line's controls, plus the
// operations the input-selection window needs, addressed by destination and connection index.
//
// Not thread-safe: one thread (the window's) creates, uses and destroys the system, and drives
// the change notifications by watching notificationDescriptors() and calling
// dispatchNotifications() when one of them is readable.

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/unaObject.h"
#include "platform/mixer.h"

namespace una {

class unaMsMixerSystem;
class unaMsMixerDevice;
class unaMsMixerLine;

// Told the id of a control whose value changed, on the thread that dispatches.
using unaMsMixerCallback = std::function<void(uint32_t controlId)>;

class unaMsMixerObject {
  public:
    unaMsMixerObject() = default;
    unaMsMixerObject(const unaMsMixerObject&) = delete;
    unaMsMixerObject& operator=(const unaMsMixerObject&) = delete;
    virtual ~unaMsMixerObject() = default;

    // True for a platform result that means success.
    static bool checkResult(platform::MmResult result) { return result == platform::kMmNoError; }
};

// One control of a line with its values as last read. Values are read afresh by every get;
// every set writes the whole value array (as last read plus the change) once.
class unaMsMixerControl : public unaMsMixerObject {
  public:
    // Copies the record and reads the values (and list texts) once.
    unaMsMixerControl(unaMsMixerLine& line, const platform::MixerControlInfo& record);

    void beginUpdate();
    // Lowers the update depth (never below 0); at 0 applies. False when that write failed.
    bool endUpdate();
    uint32_t getControlId() const { return record_.controlId; }
    // Reads the values (and, until they come, the list texts); false when the values could not
    // be read, which leaves them zero.
    bool refresh();
    // 1 uniform, 2 multiple (also any control with items), -1 disabled.
    bool hasFlag(int32_t flag) const;
    bool isClass(uint32_t controlClass) const { return controlClass_ == controlClass; }
    // The list text of (channel, item); null when there is none.
    const platform::MixerListText* getListItem(int32_t channel, int32_t item);
    // Refresh, then the value at (channel, item); 0 / false when out of range. A channel the
    // control does not have reads as channel 0.
    bool getBoolValue(int32_t channel, int32_t item);
    uint32_t getValue(int32_t channel, int32_t item);
    // Store and write once; a negative channel stands for every channel. False when the write
    // failed or there was nothing to write.
    bool setBoolValue(bool value, int32_t channel, int32_t item);
    bool setValue(uint32_t value, int32_t channel, int32_t item);
    // Writes the value array; false on failure.
    bool apply();

    uint32_t controlType() const { return controlType_; }
    uint32_t controlSubclass() const { return subclass_; }
    uint32_t controlUnits() const { return units_; }
    int32_t multipleItemCount() const { return multipleItemCount_; }
    const platform::MixerControlInfo& record() const { return record_; }
    uint32_t detailsChannels() const { return detailsChannels_; }
    uint32_t detailsItems() const { return detailsItems_; }
    const std::vector<std::string>& listItemNames() const { return listItemNames_; }
    unaMsMixerLine& line() const { return line_; }

  private:
    bool isMultiple() const { return hasFlag(platform::kMixerControlFlagMultiple); }
    std::optional<size_t> valueIndex(int32_t channel, int32_t item) const;
    uint32_t wordAt(size_t index) const;
    void storeWord(size_t index, uint32_t value);
    void storeBool(bool value, int32_t channel, int32_t item);

    int32_t updateDepth_ = 0;
    uint32_t controlType_;
    uint32_t controlClass_;
    uint32_t subclass_;
    uint32_t units_;
    int32_t multipleItemCount_;
    platform::MixerControlInfo record_;
    uint32_t detailsChannels_ = 0;
    uint32_t detailsItems_ = 0;
    uint32_t detailsSize_ = 0;
    std::vector<uint8_t> values_;
    unaMsMixerLine& line_;
    std::vector<platform::MixerListText> listItems_;
    std::vector<std::string> listItemNames_;
    bool listTextsFetched_ = false;
};

// A destination line with its connections, or a source line; both with their controls.
class unaMsMixerLine : public unaMsMixerObject {
  public:
    static constexpr uint32_t kMaxConnections = 128;

    unaMsMixerLine(unaMsMixerDevice& device, uint32_t destIndex, bool isSource,
                   uint32_t sourceIndex);

    // Reads the line record afresh; null (the record keeps only its indices) on failure.
    const platform::MixerLineInfo* getInfo(bool isSource);
    const platform::MixerLineInfo& record() const { return record_; }
    // Null when out of range (and always on a source line).
    unaMsMixerLine* getConnection(int32_t index) const;
    int32_t getConnectionCount() const;
    unaMsMixerControl* getControl(int32_t index) const;
    int32_t getControlCount() const { return static_cast<int32_t>(controls_.size()); }
    unaMsMixerDevice& device() const { return device_; }

  private:
    void enumConnections();
    void enumControls();

    platform::MixerLineInfo record_;
    unaMsMixerDevice& device_;
    std::optional<std::vector<std::unique_ptr<unaMsMixerLine>>> connections_;
    std::vector<std::unique_ptr<unaMsMixerControl>> controls_;
};

// One mixer: its capabilities and destination lines. Open only while it is the system's
// current mixer, to receive change notifications.
class unaMsMixerDevice : public unaMsMixerObject {
  public:
    unaMsMixerDevice(unaMsMixerSystem& system, uint32_t index);
    ~unaMsMixerDevice() override;

    // True when already open or opened; false when the platform refused.
    virtual bool open();
    // True when closed now or already closed.
    virtual bool close();
    // Opens or closes only when the state differs; the open state afterwards.
    bool setActive(bool state);
    bool isOpen() const { return notifier_ != nullptr; }
    // The platform's id of this mixer; -1 when the platform no longer knows it.
    int32_t getMixerId() const;
    unaMsMixerLine* getLine(int32_t index) const;
    int32_t getLineCount() const { return static_cast<int32_t>(lines_.size()); }
    // The first destination line of that type; null when none.
    unaMsMixerLine* findLineByComponentType(uint32_t componentType) const;
    unaMsMixerLine* findLineByTargetType(uint32_t targetType) const;

    uint32_t deviceIndex() const { return index_; }
    const platform::MixerCaps& caps() const { return caps_; }
    unaMsMixerSystem& system() const { return system_; }
    platform::AudioMixer& platformMixer() const;

    // Where change notifications go; empty for none.
    void setCallback(unaMsMixerCallback callback) { callback_ = std::move(callback); }
    // What to watch for notifications: empty unless open with a callback.
    std::vector<pollfd> pollDescriptors() const;
    // Reads what arrived and tells the callback each changed control id; their number.
    int dispatchNotifications();

  private:
    bool getCaps();
    void enumLines();

    uint32_t index_;
    std::unique_ptr<platform::MixerNotifier> notifier_;
    unaMsMixerCallback callback_;
    platform::MixerCaps caps_;
    unaMsMixerSystem& system_;
    std::vector<std::unique_ptr<unaMsMixerLine>> lines_;
};

// Every mixer of the system and one current mixer. Make it with make<unaMsMixerSystem>.
class unaMsMixerSystem : public unaObject {
  public:
    // The platform defaults to the process-wide one.
    explicit unaMsMixerSystem(bool enumerateOnCreate = true,
                              std::shared_ptr<platform::AudioMixer> mixer = nullptr);
    void afterConstruction() override;
    void beforeDestruction() override;

    // Enumerates once; later calls do nothing.
    void ensureEnumerated();
    // Forgets the current mixer and every device, then makes one per platform mixer.
    virtual void enumDevices();
    int32_t getMixerCount() const { return static_cast<int32_t>(devices_.size()); }
    unaMsMixerDevice* getMixer(int32_t index) const;
    unaMsMixerDevice* currentMixer() const { return current_; }

    // Closes the current mixer; makes device index current and opens it, with callback as
    // the target of its notifications. Whether a mixer is current afterwards.
    bool selectMixer(int32_t index, unaMsMixerCallback callback = {});
    // Empty without a current mixer.
    std::wstring getMixerName() const;
    // 0 without a current mixer.
    int32_t getLineCount() const;
    // 0 when the destination does not exist.
    int32_t getConnectionCount(int32_t dest) const;
    // A negative conn is the destination itself; null when missing.
    unaMsMixerLine* getLine(int32_t dest, int32_t conn) const;
    // Empty when missing.
    std::wstring getDestinationName(int32_t dest, bool shortName) const;
    std::wstring getLineName(int32_t dest, int32_t conn, bool shortName) const;
    // The recording (playback false) or playback destination, falling back unless noFallback
    // is positive; -1 when none.
    int32_t getDestinationIndex(bool playback, int32_t noFallback = 0) const;
    // A source line of that component type: the first, or the one with the most controls;
    // -1 when none.
    int32_t findConnection(int32_t dest, uint32_t componentType, bool mostControls = false) const;
    // The line's first control of that class and type; null when none.
    unaMsMixerControl* getControl(int32_t dest, int32_t conn, uint32_t controlClass,
                                  uint32_t controlType) const;
    // -1 when the line has no such control.
    int32_t getVolumeControlId(int32_t dest, int32_t conn) const;
    int32_t getMuteControlId(int32_t dest, int32_t conn) const;
    // Percent 0..100; -1 without a volume control.
    int32_t getLineVolume(int32_t dest, int32_t conn) const;
    // False without a volume control or when the write failed.
    bool setLineVolume(int32_t dest, int32_t conn, int32_t percent) const;
    // 1 muted, 0 sounding, -1 without a mute control.
    int32_t getLineMute(int32_t dest, int32_t conn) const;
    // False without a mute control or when the write failed.
    bool setLineMute(int32_t dest, int32_t conn, bool muted) const;
    // The connection the recording destination's list has selected; -1 when none.
    int32_t getRecordingSource() const;
    // Selects the connection in the recording destination's list; true when it was in one.
    // Without a matching entry unmutes it instead when unmuteIfNoList.
    bool selectRecordingSource(int32_t conn, bool unmuteIfNoList = false) const;
    // The wave device of the current mixer; -1 with mapperCheck when it is also the preferred
    // device, -2 without a current mixer, -3 when the mixer has none.
    int32_t getWaveDeviceIndex(bool recording, bool mapperCheck = false) const;
    // -1 when the wave device belongs to no mixer.
    int32_t getMixerIdOfWaveDevice(int32_t waveIndex, bool recording) const;
    // The preferred device (-1 when not listed) for waveIndex -1, else waveIndex.
    int32_t getPreferredWaveDevice(int32_t waveIndex, bool recording) const;

    // The current mixer's notification descriptors; empty unless selected with a callback.
    std::vector<pollfd> notificationDescriptors() const;
    // Tells the callback what changed on the current mixer; the number of changes.
    int dispatchNotifications();

    platform::AudioMixer& platformMixer() const { return *platform_; }

  private:
    int32_t findDestination(bool playback) const;

    std::shared_ptr<platform::AudioMixer> platform_;
    bool enumerateOnCreate_;
    bool enumerated_ = false;
    std::vector<std::unique_ptr<unaMsMixerDevice>> devices_;
    unaMsMixerDevice* current_ = nullptr;
};

}  // namespace una

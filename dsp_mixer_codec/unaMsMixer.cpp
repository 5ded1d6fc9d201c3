#include "dsp_mixer_codec/unaMsMixer.h"

#include <algorithm>
#include <cstring>

namespace una {

using namespace platform;

namespace {

bool isListType(uint32_t type) {
    return type == kMixerControlTypeEqualizer || type == kMixerControlTypeMux ||
           type == kMixerControlTypeMixer || type == kMixerControlTypeMultipleSelect ||
           type == kMixerControlTypeSingleSelect;
}

uint32_t detailsSizeOf(uint32_t units, const MixerControlInfo& record) {
    switch (units) {
        case kMixerControlUnitsCustom:
            return record.customDataSize;
        case kMixerControlUnitsBoolean:
        case kMixerControlUnitsSigned:
        case kMixerControlUnitsUnsigned:
        case kMixerControlUnitsDecibels:
        case kMixerControlUnitsPercent:
            return 4;
        default:
            return 0;
    }
}

WaveDirection directionOf(bool recording) {
    return recording ? WaveDirection::input : WaveDirection::output;
}

}  // namespace

// ---- unaMsMixerControl

unaMsMixerControl::unaMsMixerControl(unaMsMixerLine& line, const MixerControlInfo& record)
    : controlType_(record.controlType),
      controlClass_(record.controlType & kMixerControlClassMask),
      subclass_(record.controlType & kMixerControlSubclassMask),
      units_(record.controlType & kMixerControlUnitsMask),
      multipleItemCount_(static_cast<int32_t>(record.items)),
      record_(record),
      line_(line) {
    if (controlClass_ == kMixerControlClassCustom)
        detailsChannels_ = 0;
    else if (hasFlag(kMixerControlFlagUniform))
        detailsChannels_ = 1;
    else
        detailsChannels_ = line.record().channels;
    detailsItems_ = isMultiple() ? record_.items : 0;
    refresh();
}

void unaMsMixerControl::beginUpdate() {
    ++updateDepth_;
}

bool unaMsMixerControl::endUpdate() {
    if (updateDepth_ > 0)
        --updateDepth_;
    return updateDepth_ == 0 ? apply() : true;
}

bool unaMsMixerControl::hasFlag(int32_t flag) const {
    if (flag == -1)
        return (record_.flags & kMixerControlFlagDisabled) != 0;
    if (static_cast<uint32_t>(flag) == kMixerControlFlagMultiple && record_.items != 0)
        return true;
    return (record_.flags & static_cast<uint32_t>(flag)) != 0;
}

bool unaMsMixerControl::refresh() {
    AudioMixer& platform = line_.device().platformMixer();
    const uint32_t mixer = line_.device().deviceIndex();
    if (!listTextsFetched_ && (isClass(kMixerControlClassList) || isListType(controlType_))) {
        std::vector<MixerListText> texts;
        if (checkResult(platform.getListTexts(mixer, record_.controlId, detailsChannels_,
                                              detailsItems_, texts))) {
            listItems_ = std::move(texts);
            listItemNames_.clear();
            for (auto& t : listItems_) {
                if (t.name.size() > kMixerListTextMax + 1)
                    t.name.resize(kMixerListTextMax + 1);
                listItemNames_.push_back(t.name);
            }
            listTextsFetched_ = true;
        }
    }
    detailsSize_ = detailsSizeOf(units_, record_);
    if (detailsSize_ == 0)
        return false;
    // A custom control has no channels but still one block per item.
    const size_t blocks =
        (isMultiple() ? record_.items : 1) * std::max<uint32_t>(detailsChannels_, 1);
    values_.assign(blocks * detailsSize_, 0);
    if (checkResult(platform.getValues(mixer, record_.controlId, detailsChannels_, detailsItems_,
                                       detailsSize_, values_)))
        return true;
    std::fill(values_.begin(), values_.end(), 0);
    return false;
}

std::optional<size_t> unaMsMixerControl::valueIndex(int32_t channel, int32_t item) const {
    const int32_t channels = static_cast<int32_t>(std::max<uint32_t>(detailsChannels_, 1));
    const bool multiple = isMultiple();
    const int32_t items = multiple ? static_cast<int32_t>(record_.items) : 1;
    if (hasFlag(kMixerControlFlagUniform))
        channel = 0;
    if (channel < 0 || channel >= channels)
        return std::nullopt;
    if (multiple && (item < 0 || item >= items))
        return std::nullopt;
    size_t index =
        multiple ? static_cast<size_t>(item + channel * items) : static_cast<size_t>(channel);
    if (detailsSize_ == 0 || (index + 1) * detailsSize_ > values_.size())
        return std::nullopt;
    return index;
}

uint32_t unaMsMixerControl::wordAt(size_t index) const {
    uint32_t v = 0;
    std::memcpy(&v, values_.data() + index * detailsSize_, std::min<uint32_t>(detailsSize_, 4));
    return v;
}

void unaMsMixerControl::storeWord(size_t index, uint32_t value) {
    std::memcpy(values_.data() + index * detailsSize_, &value, std::min<uint32_t>(detailsSize_, 4));
}

const MixerListText* unaMsMixerControl::getListItem(int32_t channel, int32_t item) {
    if (!listTextsFetched_)
        refresh();
    const int32_t channels = static_cast<int32_t>(std::max<uint32_t>(detailsChannels_, 1));
    const bool multiple = isMultiple();
    const int32_t items = multiple ? static_cast<int32_t>(record_.items) : 1;
    if (hasFlag(kMixerControlFlagUniform))
        channel = 0;
    if (channel < 0 || channel >= channels || (multiple && (item < 0 || item >= items)))
        return nullptr;
    size_t index =
        multiple ? static_cast<size_t>(item + channel * items) : static_cast<size_t>(channel);
    return index < listItems_.size() ? &listItems_[index] : nullptr;
}

uint32_t unaMsMixerControl::getValue(int32_t channel, int32_t item) {
    refresh();
    auto index = valueIndex(channel, item);
    if (!index && channel > 0)
        index = valueIndex(0, item);
    return index ? wordAt(*index) : 0;
}

bool unaMsMixerControl::getBoolValue(int32_t channel, int32_t item) {
    return getValue(channel, item) != 0;
}

void unaMsMixerControl::storeBool(bool value, int32_t channel, int32_t item) {
    if (!isMultiple()) {
        if (auto index = valueIndex(channel, 0))
            storeWord(*index, value ? 1 : 0);
    } else if (controlType_ != kMixerControlTypeMux) {
        if (auto index = valueIndex(channel, item))
            storeWord(*index, value ? 1 : 0);
    } else if (value && valueIndex(channel, item)) {
        for (int32_t i = 0; i < static_cast<int32_t>(record_.items); ++i)
            if (auto index = valueIndex(channel, i))
                storeWord(*index, i == item ? 1 : 0);
    }
}

bool unaMsMixerControl::setBoolValue(bool value, int32_t channel, int32_t item) {
    beginUpdate();
    if (channel < 0) {
        for (int32_t c = 0; c < static_cast<int32_t>(std::max<uint32_t>(detailsChannels_, 1)); ++c)
            storeBool(value, c, item);
    } else {
        storeBool(value, channel, item);
    }
    return endUpdate();
}

bool unaMsMixerControl::setValue(uint32_t value, int32_t channel, int32_t item) {
    beginUpdate();
    if (channel < 0) {
        for (int32_t c = 0; c < static_cast<int32_t>(std::max<uint32_t>(detailsChannels_, 1)); ++c)
            if (auto index = valueIndex(c, item))
                storeWord(*index, value);
    } else if (auto index = valueIndex(channel, item)) {
        storeWord(*index, value);
    }
    return endUpdate();
}

bool unaMsMixerControl::apply() {
    if (values_.empty())
        return false;
    return checkResult(line_.device().platformMixer().setValues(
        line_.device().deviceIndex(), record_.controlId, detailsChannels_, detailsItems_,
        detailsSize_, values_));
}

// ---- unaMsMixerLine

unaMsMixerLine::unaMsMixerLine(unaMsMixerDevice& device, uint32_t destIndex, bool isSource,
                               uint32_t sourceIndex)
    : device_(device) {
    record_.destination = destIndex;
    record_.source = sourceIndex;
    getInfo(isSource);
    if (!isSource) {
        connections_.emplace();
        enumConnections();
    }
    enumControls();
}

const MixerLineInfo* unaMsMixerLine::getInfo(bool isSource) {
    MixerLineInfo info;
    AudioMixer& platform = device_.platformMixer();
    const MmResult r =
        isSource
            ? platform.sourceInfo(device_.deviceIndex(), record_.destination, record_.source, info)
            : platform.destinationInfo(device_.deviceIndex(), record_.destination, info);
    if (!checkResult(r))
        return nullptr;
    record_ = std::move(info);
    return &record_;
}

void unaMsMixerLine::enumConnections() {
    connections_->clear();
    const uint32_t count = record_.connections;
    const uint32_t exposed = std::min(count, kMaxConnections);
    for (uint32_t k = 0; k < exposed; ++k)
        connections_->push_back(
            std::make_unique<unaMsMixerLine>(device_, record_.destination, true, count - 1 - k));
}

void unaMsMixerLine::enumControls() {
    controls_.clear();
    if (record_.controls == 0)
        return;
    std::vector<MixerControlInfo> records;
    if (!checkResult(
            device_.platformMixer().lineControls(device_.deviceIndex(), record_.lineId, records)))
        return;
    for (const auto& r : records)
        controls_.push_back(std::make_unique<unaMsMixerControl>(*this, r));
}

unaMsMixerLine* unaMsMixerLine::getConnection(int32_t index) const {
    if (!connections_ || index < 0 || index >= static_cast<int32_t>(connections_->size()))
        return nullptr;
    return (*connections_)[index].get();
}

int32_t unaMsMixerLine::getConnectionCount() const {
    return connections_ ? static_cast<int32_t>(connections_->size()) : 0;
}

unaMsMixerControl* unaMsMixerLine::getControl(int32_t index) const {
    if (index < 0 || index >= getControlCount())
        return nullptr;
    return controls_[index].get();
}

// ---- unaMsMixerDevice

unaMsMixerDevice::unaMsMixerDevice(unaMsMixerSystem& system, uint32_t index)
    : index_(index), system_(system) {
    getCaps();
    enumLines();
}

unaMsMixerDevice::~unaMsMixerDevice() {
    notifier_.reset();
}

AudioMixer& unaMsMixerDevice::platformMixer() const {
    return system_.platformMixer();
}

bool unaMsMixerDevice::getCaps() {
    MixerCaps caps;
    if (!checkResult(platformMixer().caps(index_, caps)))
        return false;
    caps_ = std::move(caps);
    return true;
}

void unaMsMixerDevice::enumLines() {
    lines_.clear();
    for (uint32_t d = 0; d < caps_.destinations; ++d)
        lines_.push_back(std::make_unique<unaMsMixerLine>(*this, d, false, 0));
}

bool unaMsMixerDevice::open() {
    if (isOpen())
        return true;
    std::unique_ptr<MixerNotifier> notifier;
    if (!checkResult(platformMixer().open(index_, notifier)) || !notifier)
        return false;
    notifier_ = std::move(notifier);
    return true;
}

bool unaMsMixerDevice::close() {
    notifier_.reset();
    return true;
}

bool unaMsMixerDevice::setActive(bool state) {
    if (state != isOpen()) {
        if (state)
            open();
        else
            close();
    }
    return isOpen();
}

int32_t unaMsMixerDevice::getMixerId() const {
    MixerCaps caps;
    return checkResult(platformMixer().caps(index_, caps)) ? static_cast<int32_t>(index_) : -1;
}

unaMsMixerLine* unaMsMixerDevice::getLine(int32_t index) const {
    if (index < 0 || index >= getLineCount())
        return nullptr;
    return lines_[index].get();
}

unaMsMixerLine* unaMsMixerDevice::findLineByComponentType(uint32_t componentType) const {
    for (const auto& l : lines_)
        if (l->record().componentType == componentType)
            return l.get();
    return nullptr;
}

unaMsMixerLine* unaMsMixerDevice::findLineByTargetType(uint32_t targetType) const {
    for (const auto& l : lines_)
        if (l->record().targetType == targetType)
            return l.get();
    return nullptr;
}

std::vector<pollfd> unaMsMixerDevice::pollDescriptors() const {
    if (!notifier_ || !callback_)
        return {};
    return notifier_->pollDescriptors();
}

int unaMsMixerDevice::dispatchNotifications() {
    if (!notifier_)
        return 0;
    const std::vector<uint32_t> changed = notifier_->handleEvents();
    // The callback may choose another mixer, which closes this one; keep our own copy.
    const unaMsMixerCallback callback = callback_;
    int told = 0;
    for (uint32_t id : changed) {
        if (!callback || system_.currentMixer() != this)
            break;
        callback(id);
        ++told;
    }
    return told;
}

// ---- unaMsMixerSystem

unaMsMixerSystem::unaMsMixerSystem(bool enumerateOnCreate, std::shared_ptr<AudioMixer> mixer)
    : platform_(mixer ? std::move(mixer) : audioMixer()), enumerateOnCreate_(enumerateOnCreate) {}

void unaMsMixerSystem::afterConstruction() {
    unaObject::afterConstruction();
    if (enumerateOnCreate_)
        ensureEnumerated();
}

void unaMsMixerSystem::beforeDestruction() {
    selectMixer(-1);
    devices_.clear();
    unaObject::beforeDestruction();
}

void unaMsMixerSystem::ensureEnumerated() {
    if (enumerated_)
        return;
    enumerated_ = true;
    enumDevices();
}

void unaMsMixerSystem::enumDevices() {
    selectMixer(-1);
    devices_.clear();
    const uint32_t count = platform_->mixerCount();
    for (uint32_t i = 0; i < count; ++i)
        devices_.push_back(std::make_unique<unaMsMixerDevice>(*this, i));
}

unaMsMixerDevice* unaMsMixerSystem::getMixer(int32_t index) const {
    if (index < 0 || index >= getMixerCount())
        return nullptr;
    return devices_[index].get();
}

bool unaMsMixerSystem::selectMixer(int32_t index, unaMsMixerCallback callback) {
    if (current_) {
        current_->close();
        current_->setCallback({});
        current_ = nullptr;
    }
    if (index >= 0 && index < getMixerCount()) {
        current_ = devices_[index].get();
        current_->setCallback(std::move(callback));
        current_->open();
    }
    return current_ != nullptr;
}

std::wstring unaMsMixerSystem::getMixerName() const {
    return current_ ? current_->caps().productName : std::wstring();
}

int32_t unaMsMixerSystem::getLineCount() const {
    return current_ ? current_->getLineCount() : 0;
}

int32_t unaMsMixerSystem::getConnectionCount(int32_t dest) const {
    unaMsMixerLine* line = getLine(dest, -1);
    return line ? line->getConnectionCount() : 0;
}

unaMsMixerLine* unaMsMixerSystem::getLine(int32_t dest, int32_t conn) const {
    if (!current_)
        return nullptr;
    unaMsMixerLine* line = current_->getLine(dest);
    if (!line || conn < 0)
        return line;
    return line->getConnection(conn);
}

std::wstring unaMsMixerSystem::getDestinationName(int32_t dest, bool shortName) const {
    return getLineName(dest, -1, shortName);
}

std::wstring unaMsMixerSystem::getLineName(int32_t dest, int32_t conn, bool shortName) const {
    unaMsMixerLine* line = getLine(dest, conn);
    if (!line)
        return {};
    return shortName ? line->record().shortName : line->record().name;
}

int32_t unaMsMixerSystem::findDestination(bool playback) const {
    const uint32_t first = playback ? kMixerDstSpeakers : kMixerDstWaveIn;
    const uint32_t second = playback ? kMixerDstHeadphones : kMixerDstLine;
    const uint32_t target = playback ? kMixerTargetWaveOut : kMixerTargetWaveIn;
    unaMsMixerLine* found = current_->findLineByComponentType(first);
    if (!found)
        found = current_->findLineByComponentType(second);
    if (!found)
        found = current_->findLineByTargetType(target);
    return found ? static_cast<int32_t>(found->record().destination) : -1;
}

int32_t unaMsMixerSystem::getDestinationIndex(bool playback, int32_t noFallback) const {
    if (!current_)
        return -1;
    const int32_t found = findDestination(playback);
    if (found >= 0 || noFallback > 0)
        return found;
    const int32_t other = getDestinationIndex(!playback, 1);
    const int32_t lines = getLineCount();
    if (other > 0)
        return 0;
    if (other < 0) {
        // A recording fall-back to index 1 only where a second destination exists.
        if (playback)
            return lines >= 1 ? 0 : -1;
        return lines >= 2 ? 1 : -1;
    }
    return lines >= 2 ? 1 : -1;
}

int32_t unaMsMixerSystem::findConnection(int32_t dest, uint32_t componentType,
                                         bool mostControls) const {
    unaMsMixerLine* line = getLine(dest, -1);
    if (!line)
        return -1;
    int32_t best = -1;
    int32_t bestControls = -1;
    for (int32_t k = 0; k < line->getConnectionCount(); ++k) {
        unaMsMixerLine* c = line->getConnection(k);
        if (c->record().componentType != componentType)
            continue;
        if (!mostControls)
            return k;
        if (c->getControlCount() > bestControls) {
            best = k;
            bestControls = c->getControlCount();
        }
    }
    return best;
}

unaMsMixerControl* unaMsMixerSystem::getControl(int32_t dest, int32_t conn, uint32_t controlClass,
                                                uint32_t controlType) const {
    unaMsMixerLine* line = getLine(dest, conn);
    if (!line)
        return nullptr;
    for (int32_t i = 0; i < line->getControlCount(); ++i) {
        unaMsMixerControl* c = line->getControl(i);
        if (c->isClass(controlClass) && c->controlType() == controlType)
            return c;
    }
    return nullptr;
}

int32_t unaMsMixerSystem::getVolumeControlId(int32_t dest, int32_t conn) const {
    auto* c = getControl(dest, conn, kMixerControlClassFader, kMixerControlTypeVolume);
    return c ? static_cast<int32_t>(c->getControlId()) : -1;
}

int32_t unaMsMixerSystem::getMuteControlId(int32_t dest, int32_t conn) const {
    auto* c = getControl(dest, conn, kMixerControlClassSwitch, kMixerControlTypeMute);
    return c ? static_cast<int32_t>(c->getControlId()) : -1;
}

namespace {
uint32_t rangeOf(const MixerControlInfo& r) {
    return std::max(r.minimum, r.maximum) - r.minimum;
}

// Percent of a raw value, counted from the lower bound.
int32_t percentOf(uint32_t value, const MixerControlInfo& r) {
    const uint32_t range = rangeOf(r);
    const uint32_t above = value > r.minimum ? value - r.minimum : 0;
    if (range == 0 || above == 0)
        return 0;
    return static_cast<int32_t>((static_cast<uint64_t>(above) * 100 + range / 2) / range);
}
}  // namespace

int32_t unaMsMixerSystem::getLineVolume(int32_t dest, int32_t conn) const {
    auto* c = getControl(dest, conn, kMixerControlClassFader, kMixerControlTypeVolume);
    if (!c)
        return -1;
    const uint32_t left = c->getValue(0, 0);
    const uint32_t right = c->getValue(1, 0);
    return percentOf(static_cast<uint32_t>(left + right) >> 1, c->record());
}

bool unaMsMixerSystem::setLineVolume(int32_t dest, int32_t conn, int32_t percent) const {
    auto* c = getControl(dest, conn, kMixerControlClassFader, kMixerControlTypeVolume);
    if (!c)
        return false;
    const MixerControlInfo& r = c->record();
    const uint32_t p = static_cast<uint32_t>(std::clamp(percent, 0, 100));
    const uint32_t range = rangeOf(r);
    uint32_t value = p * (range / 100) + r.minimum;
    // Coarse faders (0..31, 0..127) lose too much to whole hundredths: scale exactly there.
    if (percentOf(value, r) != static_cast<int32_t>(p))
        value = r.minimum + static_cast<uint32_t>((static_cast<uint64_t>(p) * range + 50) / 100);
    const bool ok = c->setValue(value, 0, 0);
    if (!c->hasFlag(kMixerControlFlagUniform) && c->detailsChannels() > 1)
        return c->setValue(value, 1, 0) && ok;
    return ok;
}

int32_t unaMsMixerSystem::getLineMute(int32_t dest, int32_t conn) const {
    auto* c = getControl(dest, conn, kMixerControlClassSwitch, kMixerControlTypeMute);
    if (!c)
        return -1;
    return c->getBoolValue(0, 0) ? 1 : 0;
}

bool unaMsMixerSystem::setLineMute(int32_t dest, int32_t conn, bool muted) const {
    auto* c = getControl(dest, conn, kMixerControlClassSwitch, kMixerControlTypeMute);
    if (!c)
        return false;
    return c->setBoolValue(muted, -1, 0);
}

int32_t unaMsMixerSystem::getRecordingSource() const {
    unaMsMixerLine* dest = getLine(getDestinationIndex(false, 0), -1);
    if (!dest)
        return -1;
    for (int32_t i = 0; i < dest->getControlCount(); ++i) {
        unaMsMixerControl* c = dest->getControl(i);
        if (!c->isClass(kMixerControlClassList))
            continue;
        for (int32_t item = 0; item < static_cast<int32_t>(c->record().items); ++item) {
            if (!c->getBoolValue(0, item))
                continue;
            const MixerListText* text = c->getListItem(0, item);
            if (!text)
                continue;
            for (int32_t k = 0; k < dest->getConnectionCount(); ++k)
                if (dest->getConnection(k)->record().lineId == text->param1)
                    return k;
        }
    }
    return -1;
}

bool unaMsMixerSystem::selectRecordingSource(int32_t conn, bool unmuteIfNoList) const {
    const int32_t destIndex = getDestinationIndex(false, 0);
    unaMsMixerLine* dest = getLine(destIndex, -1);
    unaMsMixerLine* source = dest ? dest->getConnection(conn) : nullptr;
    if (!source)
        return false;
    for (int32_t i = 0; i < dest->getControlCount(); ++i) {
        unaMsMixerControl* c = dest->getControl(i);
        if (!c->isClass(kMixerControlClassList))
            continue;
        for (int32_t item = 0; item < static_cast<int32_t>(c->record().items); ++item) {
            const MixerListText* text = c->getListItem(0, item);
            if (text && text->param1 == source->record().lineId) {
                c->setBoolValue(true, 0, item);
                return true;
            }
        }
    }
    if (unmuteIfNoList)
        setLineMute(destIndex, conn, false);
    return false;
}

int32_t unaMsMixerSystem::getWaveDeviceIndex(bool recording, bool mapperCheck) const {
    if (!current_)
        return -2;
    const int32_t device =
        platform_->waveDeviceOfMixer(current_->deviceIndex(), directionOf(recording));
    if (device < 0)
        return -3;
    if (mapperCheck && getMixerIdOfWaveDevice(kWaveMapper, recording) == current_->getMixerId())
        return -1;
    return device;
}

int32_t unaMsMixerSystem::getMixerIdOfWaveDevice(int32_t waveIndex, bool recording) const {
    if (waveIndex == kWaveMapper) {
        const int32_t preferred = getPreferredWaveDevice(kWaveMapper, recording);
        if (preferred >= 0)
            waveIndex = preferred;
    }
    uint32_t mixer = 0;
    if (!unaMsMixerObject::checkResult(
            platform_->mixerOfWaveDevice(waveIndex, directionOf(recording), mixer)))
        return -1;
    return static_cast<int32_t>(mixer);
}

int32_t unaMsMixerSystem::getPreferredWaveDevice(int32_t waveIndex, bool recording) const {
    if (waveIndex != kWaveMapper)
        return waveIndex;
    return platform_->preferredWaveDevice(directionOf(recording));
}

std::vector<pollfd> unaMsMixerSystem::notificationDescriptors() const {
    return current_ ? current_->pollDescriptors() : std::vector<pollfd>{};
}

int unaMsMixerSystem::dispatchNotifications() {
    return current_ ? current_->dispatchNotifications() : 0;
}

}  // namespace una

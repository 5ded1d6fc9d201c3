#include "support/fakeMixer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace una {

using namespace platform;

struct FakeMixer::NotifierState {
    uint32_t mixer = 0;
    int fd = -1;
    std::vector<uint32_t> pending;
};

namespace {

class FakeNotifier final : public MixerNotifier {
  public:
    explicit FakeNotifier(std::shared_ptr<FakeMixer::NotifierState> state)
        : state_(std::move(state)) {}
    ~FakeNotifier() override { ::close(state_->fd); }

    std::vector<pollfd> pollDescriptors() override { return {{state_->fd, POLLIN, 0}}; }

    std::vector<uint32_t> handleEvents() override {
        uint64_t drained;
        while (::read(state_->fd, &drained, sizeof drained) > 0) {
        }
        return std::exchange(state_->pending, {});
    }

  private:
    std::shared_ptr<FakeMixer::NotifierState> state_;
};

}  // namespace

FakeMixer::FakeMixer() = default;
FakeMixer::~FakeMixer() = default;

uint32_t FakeMixer::addMixer(const std::wstring& name) {
    Device d;
    d.caps.productName = name.substr(0, kMixerProductNameMax);
    d.caps.manufacturerId = 1;
    d.caps.productId = static_cast<uint16_t>(devices_.size());
    devices_.push_back(std::move(d));
    return static_cast<uint32_t>(devices_.size() - 1);
}

uint32_t FakeMixer::addDestination(uint32_t mixer, uint32_t componentType, const std::wstring& name,
                                   uint32_t channels, uint32_t targetType) {
    Device& d = devices_.at(mixer);
    Destination dest;
    dest.line.info.destination = static_cast<uint32_t>(d.destinations.size());
    dest.line.info.lineId = d.nextLineId++;
    dest.line.info.flags = kMixerLineFlagActive;
    dest.line.info.componentType = componentType;
    dest.line.info.channels = channels;
    dest.line.info.shortName = name.substr(0, kMixerShortNameMax);
    dest.line.info.name = name.substr(0, kMixerLongNameMax);
    dest.line.info.targetType = targetType;
    d.destinations.push_back(std::move(dest));
    d.caps.destinations = static_cast<uint32_t>(d.destinations.size());
    return d.caps.destinations - 1;
}

uint32_t FakeMixer::addSource(uint32_t mixer, uint32_t dest, uint32_t componentType,
                              const std::wstring& name, uint32_t channels) {
    Device& d = devices_.at(mixer);
    Destination& destination = d.destinations.at(dest);
    Line l;
    l.info.destination = dest;
    l.info.source = static_cast<uint32_t>(destination.sources.size());
    l.info.lineId = d.nextLineId++;
    l.info.flags = kMixerLineFlagActive | kMixerLineFlagSource;
    l.info.componentType = componentType;
    l.info.channels = channels;
    l.info.shortName = name.substr(0, kMixerShortNameMax);
    l.info.name = name.substr(0, kMixerLongNameMax);
    destination.sources.push_back(std::move(l));
    destination.line.info.connections = static_cast<uint32_t>(destination.sources.size());
    return destination.sources.back().info.lineId;
}

uint32_t FakeMixer::destinationLineId(uint32_t mixer, uint32_t dest) const {
    return devices_.at(mixer).destinations.at(dest).line.info.lineId;
}

FakeMixer::Line* FakeMixer::line(uint32_t mixer, uint32_t lineId) {
    if (mixer >= devices_.size())
        return nullptr;
    for (auto& d : devices_[mixer].destinations) {
        if (d.line.info.lineId == lineId)
            return &d.line;
        for (auto& s : d.sources)
            if (s.info.lineId == lineId)
                return &s;
    }
    return nullptr;
}

FakeMixer::Control* FakeMixer::control(uint32_t mixer, uint32_t controlId) {
    return const_cast<Control*>(std::as_const(*this).control(mixer, controlId));
}

const FakeMixer::Control* FakeMixer::control(uint32_t mixer, uint32_t controlId) const {
    if (mixer >= devices_.size())
        return nullptr;
    for (const auto& d : devices_[mixer].destinations) {
        for (const auto& c : d.line.controls)
            if (c.info.controlId == controlId)
                return &c;
        for (const auto& s : d.sources)
            for (const auto& c : s.controls)
                if (c.info.controlId == controlId)
                    return &c;
    }
    return nullptr;
}

uint32_t FakeMixer::addControl(uint32_t mixer, uint32_t lineId, MixerControlInfo info,
                               uint32_t channels, std::vector<uint32_t> values,
                               std::vector<MixerListText> texts) {
    Line* l = line(mixer, lineId);
    if (!l)
        throw std::invalid_argument("FakeMixer: no such line");
    Device& d = devices_[mixer];
    if (info.controlId == 0)
        info.controlId = d.nextControlId++;
    Control c;
    c.info = std::move(info);
    c.channels = channels;
    c.values = std::move(values);
    c.values.resize(channels * std::max<uint32_t>(c.info.items, 1), 0);
    c.texts = std::move(texts);
    l->controls.push_back(std::move(c));
    l->info.controls = static_cast<uint32_t>(l->controls.size());
    return l->controls.back().info.controlId;
}

uint32_t FakeMixer::addVolume(uint32_t mixer, uint32_t lineId, uint32_t minimum, uint32_t maximum,
                              std::vector<uint32_t> values) {
    MixerControlInfo info;
    info.controlType = kMixerControlTypeVolume;
    info.flags = values.size() == 1 ? kMixerControlFlagUniform : 0;
    info.minimum = minimum;
    info.maximum = maximum;
    info.steps = maximum - minimum;
    info.shortName = L"Volume";
    info.name = L"Volume";
    const auto channels = static_cast<uint32_t>(values.size());
    return addControl(mixer, lineId, info, channels, std::move(values));
}

uint32_t FakeMixer::addMute(uint32_t mixer, uint32_t lineId, bool muted, uint32_t channels) {
    MixerControlInfo info;
    info.controlType = kMixerControlTypeMute;
    info.flags = channels == 1 ? kMixerControlFlagUniform : 0;
    info.maximum = 1;
    info.shortName = L"Mute";
    info.name = L"Mute";
    return addControl(mixer, lineId, info, channels,
                      std::vector<uint32_t>(channels, muted ? 1 : 0));
}

uint32_t FakeMixer::addMux(uint32_t mixer, uint32_t lineId,
                           const std::vector<uint32_t>& sourceLineIds, uint32_t selected,
                           uint32_t channels) {
    MixerControlInfo info;
    info.controlType = kMixerControlTypeMux;
    info.flags = kMixerControlFlagMultiple | (channels == 1 ? kMixerControlFlagUniform : 0);
    info.items = static_cast<uint32_t>(sourceLineIds.size());
    info.maximum = info.items ? info.items - 1 : 0;
    info.shortName = L"Mux";
    info.name = L"Recording Source";
    std::vector<uint32_t> values(channels * info.items, 0);
    std::vector<MixerListText> texts;
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t i = 0; i < info.items; ++i) {
            values[c * info.items + i] = i == selected ? 1 : 0;
            const Line* source = line(mixer, sourceLineIds[i]);
            std::string name;
            if (source)
                for (wchar_t ch : source->info.name)
                    name.push_back(static_cast<char>(ch));
            texts.push_back({sourceLineIds[i], source ? source->info.componentType : 0, name});
        }
    return addControl(mixer, lineId, info, channels, std::move(values), std::move(texts));
}

void FakeMixer::setWaveDevices(uint32_t mixer, int32_t waveIn, int32_t waveOut) {
    devices_.at(mixer).waveIn = waveIn;
    devices_.at(mixer).waveOut = waveOut;
}

void FakeMixer::setPreferredWaveDevice(WaveDirection direction, int32_t device) {
    (direction == WaveDirection::input ? preferredIn_ : preferredOut_) = device;
}

std::vector<uint32_t> FakeMixer::values(uint32_t mixer, uint32_t controlId) const {
    const Control* c = control(mixer, controlId);
    return c ? c->values : std::vector<uint32_t>{};
}

void FakeMixer::notify(uint32_t mixer, uint32_t controlId) {
    for (auto& weak : notifiers_) {
        auto state = weak.lock();
        if (!state || state->mixer != mixer)
            continue;
        if (std::find(state->pending.begin(), state->pending.end(), controlId) ==
            state->pending.end())
            state->pending.push_back(controlId);
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(state->fd, &one, sizeof one);
    }
}

void FakeMixer::changeFromOutside(uint32_t mixer, uint32_t controlId,
                                  std::vector<uint32_t> values) {
    Control* c = control(mixer, controlId);
    if (!c)
        throw std::invalid_argument("FakeMixer: no such control");
    values.resize(c->values.size(), 0);
    c->values = std::move(values);
    notify(mixer, controlId);
}

int FakeMixer::openNotifiers(uint32_t mixer) const {
    int n = 0;
    for (const auto& weak : notifiers_)
        if (auto state = weak.lock(); state && state->mixer == mixer)
            ++n;
    return n;
}

uint32_t FakeMixer::mixerCount() {
    return static_cast<uint32_t>(devices_.size());
}

MmResult FakeMixer::caps(uint32_t mixer, MixerCaps& out) {
    if (mixer >= devices_.size())
        return kMmBadDeviceId;
    out = devices_[mixer].caps;
    return kMmNoError;
}

MmResult FakeMixer::destinationInfo(uint32_t mixer, uint32_t destination, MixerLineInfo& out) {
    if (mixer >= devices_.size())
        return kMmBadDeviceId;
    if (destination >= devices_[mixer].destinations.size())
        return kMixerErrInvalidLine;
    out = devices_[mixer].destinations[destination].line.info;
    return kMmNoError;
}

MmResult FakeMixer::sourceInfo(uint32_t mixer, uint32_t destination, uint32_t source,
                               MixerLineInfo& out) {
    if (mixer >= devices_.size())
        return kMmBadDeviceId;
    const auto& dests = devices_[mixer].destinations;
    if (destination >= dests.size() || source >= dests[destination].sources.size())
        return kMixerErrInvalidLine;
    out = dests[destination].sources[source].info;
    return kMmNoError;
}

MmResult FakeMixer::lineControls(uint32_t mixer, uint32_t lineId,
                                 std::vector<MixerControlInfo>& out) {
    if (mixer >= devices_.size())
        return kMmBadDeviceId;
    const Line* l = line(mixer, lineId);
    if (!l)
        return kMixerErrInvalidLine;
    out.clear();
    for (const auto& c : l->controls)
        out.push_back(c.info);
    return kMmNoError;
}

MmResult FakeMixer::getValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                              uint32_t detailsSize, std::span<uint8_t> out) {
    const Control* c = control(mixer, controlId);
    if (!c)
        return kMixerErrInvalidControl;
    if (failValueReads)
        return kMmError;
    const size_t perChannel = std::max<uint32_t>(items, 1);
    if (detailsSize != 4 || out.size() < std::max<uint32_t>(channels, 1) * perChannel * 4)
        return kMmInvalidParam;
    for (uint32_t ch = 0; ch < std::max<uint32_t>(channels, 1); ++ch)
        for (size_t i = 0; i < perChannel; ++i) {
            const size_t at = ch * perChannel + i;
            const uint32_t v = ch < c->channels && at < c->values.size() ? c->values[at] : 0;
            std::memcpy(out.data() + at * 4, &v, 4);
        }
    return kMmNoError;
}

MmResult FakeMixer::getListTexts(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                 uint32_t items, std::vector<MixerListText>& out) {
    const Control* c = control(mixer, controlId);
    if (!c)
        return kMixerErrInvalidControl;
    if ((c->info.controlType & kMixerControlClassMask) != kMixerControlClassList)
        return kMmNotSupported;
    if (failListTexts)
        return kMmError;
    out.clear();
    const size_t perChannel = std::max<uint32_t>(items, 1);
    for (uint32_t ch = 0; ch < std::max<uint32_t>(channels, 1); ++ch)
        for (size_t i = 0; i < perChannel; ++i) {
            const size_t at = ch * perChannel + i;
            out.push_back(at < c->texts.size() ? c->texts[at] : MixerListText{});
        }
    return kMmNoError;
}

MmResult FakeMixer::setValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                              uint32_t detailsSize, std::span<const uint8_t> values) {
    Control* c = control(mixer, controlId);
    if (!c)
        return kMixerErrInvalidControl;
    const size_t perChannel = std::max<uint32_t>(items, 1);
    const size_t count = std::max<uint32_t>(channels, 1) * perChannel;
    if (detailsSize != 4 || values.size() < count * 4)
        return kMmInvalidParam;
    Write w{mixer, controlId, std::vector<uint32_t>(count)};
    std::memcpy(w.values.data(), values.data(), count * 4);
    for (size_t at = 0; at < count && at < c->values.size(); ++at)
        c->values[at] = w.values[at];
    writes_.push_back(std::move(w));
    if (notifyOwnWrites)
        notify(mixer, controlId);
    return kMmNoError;
}

MmResult FakeMixer::open(uint32_t mixer, std::unique_ptr<MixerNotifier>& out) {
    out.reset();
    if (mixer >= devices_.size())
        return kMmBadDeviceId;
    auto state = std::make_shared<NotifierState>();
    state->mixer = mixer;
    state->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->fd < 0)
        return kMmNoMem;
    notifiers_.erase(std::remove_if(notifiers_.begin(), notifiers_.end(),
                                    [](const auto& w) { return w.expired(); }),
                     notifiers_.end());
    notifiers_.push_back(state);
    out = std::make_unique<FakeNotifier>(std::move(state));
    return kMmNoError;
}

MmResult FakeMixer::mixerOfWaveDevice(int32_t waveDevice, WaveDirection direction,
                                      uint32_t& mixer) {
    if (waveDevice == kWaveMapper)
        waveDevice = direction == WaveDirection::input ? preferredIn_ : preferredOut_;
    if (waveDevice < 0)
        return kMmBadDeviceId;
    for (size_t i = 0; i < devices_.size(); ++i) {
        const Device& d = devices_[i];
        if ((direction == WaveDirection::input ? d.waveIn : d.waveOut) == waveDevice) {
            mixer = static_cast<uint32_t>(i);
            return kMmNoError;
        }
    }
    return kMmBadDeviceId;
}

int32_t FakeMixer::waveDeviceOfMixer(uint32_t mixer, WaveDirection direction) {
    if (mixer >= devices_.size())
        return -1;
    return direction == WaveDirection::input ? devices_[mixer].waveIn : devices_[mixer].waveOut;
}

int32_t FakeMixer::preferredWaveDevice(WaveDirection direction) {
    return direction == WaveDirection::input ? preferredIn_ : preferredOut_;
}

}  // namespace una

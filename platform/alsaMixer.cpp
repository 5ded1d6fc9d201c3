// How ALSA becomes mixers, lines and controls.
//
// Mixers: one per sound card (control device hw:N, named after the card), in card order, then
// the control device "default" when it is not a card itself (PulseAudio's or PipeWire's
// plugin, named as the plugin names itself). A card whose mixer cannot be loaded is left out.
//
// Destinations, each only when the mixer has something for it:
//   0  playback (component type speakers, target waveOut): its own controls come from the
//      simple element "Master"; its connections are the other elements with a playback
//      volume or switch.
//   1  recording (component type waveIn, target waveIn): its own controls come from the
//      element "Capture"; its connections are the items of the card's enumerated
//      capture-source element (each with the capture controls of the element of the same
//      name, if any) followed by the other elements with a capture volume or switch.
// Connection k is ALSA's k-th element or item; the platform source index runs the other way
// (count - 1 - k), as the model reads connections from the highest source index down.
//
// Controls of a line, in this order:
//   volume  fader, unsigned, bounds 0 .. (ALSA max - ALSA min); raw value minus ALSA min.
//           Uniform when the element is mono or its volume is joined, else one value per
//           channel in ALSA's channel order.
//   mute    switch, boolean; the element's switch inverted (ALSA's on is sounding).
//   source  recording destination only: a list (uniform, one item per selectable source,
//           item text param1 = the source's line id). Over the enumerated capture-source
//           element it is a mux. Without one, the sources with a capture switch make the
//           list: a mux when the switches are exclusive, else a mixer (several may be on);
//           those switches are still also the sources' mutes.
// Control ids are 1, 2, ... per mixer; line ids are the destination index in the low word and
// the source index + 1 (0 for the destination itself) in the high word.
//
// Wave devices: a device name of ALSA's list that carries CARD=<id> belongs to that card's
// mixer; "default" (and "pulse"/"pipewire") belong to the default mixer, or to the card the
// default control device is. A card mixer's own wave device is chosen by pickCardDevice.

#include "platform/alsaMixer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <utility>

#include "platform/alsaSoundCard.h"
#include "platform/pulseSoundCard.h"

namespace platform {

namespace {

struct MixerDeleter {
    void operator()(snd_mixer_t* m) const { snd_mixer_close(m); }
};
using MixerHandle = std::unique_ptr<snd_mixer_t, MixerDeleter>;

// Non-blocking, so reading pending events to freshen values never waits.
MixerHandle openMixerHandle(const std::string& device) {
    std::lock_guard lock(alsaConfigMutex());
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0)
        return nullptr;
    MixerHandle mixer(raw);
    snd_hctl_t* hctl = nullptr;
    if (snd_hctl_open(&hctl, device.c_str(), SND_CTL_NONBLOCK) < 0)
        return nullptr;
    if (snd_mixer_attach_hctl(mixer.get(), hctl) < 0)  // closes hctl on failure
        return nullptr;
    if (snd_mixer_selem_register(mixer.get(), nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer.get()) < 0)
        return nullptr;
    return mixer;
}

using alsa::Control;
using alsa::Destination;
using alsa::ElementFacts;
using alsa::ElementSide;
using alsa::ElemRef;
using alsa::Kind;
using alsa::Line;

snd_mixer_elem_t* findElem(snd_mixer_t* mixer, const ElemRef& ref) {
    snd_mixer_selem_id_t* sid;
    snd_mixer_selem_id_alloca(&sid);
    snd_mixer_selem_id_set_name(sid, ref.name.c_str());
    snd_mixer_selem_id_set_index(sid, ref.index);
    return snd_mixer_find_selem(mixer, sid);
}

snd_mixer_selem_channel_id_t alsaChannel(int channel) {
    return static_cast<snd_mixer_selem_channel_id_t>(channel);
}

// The first channel an element has on that side; capture switches of list items are read there.
snd_mixer_selem_channel_id_t firstCaptureChannel(snd_mixer_elem_t* e) {
    for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c)
        if (snd_mixer_selem_has_capture_channel(e, alsaChannel(c)))
            return alsaChannel(c);
    return SND_MIXER_SCHN_MONO;
}

ElementFacts factsOf(snd_mixer_elem_t* e) {
    ElementFacts f;
    f.name = snd_mixer_selem_get_name(e);
    f.index = snd_mixer_selem_get_index(e);
    f.enumerated = snd_mixer_selem_is_enumerated(e);
    if (f.enumerated) {
        f.enumCapture = snd_mixer_selem_is_enum_capture(e);
        const int count = snd_mixer_selem_get_enum_items(e);
        for (int i = 0; i < count; ++i) {
            char buf[64] = {};
            snd_mixer_selem_get_enum_item_name(e, static_cast<unsigned>(i), sizeof buf - 1, buf);
            f.enumItems.push_back(buf);
        }
    }
    for (const bool capture : {false, true}) {
        ElementSide& side = capture ? f.capture : f.playback;
        side.volume = capture ? snd_mixer_selem_has_capture_volume(e)
                              : snd_mixer_selem_has_playback_volume(e);
        side.sw = capture ? snd_mixer_selem_has_capture_switch(e)
                          : snd_mixer_selem_has_playback_switch(e);
        side.volumeJoined = capture ? snd_mixer_selem_has_capture_volume_joined(e)
                                    : snd_mixer_selem_has_playback_volume_joined(e);
        side.switchJoined = capture ? snd_mixer_selem_has_capture_switch_joined(e)
                                    : snd_mixer_selem_has_playback_switch_joined(e);
        side.switchExclusive = capture && snd_mixer_selem_has_capture_switch_exclusive(e);
        for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c)
            if (capture ? snd_mixer_selem_has_capture_channel(e, alsaChannel(c))
                        : snd_mixer_selem_has_playback_channel(e, alsaChannel(c)))
                side.channels.push_back(c);
        if (side.volume) {
            if (capture)
                snd_mixer_selem_get_capture_volume_range(e, &side.volumeMin, &side.volumeMax);
            else
                snd_mixer_selem_get_playback_volume_range(e, &side.volumeMin, &side.volumeMax);
        }
    }
    return f;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

const ElementSide& sideOf(const ElementFacts& e, bool capture) {
    return capture ? e.capture : e.playback;
}

std::vector<int> channelsOf(const ElementFacts& e, bool capture) {
    std::vector<int> out = sideOf(e, capture).channels;
    if (out.empty())
        out.push_back(SND_MIXER_SCHN_MONO);
    return out;
}

bool isSourceElement(const ElementFacts& e, bool capture) {
    return !e.enumerated && (sideOf(e, capture).volume || sideOf(e, capture).sw);
}

ElemRef refOf(const ElementFacts& e) {
    return {e.name, e.index};
}

std::string elemLabel(const ElementFacts& e) {
    return e.index ? e.name + " " + std::to_string(e.index) : e.name;
}

// Builds the lines and controls of one mixer from its elements.
class LayoutBuilder {
  public:
    explicit LayoutBuilder(const std::vector<ElementFacts>& elems) : elems_(elems) {}

    std::vector<Destination> build() {
        const ElementFacts* playMaster = find("Master", false);
        const ElementFacts* capMaster = find("Capture", true);
        const ElementFacts* capSource = nullptr;
        for (const auto& e : elems_)
            if (e.enumerated && e.enumCapture) {
                capSource = &e;
                break;
            }

        std::vector<const ElementFacts*> playSources, capElems;
        for (const auto& e : elems_) {
            if (&e != playMaster && isSourceElement(e, false))
                playSources.push_back(&e);
            if (&e != capMaster && isSourceElement(e, true))
                capElems.push_back(&e);
        }

        std::vector<Destination> out;
        if (playMaster || !playSources.empty())
            out.push_back(playback(static_cast<uint32_t>(out.size()), playMaster, playSources));
        if (capMaster || capSource || !capElems.empty())
            out.push_back(
                recording(static_cast<uint32_t>(out.size()), capMaster, capSource, capElems));
        return out;
    }

  private:
    const ElementFacts* find(const char* name, bool capture) const {
        for (const auto& e : elems_)
            if (e.index == 0 && e.name == name && isSourceElement(e, capture))
                return &e;
        return nullptr;
    }

    Destination playback(uint32_t index, const ElementFacts* master,
                         const std::vector<const ElementFacts*>& sources) {
        Destination d;
        d.line = destinationLine(index, kMixerDstSpeakers, kMixerTargetWaveOut, L"Playback", master,
                                 false);
        std::vector<Line> connections;
        for (const auto* e : sources)
            connections.push_back(sourceLine(index, elemLabel(*e), e, false));
        finish(d, std::move(connections));
        return d;
    }

    Destination recording(uint32_t index, const ElementFacts* master,
                          const ElementFacts* sourceEnum,
                          const std::vector<const ElementFacts*>& elems) {
        Destination d;
        d.line =
            destinationLine(index, kMixerDstWaveIn, kMixerTargetWaveIn, L"Recording", master, true);
        std::vector<Line> connections;
        std::vector<bool> attached(elems.size(), false);
        // Which connection each list item selects.
        std::vector<size_t> itemConnection;
        Control list;
        list.capture = true;
        if (sourceEnum) {
            list.kind = Kind::enumSource;
            list.elem = refOf(*sourceEnum);
            list.info.controlType = kMixerControlTypeMux;
            for (size_t i = 0; i < sourceEnum->enumItems.size(); ++i) {
                const std::string& item = sourceEnum->enumItems[i];
                const ElementFacts* same = nullptr;
                for (size_t k = 0; k < elems.size() && !same; ++k)
                    if (!attached[k] && lower(elems[k]->name) == lower(item)) {
                        attached[k] = true;
                        same = elems[k];
                    }
                itemConnection.push_back(connections.size());
                connections.push_back(sourceLine(index, item, same, true));
                list.enumItems.push_back(static_cast<unsigned>(i));
                list.texts.push_back({0, 0, item});
            }
        }
        for (size_t k = 0; k < elems.size(); ++k) {
            if (attached[k])
                continue;
            if (!sourceEnum && elems[k]->capture.sw) {
                itemConnection.push_back(connections.size());
                list.itemSwitches.push_back(refOf(*elems[k]));
                list.texts.push_back({0, 0, elemLabel(*elems[k])});
            }
            connections.push_back(sourceLine(index, elemLabel(*elems[k]), elems[k], true));
        }
        if (!sourceEnum) {
            list.kind = Kind::switchList;
            bool exclusive = true;
            for (const auto& ref : list.itemSwitches)
                for (const auto* e : elems)
                    if (e->name == ref.name && e->index == ref.index)
                        exclusive = exclusive && e->capture.switchExclusive;
            list.info.controlType = exclusive ? kMixerControlTypeMux : kMixerControlTypeMixer;
        }

        finish(d, std::move(connections));
        if (!list.texts.empty()) {
            // Connection k sits at platform source index count - 1 - k.
            const size_t count = d.sources.size();
            for (size_t i = 0; i < list.texts.size(); ++i) {
                const Line& source = d.sources[count - 1 - itemConnection[i]];
                list.texts[i].param1 = source.info.lineId;
                list.texts[i].param2 = source.info.componentType;
            }
            list.info.controlId = nextId_++;
            list.info.flags = kMixerControlFlagUniform | kMixerControlFlagMultiple;
            list.info.items = static_cast<uint32_t>(list.texts.size());
            list.info.maximum = list.info.items - 1;
            list.info.steps = list.info.items;
            const std::string name = sourceEnum ? elemLabel(*sourceEnum) : "Capture Source";
            list.info.name = alsaWideText(name, kMixerLongNameMax);
            list.info.shortName = alsaWideText("Source", kMixerShortNameMax);
            d.line.controls.push_back(std::move(list));
            d.line.info.controls = static_cast<uint32_t>(d.line.controls.size());
        }
        return d;
    }

    static uint32_t lineId(uint32_t dest, uint32_t source) { return ((source + 1) << 16) | dest; }

    static void finish(Destination& d, std::vector<Line> connections) {
        const auto count = static_cast<uint32_t>(connections.size());
        d.line.info.connections = count;
        for (uint32_t k = 0; k < count; ++k) {
            connections[k].info.source = count - 1 - k;
            connections[k].info.lineId = lineId(d.line.info.destination, count - 1 - k);
        }
        std::reverse(connections.begin(), connections.end());
        d.sources = std::move(connections);
    }

    Line destinationLine(uint32_t index, uint32_t component, uint32_t target, const wchar_t* name,
                         const ElementFacts* master, bool capture) {
        Line l;
        l.info.destination = index;
        l.info.lineId = index;
        l.info.flags = kMixerLineFlagActive;
        l.info.componentType = component;
        l.info.targetType = target;
        l.info.shortName = name;
        l.info.name = name;
        l.info.channels = master ? static_cast<uint32_t>(channelsOf(*master, capture).size()) : 2;
        if (master)
            addElementControls(l, *master, capture);
        return l;
    }

    Line sourceLine(uint32_t dest, const std::string& name, const ElementFacts* e, bool capture) {
        Line l;
        l.info.destination = dest;
        l.info.flags = kMixerLineFlagActive | kMixerLineFlagSource;
        l.info.componentType = componentTypeOfName(name);
        if (!capture && l.info.componentType == kMixerSrcWaveOut)
            l.info.targetType = kMixerTargetWaveOut;
        l.info.shortName = alsaWideText(name, kMixerShortNameMax);
        l.info.name = alsaWideText(name, kMixerLongNameMax);
        l.info.channels = e ? static_cast<uint32_t>(channelsOf(*e, capture).size()) : 1;
        if (e)
            addElementControls(l, *e, capture);
        return l;
    }

    void addElementControls(Line& l, const ElementFacts& e, bool capture) {
        const ElementSide& side = sideOf(e, capture);
        const auto channels = channelsOf(e, capture);
        const bool mono = channels.size() == 1;
        const std::string label = elemLabel(e);
        if (side.volume) {
            Control c;
            c.kind = Kind::volume;
            c.capture = capture;
            c.elem = refOf(e);
            c.channels = channels;
            c.alsaMin = side.volumeMin;
            c.alsaMax = std::max(side.volumeMax, side.volumeMin);
            const long span = std::min<long>(c.alsaMax - c.alsaMin, 0x7FFFFFFF);
            c.info.controlId = nextId_++;
            c.info.controlType = kMixerControlTypeVolume;
            c.info.flags = (mono || side.volumeJoined) ? kMixerControlFlagUniform : 0;
            c.info.maximum = static_cast<uint32_t>(span);
            c.info.steps = static_cast<uint32_t>(span);
            c.info.name = alsaWideText(label + " Volume", kMixerLongNameMax);
            c.info.shortName = alsaWideText("Volume", kMixerShortNameMax);
            l.controls.push_back(std::move(c));
        }
        if (side.sw) {
            Control c;
            c.kind = Kind::mute;
            c.capture = capture;
            c.elem = refOf(e);
            c.channels = channels;
            c.info.controlId = nextId_++;
            c.info.controlType = kMixerControlTypeMute;
            c.info.flags = (mono || side.switchJoined) ? kMixerControlFlagUniform : 0;
            c.info.maximum = 1;
            c.info.steps = 2;
            c.info.name = alsaWideText(label + " Mute", kMixerLongNameMax);
            c.info.shortName = alsaWideText("Mute", kMixerShortNameMax);
            l.controls.push_back(std::move(c));
        }
        l.info.controls = static_cast<uint32_t>(l.controls.size());
    }

    const std::vector<ElementFacts>& elems_;
    uint32_t nextId_ = 1;
};

void putWord(std::span<uint8_t> out, size_t index, uint32_t v) {
    std::memcpy(out.data() + index * 4, &v, 4);
}
uint32_t getWord(std::span<const uint8_t> in, size_t index) {
    uint32_t v;
    std::memcpy(&v, in.data() + index * 4, 4);
    return v;
}

// Elements the control's value comes from.
std::vector<ElemRef> sourcesOf(const Control& c) {
    if (c.kind == Kind::switchList)
        return c.itemSwitches;
    return {c.elem};
}

std::string elemKey(const ElemRef& r) {
    return r.name + '\n' + std::to_string(r.index);
}

// Reports the controls of the elements whose values changed, from its own mixer handle.
class AlsaMixerNotifier final : public MixerNotifier {
  public:
    AlsaMixerNotifier(MixerHandle handle, std::map<std::string, std::vector<uint32_t>> idsByElem)
        : handle_(std::move(handle)), idsByElem_(std::move(idsByElem)) {
        for (auto* e = snd_mixer_first_elem(handle_.get()); e; e = snd_mixer_elem_next(e)) {
            auto it = idsByElem_.find(
                elemKey(ElemRef{snd_mixer_selem_get_name(e), snd_mixer_selem_get_index(e)}));
            if (it == idsByElem_.end())
                continue;
            snd_mixer_elem_set_callback_private(e, this);
            snd_mixer_elem_set_callback(e, &AlsaMixerNotifier::onElem);
        }
    }

    std::vector<pollfd> pollDescriptors() override {
        int n = snd_mixer_poll_descriptors_count(handle_.get());
        if (n <= 0)
            return {};
        std::vector<pollfd> fds(static_cast<size_t>(n));
        n = snd_mixer_poll_descriptors(handle_.get(), fds.data(), static_cast<unsigned>(n));
        fds.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return fds;
    }

    std::vector<uint32_t> handleEvents() override {
        snd_mixer_handle_events(handle_.get());
        return std::exchange(pending_, {});
    }

  private:
    static int onElem(snd_mixer_elem_t* e, unsigned int mask) {
        if (mask == SND_CTL_EVENT_MASK_REMOVE || !(mask & SND_CTL_EVENT_MASK_VALUE))
            return 0;
        auto* self = static_cast<AlsaMixerNotifier*>(snd_mixer_elem_get_callback_private(e));
        auto it = self->idsByElem_.find(
            elemKey(ElemRef{snd_mixer_selem_get_name(e), snd_mixer_selem_get_index(e)}));
        if (it == self->idsByElem_.end())
            return 0;
        for (uint32_t id : it->second)
            if (std::find(self->pending_.begin(), self->pending_.end(), id) == self->pending_.end())
                self->pending_.push_back(id);
        return 0;
    }

    MixerHandle handle_;
    std::map<std::string, std::vector<uint32_t>> idsByElem_;
    std::vector<uint32_t> pending_;
};

}  // namespace

std::vector<Destination> alsa::buildLayout(const std::vector<ElementFacts>& elements) {
    return LayoutBuilder(elements).build();
}

struct AlsaAudioMixer::Mixer {
    std::string device;  // "hw:N" or "default"
    int card = -1;       // -1 for the default plugin
    MixerCaps caps;
    MixerHandle handle;
    std::vector<Destination> destinations;

    const Line* line(uint32_t lineId) const {
        for (const auto& d : destinations) {
            if (d.line.info.lineId == lineId)
                return &d.line;
            for (const auto& s : d.sources)
                if (s.info.lineId == lineId)
                    return &s;
        }
        return nullptr;
    }
    const Control* control(uint32_t id) const {
        for (const auto& d : destinations) {
            for (const auto& c : d.line.controls)
                if (c.info.controlId == id)
                    return &c;
            for (const auto& s : d.sources)
                for (const auto& c : s.controls)
                    if (c.info.controlId == id)
                        return &c;
        }
        return nullptr;
    }
};

AlsaAudioMixer::AlsaAudioMixer() {
    quietenAlsaOnce();
}
AlsaAudioMixer::~AlsaAudioMixer() = default;

namespace {
// The default control device's own card, or -1 when it is a plugin; -2 when it cannot open.
int defaultControlCard(std::string& pluginName) {
    std::lock_guard lock(alsaConfigMutex());
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, "default", SND_CTL_NONBLOCK) < 0)
        return -2;
    int card = -1;
    snd_ctl_card_info_t* info;
    snd_ctl_card_info_alloca(&info);
    const bool known = snd_ctl_card_info(ctl, info) >= 0;
    if (snd_ctl_type(ctl) == SND_CTL_TYPE_HW)
        card = known ? snd_ctl_card_info_get_card(info) : -2;
    else
        pluginName = known ? snd_ctl_card_info_get_name(info) : "";
    snd_ctl_close(ctl);
    return card;
}
}  // namespace

uint32_t AlsaAudioMixer::mixerCount() {
    mixers_.clear();
    auto add = [this](std::string device, int card, const std::string& name) {
        auto m = std::make_unique<Mixer>();
        m->device = std::move(device);
        m->card = card;
        m->handle = openMixerHandle(m->device);
        if (!m->handle)
            return;
        std::vector<ElementFacts> elements;
        for (auto* e = snd_mixer_first_elem(m->handle.get()); e; e = snd_mixer_elem_next(e))
            if (snd_mixer_selem_is_active(e))
                elements.push_back(factsOf(e));
        m->destinations = alsa::buildLayout(elements);
        m->caps.manufacturerId = 0xFFFF;
        m->caps.productId = card >= 0 ? static_cast<uint16_t>(card) : 0xFFFF;
        m->caps.driverVersion = SND_LIB_VERSION;
        m->caps.productName = alsaWideText(name, kMixerProductNameMax);
        m->caps.destinations = static_cast<uint32_t>(m->destinations.size());
        mixers_.push_back(std::move(m));
    };
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        char* name = nullptr;
        std::string cardName = "Card " + std::to_string(card);
        if (snd_card_get_name(card, &name) == 0 && name)
            cardName = name;
        std::free(name);
        add("hw:" + std::to_string(card), card, cardName);
    }
    std::string plugin;
    if (defaultControlCard(plugin) == -1)
        add("default", -1, plugin.empty() ? std::string("Default") : plugin);
    return static_cast<uint32_t>(mixers_.size());
}

MmResult AlsaAudioMixer::caps(uint32_t mixer, MixerCaps& out) {
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    out = mixers_[mixer]->caps;
    return kMmNoError;
}

MmResult AlsaAudioMixer::destinationInfo(uint32_t mixer, uint32_t destination, MixerLineInfo& out) {
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    const auto& dests = mixers_[mixer]->destinations;
    if (destination >= dests.size())
        return kMixerErrInvalidLine;
    out = dests[destination].line.info;
    return kMmNoError;
}

MmResult AlsaAudioMixer::sourceInfo(uint32_t mixer, uint32_t destination, uint32_t source,
                                    MixerLineInfo& out) {
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    const auto& dests = mixers_[mixer]->destinations;
    if (destination >= dests.size() || source >= dests[destination].sources.size())
        return kMixerErrInvalidLine;
    out = dests[destination].sources[source].info;
    return kMmNoError;
}

MmResult AlsaAudioMixer::lineControls(uint32_t mixer, uint32_t lineId,
                                      std::vector<MixerControlInfo>& out) {
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    const Line* l = mixers_[mixer]->line(lineId);
    if (!l)
        return kMixerErrInvalidLine;
    out.clear();
    for (const auto& c : l->controls)
        out.push_back(c.info);
    return kMmNoError;
}

// The checks that every value read and write starts with.
MmResult AlsaAudioMixer::findValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                    uint32_t items, uint32_t detailsSize, size_t bytes, Mixer*& m,
                                    const Control*& c) const {
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    m = mixers_[mixer].get();
    c = m->control(controlId);
    if (!c)
        return kMixerErrInvalidControl;
    const size_t perChannel = std::max<uint32_t>(items, 1);
    if (detailsSize != 4 || channels == 0 || bytes < channels * perChannel * 4)
        return kMmInvalidParam;
    return kMmNoError;
}

MmResult AlsaAudioMixer::getValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                   uint32_t items, uint32_t detailsSize, std::span<uint8_t> out) {
    Mixer* mp = nullptr;
    const Control* c = nullptr;
    if (MmResult r = findValues(mixer, controlId, channels, items, detailsSize, out.size(), mp, c))
        return r;
    Mixer& m = *mp;
    const size_t perChannel = std::max<uint32_t>(items, 1);
    // The simple mixer answers from its cache, which only pending events bring up to date.
    if (snd_mixer_handle_events(m.handle.get()) < 0)
        return kMmError;
    snd_mixer_t* h = m.handle.get();
    switch (c->kind) {
        case Kind::volume:
        case Kind::mute: {
            snd_mixer_elem_t* e = findElem(h, c->elem);
            if (!e)
                return kMixerErrInvalidControl;
            for (uint32_t k = 0; k < channels; ++k) {
                auto ch = alsaChannel(c->channels[k < c->channels.size() ? k : 0]);
                long v = 0;
                int sw = 0, err;
                if (c->kind == Kind::volume) {
                    err = c->capture ? snd_mixer_selem_get_capture_volume(e, ch, &v)
                                     : snd_mixer_selem_get_playback_volume(e, ch, &v);
                    v = std::clamp(v, c->alsaMin, c->alsaMax) - c->alsaMin;
                } else {
                    err = c->capture ? snd_mixer_selem_get_capture_switch(e, ch, &sw)
                                     : snd_mixer_selem_get_playback_switch(e, ch, &sw);
                    v = sw ? 0 : 1;
                }
                if (err < 0)
                    return kMmError;
                for (size_t i = 0; i < perChannel; ++i)
                    putWord(out, k * perChannel + i, static_cast<uint32_t>(v));
            }
            return kMmNoError;
        }
        case Kind::enumSource: {
            snd_mixer_elem_t* e = findElem(h, c->elem);
            unsigned current = 0;
            if (!e || snd_mixer_selem_get_enum_item(e, SND_MIXER_SCHN_MONO, &current) < 0)
                return kMmError;
            for (uint32_t k = 0; k < channels; ++k)
                for (size_t i = 0; i < perChannel; ++i)
                    putWord(out, k * perChannel + i,
                            i < c->enumItems.size() && c->enumItems[i] == current ? 1 : 0);
            return kMmNoError;
        }
        case Kind::switchList:
            for (size_t i = 0; i < perChannel; ++i) {
                int sw = 0;
                snd_mixer_elem_t* e =
                    i < c->itemSwitches.size() ? findElem(h, c->itemSwitches[i]) : nullptr;
                if (e)
                    snd_mixer_selem_get_capture_switch(e, firstCaptureChannel(e), &sw);
                for (uint32_t k = 0; k < channels; ++k)
                    putWord(out, k * perChannel + i, sw ? 1 : 0);
            }
            return kMmNoError;
    }
    return kMmError;
}

MmResult AlsaAudioMixer::getListTexts(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                      uint32_t items, std::vector<MixerListText>& out) {
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    const Control* c = mixers_[mixer]->control(controlId);
    if (!c)
        return kMixerErrInvalidControl;
    if (c->kind != Kind::enumSource && c->kind != Kind::switchList)
        return kMmNotSupported;
    out.clear();
    const size_t perChannel = std::max<uint32_t>(items, 1);
    for (uint32_t k = 0; k < channels; ++k)
        for (size_t i = 0; i < perChannel; ++i)
            out.push_back(i < c->texts.size() ? c->texts[i] : MixerListText{});
    return kMmNoError;
}

MmResult AlsaAudioMixer::setValues(uint32_t mixer, uint32_t controlId, uint32_t channels,
                                   uint32_t items, uint32_t detailsSize,
                                   std::span<const uint8_t> values) {
    Mixer* mp = nullptr;
    const Control* c = nullptr;
    if (MmResult r =
            findValues(mixer, controlId, channels, items, detailsSize, values.size(), mp, c))
        return r;
    Mixer& m = *mp;
    const size_t perChannel = std::max<uint32_t>(items, 1);
    snd_mixer_handle_events(m.handle.get());
    snd_mixer_t* h = m.handle.get();
    const bool uniform = c->info.flags & kMixerControlFlagUniform;
    switch (c->kind) {
        case Kind::volume:
        case Kind::mute: {
            snd_mixer_elem_t* e = findElem(h, c->elem);
            if (!e)
                return kMixerErrInvalidControl;
            const uint32_t writes = uniform ? 1 : std::min<uint32_t>(channels, c->channels.size());
            for (uint32_t k = 0; k < writes; ++k) {
                uint32_t word = getWord(values, k * perChannel);
                int err;
                if (c->kind == Kind::volume) {
                    long v = c->alsaMin + std::min<long>(word, c->alsaMax - c->alsaMin);
                    if (uniform)
                        err = c->capture ? snd_mixer_selem_set_capture_volume_all(e, v)
                                         : snd_mixer_selem_set_playback_volume_all(e, v);
                    else
                        err = c->capture ? snd_mixer_selem_set_capture_volume(
                                               e, alsaChannel(c->channels[k]), v)
                                         : snd_mixer_selem_set_playback_volume(
                                               e, alsaChannel(c->channels[k]), v);
                } else {
                    int sw = word ? 0 : 1;
                    if (uniform)
                        err = c->capture ? snd_mixer_selem_set_capture_switch_all(e, sw)
                                         : snd_mixer_selem_set_playback_switch_all(e, sw);
                    else
                        err = c->capture ? snd_mixer_selem_set_capture_switch(
                                               e, alsaChannel(c->channels[k]), sw)
                                         : snd_mixer_selem_set_playback_switch(
                                               e, alsaChannel(c->channels[k]), sw);
                }
                if (err < 0)
                    return kMmError;
            }
            return kMmNoError;
        }
        case Kind::enumSource: {
            snd_mixer_elem_t* e = findElem(h, c->elem);
            if (!e)
                return kMixerErrInvalidControl;
            size_t chosen = perChannel;
            for (size_t i = 0; i < perChannel && i < c->enumItems.size(); ++i)
                if (getWord(values, i)) {
                    chosen = i;
                    break;
                }
            if (chosen == perChannel)
                return kMixerErrInvalidValue;
            if (snd_mixer_selem_set_enum_item(e, SND_MIXER_SCHN_MONO, c->enumItems[chosen]) < 0)
                return kMmError;
            // A source chosen per channel follows the first one; mono elements refuse the rest.
            for (int ch = 1; ch <= SND_MIXER_SCHN_LAST; ++ch)
                if (snd_mixer_selem_set_enum_item(e, alsaChannel(ch), c->enumItems[chosen]) < 0)
                    break;
            return kMmNoError;
        }
        case Kind::switchList: {
            // Switches on first: where they exclude each other, the driver then turns the
            // others off itself, and no moment passes with nothing selected.
            for (int pass = 0; pass < 2; ++pass)
                for (size_t i = 0; i < perChannel && i < c->itemSwitches.size(); ++i) {
                    const bool on = getWord(values, i) != 0;
                    if (on != (pass == 0))
                        continue;
                    snd_mixer_elem_t* e = findElem(h, c->itemSwitches[i]);
                    if (!e)
                        return kMixerErrInvalidControl;
                    int sw = 0;
                    snd_mixer_selem_get_capture_switch(e, firstCaptureChannel(e), &sw);
                    if ((sw != 0) != on && snd_mixer_selem_set_capture_switch_all(e, on) < 0)
                        return kMmError;
                }
            return kMmNoError;
        }
    }
    return kMmError;
}

MmResult AlsaAudioMixer::open(uint32_t mixer, std::unique_ptr<MixerNotifier>& out) {
    out.reset();
    if (mixer >= mixers_.size())
        return kMmBadDeviceId;
    const Mixer& m = *mixers_[mixer];
    MixerHandle handle = openMixerHandle(m.device);
    if (!handle)
        return kMmBadDeviceId;
    std::map<std::string, std::vector<uint32_t>> idsByElem;
    auto note = [&](const Control& c) {
        for (const auto& ref : sourcesOf(c))
            idsByElem[elemKey(ref)].push_back(c.info.controlId);
    };
    for (const auto& d : m.destinations) {
        for (const auto& c : d.line.controls)
            note(c);
        for (const auto& s : d.sources)
            for (const auto& c : s.controls)
                note(c);
    }
    out = std::make_unique<AlsaMixerNotifier>(std::move(handle), std::move(idsByElem));
    return kMmNoError;
}

MmResult AlsaAudioMixer::mixerOfWaveDevice(int32_t waveDevice, WaveDirection direction,
                                           uint32_t& mixer) {
    std::string name = "default";
    if (waveDevice != kWaveMapper && serverDefault(direction) != -2) {
        // Every device of the sound server is behind the server's own mixer.
        if (waveDevice < 0 || waveDevice >= static_cast<int32_t>(soundCard()->deviceCount(direction)))
            return kMmBadDeviceId;
    } else if (waveDevice != kWaveMapper) {
        auto names = alsaDeviceNames(direction);
        if (waveDevice < 0 || static_cast<size_t>(waveDevice) >= names.size())
            return kMmBadDeviceId;
        name = names[waveDevice];
    }
    int card = -2;
    std::string id = cardIdOfDeviceName(name);
    if (!id.empty()) {
        card = snd_card_get_index(id.c_str());
        if (card < 0)
            return kMmBadDeviceId;
    } else if (name == "default" || name == "pulse" || name == "pipewire") {
        for (size_t i = 0; i < mixers_.size(); ++i)
            if (mixers_[i]->card == -1) {
                mixer = static_cast<uint32_t>(i);
                return kMmNoError;
            }
        if (name != "default")
            return kMmBadDeviceId;
        std::string plugin;
        card = defaultControlCard(plugin);
    }
    for (size_t i = 0; i < mixers_.size(); ++i)
        if (card >= 0 && mixers_[i]->card == card) {
            mixer = static_cast<uint32_t>(i);
            return kMmNoError;
        }
    return kMmBadDeviceId;
}

// With the sound server's card: the id of its default device (-1 when none is marked); -2
// with any other card, whose ids are those of alsaDeviceNames.
int32_t AlsaAudioMixer::serverDefault(WaveDirection direction) {
    auto card = soundCard();
    if (!dynamic_cast<PulseSoundCard*>(card.get()))
        return -2;
    const auto list = card->deviceList(direction);
    for (size_t i = 1; i < list.size(); ++i)
        if (list[i].isDefault)
            return static_cast<int32_t>(i) - 1;
    return -1;
}

int32_t AlsaAudioMixer::waveDeviceOfMixer(uint32_t mixer, WaveDirection direction) {
    if (mixer >= mixers_.size())
        return -1;
    const Mixer& m = *mixers_[mixer];
    if (m.card < 0) {
        const int32_t server = serverDefault(direction);
        if (server != -2)
            return server;
    }
    auto names = alsaDeviceNames(direction);
    if (m.card < 0) {
        for (const char* wanted : {"default", "pulse", "pipewire"})
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i] == wanted)
                    return static_cast<int32_t>(i);
        return -1;
    }
    char* id = nullptr;
    {
        snd_ctl_t* ctl = nullptr;
        std::lock_guard lock(alsaConfigMutex());
        if (snd_ctl_open(&ctl, m.device.c_str(), SND_CTL_NONBLOCK) < 0)
            return -1;
        snd_ctl_card_info_t* info;
        snd_ctl_card_info_alloca(&info);
        if (snd_ctl_card_info(ctl, info) >= 0)
            id = strdup(snd_ctl_card_info_get_id(info));
        snd_ctl_close(ctl);
    }
    if (!id)
        return -1;
    std::string cardId(id);
    std::free(id);
    return pickCardDevice(names, cardId, direction);
}

int32_t AlsaAudioMixer::preferredWaveDevice(WaveDirection direction) {
    auto names = alsaDeviceNames(direction);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == "default")
            return static_cast<int32_t>(i);
    return -1;
}

std::string cardIdOfDeviceName(std::string_view name) {
    auto at = name.find("CARD=");
    if (at == std::string_view::npos)
        return {};
    auto rest = name.substr(at + 5);
    return std::string(rest.substr(0, rest.find(',')));
}

int32_t pickCardDevice(const std::vector<std::string>& names, std::string_view cardId,
                       WaveDirection direction) {
    if (cardId.empty())
        return -1;
    const std::string id(cardId);
    const std::string shared = direction == WaveDirection::input ? "dsnoop" : "dmix";
    const std::string preferred[] = {"default:CARD=" + id, "sysdefault:CARD=" + id,
                                     "plughw:CARD=" + id + ",DEV=0",
                                     shared + ":CARD=" + id + ",DEV=0", "hw:CARD=" + id + ",DEV=0"};
    for (const auto& wanted : preferred)
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == wanted)
                return static_cast<int32_t>(i);
    for (size_t i = 0; i < names.size(); ++i)
        if (cardIdOfDeviceName(names[i]) == id)
            return static_cast<int32_t>(i);
    return -1;
}

uint32_t componentTypeOfName(std::string_view name) {
    const std::string n = lower(name);
    // Order matters: "Mic Boost" is a microphone, "Line Mic" too; "Digital Mic" is a microphone.
    if (contains(n, "mic"))
        return kMixerSrcMicrophone;
    if (contains(n, "line"))
        return kMixerSrcLine;
    if (contains(n, "cd"))
        return kMixerSrcCompactDisc;
    if (contains(n, "pcm") || contains(n, "wave"))
        return kMixerSrcWaveOut;
    if (contains(n, "aux") || contains(n, "video"))
        return kMixerSrcAuxiliary;
    if (contains(n, "beep") || contains(n, "pc speaker"))
        return kMixerSrcPcSpeaker;
    if (contains(n, "phone") && !contains(n, "headphone"))
        return kMixerSrcTelephone;
    if (contains(n, "synth") || contains(n, "midi"))
        return kMixerSrcSynthesizer;
    if (contains(n, "iec958") || contains(n, "spdif") || contains(n, "s/pdif") ||
        contains(n, "digital"))
        return kMixerSrcDigital;
    if (contains(n, "analog"))
        return kMixerSrcAnalog;
    return kMixerSrcUndefined;
}

}  // namespace platform

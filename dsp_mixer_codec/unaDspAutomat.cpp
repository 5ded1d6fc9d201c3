#include "dsp_mixer_codec/unaDspAutomat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>

#include "dsp_mixer_codec/unaDspMultiband.h"
#include "foundation/unaBase64.h"
#include "foundation/unaConvert.h"
#include "foundation/unaText.h"

namespace una {

namespace {

constexpr uint32_t kGateMs = 3000;
constexpr uint32_t kDestroyGateMs = 4000;
// No processor has this many parameters; a text that sets more is hostile.
constexpr size_t kMaxConfigParams = 4096;

bool isBorrowedNumber(uint32_t number) {
    const uint32_t masked = number & 0xF0F00;
    return masked == kDspInput || masked == kDspOutput;
}

std::string handleName(unaDspHandle processor) {
    return std::to_string(reinterpret_cast<uintptr_t>(processor));
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A decimal number as the lookups write it: digits without a sign or leading zeros.
bool canonicalNumber(std::string_view text, int32_t& value) {
    if (text.empty() || text.size() > 9 || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// "obj.<i>.param.<j>.id" gives i and j.
bool parseParamIdName(std::string_view name, int32_t& object, int32_t& param) {
    constexpr std::string_view kObj = "obj.";
    constexpr std::string_view kParam = ".param.";
    constexpr std::string_view kId = ".id";
    // "obj.id" both starts and ends right but is too short to hold anything between.
    if (name.size() < kObj.size() + kId.size() || !name.starts_with(kObj) || !name.ends_with(kId))
        return false;
    name.remove_prefix(kObj.size());
    name.remove_suffix(kId.size());
    const size_t at = name.find(kParam);
    return at != std::string_view::npos && canonicalNumber(name.substr(0, at), object) &&
           canonicalNumber(name.substr(at + kParam.size()), param);
}

}  // namespace

// -- PCM conversion --

void unpackPcmChannel(const uint8_t* data, int32_t n, int32_t channel, int32_t bits,
                      int32_t channels, float* out) {
    if (!data || !out || n <= 0)
        return;
    if (channels == 1 && channel == 0 && bits == 32) {
        std::memcpy(out, data, sizeof(float) * static_cast<size_t>(n));
        return;
    }
    if (channel < 0 || channel >= channels)
        return;
    const auto stride = static_cast<size_t>(channels);
    size_t at = static_cast<size_t>(channel);
    switch (bits) {
        case 8:
            for (int32_t i = 0; i < n; ++i, at += stride)
                out[i] = static_cast<float>(static_cast<int32_t>(data[at]) - 128) / 255.0f;
            break;
        case 16:
            for (int32_t i = 0; i < n; ++i, at += stride) {
                int16_t v;
                std::memcpy(&v, data + at * 2, sizeof v);
                out[i] = static_cast<float>(v) / 32767.0f;
            }
            break;
        case 24:
            for (int32_t i = 0; i < n; ++i, at += stride) {
                int32_t v;
                std::memcpy(&v, data + at * 4, sizeof v);
                out[i] = static_cast<float>(static_cast<double>(v) / 8388607.0);
            }
            break;
        case 32:
            for (int32_t i = 0; i < n; ++i, at += stride)
                std::memcpy(out + i, data + at * 4, sizeof(float));
            break;
        default:
            break;
    }
}

void packPcmChannel(const float* in, int32_t n, int32_t channel, int32_t bits, int32_t channels,
                    uint8_t* data) {
    if (!data || !in || n <= 0 || channel < 0 || channel >= channels)
        return;
    const auto stride = static_cast<size_t>(channels);
    size_t at = static_cast<size_t>(channel);
    for (int32_t i = 0; i < n; ++i, at += stride) {
        float x = in[i];
        if (x > 1.0f)
            x = 1.0f;
        else if (!(x >= -1.0f))
            x = -1.0f;
        switch (bits) {
            case 8: {
                // 1.0 would round to 383: full scale stays full scale instead of wrapping.
                const long v = std::lrint(static_cast<double>(x) * 255.0 + 128.0);
                data[at] = static_cast<uint8_t>(std::clamp(v, 0L, 255L));
                break;
            }
            case 16: {
                const auto v = static_cast<int16_t>(std::lrint(static_cast<double>(x) * 32767.0));
                std::memcpy(data + at * 2, &v, sizeof v);
                break;
            }
            case 24: {
                const auto v = static_cast<int32_t>(std::lrint(static_cast<double>(x) * 8388607.0));
                std::memcpy(data + at * 4, &v, sizeof v);
                break;
            }
            case 32:
                std::memcpy(data + at * 4, &x, sizeof x);
                break;
            default:
                return;
        }
    }
}

// -- unaDSPLibObjectList --

unaDSPLibObjectList::unaDSPLibObjectList(unaDSPLibAutomat& owner) : unaList(false), automat(owner) {
    autoFree = true;
}

unaDSPLibObjectList::~unaDSPLibObjectList() {
    dropItemsQuietly();
}

int32_t unaDSPLibObjectList::add(unaPtr<unaDspDProcessor> processor) {
    const int32_t index = unaList::add(static_cast<unaListItem>(processor.get()));
    if (index >= 0)
        processor.release();
    return index;
}

unaDspHandle unaDSPLibObjectList::getProcessor(uint32_t index) const {
    return index < getCount() ? static_cast<unaDspHandle>(get(index)) : nullptr;
}

void unaDSPLibObjectList::freeItem(unaListItem item) {
    automat.root.destroyProcessor(unaPtr<unaDspDProcessor>(static_cast<unaDspHandle>(item)));
}

// -- unaDSPLibAutomat --

unaDSPLibAutomat::unaDSPLibAutomat(unaDspLibAbstract& dspRoot)
    : root(dspRoot),
      processors(make<unaDSPLibObjectList>(*this)),
      parameterLog(make<unaStringList>()) {}

unaDSPLibAutomat::~unaDSPLibAutomat() = default;

void unaDSPLibAutomat::beforeDestruction() {
    // Freed even when the gate stays busy: the automat is going either way.
    const bool entered = gate.enter(kDestroyGateMs);
    input = {};
    output = {};
    bandBuffers = {};
    channelCopies.clear();
    parameterLog->clear();
    processors->clear();
    if (entered)
        gate.leave();
    unaObject::beforeDestruction();
}

bool unaDSPLibAutomat::isSplitter(unaDspHandle processor) const {
    return processor && processor->kind == kDspKindMbSp;
}

int32_t unaDSPLibAutomat::indexOfProcessor(unaDspHandle processor) const {
    return processor ? processors->indexOf(processor) : -1;
}

int32_t unaDSPLibAutomat::bandCountOf(unaDspHandle processor) {
    return std::clamp(root.getIntParam(processor, kDspWindow), 0, kMaxSplitterBands);
}

unaDspHandle unaDSPLibAutomat::addProcessor(int32_t kind) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard)
        return nullptr;
    unaPtr<unaDspDProcessor> created = root.createProcessor(kind);
    if (!created)
        return nullptr;
    unaDspHandle processor = created.get();
    if (processors->add(std::move(created)) < 0)
        return nullptr;
    bindBuffers(processor);
    resyncPending = true;
    return processor;
}

int32_t unaDSPLibAutomat::setAudioFormat(int32_t rate, int32_t bits, int32_t channelCount,
                                         bool noCopies) {
    if (rate <= 0 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) || channelCount <= 0)
        return kDspEFail;
    unaGateGuard guard(gate, kGateMs);
    if (!guard)
        return kDspEFail;
    samplesPerSec = rate;
    bitsPerSample = bits;
    channels = channelCount;
    byteShift = bits == 8 ? 0 : (bits == 16 ? 1 : 2);
    channelCopies.clear();
    if (channelCount > 1 && !noCopies) {
        channelCopies.reserve(static_cast<size_t>(channelCount - 1));
        for (int32_t c = 1; c < channelCount; ++c)
            channelCopies.push_back(make<unaDSPLibAutomat>(root));
        resyncPending = true;
    }
    return 0;
}

int32_t unaDSPLibAutomat::bytesToSamples(uint32_t bytes) const {
    if (channels <= 0)
        return 0;
    return static_cast<int32_t>((bytes >> byteShift) / static_cast<uint32_t>(channels));
}

void unaDSPLibAutomat::bindBuffers(unaDspHandle processor) {
    if (!processor)
        return;
    root.setArrayParam(processor, kDspInput, input.data(), currentLength_);
    root.setArrayParam(processor, kDspOutput, output.data(), currentLength_);
    if (isSplitter(processor)) {
        const int32_t bands =
            std::min(bandCountOf(processor), static_cast<int32_t>(bandBuffers.size()));
        // Downwards, so band 0 ends up as the processor's output.
        for (int32_t k = bands - 1; k >= 0; --k)
            root.setArrayParam(processor, kDspOutput + static_cast<uint32_t>(k),
                               bandBuffers[static_cast<size_t>(k)].data(), bandBufferLength);
    }
}

int32_t unaDSPLibAutomat::allocateBuffers(int32_t n, bool force) {
    if (n == currentLength_ && !force)
        return 0;
    unaGateGuard guard(gate, kGateMs);
    if (!guard)
        return -1;
    try {
        if (!force) {
            input.assign(static_cast<size_t>(n), 0.0f);
            output.assign(static_cast<size_t>(n), 0.0f);
            currentLength_ = n;
        }
        const int32_t length = currentLength_;
        for (uint32_t i = 0; i < processors->getCount(); ++i) {
            unaDspHandle processor = processors->getProcessor(i);
            if (!isSplitter(processor))
                continue;
            const auto bands = static_cast<size_t>(bandCountOf(processor));
            if (!force && bandBufferLength == length && bandBuffers.size() >= bands)
                continue;
            for (std::vector<float>& buffer : bandBuffers)
                buffer.resize(static_cast<size_t>(length));
            while (bandBuffers.size() < bands)
                bandBuffers.emplace_back(static_cast<size_t>(length), 0.0f);
            bandBufferLength = length;
        }
        for (uint32_t i = 0; i < processors->getCount(); ++i)
            bindBuffers(processors->getProcessor(i));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int32_t unaDSPLibAutomat::processChunk(const uint8_t* data, uint32_t bytes, int32_t channel,
                                       int32_t maxSamples) {
    // Without write-back the chunk is only read.
    return processChunk(const_cast<uint8_t*>(data), bytes, channel, maxSamples, false);
}

int32_t unaDSPLibAutomat::processChunk(uint8_t* data, uint32_t bytes, int32_t channel,
                                       int32_t maxSamples, bool writeBack) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard || !data || channels <= 0)
        return -1;
    int32_t n = bytesToSamples(bytes);
    if (maxSamples >= 0)
        n = std::min(n, maxSamples);
    if (channel < 0 && channels > 1 && resyncPending) {
        std::string text;
        saveConfig(text);
        for (unaPtr<unaDSPLibAutomat>& copy : channelCopies) {
            copy->setAudioFormat(samplesPerSec, bitsPerSample, channels, true);
            copy->loadConfig(text);
            copy->allocateBuffers(n, false);
        }
        resyncPending = false;
    }
    const int32_t result = allocateBuffers(n, false);
    if (result != 0)
        return result;
    if (channel >= 0)
        return processChannel(data, channel, n, false, writeBack);
    for (int32_t c = 0; c < channels; ++c) {
        try {
            processChannel(data, c, n, false, writeBack);
        } catch (...) {
            // One channel's fault costs that channel this chunk, not the others.
        }
    }
    return 0;
}

int32_t unaDSPLibAutomat::processChannel(uint8_t* data, int32_t channel, int32_t n, bool isCopy,
                                         bool writeBack) {
    if (channel < 0 || channel >= channels)
        return -1;
    if (channel > 0 && !isCopy) {
        if (static_cast<size_t>(channel) > channelCopies.size())
            return -1;
        return channelCopies[static_cast<size_t>(channel) - 1]->processChannel(data, channel, n,
                                                                               true, writeBack);
    }
    // A copy follows the chunk length itself: its master resizes only its own buffers.
    if (allocateBuffers(n, false) != 0)
        return -1;
    if (processors->getCount() == 0) {
        unpackPcmChannel(data, n, channel, bitsPerSample, channels, input.data());
        std::copy_n(input.data(), n, output.data());
        return 0;
    }
    for (uint32_t i = 0; i < processors->getCount(); ++i) {
        unaDspHandle processor = processors->getProcessor(i);
        if (!processor)
            continue;
        // Each processor starts from the chunk as it stands.
        unpackPcmChannel(data, n, channel, bitsPerSample, channels, input.data());
        root.process(processor, n);
        if (writeBack && !isSplitter(processor))
            packPcmChannel(output.data(), n, channel, bitsPerSample, channels, data);
    }
    return 0;
}

int32_t unaDSPLibAutomat::getChannelOutput(int32_t channel, const float*& data, int32_t& length) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard || channel < 0 || static_cast<size_t>(channel) > channelCopies.size())
        return kDspEFail;
    if (channel == 0) {
        data = output.data();
        length = currentLength_;
        return 0;
    }
    return channelCopies[static_cast<size_t>(channel) - 1]->getChannelOutput(0, data, length);
}

bool unaDSPLibAutomat::getChannelFloatParam(unaDspHandle processor, int32_t channel,
                                            uint32_t number, float& value) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard || !processor || channel < 0)
        return false;
    if (channel == 0) {
        value = root.getFloatParam(processor, number);
        return true;
    }
    if (static_cast<size_t>(channel) > channelCopies.size())
        return false;
    const int32_t index = indexOfProcessor(processor);
    if (index < 0)
        return false;
    unaDSPLibAutomat& copy = *channelCopies[static_cast<size_t>(channel) - 1];
    unaDspHandle there = copy.getProcessor(static_cast<uint32_t>(index));
    if (!there)
        return false;
    value = root.getFloatParam(there, number);
    return true;
}

void unaDSPLibAutomat::logParam(unaDspHandle processor, uint32_t number, char type,
                                const void* bytes, size_t size) {
    std::string value(1, type);
    value += base64Encode(std::span(static_cast<const uint8_t*>(bytes), size));
    parameterLog->setValue(handleName(processor) + "." + std::to_string(number), value);
}

template <class RootSet, class CopySet>
bool unaDSPLibAutomat::setParam(unaDspHandle processor, uint32_t number, char type,
                                const void* bytes, size_t size, RootSet&& rootSet,
                                CopySet&& copySet) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard)
        return false;
    number &= kDspNumberMask;
    if (!rootSet(processor, number))
        return false;
    if (type != 'C' || !isBorrowedNumber(number))
        logParam(processor, number, type, bytes, size);
    if (type == 'I' && number == kDspWindow && isSplitter(processor))
        allocateBuffers(currentLength_, true);
    if (!resyncPending && !channelCopies.empty()) {
        const int32_t index = indexOfProcessor(processor);
        for (unaPtr<unaDSPLibAutomat>& copy : channelCopies) {
            unaDspHandle there =
                index >= 0 ? copy->getProcessor(static_cast<uint32_t>(index)) : nullptr;
            if (!there) {
                // The copies' chains no longer match: the next chunk rebuilds them.
                resyncPending = true;
                break;
            }
            copySet(*copy, there, number);
        }
    }
    return true;
}

bool unaDSPLibAutomat::setFloatParam(unaDspHandle processor, uint32_t number, float value) {
    return setParam(
        processor, number, 'F', &value, sizeof value,
        [&](unaDspHandle p, uint32_t at) { return root.setFloatParam(p, at, value); },
        [&](unaDSPLibAutomat& copy, unaDspHandle p, uint32_t at) {
            copy.setFloatParam(p, at, value);
        });
}

bool unaDSPLibAutomat::setIntParam(unaDspHandle processor, uint32_t number, int32_t value) {
    return setParam(
        processor, number, 'I', &value, sizeof value,
        [&](unaDspHandle p, uint32_t at) { return root.setIntParam(p, at, value); },
        [&](unaDSPLibAutomat& copy, unaDspHandle p, uint32_t at) {
            copy.setIntParam(p, at, value);
        });
}

bool unaDSPLibAutomat::setArrayParam(unaDspHandle processor, uint32_t number, const float* data,
                                     int32_t count) {
    if (count < 0 || !data)
        count = 0;
    return setParam(
        processor, number, 'C', data, sizeof(float) * static_cast<size_t>(count),
        [&](unaDspHandle p, uint32_t at) { return root.setArrayParam(p, at, data, count); },
        [&](unaDSPLibAutomat& copy, unaDspHandle p, uint32_t at) {
            copy.setArrayParam(p, at, data, count);
        });
}

// -- configuration text --

int32_t unaDSPLibAutomat::saveConfig(std::string& text) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard)
        return -1;
    std::string out = "numObjects=" + std::to_string(processors->getCount()) + "\r\n";
    const uint32_t lines = parameterLog->getCount();
    for (uint32_t i = 0; i < processors->getCount(); ++i) {
        unaDspHandle processor = processors->getProcessor(i);
        const std::string object = "obj." + std::to_string(i);
        out += object + ".id=" + std::to_string(processor ? processor->kind : 0) + "\r\n";
        uint32_t j = 0;
        if (processor) {
            const std::string prefix = handleName(processor) + ".";
            for (uint32_t line = 0; line < lines; ++line) {
                const std::string entry = parameterLog->getString(line);
                const size_t eq = entry.find('=');
                if (eq == std::string::npos || !entry.starts_with(prefix) || eq < prefix.size())
                    continue;
                const std::string param = object + ".param." + std::to_string(j);
                out += param + ".id=" + entry.substr(prefix.size(), eq - prefix.size()) + "\r\n";
                out += param + ".value=" + entry.substr(eq + 1) + "\r\n";
                ++j;
            }
        }
        out += object + ".numParams=" + std::to_string(j) + "\r\n";
    }
    text = std::move(out);
    return 0;
}

int32_t unaDSPLibAutomat::loadConfig(std::string_view text) {
    unaGateGuard guard(gate, kGateMs);
    if (!guard)
        return -1;
    std::string previous;
    saveConfig(previous);
    applyConfig(text);
    // Checked before anything runs: the windows are only allocated by the first chunk.
    if (stateBytes() <= kMaxConfigStateBytes)
        return 0;
    applyConfig(previous);
    return kDspEFail;
}

uint64_t unaDSPLibAutomat::stateBytes() const {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < processors->getCount(); ++i)
        if (unaDspHandle processor = processors->getProcessor(i))
            bytes += processor->stateBytes();
    return bytes * (1 + channelCopies.size());
}

void unaDSPLibAutomat::applyConfig(std::string_view text) {
    // Read once into a table: a long hostile text must not cost a scan per lookup.
    std::unordered_map<std::string, std::string_view> values;
    std::map<int32_t, std::vector<int32_t>> paramsOf;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string name = lowerAscii(trimView(line.substr(0, eq)));
        int32_t object = 0;
        int32_t param = 0;
        if (parseParamIdName(name, object, param) && !values.contains(name))
            paramsOf[object].push_back(param);
        values.emplace(std::move(name), line.substr(eq + 1));
    }
    const auto valueOf = [&values](const std::string& name) -> std::string_view {
        const auto found = values.find(name);
        return found == values.end() ? std::string_view() : found->second;
    };
    const auto numberOf = [&valueOf](const std::string& name) {
        return str2int(valueOf(name), 10, false, 0);
    };

    processors->clear();
    parameterLog->clear();
    resyncPending = true;
    const int32_t objects = std::clamp(numberOf("numobjects"), 0, kMaxConfigObjects);
    for (int32_t i = 0; i < objects; ++i) {
        const std::string object = "obj." + std::to_string(i);
        const int32_t kind = numberOf(object + ".id");
        unaDspHandle processor = kind >= 1 ? addProcessor(kind) : nullptr;
        if (!processor) {
            processors->add(unaPtr<unaDspDProcessor>());
            continue;
        }
        const auto found = paramsOf.find(i);
        if (found == paramsOf.end())
            continue;
        std::vector<int32_t>& indices = found->second;
        std::sort(indices.begin(), indices.end());
        indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
        const int32_t declared = numberOf(object + ".numparams");
        size_t applied = 0;
        for (const int32_t j : indices) {
            if (j >= declared || applied >= kMaxConfigParams)
                break;
            ++applied;
            const std::string param = object + ".param." + std::to_string(j);
            const int32_t number = numberOf(param + ".id");
            const std::string_view raw = trimView(valueOf(param + ".value"));
            // Only the low 20 bits name a parameter; bits above them are not part of it.
            const auto at = static_cast<uint32_t>(number) & kDspNumberMask;
            if (number <= 0 || at == 0 || raw.empty())
                continue;
            const char type = upCase(raw[0]);
            const std::vector<uint8_t> bytes = base64Decode(raw.substr(1));
            if (type == 'C') {
                // Inputs and outputs are buffers of whoever runs the chain, never text.
                if (isBorrowedNumber(at))
                    continue;
                std::vector<float> floats(bytes.size() / sizeof(float));
                if (!floats.empty())
                    std::memcpy(floats.data(), bytes.data(), floats.size() * sizeof(float));
                setArrayParam(processor, at, floats.data(), static_cast<int32_t>(floats.size()));
            } else if (type == 'F' && bytes.size() == sizeof(float)) {
                float value;
                std::memcpy(&value, bytes.data(), sizeof value);
                setFloatParam(processor, at, value);
            } else if (type == 'I' && bytes.size() == sizeof(int32_t)) {
                int32_t value;
                std::memcpy(&value, bytes.data(), sizeof value);
                setIntParam(processor, at, value);
            }
        }
    }
}

}  // namespace una

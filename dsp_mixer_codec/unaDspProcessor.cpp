#include "dsp_mixer_codec/unaDspProcessor.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace una {

namespace {

bool isArrayId(int32_t id) {
    return ((static_cast<uint32_t>(id) >> 24) & 0xF) == kDspTypeArray;
}

}  // namespace

// -- unaDspDLibParams --

unaDspDLibParams::unaDspDLibParams(unaDspDProcessor* owner) : unaIdList(false), processor(owner) {
    autoFree = true;
}

unaDspDLibParams::~unaDspDLibParams() {
    // The base destructor can no longer reach freeItem.
    dropItemsQuietly();
}

int64_t unaDspDLibParams::getId(unaListItem item) {
    return item ? static_cast<const unaDspParamEntry*>(item)->id : -1;
}

void unaDspDLibParams::freeItem(unaListItem item) {
    auto* entry = static_cast<unaDspParamEntry*>(item);
    if (isArrayId(entry->id) && !unaDspDProcessor::isBorrowedArray(entry->id))
        std::free(entry->value.data);
    delete entry;
}

unaDspParamEntry* unaDspDLibParams::find(int32_t id) {
    return static_cast<unaDspParamEntry*>(itemById(id));
}

unaDspParamEntry* unaDspDLibParams::obtain(int32_t id) {
    if (!lock())
        return nullptr;
    unaDspParamEntry* entry = find(id);
    if (!entry) {
        entry = new (std::nothrow) unaDspParamEntry;
        if (entry) {
            entry->id = id;
            if (add(entry) < 0) {
                delete entry;
                entry = nullptr;
            }
        }
    }
    unlock();
    return entry;
}

// -- unaDspDProcessor --

unaDspDProcessor::unaDspDProcessor(int32_t processorKind)
    : kind(processorKind), params(make<unaDspDLibParams>(this)) {}

unaDspDProcessor::~unaDspDProcessor() = default;

bool unaDspDProcessor::isBorrowedArray(int32_t id) {
    const uint32_t number = static_cast<uint32_t>(id) & 0xF0F00;
    return isArrayId(id) && (number == kDspInput || number == kDspOutput);
}

bool unaDspDProcessor::setIntParam(uint32_t number, int32_t value) {
    unaDspParamEntry* entry = params->obtain(dspParamId(kDspTypeInt, number));
    if (!entry)
        return false;
    entry->value.intValue = value;
    changed = true;
    return true;
}

bool unaDspDProcessor::setFloatParam(uint32_t number, float value) {
    unaDspParamEntry* entry = params->obtain(dspParamId(kDspTypeFloat, number));
    if (!entry)
        return false;
    entry->value.floatValue = value;
    changed = true;
    return true;
}

bool unaDspDProcessor::setArrayParam(uint32_t number, const float* data, int32_t count) {
    const int32_t id = dspParamId(kDspTypeArray, number);
    if (count < 0 || (count > 0 && !data))
        count = 0;
    unaDspParamEntry* entry = params->obtain(id);
    if (!entry)
        return false;
    if (isBorrowedArray(id)) {
        entry->value.data = const_cast<float*>(data);
        entry->count = count;
    } else if (count == 0) {
        std::free(entry->value.data);
        entry->value.data = nullptr;
        entry->count = 0;
    } else {
        const size_t bytes = sizeof(float) * static_cast<size_t>(count);
        if (count == entry->count && entry->value.data) {
            // The caller may hand back the entry's own floats.
            std::memmove(entry->value.data, data, bytes);
        } else {
            // Copied before the old floats go, which may be the caller's source.
            auto* fresh = static_cast<float*>(std::malloc(bytes));
            if (!fresh)
                return false;
            std::memcpy(fresh, data, bytes);
            std::free(entry->value.data);
            entry->value.data = fresh;
            entry->count = count;
        }
    }
    changed = true;
    return true;
}

int32_t unaDspDProcessor::getIntParam(uint32_t number) {
    const unaDspParamEntry* entry = params->find(dspParamId(kDspTypeInt, number));
    return entry ? entry->value.intValue : 0;
}

float unaDspDProcessor::getFloatParam(uint32_t number) {
    const unaDspParamEntry* entry = params->find(dspParamId(kDspTypeFloat, number));
    return entry ? entry->value.floatValue : 0.0f;
}

const unaDspParamEntry* unaDspDProcessor::getArrayParam(uint32_t number) {
    return params->find(dspParamId(kDspTypeArray, number));
}

bool unaDspDProcessor::hasIntParam(uint32_t number) {
    return params->find(dspParamId(kDspTypeInt, number)) != nullptr;
}

bool unaDspDProcessor::hasFloatParam(uint32_t number) {
    return params->find(dspParamId(kDspTypeFloat, number)) != nullptr;
}

bool unaDspDProcessor::hasArrayParam(uint32_t number) {
    return params->find(dspParamId(kDspTypeArray, number)) != nullptr;
}

std::span<float> unaDspDProcessor::boundArray(uint32_t number) {
    const unaDspParamEntry* entry = getArrayParam(number);
    return entry ? entry->array() : std::span<float>();
}

}  // namespace una

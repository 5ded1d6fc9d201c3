#include "audio/unaWaveDevice.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace una {

// -- unaWaveHeader --

unaWaveHeader::unaWaveHeader(unaMsAcmStreamDevice* owner, const void* data, uint32_t size)
    : unaMsAcmDeviceHeader(owner), storage_(mallocBlock(size, true)) {
    buffer.data = storage_.data();
    buffer.bufferLength = size;
    buffer.user = reinterpret_cast<uintptr_t>(this);
    if (data && size)
        std::memcpy(buffer.data, data, size);
}

void unaWaveHeader::markQueued() {
    unaMsAcmDeviceHeader::markQueued();
    buffer.bytesRecorded = 0;
}

bool unaWaveHeader::isDone() const {
    const uint32_t f = buffer.flags.load(std::memory_order_acquire);
    return (f & platform::kWhdrDone) && (f & platform::kWhdrPrepared) &&
           !(f & platform::kWhdrInQueue);
}

bool unaWaveHeader::isInQueue() const {
    const uint32_t f = buffer.flags.load(std::memory_order_acquire);
    return (f & platform::kWhdrPrepared) && (f & platform::kWhdrInQueue);
}

// -- unaWaveDevice --

unaWaveDevice::unaWaveDevice(int32_t id, bool isMapped, bool isDirect, bool isInput,
                             int32_t overNum)
    : unaMsAcmStreamDevice(!isInput, isInput, overNum, overNum, false),
      deviceId(id),
      mapped(isMapped),
      direct(isDirect) {}

bool unaWaveDevice::setPcmFormat(uint32_t samplesPerSec, uint32_t bitsPerSample,
                                 uint32_t channels) {
    WaveFormatEx format{};
    fillPcmFormat(format, samplesPerSec, bitsPerSample, channels);
    return setDeviceFormat(&format);
}

bool unaWaveDevice::setDeviceFormat(const WaveFormatEx* format) {
    return setFormat(deviceFormatIsSrc(), format);
}

uint32_t unaWaveDevice::composeOpenFlags(bool query) const {
    uint32_t flags = platform::kCallbackEvent;
    if (mapped)
        flags |= platform::kWaveMapped;
    if (direct)
        flags |= platform::kWaveFormatDirect;
    if (query)
        flags |= platform::kWaveFormatQuery;
    return flags;
}

MmResult unaWaveDevice::open(bool query, uint32_t timeoutMs, uint32_t flags) {
    if (flags == 0)
        flags = composeOpenFlags(query);
    return unaMsAcmStreamDevice::open(query, timeoutMs, flags);
}

int32_t unaWaveDevice::execute(int32_t /*slotIndex*/) {
    waitTimeout = static_cast<int32_t>(1000 / std::max<uint32_t>(chunksPerSecond, 1));
    const std::array<platform::Event*, 2> events{deviceEvent.handle().get(),
                                                 dataInEvent.handle().get()};
    auto idle = [this] { return closing && !flushing; };
    while (!shouldStop()) {
        try {
            const int which = platform::waitAny(events, static_cast<uint32_t>(waitTimeout.load()));
            if (!idle()) {
                if (which >= 0) {
                    unaWaveHeader* header;
                    do {
                        header = dynamic_cast<unaWaveHeader*>(findDoneHeader(false, false));
                        if (header)
                            header->handled = true;
                        onHeader(header, which == 0);
                    } while (!shouldStop() && header && !idle());
                } else if (queuedHeaders == 0) {
                    onHeader(nullptr, false);
                }
            }
            if (idle())
                sleepThis(1);
        } catch (...) {
        }
    }
    return 0;
}

}  // namespace una

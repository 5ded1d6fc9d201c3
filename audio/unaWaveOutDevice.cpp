#include "audio/unaWaveOutDevice.h"

#include <algorithm>
#include <vector>

namespace una {

unaWaveOutDevice::unaWaveOutDevice(int32_t deviceId, bool mapped, bool direct, int32_t overNum)
    : unaWaveDevice(deviceId, mapped, direct, false, overNum) {
    getOutDeviceCaps(deviceId, caps);
}

void unaWaveOutDevice::startIn() {
    unaWaveDevice::startIn();
    setPriority(kPriorityTimeCritical);
}

void unaWaveOutDevice::startOut() {
    unaWaveDevice::startOut();
    // Silent at once; every buffer comes back done, so close can free them.
    card_.pause();
    card_.reset();
}

MmResult unaWaveOutDevice::doOpen(uint32_t flags) {
    if (caps.support & platform::kWaveCapsSync)
        flags |= platform::kWaveAllowSync;
    MmResult result = unaWaveDevice::doOpen(flags);
    if (result != kMmResultOk)
        return result;
    if (!srcFormat)
        return kMmResultInvalidParam;
    result = card_.open(platform::WaveDirection::output, deviceId, *srcFormat.get(), deviceEvent,
                        flags, handle);
    if (result == kMmResultOk && !(flags & platform::kWaveFormatQuery))
        card_.setChunkTime(1000 / std::max<uint32_t>(chunksPerSecond, 1));
    return result;
}

MmResult unaWaveOutDevice::doClose(uint32_t timeoutMs) {
    const MmResult result = card_.close();
    unaWaveDevice::doClose(timeoutMs);
    return result;
}

MmResult unaWaveOutDevice::prepareHeader(unaMsAcmDeviceHeader& header) {
    return card_.prepare(header);
}

MmResult unaWaveOutDevice::unprepareHeader(unaMsAcmDeviceHeader& header) {
    return card_.unprepare(header);
}

MmResult unaWaveOutDevice::afterOpen() {
    MmResult result = unaWaveDevice::afterOpen();
    if (result == kMmResultOk)
        queuedHeaders = 0;
    return result;
}

MmResult unaWaveOutDevice::queueHeader(unaWaveHeader& header) {
    return card_.queue(header);
}

bool unaWaveOutDevice::onHeader(unaWaveHeader* header, bool /*deviceEvent*/) {
    if (header && queuedHeaders > 0)
        --queuedHeaders;
    const uint32_t chunk = chunkSize;
    uint32_t avail = getDataAvailable(true);
    const uint32_t queued = queuedHeaders;
    const bool ready = queued < kMinQueued ? avail >= (kMinQueued - queued) * chunk
                                           : queued < kMaxQueued && avail >= chunk;
    if (!ready || shouldStop() || chunk == 0)
        return false;

    unaWaveHeader* h = header ? header : dynamic_cast<unaWaveHeader*>(findDoneHeader(true, false));
    if (h && h->bufferLength() != chunk) {
        removeHeader(h);
        h = nullptr;
    }
    if (!h) {
        auto made = make<unaWaveHeader>(this, nullptr, chunk);
        h = made.get();
        h->prepare();
        addHeader(std::move(made));
    }
    h->markQueued();
    const uint32_t n = takeInput(h->data(), chunk);
    avail -= std::min(n, avail);
    // A short read plays what it got, no more and no less.
    if (n != chunk)
        h->buffer.bufferLength = n;
    if (queueHeader(*h) != kMmResultOk) {
        giveBackSequence(*this, *h);
        h->handled = true;  // free to be used again on the next wake-up
        return false;
    }
    ++queuedHeaders;
    if (!shouldStop() && queuedHeaders <= kMinQueued && avail >= chunk)
        onHeader(nullptr, false);
    return true;
}

bool unaWaveOutDevice::flush(bool /*waitAll*/) {
    if (!isOpen())
        return false;
    const uint32_t chunk = chunkSize;
    if (chunk == 0)
        return true;
    std::vector<uint8_t> scratch(chunk);
    // Bounded by what was waiting: a provider that keeps writing cannot hold close up.
    uint32_t rounds = getDataAvailable(true) / chunk + 1;
    while (rounds-- > 0 && isRunning() && getDataAvailable(true) > chunk)
        takeInput(scratch.data(), chunk);
    return true;
}

}  // namespace una

#include "audio/unaWaveInDevice.h"

#include <algorithm>

namespace una {

unaWaveInDevice::unaWaveInDevice(int32_t deviceId, bool mapped, bool direct, int32_t overNum)
    : unaWaveDevice(deviceId, mapped, direct, true, overNum) {
    getInDeviceCaps(deviceId, caps);
}

void unaWaveInDevice::startIn() {
    unaWaveDevice::startIn();
    setPriority(kPriorityTimeCritical);
}

void unaWaveInDevice::startOut() {
    unaWaveDevice::startOut();
    // Every buffer comes back done, so close can free them.
    card_.stop();
    card_.reset();
}

MmResult unaWaveInDevice::doOpen(uint32_t flags) {
    MmResult result = unaWaveDevice::doOpen(flags);
    if (result != kMmResultOk)
        return result;
    if (!dstFormat)
        return kMmResultInvalidParam;
    result = card_.open(platform::WaveDirection::input, deviceId, *dstFormat.get(), deviceEvent,
                        flags, handle);
    if (result == kMmResultOk && !(flags & platform::kWaveFormatQuery))
        card_.setChunkTime(1000 / std::max<uint32_t>(chunksPerSecond, 1));
    return result;
}

MmResult unaWaveInDevice::doClose(uint32_t timeoutMs) {
    const MmResult result = card_.close();
    unaWaveDevice::doClose(timeoutMs);
    return result;
}

MmResult unaWaveInDevice::prepareHeader(unaMsAcmDeviceHeader& header) {
    return card_.prepare(header);
}

MmResult unaWaveInDevice::unprepareHeader(unaMsAcmDeviceHeader& header) {
    return card_.unprepare(header);
}

MmResult unaWaveInDevice::afterOpen() {
    MmResult result = unaWaveDevice::afterOpen();
    if (result != kMmResultOk)
        return result;
    queuedHeaders = 0;
    addBuffers(nullptr);
    return card_.start();
}

MmResult unaWaveInDevice::queueHeader(unaWaveHeader& header) {
    return card_.queue(header);
}

bool unaWaveInDevice::addBuffers(unaWaveHeader* header) {
    if (shouldStop() || queuedHeaders >= kQueuedBuffers)
        return false;
    const bool fresh = header == nullptr;
    if (fresh) {
        auto made = make<unaWaveHeader>(this, nullptr, chunkSize.load());
        header = made.get();
        addHeader(std::move(made));
        header->prepare();
    }
    header->markQueued();
    if (queueHeader(*header) != kMmResultOk) {
        giveBackSequence(*this, *header);
        // A new buffer nobody holds would only pile up.
        if (fresh)
            removeHeader(header);
        return false;
    }
    ++queuedHeaders;
    addBuffers(nullptr);
    return true;
}

bool unaWaveInDevice::onHeader(unaWaveHeader* header, bool deviceEvent) {
    if (header) {
        deliverChunk(header->data(), header->bytesRecorded());
        if (queuedHeaders > 0)
            --queuedHeaders;
    }
    if (deviceEvent)
        return addBuffers(header);
    return true;
}

}  // namespace una

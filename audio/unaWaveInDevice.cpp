#include "audio/unaWaveInDevice.h"

namespace una {

namespace {

// Done buffers are taken strictly by sequence, so a buffer the card refused must hand its
// number back, or every later buffer would wait for it for ever.
void giveBackSequence(unaMsAcmStreamDevice& device, unaWaveHeader& header) {
    int32_t taken = header.sequence;
    device.nextSequence.compare_exchange_strong(taken, taken - 1);
    header.sequence = 0;
}

}  // namespace

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
    if (stream_) {
        stream_->stop();
        stream_->reset();
    }
}

MmResult unaWaveInDevice::doOpen(uint32_t flags) {
    MmResult result = unaWaveDevice::doOpen(flags);
    if (result != kMmResultOk)
        return result;
    if (!dstFormat)
        return kMmResultInvalidParam;
    std::unique_ptr<platform::WaveStream> stream;
    result = platform::soundCard()->open(platform::WaveDirection::input, deviceId, *dstFormat.get(),
                                         deviceEvent.handle(), flags, stream);
    if (result == kMmResultOk && stream) {
        std::lock_guard lock(streamMutex_);
        stream_ = std::move(stream);
        handle = reinterpret_cast<uintptr_t>(stream_.get());
    }
    return result;
}

MmResult unaWaveInDevice::doClose(uint32_t timeoutMs) {
    MmResult result = kMmResultOk;
    {
        std::lock_guard lock(streamMutex_);
        if (stream_)
            result = stream_->close();
        stream_.reset();
    }
    unaWaveDevice::doClose(timeoutMs);
    return result;
}

int64_t unaWaveInDevice::getPosition() {
    std::lock_guard lock(streamMutex_);
    uint64_t samples = 0;
    if (!isOpen() || !stream_ || stream_->position(samples) != kMmResultOk)
        return 0;
    return static_cast<int64_t>(samples);
}

MmResult unaWaveInDevice::prepareHeader(unaMsAcmDeviceHeader& header) {
    auto* h = dynamic_cast<unaWaveHeader*>(&header);
    if (!h)
        return kMmResultInvalidParam;
    h->buffer.flags = 0;
    if (!stream_)
        return platform::kMmInvalidHandle;
    return stream_->prepare(h->buffer);
}

MmResult unaWaveInDevice::unprepareHeader(unaMsAcmDeviceHeader& header) {
    auto* h = dynamic_cast<unaWaveHeader*>(&header);
    if (!h)
        return kMmResultInvalidParam;
    if (!stream_) {
        h->setFlag(platform::kWhdrPrepared, false);
        return kMmResultOk;
    }
    return stream_->unprepare(h->buffer);
}

MmResult unaWaveInDevice::afterOpen() {
    MmResult result = unaWaveDevice::afterOpen();
    if (result != kMmResultOk)
        return result;
    queuedHeaders = 0;
    addBuffers(nullptr);
    return stream_ ? stream_->start() : platform::kMmInvalidHandle;
}

MmResult unaWaveInDevice::queueHeader(unaWaveHeader& header) {
    return stream_ ? stream_->addBuffer(header.buffer) : platform::kMmInvalidHandle;
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

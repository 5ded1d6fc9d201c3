#include "audio/unaWaveOutDevice.h"

#include <algorithm>
#include <vector>

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
    if (stream_) {
        stream_->pause();
        stream_->reset();
    }
}

MmResult unaWaveOutDevice::doOpen(uint32_t flags) {
    if (caps.support & platform::kWaveCapsSync)
        flags |= platform::kWaveAllowSync;
    MmResult result = unaWaveDevice::doOpen(flags);
    if (result != kMmResultOk)
        return result;
    if (!srcFormat)
        return kMmResultInvalidParam;
    std::unique_ptr<platform::WaveStream> stream;
    result = platform::soundCard()->open(platform::WaveDirection::output, deviceId,
                                         *srcFormat.get(), deviceEvent.handle(), flags, stream);
    if (result == kMmResultOk && stream) {
        std::lock_guard lock(streamMutex_);
        stream_ = std::move(stream);
        handle = reinterpret_cast<uintptr_t>(stream_.get());
    }
    return result;
}

MmResult unaWaveOutDevice::doClose(uint32_t timeoutMs) {
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

int64_t unaWaveOutDevice::getPosition() {
    std::lock_guard lock(streamMutex_);
    uint64_t samples = 0;
    if (!isOpen() || !stream_ || stream_->position(samples) != kMmResultOk)
        return 0;
    return static_cast<int64_t>(samples);
}

MmResult unaWaveOutDevice::prepareHeader(unaMsAcmDeviceHeader& header) {
    auto* h = dynamic_cast<unaWaveHeader*>(&header);
    if (!h)
        return kMmResultInvalidParam;
    h->buffer.flags = 0;
    if (!stream_)
        return platform::kMmInvalidHandle;
    return stream_->prepare(h->buffer);
}

MmResult unaWaveOutDevice::unprepareHeader(unaMsAcmDeviceHeader& header) {
    auto* h = dynamic_cast<unaWaveHeader*>(&header);
    if (!h)
        return kMmResultInvalidParam;
    if (!stream_) {
        h->setFlag(platform::kWhdrPrepared, false);
        return kMmResultOk;
    }
    return stream_->unprepare(h->buffer);
}

MmResult unaWaveOutDevice::afterOpen() {
    MmResult result = unaWaveDevice::afterOpen();
    if (result == kMmResultOk)
        queuedHeaders = 0;
    return result;
}

MmResult unaWaveOutDevice::queueHeader(unaWaveHeader& header) {
    return stream_ ? stream_->write(header.buffer) : platform::kMmInvalidHandle;
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

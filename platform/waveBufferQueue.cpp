#include "platform/waveBufferQueue.h"

namespace platform {

void markDone(WaveBuffer& b, bool input, uint32_t recorded) {
    if (input)
        b.bytesRecorded = recorded;
    uint32_t f = b.flags.load(std::memory_order_relaxed);
    while (!b.flags.compare_exchange_weak(f, (f & ~kWhdrInQueue) | kWhdrDone,
                                          std::memory_order_release))
        ;
}

MmResult WaveBufferQueue::prepare(WaveBuffer& b) {
    if (b.isFlagSet(kWhdrInQueue))
        return kWaveErrStillPlaying;
    b.setFlag(kWhdrPrepared, true);
    return kMmNoError;
}

MmResult WaveBufferQueue::unprepare(WaveBuffer& b) {
    if (b.isFlagSet(kWhdrInQueue))
        return kWaveErrStillPlaying;
    b.setFlag(kWhdrPrepared, false);
    return kMmNoError;
}

MmResult WaveBufferQueue::admit(WaveBuffer& b, bool lost) {
    if (!b.isFlagSet(kWhdrPrepared))
        return kWaveErrUnprepared;
    if (b.isFlagSet(kWhdrInQueue))
        return kWaveErrStillPlaying;
    if (lost)
        return kMmNoDriver;
    b.bytesRecorded = 0;
    b.flags.store((b.flags.load() & ~kWhdrDone) | kWhdrInQueue, std::memory_order_release);
    return kMmNoError;
}

MmResult WaveBufferQueue::push(WaveBuffer& b, bool lost) {
    const MmResult r = admit(b, lost);
    if (r == kMmNoError)
        queue_.push_back(&b);
    return r;
}

std::span<uint8_t> WaveBufferQueue::frontRoom() const {
    if (queue_.empty())
        return {};
    WaveBuffer* b = queue_.front();
    return {b->data + offset_, (b->bufferLength - offset_) / blockAlign_ * blockAlign_};
}

void WaveBufferQueue::advance(uint32_t n, uint64_t endFrame) {
    offset_ += n;
    WaveBuffer* b = queue_.front();
    if (b->bufferLength - offset_ >= blockAlign_)
        return;
    if (dir_ == WaveDirection::input) {
        completeFront();
        return;
    }
    queue_.pop_front();
    sent_.push_back({b, endFrame});
    offset_ = 0;
}

void WaveBufferQueue::completeFront() {
    if (queue_.empty())
        return;
    markDone(*queue_.front(), dir_ == WaveDirection::input, offset_);
    queue_.pop_front();
    offset_ = 0;
    if (event_)
        event_->set();
}

void WaveBufferQueue::retireUpTo(uint64_t heard) {
    bool any = false;
    while (!sent_.empty() && sent_.front().second <= heard) {
        markDone(*sent_.front().first, false, 0);
        sent_.pop_front();
        any = true;
    }
    if (any && event_)
        event_->set();
}

std::optional<uint64_t> WaveBufferQueue::firstSentEnd() const {
    if (sent_.empty())
        return std::nullopt;
    return sent_.front().second;
}

void WaveBufferQueue::returnAll() {
    const bool any = !sent_.empty() || !queue_.empty();
    for (auto& s : sent_)
        markDone(*s.first, false, 0);
    sent_.clear();
    bool first = true;
    for (WaveBuffer* b : queue_) {
        markDone(*b, dir_ == WaveDirection::input, first ? offset_ : 0);
        first = false;
    }
    queue_.clear();
    offset_ = 0;
    if (any && event_)
        event_->set();
}

}  // namespace platform

#include "audio/unaWaveCardStream.h"

namespace una {

MmResult unaWaveCardStream::open(platform::WaveDirection direction, int32_t deviceId,
                                 const WaveFormatEx& format, const unaEvent& event, uint32_t flags,
                                 std::atomic<uintptr_t>& handle) {
    std::unique_ptr<platform::WaveStream> stream;
    const MmResult result =
        platform::soundCard()->open(direction, deviceId, format, event.handle(), flags, stream);
    if (result == kMmResultOk && stream) {
        std::lock_guard lock(m_);
        stream_ = std::move(stream);
        closedXruns_ = 0;
        handle = reinterpret_cast<uintptr_t>(stream_.get());
    }
    return result;
}

MmResult unaWaveCardStream::close() {
    std::lock_guard lock(m_);
    if (!stream_)
        return kMmResultOk;
    closedXruns_ = stream_->xrunCount();
    const MmResult result = stream_->close();
    stream_.reset();
    return result;
}

int64_t unaWaveCardStream::position() {
    std::lock_guard lock(m_);
    uint64_t samples = 0;
    if (!stream_ || stream_->position(samples) != kMmResultOk)
        return 0;
    return static_cast<int64_t>(samples);
}

MmResult unaWaveCardStream::timing(platform::StreamTiming& out) {
    std::lock_guard lock(m_);
    return stream_ ? stream_->timing(out) : platform::kMmInvalidHandle;
}

MmResult unaWaveCardStream::setChunkTime(uint32_t ms) {
    std::lock_guard lock(m_);
    return stream_ ? stream_->setChunkTime(ms) : platform::kMmInvalidHandle;
}

MmResult unaWaveCardStream::prepare(unaMsAcmDeviceHeader& header) {
    auto* h = dynamic_cast<unaWaveHeader*>(&header);
    if (!h)
        return kMmResultInvalidParam;
    h->buffer.flags = 0;
    std::lock_guard lock(m_);
    return stream_ ? stream_->prepare(h->buffer) : platform::kMmInvalidHandle;
}

MmResult unaWaveCardStream::unprepare(unaMsAcmDeviceHeader& header) {
    auto* h = dynamic_cast<unaWaveHeader*>(&header);
    if (!h)
        return kMmResultInvalidParam;
    std::lock_guard lock(m_);
    if (!stream_) {
        h->setFlag(platform::kWhdrPrepared, false);
        return kMmResultOk;
    }
    return stream_->unprepare(h->buffer);
}

MmResult unaWaveCardStream::queue(unaWaveHeader& header) {
    std::lock_guard lock(m_);
    if (!stream_)
        return platform::kMmInvalidHandle;
    return stream_->direction() == platform::WaveDirection::input
               ? stream_->addBuffer(header.buffer)
               : stream_->write(header.buffer);
}

MmResult unaWaveCardStream::command(MmResult (platform::WaveStream::*operation)()) {
    std::lock_guard lock(m_);
    return stream_ ? (stream_.get()->*operation)() : platform::kMmInvalidHandle;
}

MmResult unaWaveCardStream::start() {
    return command(&platform::WaveStream::start);
}

MmResult unaWaveCardStream::stop() {
    return command(&platform::WaveStream::stop);
}

MmResult unaWaveCardStream::pause() {
    return command(&platform::WaveStream::pause);
}

MmResult unaWaveCardStream::reset() {
    return command(&platform::WaveStream::reset);
}

uint32_t unaWaveCardStream::xrunCount() {
    std::lock_guard lock(m_);
    return stream_ ? stream_->xrunCount() : closedXruns_;
}

bool unaWaveCardStream::isLost() {
    std::lock_guard lock(m_);
    return stream_ && stream_->isLost();
}

platform::DeviceState unaWaveCardStream::deviceState() {
    std::lock_guard lock(m_);
    return stream_ ? stream_->deviceState() : platform::DeviceState{};
}

uint32_t unaWaveCardStream::moveCount() {
    std::lock_guard lock(m_);
    return stream_ ? stream_->moveCount() : 0;
}

void giveBackSequence(unaMsAcmStreamDevice& device, unaWaveHeader& header) {
    int32_t taken = header.sequence;
    device.nextSequence.compare_exchange_strong(taken, taken - 1);
    header.sequence = 0;
}

}  // namespace una

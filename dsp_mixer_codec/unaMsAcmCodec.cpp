#include "dsp_mixer_codec/unaMsAcmCodec.h"

#include <algorithm>
#include <cstring>

#include "dsp_mixer_codec/unaMsAcm.h"

namespace una {

namespace {

constexpr MmResult kNoDriver = 6;
// The size of destination buffer to fall back to when the driver cannot tell: this many
// source chunks.
constexpr uint32_t kUnknownSizeChunks = 16;

}  // namespace

// -- unaMsAcmCodecHeader --

unaMsAcmCodecHeader::unaMsAcmCodecHeader(unaMsAcmCodec* owner, uint32_t sourceSize,
                                         uint32_t destinationSize)
    : unaMsAcmDeviceHeader(owner),
      codec(owner),
      sourceBuffer(std::max<uint32_t>(sourceSize, 1)),
      destinationBuffer(std::max<uint32_t>(destinationSize, 1)) {
    for (auto* h : {&stream.user, &driverStream.user})
        *h = reinterpret_cast<uintptr_t>(this);
    stream.source = driverStream.source = sourceBuffer.data();
    stream.sourceLength = driverStream.sourceLength = sourceSize;
    stream.destination = driverStream.destination = destinationBuffer.data();
    stream.destinationLength = driverStream.destinationLength = destinationSize;
}

uint32_t unaMsAcmCodecHeader::status() const {
    return codec->codecMode() == kCodecModeDriverStream ? driverStream.status : stream.status;
}

void unaMsAcmCodecHeader::setFlag(uint32_t flag, bool on) {
    uint32_t& s =
        codec->codecMode() == kCodecModeDriverStream ? driverStream.status : stream.status;
    s = on ? s | flag : s & ~flag;
}

void unaMsAcmCodecHeader::markQueued() {
    unaMsAcmDeviceHeader::markQueued();
    stream.sourceLengthUsed = stream.destinationLengthUsed = 0;
    driverStream.sourceLengthUsed = driverStream.destinationLengthUsed = 0;
}

bool unaMsAcmCodecHeader::isDone() const {
    const uint32_t s = status();
    return (s & platform::kAcmHdrDone) && (s & platform::kAcmHdrPrepared) &&
           !(s & platform::kAcmHdrInQueue);
}

bool unaMsAcmCodecHeader::isInQueue() const {
    const uint32_t s = status();
    return (s & platform::kAcmHdrPrepared) && (s & platform::kAcmHdrInQueue);
}

uint32_t unaMsAcmCodecHeader::sourceUsed() const {
    return codec->codecMode() == kCodecModeDriverStream ? driverStream.sourceLengthUsed
                                                        : stream.sourceLengthUsed;
}

uint32_t unaMsAcmCodecHeader::destinationUsed() const {
    return codec->codecMode() == kCodecModeDriverStream ? driverStream.destinationLengthUsed
                                                        : stream.destinationLengthUsed;
}

// -- unaMsAcmCodec --

unaMsAcmCodec::unaMsAcmCodec(unaMsAcmDriver* driver, bool realTime_, int32_t overNum,
                             bool highPriority_, int32_t mode)
    : unaMsAcmStreamDevice(true, true, overNum, overNum, false),
      highPriority(highPriority_),
      driver_(driver),
      mode_(mode) {
    realTime = realTime_;
}

void unaMsAcmCodec::setExternalEncoder(std::unique_ptr<unaMsAcmExternalEncoder> encoder) {
    encoder_ = std::move(encoder);
}

MmResult unaMsAcmCodec::modeAnswer() const {
    if (mode_ == kCodecModeDriverStream && !driver_)
        return kNoDriver;
    if (mode_ == kCodecModeNotSupported || (mode_ == kCodecModeExternal && !encoder_))
        return kMmResultNotSupported;
    if (mode_ > kCodecModeExternal || mode_ < 0)
        return kMmResultInvalidParam;
    return kMmResultOk;
}

intptr_t unaMsAcmCodec::sendMessage(uint32_t message, intptr_t param1, intptr_t param2) {
    return driver_->sendMessage(message, param1, param2);
}

uint32_t unaMsAcmCodec::maxFormatSize() {
    auto manager = platform::compression();
    uint32_t size = 0;
    if (driver_ && driver_->getHandle() &&
        manager->metrics(driver_->getHandle(), platform::kAcmMetricMaxSizeFormat, size) ==
            kMmResultOk)
        return size;
    if (manager->metrics(0, platform::kAcmMetricMaxSizeFormat, size) == kMmResultOk)
        return size;
    return 200;
}

bool unaMsAcmCodec::setFormatSuggestPcm(bool givenIsDst, const WaveFormatEx* format) {
    if (!driver_ || mode_ == kCodecModeExternal || !format)
        return false;
    setFormat(!givenIsDst, format);
    unaWaveFormat pcm(18);
    pcm->formatTag = platform::kWaveFormatPcm;
    pcm->extraSize = 0;
    const unaWaveFormat& stored = givenIsDst ? dstFormat : srcFormat;
    if (!stored || driver_->suggestFormat(stored.get(), pcm.get(),
                                          platform::kAcmFormatSuggestWFormatTag) != kMmResultOk)
        return false;
    setFormat(givenIsDst, pcm.get());
    return true;
}

bool unaMsAcmCodec::setFormatsByTag(bool givenIsSrc, const WaveFormatEx* format, uint32_t tag) {
    if (!driver_ || mode_ == kCodecModeExternal || !format)
        return false;
    const uint32_t size = maxFormatSize();
    unaWaveFormat record(std::max<uint32_t>(size, platform::kPcmFormatRecordSize));
    if (size >= 18)
        record->extraSize = static_cast<uint16_t>(size - 18);
    uint32_t flags = 0;
    if (tag != 0) {
        record->formatTag = static_cast<uint16_t>(tag);
        flags = platform::kAcmFormatSuggestWFormatTag;
    }
    if (driver_->suggestFormat(format, record.get(), flags) != kMmResultOk)
        return false;
    setFormat(givenIsSrc, format);
    setFormat(!givenIsSrc, record.get());
    return true;
}

MmResult unaMsAcmCodec::open(bool query, uint32_t timeoutMs, uint32_t flags) {
    if (flags == 0) {
        if (!realTime)
            flags = platform::kAcmStreamOpenNonRealtime;
        if (query)
            flags |= platform::kAcmStreamOpenQuery;
    }
    return unaMsAcmStreamDevice::open(query, timeoutMs, flags);
}

MmResult unaMsAcmCodec::doOpen(uint32_t flags) {
    MmResult result = unaMsAcmStreamDevice::doOpen(flags);
    if (result != kMmResultOk)
        return result;
    if ((result = modeAnswer()) != kMmResultOk)
        return result;
    if (!srcFormat || !dstFormat)
        return kMmResultInvalidParam;
    const bool query = (flags & platform::kAcmStreamOpenQuery) != 0;
    switch (mode_) {
        case kCodecModeAcmStream: {
            platform::AcmId stream = 0;
            result = platform::compression()->streamOpen(
                stream, driver_ ? driver_->getHandle() : 0, srcFormat.get(), dstFormat.get(),
                nullptr, 0, 0, flags);
            if (result == kMmResultOk)
                handle = stream;
            break;
        }
        case kCodecModeDriverStream:
            instance_ = platform::AcmDrvStreamInstance{};
            instance_.source = srcFormat.get();
            instance_.destination = dstFormat.get();
            instance_.flags = flags;
            instance_.openFlags = flags;
            instance_.stream = reinterpret_cast<uintptr_t>(this);
            result = static_cast<MmResult>(
                sendMessage(platform::kAcmdmStreamOpen, reinterpret_cast<intptr_t>(&instance_), 0));
            if (result == kMmResultOk && !query)
                handle = 1;
            break;
        default:
            if (encoder_->setting().empty() && !encoderSetting_.empty())
                encoder_->setSetting(encoderSetting_);
            result = query ? kMmResultOk : encoder_->open(*srcFormat.get(), *dstFormat.get());
            if (result == kMmResultOk && !query)
                handle = 1;
            break;
    }
    if (result != kMmResultOk || query)
        return result;
    deviceEvent.setState(true);
    uint32_t size = 0;
    dstChunkSize = streamSize(chunkSize, size, platform::kAcmStreamSizeSource) == kMmResultOk
                       ? size
                       : chunkSize * kUnknownSizeChunks;
    if (streamSize(dstChunkSize, size, platform::kAcmStreamSizeDestination) == kMmResultOk &&
        size != chunkSize)
        chunkSize = size;
    inOverBytes = static_cast<uint32_t>(int64_t{inOverNum} * chunkSize);
    outOverBytes = static_cast<uint32_t>(int64_t{outOverNum} * dstChunkSize);
    return kMmResultOk;
}

MmResult unaMsAcmCodec::doClose(uint32_t timeoutMs) {
    MmResult result = modeAnswer();
    if (result == kMmResultOk) {
        switch (mode_) {
            case kCodecModeAcmStream:
                result = platform::compression()->streamClose(handle, 0);
                break;
            case kCodecModeDriverStream:
                result = static_cast<MmResult>(sendMessage(
                    platform::kAcmdmStreamClose, reinterpret_cast<intptr_t>(&instance_), 0));
                break;
            default:
                encoderSetting_ = encoder_->setting();
                result = encoder_->close();
                break;
        }
        handle = 0;
    }
    deviceEvent.setState(true);
    if (result == kMmResultOk)
        result = unaMsAcmStreamDevice::doClose(timeoutMs);
    return result;
}

MmResult unaMsAcmCodec::streamSize(uint32_t bytes, uint32_t& out, uint32_t flags) {
    if (const MmResult answer = modeAnswer(); answer != kMmResultOk)
        return answer;
    const bool fromSource = (flags & platform::kAcmStreamSizeDestination) == 0;
    switch (mode_) {
        case kCodecModeAcmStream:
            return platform::compression()->streamSize(handle, bytes, out, flags);
        case kCodecModeDriverStream: {
            platform::AcmDrvStreamSize request;
            request.flags = flags;
            (fromSource ? request.sourceLength : request.destinationLength) = bytes;
            const auto result = static_cast<MmResult>(
                sendMessage(platform::kAcmdmStreamSize, reinterpret_cast<intptr_t>(&instance_),
                            reinterpret_cast<intptr_t>(&request)));
            if (result == kMmResultOk)
                out = fromSource ? request.destinationLength * 2 : request.sourceLength;
            return result;
        }
        default:
            return encoder_->size(bytes, fromSource, out);
    }
}

MmResult unaMsAcmCodec::reset() {
    if (const MmResult answer = modeAnswer(); answer != kMmResultOk)
        return answer;
    switch (mode_) {
        case kCodecModeAcmStream:
            return platform::compression()->streamReset(handle, 0);
        case kCodecModeDriverStream:
            return static_cast<MmResult>(sendMessage(platform::kAcmdmStreamReset,
                                                     reinterpret_cast<intptr_t>(&instance_), 0));
        default:
            return kMmResultOk;
    }
}

MmResult unaMsAcmCodec::convert(unaMsAcmCodecHeader& header, uint32_t flags) {
    if (const MmResult answer = modeAnswer(); answer != kMmResultOk)
        return answer;
    switch (mode_) {
        case kCodecModeAcmStream:
            return platform::compression()->streamConvert(handle, header.stream, flags);
        case kCodecModeDriverStream: {
            header.driverStream.convertFlags = flags;
            const auto result = static_cast<MmResult>(
                sendMessage(platform::kAcmdmStreamConvert, reinterpret_cast<intptr_t>(&instance_),
                            reinterpret_cast<intptr_t>(&header.driverStream)));
            if (result == kMmResultOk)
                header.setFlag(platform::kAcmHdrDone, true);
            return result;
        }
        default:
            return encoder_->convert(header.stream, flags);
    }
}

MmResult unaMsAcmCodec::prepareHeader(unaMsAcmDeviceHeader& base) {
    auto& header = static_cast<unaMsAcmCodecHeader&>(base);
    if (const MmResult answer = modeAnswer(); answer != kMmResultOk)
        return answer;
    MmResult result = kMmResultOk;
    switch (mode_) {
        case kCodecModeAcmStream:
            return platform::compression()->streamPrepareHeader(handle, header.stream, 0);
        case kCodecModeDriverStream:
            result = static_cast<MmResult>(
                sendMessage(platform::kAcmdmStreamPrepare, reinterpret_cast<intptr_t>(&instance_),
                            reinterpret_cast<intptr_t>(&header.driverStream)));
            if (result == kMmResultNotSupported)
                result = kMmResultOk;
            break;
        default:
            break;
    }
    if (result == kMmResultOk)
        header.setFlag(platform::kAcmHdrPrepared, true);
    return result;
}

MmResult unaMsAcmCodec::unprepareHeader(unaMsAcmDeviceHeader& base) {
    auto& header = static_cast<unaMsAcmCodecHeader&>(base);
    if (const MmResult answer = modeAnswer(); answer != kMmResultOk)
        return answer;
    MmResult result = kMmResultOk;
    switch (mode_) {
        case kCodecModeAcmStream:
            // Nothing to undo once the stream is gone.
            if (!isOpen())
                return kMmResultOk;
            return platform::compression()->streamUnprepareHeader(handle, header.stream, 0);
        case kCodecModeDriverStream:
            result = static_cast<MmResult>(
                sendMessage(platform::kAcmdmStreamUnprepare,
                            reinterpret_cast<intptr_t>(&instance_),
                            reinterpret_cast<intptr_t>(&header.driverStream)));
            if (result == kMmResultNotSupported)
                result = kMmResultOk;
            break;
        default:
            break;
    }
    header.setFlag(platform::kAcmHdrPrepared, false);
    return result;
}

void unaMsAcmCodecHeader::setSourceLength(uint32_t bytes) {
    stream.sourceLength = driverStream.sourceLength =
        std::min(bytes, static_cast<uint32_t>(sourceBuffer.size()));
}

void unaMsAcmCodec::makeHeader(uint32_t chunk) {
    if (header_)
        return;
    auto made = make<unaMsAcmCodecHeader>(this, chunk, dstChunkSize.load());
    header_ = made.get();
    made->prepare();
    addHeader(std::move(made));
}

void unaMsAcmCodec::deliverPending() {
    if (!pending_ || !header_)
        return;
    pending_ = false;
    deliverChunk(header_->destination(), header_->destinationUsed());
    const uint32_t length = header_->sourceLength();
    const uint32_t used = std::min(header_->sourceUsed(), length);
    carry_ = length - used;
    if (used == 0 && length > 0) {
        inLostBytes += length;
        carry_ = 0;
    } else if (carry_ > 0) {
        std::memmove(header_->source(), header_->source() + used, carry_);
    }
}

void unaMsAcmCodec::finishStream() {
    deliverPending();
    const uint32_t chunk = chunkSize;
    while (carry_ > 0 || getDataAvailable(true) > 0) {
        makeHeader(chunk);
        header_->markQueued();
        const uint32_t waiting = getDataAvailable(true);
        const uint32_t got = takeInput(header_->source() + carry_, chunk - carry_);
        // Nothing taken and nothing left behind: the stream will not give more.
        if (got == 0 && carry_ == 0 && getDataAvailable(true) >= waiting)
            break;
        carry_ += got;
        if (carry_ == 0)
            continue;  // the silence gate held a chunk back
        const bool last = getDataAvailable(true) == 0;
        uint32_t flags = convertFlags_;
        if (last)
            flags = (flags & ~platform::kAcmConvertBlockAlign) | platform::kAcmConvertEnd;
        header_->setSourceLength(carry_);
        carry_ = 0;
        const MmResult converted = convert(*header_, flags);
        convertFlags_ &= ~platform::kAcmConvertStart;
        if (converted != kMmResultOk)
            break;
        pending_ = true;
        deliverPending();
        header_->setSourceLength(chunk);
        if (last)
            break;
    }
    // What a driver leaves even at the end is less than a frame: nothing to hear in it.
    carry_ = 0;
}

int32_t unaMsAcmCodec::execute(int32_t /*slotIndex*/) {
    const uint32_t rate = chunksPerSecond;
    const uint32_t waitMs = rate ? 1000 / rate : 40;
    waitTimeout = static_cast<int32_t>(waitMs);
    if (highPriority)
        setPriority(kPriorityTimeCritical);
    convertFlags_ = platform::kAcmConvertBlockAlign | platform::kAcmConvertStart;
    header_ = nullptr;
    pending_ = false;
    carry_ = 0;
    bool failed = false;
    while (!shouldStop()) {
        try {
            if (!pending_)
                dataInEvent.waitFor(waitMs);
            deliverPending();
            const uint32_t chunk = chunkSize;
            if (getDataAvailable(true) < chunk - carry_)
                continue;
            makeHeader(chunk);
            header_->markQueued();
            const uint32_t got = takeInput(header_->source() + carry_, chunk - carry_);
            if (got == 0)
                continue;
            carry_ += got;
            // A short read keeps what came until the rest is there.
            if (carry_ < chunk)
                continue;
            carry_ = 0;
            if (convert(*header_, convertFlags_) != kMmResultOk) {
                failed = true;
                break;
            }
            convertFlags_ &= ~platform::kAcmConvertStart;
            pending_ = true;
        } catch (...) {
        }
    }
    // Only a close ends the stream; what came before it is converted, not lost.
    if (!failed && closing) {
        try {
            finishStream();
        } catch (...) {
        }
    }
    header_ = nullptr;
    return 0;
}

}  // namespace una

#include "audio/unaMsAcmStreamDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "dsp_mixer_codec/unaDspAutomat.h"
#include "dsp_mixer_codec/unaDspLibRoot.h"
#include "foundation/unaTime.h"

namespace una {

namespace {

constexpr uint32_t kGateTimeoutMs = 1000;
constexpr uint32_t kOpenCloseGateTimeoutMs = 1100;
constexpr uint32_t kHeaderGateTimeoutMs = 100;
constexpr MmResult kNoDriver = 6;
// How long close waits for the platform to give back its buffers before it leaves the rest
// to be freed once the platform device is closed.
constexpr int64_t kReleaseHeadersMaxMs = 1000;

// What -1 means for open and close: the time the application always allows.
uint32_t deviceTimeout(uint32_t timeoutMs) {
    return timeoutMs == kInfinite ? 10000 : timeoutMs;
}

// A millisecond tick that is never 0, so 0 can mean "not timing".
uint32_t tickMs() {
    const auto ms = static_cast<uint32_t>(markTime() / 1'000'000);
    return ms ? ms : 1;
}

int64_t readSample(const uint8_t* p, uint32_t bits) {
    switch (bits) {
        case 8:
            return (static_cast<int64_t>(p[0]) - 128) * 256;
        case 16: {
            int16_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case 32: {
            int32_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        default:
            return 0;
    }
}

unaObject* asObject(unaMsAcmDeviceHeader* header) {
    return header;
}

}  // namespace

// -- unaMsAcmDeviceHeader --

unaMsAcmDeviceHeader::unaMsAcmDeviceHeader(unaMsAcmStreamDevice* owner) : device(owner) {}

void unaMsAcmDeviceHeader::beforeDestruction() {
    if (enter(kHeaderGateTimeoutMs)) {
        unprepare();
        leave();
    }
    unaObject::beforeDestruction();
}

MmResult unaMsAcmDeviceHeader::prepare() {
    return device ? device->prepareHeader(*this) : kNoDriver;
}

MmResult unaMsAcmDeviceHeader::unprepare() {
    return device ? device->unprepareHeader(*this) : kNoDriver;
}

void unaMsAcmDeviceHeader::markQueued() {
    if (numbered && device)
        sequence = device->nextSequence.fetch_add(1) + 1;
    numbered = true;
    handled = false;
}

// -- volume helpers --

int32_t waveGetVolume(const uint8_t* data, uint32_t samples, uint32_t bits, bool delta,
                      uint32_t channel, uint32_t channels) {
    if (!data || samples == 0 || channels == 0 || channel >= channels || bits < 8)
        return 0;
    const uint32_t sampleBytes = bits / 8;
    const uint8_t* p = data + static_cast<size_t>(channel) * sampleBytes;
    const size_t stride = static_cast<size_t>(channels) * sampleBytes;
    // 32-bit squares overflow a 64-bit sum after a few samples.
    long double wideSum = 0;
    uint64_t sum = 0;
    int64_t previous = 0;
    for (uint32_t i = 0; i < samples; ++i, p += stride) {
        int64_t value = readSample(p, bits);
        if (delta) {
            const int64_t raw = value;
            value = std::llabs(raw - previous);
            previous = raw;
        }
        if (bits > 16)
            wideSum += static_cast<long double>(value) * static_cast<long double>(value);
        else
            sum += static_cast<uint64_t>(value * value);
    }
    const long double total = bits > 16 ? wideSum : static_cast<long double>(sum);
    return static_cast<int32_t>(std::llround(std::sqrt(total / samples)));
}

int32_t volumeToMeter(int32_t volume) {
    if (volume == -1)
        return 0;
    if (volume > 32767)
        return 300;
    if (volume < 32)
        return 0;
    return static_cast<int32_t>(std::lround(100.0 * std::log10(volume / 32.0)));
}

// -- unaMsAcmStreamDevice --

unaMsAcmStreamDevice::unaMsAcmStreamDevice(bool createInStream, bool createOutStream,
                                           int32_t inOverNumber, int32_t outOverNumber,
                                           bool calcVol)
    : unaThread(false, kPriorityNormal),
      headers(make<unaObjectList>(true)),
      consumers(make<unaList>(false)),
      providers(make<unaList>(false)) {
    if (createInStream) {
        ownedIn_ = make<unaMemoryStream>(100);
        inStream_ = ownedIn_.get();
        inIsMemory = true;
    }
    if (createOutStream) {
        ownedOut_ = make<unaMemoryStream>(100);
        outStream_ = ownedOut_.get();
        outIsMemory = true;
    }
    setInOverNum(inOverNumber);
    setOutOverNum(outOverNumber);
    ownsInStream = true;
    ownsOutStream = true;
    calcVolume = calcVol;
}

unaMsAcmStreamDevice::~unaMsAcmStreamDevice() = default;

void unaMsAcmStreamDevice::afterConstruction() {
    unaThread::afterConstruction();
    silenceThreshold = 0;
    silenceHoldMs = 100;
    dspRoot = make<unaDspDLibRoot>();
    levelAutomat = make<unaDSPLibAutomat>(*dspRoot);
    noiseAutomat = make<unaDSPLibAutomat>(*dspRoot);
    ldHandle = levelAutomat->addProcessor(kDspKindLD);
    ndHandle = noiseAutomat->addProcessor(kDspKindND);
    silenceMode = kSilenceOff;
}

void unaMsAcmStreamDevice::beforeDestruction() {
    close(10000);
    unhookAll();
    stop();
    if (inIsMemory && inStream_)
        inStream_->clear();
    if (outIsMemory && outStream_)
        outStream_->clear();
    // Headers call back into the device to unprepare, so they go while it is still whole.
    headers->clear(kReleaseFree);
    noiseAutomat.reset();
    levelAutomat.reset();
    dspRoot.reset();
    ldHandle = nullptr;
    ndHandle = nullptr;
    unaThread::beforeDestruction();
}

void unaMsAcmStreamDevice::unhookAll() {
    std::vector<unaMsAcmStreamDevice*> list;
    if (providers->lock()) {
        for (uint32_t i = 0; i < providers->getCount(); ++i)
            list.push_back(static_cast<unaMsAcmStreamDevice*>(providers->get(i)));
        providers->unlock();
    }
    for (unaMsAcmStreamDevice* provider : list) {
        // A provider whose gate stays busy must still forget us: it would deliver into freed
        // memory otherwise.
        if (!provider->removeConsumer(this))
            provider->consumers->removeItem(this, kReleaseKeep);
    }
    providers->clear(kReleaseKeep);

    list.clear();
    if (consumers->lock()) {
        for (uint32_t i = 0; i < consumers->getCount(); ++i)
            list.push_back(static_cast<unaMsAcmStreamDevice*>(consumers->get(i)));
        consumers->unlock();
    }
    for (unaMsAcmStreamDevice* consumer : list)
        consumer->removeProvider(this);
    consumers->clear(kReleaseKeep);
}

void unaMsAcmStreamDevice::startIn() {
    unaThread::startIn();
    dataInEvent.setState(false);
    dataOutEvent.setState(false);
}

void unaMsAcmStreamDevice::startOut() {
    unaThread::startOut();
}

bool unaMsAcmStreamDevice::setFormat(bool isSrc, const WaveFormatEx* format) {
    unaGateGuard guard(gate(), kGateTimeoutMs);
    if (!guard)
        return false;
    unaWaveFormat& side = isSrc ? srcFormat : dstFormat;
    freeFormat(side);
    duplicateFormat(format, side);
    (isSrc ? srcFormatText : dstFormatText) = formatToText(side);
    if (!format)
        return false;

    const bool pcm = format->formatTag == platform::kWaveFormatPcm;
    uint64_t bytesPerSec;
    if (!pcm && format->avgBytesPerSec != 0)
        bytesPerSec = format->avgBytesPerSec;
    else
        bytesPerSec = uint64_t{std::max<uint32_t>(format->bitsPerSample, 8)} *
                      std::max<uint32_t>(format->channels, 1) *
                      std::max<uint32_t>(format->samplesPerSec, 1000) / 8;

    const uint32_t wanted = wantedChunksPerSecond;
    uint64_t rate = wanted;
    const bool ownSide = deviceFormatIsSrc() == isSrc;
    if (ownSide) {
        uint32_t cps = wanted;
        if (pcm && bytesPerSec % cps != 0) {
            if (std::gcd(bytesPerSec, uint64_t{5}) == 1)
                bytesPerSec = (bytesPerSec + 4) / 5 * 5;
            while (cps > 5) {
                if (bytesPerSec % cps == 0 && 1000 % cps == 0)
                    break;
                --cps;
            }
        }
        chunksPerSecond = cps;
        rate = cps;
    }
    const uint64_t align = format->blockAlign ? format->blockAlign : 512;
    const auto chunkBytes =
        static_cast<uint32_t>(((bytesPerSec / rate) + align - 1) / align * align);
    if (ownSide)
        chunkSize = chunkBytes;
    else
        dstChunkSize = chunkBytes;
    if (isSrc)
        inOverBytes = static_cast<uint32_t>(inOverNum.load() * int64_t{chunkBytes});
    else
        outOverBytes = static_cast<uint32_t>(outOverNum.load() * int64_t{chunkBytes});
    return true;
}

bool unaMsAcmStreamDevice::setChunksPerSecond(uint32_t wanted) {
    wantedChunksPerSecond = std::clamp<uint32_t>(wanted, 5, 25);
    bool done = true;
    for (const bool isSrc : {true, false}) {
        unaWaveFormat copy;
        {
            unaGateGuard guard(gate(), kGateTimeoutMs);
            if (!guard)
                return false;
            const unaWaveFormat& side = isSrc ? srcFormat : dstFormat;
            if (!side)
                continue;
            duplicateFormat(side.get(), copy);
        }
        done = setFormat(isSrc, copy.get()) && done;
        freeFormat(copy);
    }
    return done;
}

MmResult unaMsAcmStreamDevice::doOpen(uint32_t /*flags*/) {
    nextSequence = 0;
    lastDoneSequence = 0;
    inLostBytes = 0;
    inAcceptedBytes = 0;
    inBusyBytes = 0;
    if (inStream_)
        inStream_->clear();
    if (outStream_)
        outStream_->clear();
    openCloseEvent.setState(true);
    return kMmResultOk;
}

MmResult unaMsAcmStreamDevice::open(bool query, uint32_t timeoutMs, uint32_t flags) {
    unaGateGuard guard(openCloseGate, kOpenCloseGateTimeoutMs);
    if (!guard)
        return kMmResultTimeout;
    if (isOpen())
        return kMmResultOk;
    timeoutMs = deviceTimeout(timeoutMs);
    openCloseEvent.setState(false);
    MmResult result = doOpen(flags);
    if (result != kMmResultOk) {
        handle = 0;
        return result;
    }
    if (query)
        return kMmResultOk;
    if (!openCloseEvent.waitFor(timeoutMs)) {
        close(10000);
        return kMmResultTimeout;
    }
    headers->clear(kReleaseFree);
    result = afterOpen();
    if (result == kMmResultOk)
        start(10000);
    return result;
}

MmResult unaMsAcmStreamDevice::afterOpen() {
    inBytes = 0;
    outBytes = 0;
    isSilent = true;
    forceNotify = true;
    configureDsp();
    dspBound = false;
    return kMmResultOk;
}

MmResult unaMsAcmStreamDevice::doClose(uint32_t /*timeoutMs*/) {
    openCloseEvent.setState(true);
    return kMmResultOk;
}

void unaMsAcmStreamDevice::afterClose(MmResult /*result*/) {
    for (auto& v : volume)
        v = 0;
}

MmResult unaMsAcmStreamDevice::close(uint32_t timeoutMs) {
    unaGateGuard guard(openCloseGate, kOpenCloseGateTimeoutMs);
    if (!guard)
        return kMmResultTimeout;
    if (!isOpen())
        return kMmResultOk;
    timeoutMs = deviceTimeout(timeoutMs);
    closing = true;
    flush(flushOnClose);
    stop(timeoutMs);
    releaseHeaders();
    openCloseEvent.setState(false);
    MmResult result = doClose(timeoutMs);
    if (result == kMmResultOk) {
        const bool came = openCloseEvent.waitFor(timeoutMs);
        handle = 0;
        result = came ? kMmResultOk : kMmResultTimeout;
    }
    afterClose(result);
    closing = false;
    return result;
}

int64_t unaMsAcmStreamDevice::getPosition() {
    // The destination format counts; a device that only has its source side counts that one.
    const unaWaveFormat& format = dstFormat ? dstFormat : srcFormat;
    if (!format)
        return 0;
    const int64_t sampleBytes = format->bitsPerSample / 8;
    const int64_t channels = format->channels;
    if (sampleBytes == 0 || channels == 0)
        return 0;
    const int64_t bytes = static_cast<int64_t>(deviceFormatIsSrc() ? inBytes : outBytes);
    return bytes / sampleBytes / channels;
}

bool unaMsAcmStreamDevice::measureChunk(const uint8_t* data, uint32_t size) {
    const unaWaveFormat& own = ownFormat();
    if (calcVolume && size != 0 && data && own && own->formatTag == platform::kWaveFormatPcm &&
        own->channels != 0 && own->bitsPerSample >= 8) {
        const uint32_t c = own->channels;
        const uint32_t bits = own->bitsPerSample;
        const uint32_t samples = static_cast<uint32_t>(uint64_t{size} * 8 / (uint64_t{bits} * c));
        for (uint32_t i = 0; i < std::min(c, kMaxVolumeChannels); ++i) {
            prevVolume[i] = volume[i].load();
            volume[i] = waveGetVolume(data, samples, bits, false, i, c);
        }
    }
    return silenceGate(data, size);
}

void unaMsAcmStreamDevice::configureDsp() {
    if (!levelAutomat || !noiseAutomat)
        return;
    const unaWaveFormat& own = ownFormat();
    const unaWaveFormat& other = deviceFormatIsSrc() ? dstFormat : srcFormat;
    const unaWaveFormat& format = own && own->formatTag == platform::kWaveFormatPcm ? own : other;
    if (!format)
        return;
    const auto rate = static_cast<int32_t>(format->samplesPerSec);
    const int32_t bits = format->bitsPerSample;
    const int32_t channels = format->channels;
    levelAutomat->setAudioFormat(rate, bits, channels, false);
    noiseAutomat->setAudioFormat(rate, bits, channels, false);
    noiseAutomat->setFloatParam(ndHandle, kDspSampleRate, static_cast<float>(rate));
}

bool unaMsAcmStreamDevice::dspSilenceVerdict(const uint8_t* data, uint32_t size) {
    if (!levelAutomat || !noiseAutomat || levelAutomat->processChunk(data, size) < 0 ||
        noiseAutomat->processChunk(data, size) < 0)
        return false;
    const uint32_t channels =
        std::min<uint32_t>(static_cast<uint32_t>(levelAutomat->channels), kMaxVolumeChannels);
    // The automats replace their buffers when the chunk length changes; fetch them again then.
    if (!dspBound || levelOutputs.length[0] != levelAutomat->currentLength()) {
        for (uint32_t c = 0; c < channels; ++c) {
            const auto channel = static_cast<int32_t>(c);
            levelOutputs.data[c] = nullptr;
            levelOutputs.length[c] = 0;
            noiseOutputs.data[c] = nullptr;
            noiseOutputs.length[c] = 0;
            levelAutomat->getChannelOutput(channel, levelOutputs.data[c], levelOutputs.length[c]);
            noiseAutomat->getChannelOutput(channel, noiseOutputs.data[c], noiseOutputs.length[c]);
        }
        dspBound = true;
    }
    if (levelOutputs.length[0] != noiseOutputs.length[0])
        return true;
    for (uint32_t c = 0; c < channels; ++c) {
        float noise = 0.0f;
        if (!noiseAutomat->getChannelFloatParam(ndHandle, static_cast<int32_t>(c), kDspOutput,
                                                noise))
            return false;
        const float* level = levelOutputs.data[c];
        for (int32_t i = 0; level && i < levelOutputs.length[c]; ++i)
            if (level[i] > noise)
                return false;
    }
    return true;
}

bool unaMsAcmStreamDevice::notifyThreshold() {
    if ((forceNotify || isSilent != lastNotifiedSilent) && onThreshold) {
        forceNotify = false;
        lastNotifiedSilent = isSilent;
        passFlag = !isSilent;
        onThreshold(*this, passFlag);
        return passFlag;
    }
    return !isSilent;
}

bool unaMsAcmStreamDevice::silenceGate(const uint8_t* data, uint32_t size) {
    const unaWaveFormat& own = ownFormat();
    if (!own || own->channels == 0) {
        isSilent = false;
        return true;
    }
    switch (silenceMode.load()) {
        case kSilenceVolume: {
            if (!calcVolume || silenceThreshold == 0) {
                silenceStart = 0;
                isSilent = false;
                if (lastNotifiedSilent && onThreshold) {
                    lastNotifiedSilent = false;
                    bool pass = true;
                    onThreshold(*this, pass);
                }
                return true;
            }
            const uint32_t now = tickMs();
            if (silenceStart != 0 && now - silenceStart <= silenceHoldMs)
                return true;
            const uint32_t threshold = silenceThreshold;
            const uint32_t channels = std::min<uint32_t>(own->channels, kMaxVolumeChannels);
            bool allBelow = true;
            for (uint32_t i = 0; i < channels && allBelow; ++i)
                allBelow = volume[i] < static_cast<int64_t>(threshold);
            if (isSilent && !allBelow) {
                silenceStart = 0;
                isSilent = false;
            }
            if (!isSilent && allBelow) {
                if (silenceStart == 0) {
                    silenceStart = now;
                } else {
                    silenceStart = 0;
                    isSilent = true;
                }
            }
            return notifyThreshold();
        }
        case kSilenceDsp:
            isSilent = dspSilenceVerdict(data, size);
            return notifyThreshold();
        default:
            isSilent = false;
            return true;
    }
}

int32_t unaMsAcmStreamDevice::addConsumer(unaMsAcmStreamDevice* consumer, bool detachOutputStream) {
    unaGateGuard guard(gate(), kGateTimeoutMs);
    if (!guard)
        return -1;
    int32_t result = -1;
    if (consumer && consumers->indexOf(consumer) < 0) {
        consumer->addProvider(this);
        result = consumers->add(consumer);
    }
    if (detachOutputStream)
        assignStream(false, nullptr);
    return result;
}

bool unaMsAcmStreamDevice::removeConsumer(unaMsAcmStreamDevice* consumer) {
    unaGateGuard guard(gate(), kGateTimeoutMs);
    if (!guard)
        return false;
    if (consumer)
        consumer->removeProvider(this);
    // Waits for a delivery in progress, so the consumer is not called after this returns.
    return consumers->removeItem(consumer, kReleaseKeep);
}

void unaMsAcmStreamDevice::addProvider(unaMsAcmStreamDevice* device) {
    if (device && providers->indexOf(device) < 0)
        providers->add(device);
}

void unaMsAcmStreamDevice::removeProvider(unaMsAcmStreamDevice* device) {
    providers->removeItem(device, kReleaseKeep);
}

unaAbstractStream* unaMsAcmStreamDevice::installStream(bool isInput, unaAbstractStream* stream,
                                                       unaPtr<unaAbstractStream> owned) {
    unaGateGuard guard(gate(), kGateTimeoutMs);
    if (!guard)
        return nullptr;
    releaseStream(isInput);
    const bool owns = owned != nullptr;
    const bool memory = dynamic_cast<unaMemoryStream*>(stream) != nullptr;
    if (isInput) {
        ownedIn_ = std::move(owned);
        inStream_ = stream;
        ownsInStream = owns;
        inIsMemory = memory;
    } else {
        ownedOut_ = std::move(owned);
        outStream_ = stream;
        ownsOutStream = owns;
        outIsMemory = memory;
    }
    return stream;
}

unaAbstractStream* unaMsAcmStreamDevice::assignStream(bool isInput, unaAbstractStream* stream) {
    return installStream(isInput, stream, nullptr);
}

unaAbstractStream* unaMsAcmStreamDevice::assignStream(bool isInput,
                                                      unaPtr<unaAbstractStream> stream) {
    unaAbstractStream* raw = stream.get();
    if (!installStream(isInput, raw, std::move(stream)))
        return nullptr;
    return raw;
}

void unaMsAcmStreamDevice::releaseStream(bool isInput) {
    // A borrowed stream is only forgotten; its owner frees it.
    if (isInput) {
        inStream_ = nullptr;
        ownedIn_.reset();
    } else {
        outStream_ = nullptr;
        ownedOut_.reset();
    }
}

void unaMsAcmStreamDevice::setInOverNum(int32_t n) {
    inOverNum = n;
    inOverBytes = static_cast<uint32_t>(int64_t{n} * chunkSize);
    if (inIsMemory && inStream_)
        static_cast<unaMemoryStream*>(inStream_)->maxPoolSize = static_cast<uint32_t>(n + 2);
}

void unaMsAcmStreamDevice::setOutOverNum(int32_t n) {
    outOverNum = n;
    outOverBytes = static_cast<uint32_t>(int64_t{n} * chunkSize);
    if (outIsMemory && outStream_)
        static_cast<unaMemoryStream*>(outStream_)->maxPoolSize = static_cast<uint32_t>(n + 2);
}

uint32_t unaMsAcmStreamDevice::write(const void* data, uint32_t size) {
    if (!isOpen() || (closing && !flushing) || !inStream_ || !data || size == 0)
        return 0;
    unaAbstractStream* stream = inStream_;
    if (!stream->lock(static_cast<uint32_t>(waitTimeout.load()))) {
        inBusyBytes += size;
        return 0;
    }
    uint32_t accepted = 0;
    if (inOverNum != 0 && static_cast<uint32_t>(stream->getSize()) > inOverBytes) {
        inLostBytes += size;
    } else {
        const int32_t n = stream->write(data, size);
        accepted = n > 0 ? static_cast<uint32_t>(n) : 0;
        inAcceptedBytes += accepted;
        dataInEvent.setState(true);
    }
    stream->unlock();
    return accepted;
}

uint32_t unaMsAcmStreamDevice::read(std::span<uint8_t> buffer, uint32_t size) {
    unaAbstractStream* stream = outStream_;
    if (!stream)
        return 0;
    if (size == 0) {
        if (!outIsMemory)
            return 0;
        size = static_cast<unaMemoryStream*>(stream)->getFirstChunkSize();
    }
    size = std::min<uint32_t>(size, static_cast<uint32_t>(buffer.size()));
    if (size == 0)
        return 0;
    const int32_t n = stream->read(buffer.data(), size);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t unaMsAcmStreamDevice::getDataAvailable(bool isInput) {
    unaAbstractStream* stream = isInput ? inStream_ : outStream_;
    if (!stream)
        return 0;
    const int32_t n = stream->getAvailableSize();
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t unaMsAcmStreamDevice::takeInput(uint8_t* buffer, uint32_t size) {
    if (size == 0 || !buffer || !inStream_)
        return 0;
    const int32_t got = inStream_->read(buffer, size);
    if (got <= 0)
        return 0;
    const auto n = static_cast<uint32_t>(got);
    if (measureChunk(buffer, n)) {
        inBytes += n;
        return n;
    }
    silentBytes += n;
    return 0;
}

bool unaMsAcmStreamDevice::deliverChunk(const uint8_t* data, uint32_t size) {
    if (size == 0 || !data)
        return false;
    if (!measureChunk(data, size)) {
        silentBytes += size;
        return false;
    }
    outBytes += size;
    if (onDataAvailable)
        onDataAvailable(*this, std::span<const uint8_t>(data, size));
    // Held for the whole round so a consumer being unhooked is not called half-way.
    if (consumers->lock()) {
        for (uint32_t i = 0; i < consumers->getCount(); ++i)
            static_cast<unaMsAcmStreamDevice*>(consumers->get(i))->write(data, size);
        consumers->unlock();
    }
    if (unaAbstractStream* stream = outStream_) {
        if (outOverNum != 0 && static_cast<uint32_t>(stream->getSize()) > outOverBytes)
            outLostBytes += size;
        else
            stream->write(data, size);
    }
    dataOutEvent.setState(true);
    return true;
}

bool unaMsAcmStreamDevice::isNextInOrder(int32_t sequence) {
    int32_t expected = sequence - 1;
    return lastDoneSequence.compare_exchange_strong(expected, sequence);
}

unaMsAcmDeviceHeader* unaMsAcmStreamDevice::getHeader(uint32_t index) const {
    return headers->getAs<unaMsAcmDeviceHeader>(index);
}

int32_t unaMsAcmStreamDevice::addHeader(unaPtr<unaMsAcmDeviceHeader> header) {
    if (!header)
        return -1;
    return headers->add(unaPtr<unaObject>(std::move(header)));
}

bool unaMsAcmStreamDevice::removeHeader(unaMsAcmDeviceHeader* header) {
    return header && headers->removeItem(asObject(header), kReleaseFree);
}

unaMsAcmDeviceHeader* unaMsAcmStreamDevice::findDoneHeader(bool ignoreOrder, bool ignoreQueue) {
    if (!headers->lock())
        return nullptr;
    unaMsAcmDeviceHeader* found = nullptr;
    for (uint32_t i = 0; i < headers->getCount() && !found; ++i) {
        unaMsAcmDeviceHeader* h = getHeader(i);
        try {
            if (!h || !h->device)
                continue;
            if (ignoreQueue) {
                if (!h->isInQueue())
                    found = h;
            } else if (h->isDone()) {
                if (ignoreOrder ? h->handled : isNextInOrder(h->sequence))
                    found = h;
            }
        } catch (...) {
        }
    }
    headers->unlock();
    return found;
}

void unaMsAcmStreamDevice::releaseHeaders() {
    const int64_t mark = markTime();
    while (headers->getCount() > 0) {
        bool freed = false;
        if (headers->lock(kHeaderGateTimeoutMs)) {
            unaMsAcmDeviceHeader* h = findDoneHeader(false, false);
            if (!h)
                h = findDoneHeader(true, true);
            if (h)
                freed = headers->removeItem(asObject(h), kReleaseFree);
            headers->unlock();
        }
        if (!freed && headers->getCount() > 0) {
            if (elapsedMs(mark) >= kReleaseHeadersMaxMs)
                break;
            sleepThis(10);
        }
    }
}

}  // namespace una

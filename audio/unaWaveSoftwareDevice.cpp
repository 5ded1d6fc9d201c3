#include "audio/unaWaveSoftwareDevice.h"

namespace una {

void waveMix(const void* a, const void* b, void* out, uint32_t channels, bool add, uint32_t bitsOut,
             uint32_t bitsB, uint32_t bitsA, uint32_t frames) {
    if (!a || !b || !out || channels == 0 || frames == 0)
        return;
    if (!isSampleWidth(bitsOut) || !isSampleWidth(bitsA) || !isSampleWidth(bitsB))
        return;
    const auto* pa = static_cast<const uint8_t*>(a);
    const auto* pb = static_cast<const uint8_t*>(b);
    auto* po = static_cast<uint8_t*>(out);
    const uint32_t stepA = bitsA / 8, stepB = bitsB / 8, stepOut = bitsOut / 8;
    const uint64_t count = static_cast<uint64_t>(channels) * frames;
    for (uint64_t i = 0; i < count; ++i) {
        // Read both before writing: out may alias either input.
        const int64_t x = readSample(pa, bitsA);
        const int64_t y = readSample(pb, bitsB);
        writeSample(po, add ? x + y : x - y, bitsOut);
        pa += stepA;
        pb += stepB;
        po += stepOut;
    }
}

}  // namespace una

namespace una {

namespace {

// Below the device's own gate wait, so a worker never holds up close or addStream for long.
constexpr uint32_t kWorkerGateMs = 10;

}  // namespace

// -- unaWaveSoftwareDevice --

unaWaveSoftwareDevice::unaWaveSoftwareDevice(bool realTime_, bool isInput, int32_t overNum)
    : unaWaveDevice(-1, false, false, isInput, overNum) {
    realTime = realTime_;
}

void unaWaveSoftwareDevice::afterConstruction() {
    unaWaveDevice::afterConstruction();
    setupTimer();
    idleWaitMs = 20;
}

void unaWaveSoftwareDevice::setupTimer() {
    timer.reset();
    if (realTime) {
        timer = make<unaMMTimer>(1000, 0);
        timer->onTimer = [this](unaAbstractTimer&) { onTimerTick(); };
        setPriority(kPriorityTimeCritical);
        adjustTimer(deviceFormatIsSrc());
    } else {
        setPriority(kPriorityAboveNormal);
    }
}

void unaWaveSoftwareDevice::adjustTimer(bool isSrc) {
    const uint32_t rate = chunksPerSecond;
    if (realTime && timer && isSrc == deviceFormatIsSrc() && rate != 0)
        timer->setInterval(1000 / rate);
}

void unaWaveSoftwareDevice::onTimerTick() {
    ++ticks;
    deviceEvent.setState(true);
}

bool unaWaveSoftwareDevice::setFormat(bool isSrc, const WaveFormatEx* format) {
    const bool result = unaWaveDevice::setFormat(isSrc, format);
    adjustTimer(isSrc);
    return result;
}

MmResult unaWaveSoftwareDevice::doOpen(uint32_t flags) {
    const MmResult result = unaWaveDevice::doOpen(flags);
    // Open before afterOpen runs, so the worker started there sees an open device.
    if (result == kMmResultOk)
        handle = 1;
    return result;
}

MmResult unaWaveSoftwareDevice::open(bool query, uint32_t timeoutMs, uint32_t flags) {
    unaGateGuard guard(openCloseGate, 1100);
    if (!guard)
        return kMmResultTimeout;
    if (isOpen())
        return kMmResultOk;
    const MmResult result = unaWaveDevice::open(query, timeoutMs, flags);
    // A query only tests the format, and a failed afterOpen leaves the device closed.
    if (result != kMmResultOk || query)
        handle = 0;
    return result;
}

void unaWaveSoftwareDevice::setRealTime(bool value) {
    unaWaveDevice::setRealTime(value);
    setupTimer();
}

MmResult unaWaveSoftwareDevice::prepareHeader(unaMsAcmDeviceHeader& header) {
    header.setFlag(platform::kWhdrPrepared, true);
    header.setFlag(platform::kWhdrDone, false);
    return kMmResultOk;
}

MmResult unaWaveSoftwareDevice::unprepareHeader(unaMsAcmDeviceHeader& header) {
    header.setFlag(platform::kWhdrPrepared, false);
    return kMmResultOk;
}

MmResult unaWaveSoftwareDevice::afterOpen() {
    const MmResult result = unaWaveDevice::afterOpen();
    if (result == kMmResultOk && timer) {
        ticks = 0;
        timer->start();
    }
    return result;
}

void unaWaveSoftwareDevice::afterClose(MmResult result) {
    unaWaveDevice::afterClose(result);
    if (timer)
        timer->stop();
}

MmResult unaWaveSoftwareDevice::queueHeader(unaWaveHeader& /*header*/) {
    return kMmResultOk;
}

bool unaWaveSoftwareDevice::onHeader(unaWaveHeader* header, bool /*deviceEvent*/) {
    bool result = true;
    if (realTime) {
        // Only this worker spends ticks, so a positive count stays positive until it does.
        result = ticks.load() > 0;
        if (result)
            --ticks;
    } else if (!header) {
        // Short of a chunk, the worker's own wait on dataInEvent is the wait for more input: a
        // second, shorter wait here only ran out before the next chunk came, one wake-up more
        // per chunk.
        if (idleWaitMs == 0 || getDataAvailable(true) >= chunkSize)
            dataInEvent.setState(true);
    }
    return result;
}

// -- unaWaveMultiStreamDevice --

unaWaveMultiStreamDevice::unaWaveMultiStreamDevice(bool realTime_, bool addSilence_,
                                                   int32_t overNum)
    : unaWaveSoftwareDevice(realTime_, true, overNum),
      addSilence(addSilence_),
      streams(make<unaObjectList>(true)) {}

unaMemoryStream* unaWaveMultiStreamDevice::addStream() {
    auto stream = make<unaMemoryStream>(100);
    unaMemoryStream* raw = stream.get();
    return addStream(unaPtr<unaAbstractStream>(std::move(stream))) ? raw : nullptr;
}

unaAbstractStream* unaWaveMultiStreamDevice::addStream(unaPtr<unaAbstractStream>&& stream) {
    if (!stream || !enter(1000))
        return nullptr;
    unaAbstractStream* raw = stream.get();
    if (streams->add(unaPtr<unaObject>(std::move(stream))) < 0)
        raw = nullptr;
    leave();
    return raw;
}

bool unaWaveMultiStreamDevice::removeStream(unaAbstractStream* stream) {
    if (!stream || !enter(1000))
        return false;
    const int32_t index = streams->indexOf(static_cast<unaObject*>(stream));
    const bool found = index >= 0 && streams->removeByIndex(index, kReleaseFree);
    leave();
    return found;
}

unaAbstractStream* unaWaveMultiStreamDevice::getStream(uint32_t index) {
    if (index >= streams->getCount())
        return nullptr;
    return streams->getAs<unaAbstractStream>(index);
}

int32_t unaWaveMultiStreamDevice::forEachStream() {
    for (uint32_t i = 0; i < streams->getCount(); ++i)
        onStream(*streams->getAs<unaAbstractStream>(i));
    return 0;
}

// -- unaWaveMixerDevice --

bool unaWaveMixerDevice::onHeader(unaWaveHeader* header, bool deviceEvent) {
    // Taken before the tick is spent: a busy gate leaves the tick for the next wake-up.
    unaGateGuard guard(gate(), kWorkerGateMs);
    if (!guard)
        return false;

    if (!unaWaveSoftwareDevice::onHeader(header, deviceEvent) || !srcFormat ||
        streams->getCount() == 0)
        return false;
    const uint32_t rounds = onTick ? onTick(*this) : 1;
    bool delivered = false;
    for (uint32_t r = 0; r < rounds; ++r)
        delivered = mixOnce() || delivered;
    return delivered;
}

bool unaWaveMixerDevice::mixOnce() {
    const uint32_t n = chunkSize;
    const uint32_t bits = srcFormat->bitsPerSample;
    const uint32_t channels = srcFormat->channels;
    if (n == 0 || bits == 0 || channels == 0)
        return false;
    if (mixBuffer.size() < n)
        mixBuffer.resize(n);
    if (outBuffer.size() < n)
        outBuffer.resize(n);
    const uint32_t frames = n * 8 / (bits * channels);

    bool result = true;
    for (uint32_t i = 0; i < streams->getCount(); ++i) {
        uint8_t* target = i == 0 ? outBuffer.data() : mixBuffer.data();
        const int32_t read = streams->getAs<unaAbstractStream>(i)->read(target, n);
        const uint32_t got = read > 0 ? static_cast<uint32_t>(read) : 0;
        if (got < n) {
            if (!addSilence) {
                result = false;
                break;
            }
            std::memset(target + got, silenceByte(bits), n - got);
        }
        if (i > 0)
            waveMix(mixBuffer.data(), outBuffer.data(), outBuffer.data(), channels, true, bits,
                    bits, bits, frames);
        inBytes += n;
    }
    return result && deliverChunk(outBuffer.data(), n);
}

}  // namespace una

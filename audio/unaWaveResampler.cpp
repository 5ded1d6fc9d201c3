#include "audio/unaWaveResampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/unaWaveSoftwareDevice.h"
#include "foundation/unaConvert.h"

namespace una {

void waveChunk::resize(uint32_t frames) {
    size = static_cast<uint32_t>(static_cast<uint64_t>(frames) * bits * channels / 8);
    used = 0;
    data.assign(size, 0);
}

namespace {

uint32_t rateDivisor(uint32_t rate) {
    const uint32_t g = gcd(rate, 25);
    return g == 1 ? rate / 5 : g;
}

// One source frame into one destination frame of exactly dstChannels samples. The folding
// leaves slots empty for channel counts that do not divide each other (3 -> 2, 6 -> 1); those
// take the average of what is left over, else repeat the last sample, so frames stay aligned.
void convertFrame(const uint8_t* in, uint32_t srcChannels, uint32_t srcBits, uint8_t* out,
                  uint32_t dstChannels, uint32_t dstBits, uint32_t step) {
    const uint32_t inStep = srcBits / 8, outStep = dstBits / 8;
    uint32_t written = 0;
    int64_t sum = 0, k = 0, last = 0;
    uint32_t level = 0;
    for (uint32_t c = 0; c < srcChannels; ++c, in += inStep) {
        sum += readSample(in, srcBits);
        ++k;
        level += step;
        if (level < 100)
            continue;
        const int64_t value = k == 1 ? sum : sum / k;
        while (level >= 100) {
            if (written < dstChannels) {
                writeSample(out + written * outStep, value, dstBits);
                ++written;
            }
            level -= 100;
        }
        last = value;
        sum = 0;
        k = 0;
        level = 0;
    }
    if (written < dstChannels && k > 0)
        last = sum / k;
    for (; written < dstChannels; ++written)
        writeSample(out + written * outStep, last, dstBits);
}

}  // namespace

uint32_t resamplerChunkDivisor(uint32_t srcRate, uint32_t dstRate) {
    return gcd(rateDivisor(srcRate), rateDivisor(dstRate));
}

uint32_t waveResample(const waveChunk& src, waveChunk& dst) {
    if (src.bits == 0 || src.channels == 0 || dst.bits == 0 || dst.channels == 0)
        return 0;
    const uint64_t frames = static_cast<uint64_t>(src.used) * 8 / (src.bits * src.channels);
    if (src.data.empty() || dst.data.empty() || frames == 0 || src.rate == 0 || dst.rate == 0)
        return 0;
    const uint32_t usedBytes = std::min<uint32_t>(src.used, static_cast<uint32_t>(src.data.size()));
    const uint32_t capacity = std::min<uint32_t>(dst.size, static_cast<uint32_t>(dst.data.size()));

    if (src.rate == dst.rate && src.bits == dst.bits && src.channels == dst.channels) {
        uint32_t n = static_cast<uint32_t>(frames * src.channels * src.bits / 8);
        n = std::min({n, usedBytes, capacity});
        if (&src != &dst && src.data.data() != dst.data.data())
            std::memmove(dst.data.data(), src.data.data(), n);
        return n;
    }
    if (!isSampleWidth(src.bits) || !isSampleWidth(dst.bits) || &src == &dst)
        return 0;

    const uint32_t srcFrameBytes = src.channels * src.bits / 8;
    const uint32_t dstFrameBytes = dst.channels * dst.bits / 8;
    const uint64_t srcFrames = std::min<uint64_t>(frames, usedBytes / srcFrameBytes);
    const uint64_t dstFrames = capacity / dstFrameBytes;
    const double ratio = static_cast<double>(dst.rate) / static_cast<double>(src.rate);
    const uint32_t step = dst.channels * 100 / src.channels;

    long double acc = 0.0L;
    uint64_t written = 0;
    const uint8_t* in = src.data.data();
    uint8_t* out = dst.data.data();
    for (uint64_t f = 0; f < srcFrames; ++f, in += srcFrameBytes) {
        acc += ratio;
        // The default rounding mode rounds ties to even.
        const auto target = static_cast<uint64_t>(std::max(0.0L, std::rint(acc)));
        while (written < target && written < dstFrames) {
            convertFrame(in, src.channels, src.bits, out + written * dstFrameBytes, dst.channels,
                         dst.bits, step);
            ++written;
        }
    }
    return static_cast<uint32_t>(written * dstFrameBytes);
}

}  // namespace una

namespace una {

unaWaveResampler::unaWaveResampler(bool realTime_, int32_t overNum)
    : unaWaveSoftwareDevice(realTime_, true, overNum) {}

void unaWaveResampler::afterConstruction() {
    unaWaveSoftwareDevice::afterConstruction();
    assignStream(true, unaPtr<unaAbstractStream>(make<unaMemoryStream>(100)));
    assignStream(false, unaPtr<unaAbstractStream>(make<unaMemoryStream>(100)));
}

bool unaWaveResampler::setFormat(bool isSrc, const WaveFormatEx* format) {
    if (!format)
        return false;
    return setFormat(isSrc, format->samplesPerSec, format->channels, format->bitsPerSample);
}

bool unaWaveResampler::setFormat(bool isSrc, uint32_t samplesPerSec, uint32_t channels,
                                 uint32_t bitsPerSample) {
    unaGateGuard guard(gate(), 1000);
    if (!guard)
        return false;
    const unaWaveFormat record = makePcmFormat(samplesPerSec, bitsPerSample, channels);
    unaWaveSoftwareDevice::setFormat(isSrc, record.get());
    if (!srcFormat || !dstFormat)
        return false;
    const uint32_t srcRate = srcFormat->samplesPerSec, dstRate = dstFormat->samplesPerSec;
    uint32_t c = resamplerChunkDivisor(srcRate, dstRate);
    // Longer chunks where they still hold whole frames of both rates.
    if (const uint32_t wanted = wantedChunksPerSecond; wanted < c && c % wanted == 0)
        c = wanted;
    srcChunk.setFormat(srcRate, srcFormat->bitsPerSample, srcFormat->channels);
    srcChunk.resize(srcRate / c);
    dstChunk.setFormat(dstRate, dstFormat->bitsPerSample, dstFormat->channels);
    dstChunk.resize(dstRate / c);
    chunkSize = srcChunk.size;
    dstChunkSize = dstChunk.size;
    return true;
}

bool unaWaveResampler::onHeader(unaWaveHeader* header, bool deviceEvent) {
    if (!unaWaveSoftwareDevice::onHeader(header, deviceEvent))
        return false;
    unaGateGuard guard(gate(), 10);
    if (!guard)
        return true;
    if (srcChunk.size == 0 || getDataAvailable(true) < srcChunk.size)
        return false;
    srcChunk.used = takeInput(srcChunk.data.data(), srcChunk.size);
    const uint32_t n = waveResample(srcChunk, dstChunk);
    dstChunk.used = n;
    if (n == 0)
        return false;
    return deliverChunk(dstChunk.data.data(), n);
}

bool unaWaveResampler::flush(bool /*waitAll*/) {
    const uint32_t chunk = chunkSize;
    if (isOpen() && srcFormat && chunk != 0) {
        const uint32_t r = chunk - getDataAvailable(true) % chunk;
        if (r > 0 && r < chunk) {
            const std::vector<uint8_t> silence(r, silenceByte(srcFormat->bitsPerSample));
            flushing = true;
            write(silence.data(), r);
            flushing = false;
        }
    }
    return true;
}

}  // namespace una

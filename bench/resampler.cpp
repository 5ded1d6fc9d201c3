// Resampler throughput: seconds of audio converted per second of CPU time, for the conversion
// core alone, in whole 40 ms chunks as the device works.
#include <cstdio>
#include <ctime>
#include <random>

#include "audio/unaWaveResampler.h"

using namespace una;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void run(const char* name, uint32_t srcRate, uint32_t srcBits, uint32_t srcChannels,
         uint32_t dstRate, uint32_t dstBits, uint32_t dstChannels) {
    const uint32_t c = resamplerChunkDivisor(srcRate, dstRate);
    waveChunk src, dst;
    src.setFormat(srcRate, srcBits, srcChannels);
    src.resize(srcRate / c);
    dst.setFormat(dstRate, dstBits, dstChannels);
    dst.resize(dstRate / c);
    std::mt19937 random(1);
    for (auto& b : src.data)
        b = static_cast<uint8_t>(random());
    src.used = src.size;

    const uint32_t chunks = 600 * c;  // ten minutes of audio
    uint64_t bytes = 0;
    const double start = cpuSeconds();
    for (uint32_t i = 0; i < chunks; ++i)
        bytes += waveResample(src, dst);
    const double cpu = cpuSeconds() - start;
    const double audio = static_cast<double>(chunks) / c;
    std::printf("%-34s %8.0f audio s per CPU s  (%.0f s of audio in %.3f CPU s, %llu bytes out)\n",
                name, audio / cpu, audio, cpu, static_cast<unsigned long long>(bytes));
}

}  // namespace

int main() {
    run("44100/16/2 -> 48000/16/2", 44100, 16, 2, 48000, 16, 2);
    run("44100/16/2 -> 22050/16/1", 44100, 16, 2, 22050, 16, 1);
    run("44100/16/2 -> 44100/16/2 (copy)", 44100, 16, 2, 44100, 16, 2);
    run("8000/8/1 -> 44100/16/2", 8000, 8, 1, 44100, 16, 2);
    return 0;
}

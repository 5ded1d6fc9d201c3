// The DSP chain's cost: the level and noise automats of the silence gate and the speech
// processor on 40 ms chunks (audio seconds per CPU second, heap allocations per chunk after
// the first), and what building and configuring the chain adds to a stream device's open.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "audio/unaMsAcmStreamDevice.h"
#include "dsp_mixer_codec/unaDspAutomat.h"
#include "dsp_mixer_codec/unaDspSpeech.h"

// Every heap allocation of the process passes here (operator new ends in malloc too).
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
}
static std::atomic<uint64_t> gAllocations{0};
extern "C" void* malloc(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

using namespace una;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wallMicros(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - since)
        .count();
}

// 44.1 kHz 16-bit stereo: a tone with noise, so every detector has work.
std::vector<std::vector<int16_t>> stereoChunks(size_t count) {
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 300.0);
    std::vector<std::vector<int16_t>> chunks(count, std::vector<int16_t>(1764 * 2));
    size_t t = 0;
    for (auto& chunk : chunks)
        for (size_t i = 0; i < 1764; ++i, ++t)
            for (size_t c = 0; c < 2; ++c)
                chunk[i * 2 + c] = static_cast<int16_t>(
                    8000 * std::sin(0.06 * static_cast<double>(t) * (c + 1)) + noise(random));
    return chunks;
}

void automats() {
    unaDspDLibRoot root;
    auto level = make<unaDSPLibAutomat>(root);
    auto noise = make<unaDSPLibAutomat>(root);
    level->addProcessor(kDspKindLD);
    unaDspHandle nd = noise->addProcessor(kDspKindND);
    level->setAudioFormat(44100, 16, 2);
    noise->setAudioFormat(44100, 16, 2);
    noise->setFloatParam(nd, kDspSampleRate, 44100.0f);

    const auto chunks = stereoChunks(250);
    const auto bytes = static_cast<uint32_t>(chunks[0].size() * 2);
    const auto run = [&](const std::vector<int16_t>& chunk) {
        const auto* data = reinterpret_cast<const uint8_t*>(chunk.data());
        level->processChunk(data, bytes);
        noise->processChunk(data, bytes);
    };
    run(chunks[0]);
    const uint64_t allocationsBefore = gAllocations.load();
    const size_t rounds = 12;  // 120 s of audio
    const double start = cpuSeconds();
    for (size_t r = 0; r < rounds; ++r)
        for (const auto& chunk : chunks)
            run(chunk);
    const double cpu = cpuSeconds() - start;
    const double chunkCount = static_cast<double>(rounds * chunks.size());
    const double audio = chunkCount * 0.04;
    std::printf(
        "level + noise automats, 44100/16/2, 40 ms chunks: %8.0f audio s per CPU s "
        "(%.0f s in %.3f CPU s), %.2f heap allocations per chunk after the first\n",
        audio / cpu, audio, cpu,
        static_cast<double>(gAllocations.load() - allocationsBefore) / chunkCount);
}

void speech() {
    unaDspDL_SpeechProc sp;
    std::vector<float> in(1764), out(1764);
    sp.setArrayParam(kDspInput, in.data(), 1764);
    sp.setArrayParam(kDspOutput, out.data(), 1764);
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    size_t t = 0;
    const auto fill = [&] {
        for (float& x : in)
            x = 0.3f * std::sin(0.05f * static_cast<float>(t++)) + noise(random);
    };
    fill();
    sp.process(1764);
    const uint64_t allocationsBefore = gAllocations.load();
    const size_t chunks = 3000;  // 120 s of audio
    double cpu = 0;
    for (size_t i = 0; i < chunks; ++i) {
        fill();
        const double start = cpuSeconds();
        sp.process(1764);
        cpu += cpuSeconds() - start;
    }
    const double audio = static_cast<double>(chunks) * 0.04;
    std::printf(
        "speech processor, 44100 mono, 40 ms chunks:        %8.0f audio s per CPU s "
        "(%.0f s in %.3f CPU s), %.2f heap allocations per chunk after the first\n",
        audio / cpu, audio, cpu,
        static_cast<double>(gAllocations.load() - allocationsBefore) / static_cast<double>(chunks));
}

// A stream device whose platform opens at once; configureDsp can be switched off to see
// what the chain adds.
class OpenDevice : public unaMsAcmStreamDevice {
  public:
    explicit OpenDevice(bool withDsp)
        : unaMsAcmStreamDevice(true, false, 0, 0, true), withDsp_(withDsp) {}
    bool deviceFormatIsSrc() const override { return true; }

  protected:
    MmResult doOpen(uint32_t flags) override {
        const MmResult r = unaMsAcmStreamDevice::doOpen(flags);
        handle = 1;
        return r;
    }
    MmResult prepareHeader(unaMsAcmDeviceHeader&) override { return 0; }
    MmResult unprepareHeader(unaMsAcmDeviceHeader&) override { return 0; }
    void configureDsp() override {
        if (withDsp_)
            unaMsAcmStreamDevice::configureDsp();
    }

  private:
    const bool withDsp_;
};

void deviceOpen() {
    // Interleaved, and the median taken: the worker's start dominates an open and the
    // machine is shared, so both kinds of device see the same noise.
    const int rounds = 300;
    auto plain = make<OpenDevice>(false);
    auto configured = make<OpenDevice>(true);
    std::vector<double> micros[2];
    uint64_t allocations[2] = {0, 0};
    for (OpenDevice* device : {plain.get(), configured.get()})
        device->setFormat(true, makePcmFormat(44100, 16, 2));
    for (int i = 0; i < rounds; ++i) {
        // Which goes first alternates, so neither always meets the warmer caches.
        for (int step = 0; step < 2; ++step) {
            const int kind = (i + step) % 2;
            OpenDevice* device = kind ? configured.get() : plain.get();
            const uint64_t before = gAllocations.load();
            const auto start = std::chrono::steady_clock::now();
            device->open();
            micros[kind].push_back(wallMicros(start));
            allocations[kind] += gAllocations.load() - before;
            device->close();
        }
    }
    for (int kind = 0; kind < 2; ++kind) {
        std::sort(micros[kind].begin(), micros[kind].end());
        std::printf(
            "device open, 44100/16/2, %s: %7.1f us wall (median of %d), %5.1f heap "
            "allocations\n",
            kind ? "configuring the DSP chain" : "without the DSP chain    ",
            micros[kind][micros[kind].size() / 2], rounds,
            static_cast<double>(allocations[kind]) / rounds);
    }

    // The configuration alone, without the worker start that dominates an open.
    auto device = make<OpenDevice>(true);
    device->setFormat(true, makePcmFormat(44100, 16, 2));
    const double start = cpuSeconds();
    const uint64_t before = gAllocations.load();
    for (int i = 0; i < 2000; ++i) {
        device->levelAutomat->setAudioFormat(44100, 16, 2);
        device->noiseAutomat->setAudioFormat(44100, 16, 2);
        device->noiseAutomat->setFloatParam(device->ndHandle, kDspSampleRate, 44100.0f);
    }
    std::printf(
        "the DSP configuration of one open alone:          %7.1f us CPU, %5.1f heap "
        "allocations\n",
        (cpuSeconds() - start) * 1e6 / 2000,
        static_cast<double>(gAllocations.load() - before) / 2000);

    // Building the chain is part of constructing every device.
    const auto built = std::chrono::steady_clock::now();
    const uint64_t beforeBuild = gAllocations.load();
    for (int i = 0; i < 200; ++i)
        make<OpenDevice>(true);
    std::printf(
        "constructing a stream device with its DSP chain:  %7.1f us wall, %5.1f heap "
        "allocations\n",
        wallMicros(built) / 200, static_cast<double>(gAllocations.load() - beforeBuild) / 200);
}

}  // namespace

int main() {
    automats();
    speech();
    deviceOpen();
    return 0;
}

// Throughput and heap traffic of a memory stream carrying 160 s of 44100 Hz 16-bit stereo in
// 40 ms chunks, compared with copying the same chunks with memcpy.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/unaStream.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void note() {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// Every heap request of the program passes here, from new as well as from the C functions.
extern "C" void* malloc(size_t size) {
    note();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size) {
    note();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* block, size_t size) {
    note();
    return __libc_realloc(block, size);
}
extern "C" void free(void* block) {
    __libc_free(block);
}

void* operator new(size_t size) {
    note();
    if (void* p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    __libc_free(p);
}

namespace {

constexpr uint32_t kChunk = 7056;   // 40 ms of 44100 Hz, 16 bits, 2 channels
constexpr uint32_t kChunks = 4000;  // 160 s
constexpr int kRepeats = 15;
constexpr uint32_t kWarmup = 10;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Figures {
    double bestSeconds = 1e9;
    long allocationsAfterWarmup = 0;
    bool intact = true;
};

// One chunk in and one out per step, with `held` chunks queued ahead (the delay).
Figures runStream(const std::vector<uint8_t>& audio, uint32_t held) {
    Figures f;
    std::vector<uint8_t> out(kChunk);
    for (int r = 0; r < kRepeats; ++r) {
        auto stream = una::make<una::unaMemoryStream>(100);
        for (uint32_t i = 0; i < held; ++i)
            stream->write(audio.data() + size_t{i % kChunks} * kChunk, kChunk);
        long atWarmup = 0;
        const auto start = Clock::now();
        for (uint32_t i = 0; i < kChunks; ++i) {
            if (i == kWarmup) {
                atWarmup = allocations.load();
                counting = true;
            }
            stream->write(audio.data() + size_t{i} * kChunk, kChunk);
            stream->read(out.data(), kChunk);
            if (held == 0 && (i & 255) == 0)
                f.intact &= std::memcmp(out.data(), audio.data() + size_t{i} * kChunk, kChunk) == 0;
        }
        const double took = seconds(start);
        counting = false;
        f.bestSeconds = std::min(f.bestSeconds, took);
        f.allocationsAfterWarmup =
            std::max(f.allocationsAfterWarmup, allocations.load() - atWarmup);
    }
    return f;
}

// All 160 s written first, then read back: the holding stream of a 160 s delay.
Figures runHold(const std::vector<uint8_t>& audio, long& fillAllocations) {
    Figures f;
    std::vector<uint8_t> out(kChunk);
    for (int r = 0; r < kRepeats; ++r) {
        auto stream = una::make<una::unaMemoryStream>(100);
        const long before = allocations.load();
        counting = true;
        const auto start = Clock::now();
        for (uint32_t i = 0; i < kChunks; ++i)
            stream->write(audio.data() + size_t{i} * kChunk, kChunk);
        counting = false;
        fillAllocations = allocations.load() - before;
        for (uint32_t i = 0; i < kChunks; ++i) {
            stream->read(out.data(), kChunk);
            if ((i & 127) == 0)
                f.intact &= std::memcmp(out.data(), audio.data() + size_t{i} * kChunk, kChunk) == 0;
        }
        f.bestSeconds = std::min(f.bestSeconds, seconds(start));
    }
    return f;
}

double runMemcpy(const std::vector<uint8_t>& audio) {
    std::vector<uint8_t> stage(kChunk), out(kChunk);
    double best = 1e9;
    unsigned sink = 0;
    for (int r = 0; r < kRepeats; ++r) {
        const auto start = Clock::now();
        for (uint32_t i = 0; i < kChunks; ++i) {
            std::memcpy(stage.data(), audio.data() + size_t{i} * kChunk, kChunk);
            std::memcpy(out.data(), stage.data(), kChunk);
            sink += out[i % kChunk];
            asm volatile("" : : "r"(out.data()) : "memory");
        }
        best = std::min(best, seconds(start));
    }
    if (sink == 0xFFFFFFFFu)
        std::puts("");
    return best;
}

void report(const char* name, const Figures& f, double memcpySeconds) {
    const double bytes = double{kChunk} * kChunks;
    std::printf("%-34s %9.1f MB/s  ratio to memcpy %.3f  allocations/chunk %.4f  data %s\n", name,
                bytes / f.bestSeconds / 1e6, memcpySeconds / f.bestSeconds,
                double(f.allocationsAfterWarmup) / (kChunks - kWarmup),
                f.intact ? "intact" : "CORRUPT");
}

}  // namespace

int main() {
    std::vector<uint8_t> audio(size_t{kChunk} * kChunks);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 2654435761u >> 13);

    const double copy = runMemcpy(audio);
    const double bytes = double{kChunk} * kChunks;
    std::printf("160 s of 44100 Hz 16-bit stereo, %u chunks of %u bytes, best of %d runs\n",
                kChunks, kChunk, kRepeats);
    std::printf("%-34s %9.1f MB/s  (two copies per chunk, as write+read make)\n", "memcpy",
                bytes / copy / 1e6);

    report("stream, write+read per chunk", runStream(audio, 0), copy);
    report("stream, 10.24 s held (256 chunks)", runStream(audio, 256), copy);
    report("stream, 160 s held (4000 chunks)", runStream(audio, 4000), copy);

    long fill = 0;
    const Figures hold = runHold(audio, fill);
    std::printf(
        "%-34s %9.1f MB/s  ratio to memcpy %.3f  allocations while filling %ld (%.2f/chunk)  data "
        "%s\n",
        "stream, fill 160 s then drain", bytes / hold.bestSeconds / 1e6, copy / hold.bestSeconds,
        fill, double(fill) / kChunks, hold.intact ? "intact" : "CORRUPT");
    return 0;
}

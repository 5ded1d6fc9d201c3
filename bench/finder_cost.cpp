// What one delay-finder measurement costs: CPU for 30 s of the TV against the radio's last
// 190 s with the whole 0.1-160 s range searched, from 48 kHz sides and from the analysis
// rate the live driver keeps; and the memory the live driver holds for the radio and needs on
// top of it for the TV side and a measurement (the kernel's peak resident size).
//   bench_finder_cost [--runs N]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <fstream>
#include <random>
#include <vector>

#include "bench/procStatus.h"
#include "finder/delayFinder.h"
#include "finder/liveDelayFinder.h"
#include "finder/resampler.h"

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> d(0, 0.1f);
    std::vector<float> v(n);
    for (float& x : v) x = d(gen);
    return v;
}

void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
    using namespace una::finder;
    // Large blocks straight from and back to the kernel, so resident sizes tell what is held.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    const int rate = 48000;
    const std::vector<float> radio = noise(static_cast<size_t>(190 * rate), 1);
    // Shared: the TV carries the radio 12 s late under a louder noise of its own. Apart:
    // nothing in common, the worst case, where every clock correction is tried.
    std::vector<float> shared = noise(static_cast<size_t>(30 * rate), 2);
    for (size_t i = 0; i < shared.size(); ++i) shared[i] = 0.3f * radio[i + static_cast<size_t>(148 * rate)] + shared[i];
    // A second more than the window: the resampler holds its last few samples back.
    const std::vector<float> apart = noise(static_cast<size_t>(31 * rate), 3);
    const std::vector<float> radio4k = resample(radio, rate, kAnalysisRate);
    const std::vector<float> shared4k = resample(shared, rate, kAnalysisRate);
    const std::vector<float> apart4k = resample(std::span(apart).first(static_cast<size_t>(30 * rate)), rate, kAnalysisRate);

    const auto measure = [&](const char* what, const std::vector<float>& r, const std::vector<float>& t, int r8) {
        std::vector<double> cpu;
        DelayEstimate e;
        for (int i = 0; i < runs; ++i) {
            const double before = cpuSeconds();
            e = findDelay({r, r8}, {t, r8, 160});
            cpu.push_back(cpuSeconds() - before);
        }
        std::sort(cpu.begin(), cpu.end());
        std::printf("%-44s CPU per measurement: median %.3f s, worst %.3f s (lag %.3f, confidence %.2f)\n",
                    what, cpu[cpu.size() / 2], cpu.back(), e.lagSeconds, e.confidence);
    };
    measure("48 kHz sides, sharing a stadium:", radio, shared, rate);
    measure("48 kHz sides, nothing shared:", radio, std::vector<float>(apart.begin(), apart.begin() + 30 * rate), rate);
    measure("analysis rate (live), sharing a stadium:", radio4k, shared4k, kAnalysisRate);
    measure("analysis rate (live), nothing shared:", radio4k, apart4k, kAnalysisRate);

    // The live driver at 48 kHz: the radio's history first, then the TV's window and one
    // measurement on top of it.
    const long long start = statusBytes("VmRSS:");
    int reports = 0;
    LiveDelayFinder live(rate, rate, [&](const DelayEstimate&, double) { ++reports; });
    const size_t block = rate / 50;
    size_t at = 0;
    for (; at + block <= static_cast<size_t>(160 * rate); at += block) {
        live.feedRadio(std::span(radio).subspan(at, block), static_cast<double>(at) / rate);
        if (at % (block * 100) == 0) live.waitIdle();
    }
    live.waitIdle();
    const long long withRadio = statusBytes("VmRSS:");
    resetPeak();
    for (size_t tv = 0; tv + block <= apart.size(); tv += block, at += block) {
        live.feedRadio(std::span(radio).subspan(at, block), static_cast<double>(at) / rate);
        live.feedTv(std::span(apart).subspan(tv, block), static_cast<double>(at) / rate);
        if (tv % (block * 100) == 0) live.waitIdle();
    }
    live.waitIdle();
    const long long peak = statusBytes("VmHWM:");
    std::printf("live driver: radio held %.1f MB (%zu bytes of history); TV side and a measurement "
                "%.1f MB over it at the peak (%d measurement)\n",
                static_cast<double>(withRadio - start) / 1e6, live.heldBytes(),
                static_cast<double>(peak - withRadio) / 1e6, reports);
    return 0;
}

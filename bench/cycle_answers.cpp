// How far the sound-server backend's reckoning of a stream's position strays on a server whose
// positions move once a graph cycle and are stamped when answered (PipeWire's pulse service),
// by how often it asks. Simulated, no server: a 44.1 kHz stream in a 48 kHz graph whose cycle
// is 256 or 2048 frames (5.3 or 42.7 ms; the longer where nothing else asks for less), the
// answers fed to CyclePosition as the backend feeds them, 200 starts of 8 s each. Asking once a
// 200 ms chunk (a delay from 4 s) at a random moment within a cycle, or at random moments a
// mean 40 or 20 ms apart.
//   bench_cycle_answers
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "platform/cyclePosition.h"

int main() {
    constexpr double kRate = 44100;
    auto quantile = [](std::vector<double> v, double p) {
        std::sort(v.begin(), v.end());
        return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
    };
    std::printf("|error| of the position reckoned at each answer, ms: median / 95 %% / max\n");
    for (double spacingMs : {0.0, 40.0, 20.0}) {
        for (double cycleMs : {2048 / 48.0, 256 / 48.0}) {
            const double cycleNs = cycleMs * 1e6;
            std::vector<double> early, later;
            std::mt19937_64 random(7);
            std::uniform_real_distribution<double> unit(0, 1);
            for (int start = 0; start < 200; ++start) {
                platform::CyclePosition line;
                const double phase = unit(random) * cycleNs;
                for (double t = 0; t < 8e9;) {
                    t += spacingMs == 0 ? 200e6 + unit(random) * cycleNs
                                        : unit(random) * 2 * spacingMs * 1e6;
                    const double cycleStart = phase + std::floor((t - phase) / cycleNs) * cycleNs;
                    const auto frames = static_cast<int64_t>(std::llround(cycleStart * kRate / 1e9));
                    const double at = line.add(static_cast<int64_t>(t) + 1'000'000'000, frames, kRate);
                    const double errorMs = std::abs(at - t * kRate / 1e9) / kRate * 1000;
                    (t < 2e9 ? early : later).push_back(errorMs);
                }
            }
            std::printf("  %s, cycle %5.2f ms: first 2 s %.2f / %.2f / %.2f, later %.2f / %.2f / %.2f\n",
                        spacingMs == 0 ? "once a 200 ms chunk  " : spacingMs == 40 ? "every 40 ms (mean)   "
                                                                               : "every 20 ms (mean)   ",
                        cycleMs, quantile(early, 0.5), quantile(early, 0.95), quantile(early, 1),
                        quantile(later, 0.5), quantile(later, 0.95), quantile(later, 1));
        }
    }
    return 0;
}

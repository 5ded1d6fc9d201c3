// End-to-end excess latency of the delay chain on the private sound server: the measured
// delay from radio.monitor to tv.monitor minus the set delay, for 1, 5 and 30 s, ten runs
// each. Needs the server: `. scripts/sound-server.sh; sound_server_start` first. Takes about
// seven minutes; `--runs N` and `--delays a,b,...` shorten it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/endToEnd.h"

namespace snd = una::sound;

int main(int argc, char** argv) {
    int runs = 10;
    std::vector<double> delays{1, 5, 30};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--delays") == 0) {
            delays.clear();
            for (const char* p = argv[i + 1]; *p;) {
                char* end;
                delays.push_back(std::strtod(p, &end));
                p = *end == ',' ? end + 1 : end;
                if (end == p && *p)
                    break;
            }
        }
    }
    const auto stage = snd::readyStage(44100);
    if (!stage)
        return 2;
    std::printf("excess latency (measured - set delay), 44100/16/2, %d runs per delay\n", runs);
    int failures = 0;
    for (double delay : delays) {
        std::vector<double> excess;
        for (int r = 0; r < runs; ++r) {
            const snd::DelayRun run = snd::runDelayChain(*stage, 44100, delay, 0.5);
            const bool intact = run.failure.empty() && run.in.breaks == 0 && run.out.found &&
                                run.out.breaks == 0 && run.out.frames == run.signalFrames;
            if (!intact) {
                ++failures;
                std::printf("  %5.1f s run %d: not intact (%s; out breaks %u frames %u)\n", delay,
                            r + 1, run.failure.c_str(), run.out.breaks, run.out.frames);
                continue;
            }
            excess.push_back((run.measured - delay) * 1000);
        }
        if (excess.empty())
            continue;
        double sum = 0;
        for (double e : excess)
            sum += e;
        const double mean = sum / excess.size();
        double var = 0;
        for (double e : excess)
            var += (e - mean) * (e - mean);
        const double sd = excess.size() > 1 ? std::sqrt(var / (excess.size() - 1)) : 0;
        std::sort(excess.begin(), excess.end());
        std::printf(
            "  delay %5.1f s: excess mean %.1f ms, sd %.1f ms, min %.1f, median %.1f, "
            "max %.1f ms (%zu runs)\n",
            delay, mean, sd, excess.front(), excess[excess.size() / 2], excess.back(),
            excess.size());
    }
    return failures == 0 ? 0 : 1;
}

// Six hours of a match with the recording card, the playback card and the mixer's timer on
// clocks apart by hundreds of ppm, in simulated time (the delay line and the simulation of
// cards and timer the tests use): the delay heard, the dropouts, the player's input.
//
//   bench_delay_drift [--hours 6] [--rate 44100] [--ppm -300,-100,100,300]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/delaySimulation.h"

int main(int argc, char** argv) {
    double hours = 6;
    uint32_t rate = 44100;
    std::vector<double> ppms{-300, -100, 100, 300};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hours") == 0)
            hours = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rate") == 0)
            rate = static_cast<uint32_t>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--ppm") == 0) {
            ppms.clear();
            for (const char* p = argv[i + 1]; *p;) {
                char* end;
                ppms.push_back(std::strtod(p, &end));
                p = *end == ',' ? end + 1 : end;
                if (end == p && *p)
                    break;
            }
        }
    }
    std::printf("%.1f simulated hours at %u Hz, delay 5 s; recording card at the ppm given, "
                "playback card at -1/3 of it, the mixer's timer at its opposite\n", hours, rate);
    for (double ppm : ppms) {
        una::sim::Setup s;
        s.inRate = s.outRate = rate;
        s.delaySeconds = 5;
        s.runSeconds = hours * 3600;
        s.inPpm = ppm;
        s.outPpm = -ppm / 3;
        s.timerPpm = -ppm;
        const auto start = std::chrono::steady_clock::now();
        const una::sim::Result r = una::sim::simulate(s, 1);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double late = 0;
        for (size_t i = 60; i < r.errorBySecond.size(); ++i)
            if (!std::isnan(r.errorBySecond[i]))
                late = std::max(late, std::abs(r.errorBySecond[i]));
        std::printf("  %+5.0f ppm: error max %.3f ms (after the first minute %.3f ms), mean %+.3f ms; "
                    "silent chunks %llu, underruns %u, overflows %u; drift measured %+.1f ppm, "
                    "ratio %.6f; %u trims, %u splices; %.1f s to run\n",
                    ppm, r.maxAbsError * 1e3, late * 1e3, r.meanError * 1e3,
                    static_cast<unsigned long long>(r.silentChunks), r.underruns, r.overflows,
                    r.figures.driftPpm, r.figures.ratio, r.figures.trims, r.figures.splices, took);
        std::fflush(stdout);
    }
    return 0;
}

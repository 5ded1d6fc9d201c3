// How far a station's live edge wanders against its sender's own line, simulated: a sender
// a number of ppm off real time sends its audio in chunks, each reaching us late by a random
// wait, for many seeds. Prints, per case, the worst and the mean wander after the first 10 s
// (in ms), the worst within the first minute, and the worst for a line that knows the
// sender's rate and rests on the least late arrival so far (what the arrivals allow at best).
//
// Waits are one-sided, as the network's and a server's are (nothing comes before it was
// sent): "uniform" spreads them evenly over the scatter; "tail" keeps most near the
// shortest, exponentially, and delays one chunk in 40 by 50-400 ms more (a lost packet sent
// again, a server busy for a moment), the chunks behind it held up with it (one connection
// delivers in order).
// Options: --seconds N (600), --seeds N (20).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "stream/liveEdge.h"

namespace {

constexpr double kRate = 44100;
constexpr int64_t kSecond = 1'000'000'000;

struct Wander {
    double afterSettle = 0;  // ms, after the first 10 s
    double bound = 0;        // ms, the same for a line that knows the sender's rate
    double firstMinute = 0;  // ms, from 10 to 70 s
};

Wander simulate(double ppm, double chunk, double scatter, bool tail, double seconds,
                uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::exponential_distribution<double> near(3 / std::max(scatter, 1e-6));
    const double rate = kRate * (1 + ppm * 1e-6);
    const double base = 0.05;
    una::stream::LiveEdge edge(kRate);
    double least = 1e9, most = -1e9, leastEarly = 1e9, mostEarly = -1e9, last = 0;
    double best = -1e300, boundLeast = 1e9, boundMost = -1e9;
    // A connection's burst: seconds of held audio at once, its newest as fresh as any.
    const double burst = 4;
    for (double made = burst + chunk * uniform(random); made < seconds; made += chunk) {
        double wait = tail ? std::min(near(random), 4 * scatter) : scatter * uniform(random);
        if (tail && uniform(random) < 1.0 / 40)
            wait += 0.05 + 0.35 * uniform(random);
        const double at = std::max(last, made - burst + base + wait);
        last = at;
        const auto ns = static_cast<int64_t>(at * kSecond);
        edge.arrived(ns, made * rate);
        const double t = at;
        best = std::max(best, made * rate - at * rate);
        if (t > 10) {
            const double bound = (best - (burst - base) * rate) / rate * 1000;
            boundLeast = std::min(boundLeast, bound);
            boundMost = std::max(boundMost, bound);
            // Where the edge says the sender is, against where it is (less the shortest wait).
            const double off = (edge.edgeAt(ns) - (t + burst - base) * rate) / rate * 1000;
            least = std::min(least, off);
            most = std::max(most, off);
            if (t < 70) {
                leastEarly = std::min(leastEarly, off);
                mostEarly = std::max(mostEarly, off);
            }
        }
    }
    return {most - least, boundMost - boundLeast, mostEarly - leastEarly};
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600;
    uint32_t seeds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seeds"))
            seeds = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    }
    std::printf("%-8s %6s %6s %8s | %9s %9s %9s %9s\n", "waits", "chunk", "scat", "ppm", "worst",
                "mean", "1st min", "bound");
    double overall = 0;
    for (const bool tail : {false, true})
        for (const double chunk : {0.026, 0.25, 0.9})
            for (const double scatter : {0.004, 0.03})
                for (const double ppm : {-100.0, -90.0, -50.0, 0.0, 50.0, 100.0}) {
                    double worst = 0, mean = 0, early = 0, bound = 0;
                    for (uint32_t seed = 1; seed <= seeds; ++seed) {
                        const Wander w = simulate(ppm, chunk, scatter, tail, seconds, seed);
                        worst = std::max(worst, w.afterSettle);
                        early = std::max(early, w.firstMinute);
                        bound = std::max(bound, w.bound);
                        mean += w.afterSettle / seeds;
                    }
                    overall = std::max(overall, worst);
                    std::printf("%-8s %6.3f %6.3f %8.0f | %9.2f %9.2f %9.2f %9.2f\n",
                                tail ? "tail" : "uniform", chunk, scatter, ppm, worst, mean, early,
                                bound);
                }
    std::printf("worst of all: %.2f ms over %.0f s, %u seeds each (goal <= 5 ms)\n", overall,
                seconds, seeds);
    return 0;
}

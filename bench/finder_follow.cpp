// Follow mode in simulated time: generated radio and TV fed to the live driver block by block
// with capture times, as fast as it measures, and the follow rule acting on each estimate
// (a change seen once is confirmed by a measurement 10 s later).
// 1. A stream that rebuffers by 3 s: how long until the delay is right again.
// 2. Thirty minutes with the TV's lag unchanged (ten pieces of three minutes, each another
//    match and TV path): follow must move nothing.
//   bench_finder_follow [--minutes N]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "finder/followPolicy.h"
#include "finder/liveDelayFinder.h"
#include "tools/stadiumPairs.h"

namespace {

using namespace una;

// Feeds a pair into the finder from clock time `start`; the TV's blocks are stamped with its
// input's clock error undone, as the steady clock would stamp them.
void feed(finder::LiveDelayFinder& live, const pairs::Pair& p, double ppm, double start) {
    const auto radioBlock = static_cast<size_t>(p.radio.sampleRate / 50);
    const auto tvBlock = static_cast<size_t>(p.tv.sampleRate / 50);
    const size_t blocks = std::min(p.radio.samples.size() / radioBlock, p.tv.samples.size() / tvBlock);
    for (size_t b = 0; b < blocks; ++b) {
        live.feedRadio(std::span(p.radio.samples).subspan(b * radioBlock, radioBlock),
                       start + static_cast<double>(b * radioBlock) / p.radio.sampleRate);
        live.feedTv(std::span(p.tv.samples).subspan(b * tvBlock, tvBlock),
                    start + static_cast<double>(b * tvBlock) * (1 + ppm * 1e-6) / p.tv.sampleRate);
        if (b % 100 == 0) live.waitIdle();
    }
    live.waitIdle();
}

struct Follower {
    explicit Follower(double lag) : expected(lag) {}
    void onEstimate(finder::LiveDelayFinder& live, const finder::DelayEstimate& e, double at) {
        std::lock_guard guard(lock);
        ++measurements;
        confident += e.confident;
        if (const auto to = policy.onMeasurement(e, expected)) {
            std::printf("  at %7.1f s: follow moves the delay from %.3f to %.3f s\n", at, expected, *to);
            expected = *to;
            lastMove = at;
            ++moves;
        }
        if (policy.awaitingConfirmation()) live.confirmSoon();
    }
    std::mutex lock;
    finder::FollowPolicy policy;
    double expected;
    std::optional<double> lastMove;
    int moves = 0, measurements = 0, confident = 0;
};

}  // namespace

int main(int argc, char** argv) {
    double minutes = 30;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--minutes")) minutes = std::atof(argv[i + 1]);

    {
        pairs::PairSpec recipe;
        recipe.seed = 500;
        recipe.seconds = 200;
        recipe.lagSeconds = 8;
        recipe.radioRate = 44100;
        recipe.tvRate = 16000;
        recipe.tvCodec = pairs::TvCodec::ULaw;
        recipe.tvClockPpm = 40;
        recipe.jumpAtSeconds = 100;
        recipe.jumpBySeconds = 3;
        const pairs::Pair p = pairs::makePair(recipe);
        Follower follow(8.0);
        finder::LiveDelayFinder* self = nullptr;
        finder::LiveDelayFinder live(p.radio.sampleRate, p.tv.sampleRate,
                                     [&](const finder::DelayEstimate& e, double at) { follow.onEstimate(*self, e, at); });
        self = &live;
        std::printf("rebuffering stream: lag 8 s, 3 s more from 100 s on\n");
        feed(live, p, recipe.tvClockPpm, 0);
        std::lock_guard guard(follow.lock);
        const bool right = std::abs(follow.expected - 11.0) <= 0.020;
        std::printf("delay set for %.3f s at the end (%s); right again %.1f s after the jump "
                    "(at most 60 s wanted); %d measurements, %d confident\n",
                    follow.expected, right ? "right" : "WRONG",
                    follow.lastMove ? *follow.lastMove - 100 : -1.0, follow.measurements, follow.confident);
    }
    {
        const double lag = 12.5;
        Follower follow(lag);
        finder::LiveDelayFinder* self = nullptr;
        finder::LiveDelayFinder live(44100, 16000,
                                     [&](const finder::DelayEstimate& e, double at) { follow.onEstimate(*self, e, at); });
        self = &live;
        const int pieces = static_cast<int>(std::ceil(minutes / 3));
        std::printf("steady TV: lag %.1f s for %d minutes\n", lag, pieces * 3);
        for (int piece = 0; piece < pieces; ++piece) {
            pairs::PairSpec recipe = pairs::variedSpec(static_cast<uint64_t>(600 + piece), 180);
            recipe.shared = true;
            recipe.lagSeconds = lag;
            // One input keeps one rate: GSM (8 kHz only) gives way to u-law.
            recipe.radioRate = 44100;
            recipe.tvRate = 16000;
            if (recipe.tvCodec == pairs::TvCodec::Gsm) recipe.tvCodec = pairs::TvCodec::ULaw;
            recipe.ownPlaybackLagSeconds.reset();
            feed(live, pairs::makePair(recipe), recipe.tvClockPpm, piece * 180.0);
        }
        std::lock_guard guard(follow.lock);
        std::printf("moves: %d (none wanted); %d measurements, %d confident\n", follow.moves,
                    follow.measurements, follow.confident);
    }
    return 0;
}

// ctest-labels: threaded
#include "finder/liveDelayFinder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/stadiumPairs.h"

namespace una::finder {
namespace {

struct Report {
    DelayEstimate estimate;
    double tvEnd;
};

// The two sides fed by two threads in 20 ms blocks stamped on one clock, as two inputs
// deliver them; faster than real time, waiting for the finder now and then.
void feedBoth(LiveDelayFinder& finder, const pairs::Pair& p, double clockStart) {
    const auto feedSide = [&](const pairs::Side& side, bool radio) {
        const auto block = static_cast<size_t>(side.sampleRate / 50);
        for (size_t at = 0; at + block <= side.samples.size(); at += block) {
            const std::span<const float> part(side.samples.data() + at, block);
            const double when = clockStart + static_cast<double>(at) / side.sampleRate;
            radio ? finder.feedRadio(part, when) : finder.feedTv(part, when);
            if (at % (block * 50 * 4) == 0) finder.waitIdle();
        }
    };
    std::thread radio(feedSide, std::cref(p.radio), true);
    std::thread tv(feedSide, std::cref(p.tv), false);
    radio.join();
    tv.join();
    finder.waitIdle();
}

TEST(LiveDelayFinder, MeasuresWindowsOnItsOwnThreadAndForgetsAReplacedTv) {
    pairs::PairSpec recipe;
    recipe.seed = 21;
    recipe.seconds = 24;
    recipe.lagSeconds = 5.5;
    recipe.radioRate = 48000;
    recipe.tvRate = 16000;
    const pairs::Pair p = pairs::makePair(recipe);

    std::mutex lock;
    std::vector<Report> reports;
    LiveFinderSettings settings;
    settings.windowSeconds = 10;
    settings.intervalSeconds = 5;
    settings.range.maxLagSeconds = 15;
    LiveDelayFinder finder(p.radio.sampleRate, p.tv.sampleRate, [&](const DelayEstimate& e, double end) {
        std::lock_guard guard(lock);
        reports.push_back({e, end});
    }, settings);
    feedBoth(finder, p, 1000.0);
    {
        std::lock_guard guard(lock);
        // Windows end every 5 s from 10 s of TV audio on, where the radio (fed by another
        // thread) already reaches.
        ASSERT_GE(reports.size(), 2u);
        const Report& last = reports.back();
        EXPECT_TRUE(last.estimate.confident) << last.estimate.confidence;
        EXPECT_NEAR(last.estimate.lagSeconds, p.trueLagSeconds, 0.020);
        EXPECT_GT(last.tvEnd, 1015.0);
        EXPECT_LT(last.tvEnd, 1024.1);
        reports.clear();
    }

    // Another input takes the TV's place and hears only the stadium's silence: its own
    // clock starts later, and no lag is claimed from what the old input left behind.
    finder.resetTv();
    const std::vector<float> quiet(16000 * 12, 0.0f);
    for (size_t at = 0; at + 320 <= quiet.size(); at += 320) {
        finder.feedTv(std::span(quiet).subspan(at, 320), 2000.0 + static_cast<double>(at) / 16000);
        if (at % 16000 == 0) finder.waitIdle();
    }
    finder.requestMeasurement();
    finder.waitIdle();
    std::lock_guard guard(lock);
    ASSERT_FALSE(reports.empty());
    for (const Report& r : reports) EXPECT_FALSE(r.estimate.confident);
}

}  // namespace
}  // namespace una::finder

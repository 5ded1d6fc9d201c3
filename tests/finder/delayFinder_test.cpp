#include "finder/delayFinder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace una::finder {
namespace {

// Two sides sharing one noise (the stadium) under a louder noise of their own each.
struct Pair {
    std::vector<float> radio, tv;
};

Pair noisePair(double lagSeconds, int radioRate, int tvRate, double seconds, unsigned seed,
               bool shared = true) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    const double total = seconds + lagSeconds + 1;
    const int base = 48000;
    std::vector<float> stadium(static_cast<size_t>(total * base));
    for (float& v : stadium) v = noise(gen);
    std::vector<float> other(stadium.size());
    for (float& v : other) v = noise(gen);
    Pair p;
    for (size_t i = 0; i < static_cast<size_t>(seconds * radioRate); ++i)
        p.radio.push_back(stadium[i * base / radioRate + static_cast<size_t>(lagSeconds * base)] +
                          2 * noise(gen));
    const std::vector<float>& tvSource = shared ? stadium : other;
    for (size_t i = 0; i < static_cast<size_t>(seconds * tvRate); ++i)
        p.tv.push_back(0.5f * tvSource[i * base / tvRate] + 2 * noise(gen));
    return p;
}

TEST(FindDelay, FindsKnownLagAcrossRates) {
    const Pair p = noisePair(7.25, 48000, 16000, 30, 1);
    const DelayEstimate e = findDelay({p.radio, 48000}, {p.tv, 16000});
    ASSERT_TRUE(e.confident) << e.confidence;
    EXPECT_NEAR(e.lagSeconds, 7.25, 0.002);
}

TEST(FindDelay, NothingSharedIsNotConfident) {
    const Pair p = noisePair(7.25, 44100, 8000, 30, 2, false);
    const DelayEstimate e = findDelay({p.radio, 44100}, {p.tv, 8000});
    EXPECT_FALSE(e.confident) << e.confidence << " at " << e.lagSeconds;
    EXPECT_EQ(e.problem, Problem::NotClear);
}

}  // namespace
}  // namespace una::finder

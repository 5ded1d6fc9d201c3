#include "finder/delayFinder.h"

#include <gtest/gtest.h>

#include <vector>

#include "tools/stadiumPairs.h"

namespace una::finder {
namespace {

DelayEstimate find(const pairs::Pair& p, const SearchRange& range = {}) {
    return findDelay({p.radio.samples, p.radio.sampleRate}, {p.tv.samples, p.tv.sampleRate}, range);
}

// A TV path that does most of what a real one does to the sound: another rate, a lossy codec,
// a clock 80 ppm off, a commentator over a quiet stadium; and a room, whose microphone also
// hears the program's own playback of the radio louder than the TV.
TEST(FindDelay, FindsTheTvLagThroughTvPathsAndRooms) {
    pairs::PairSpec tvPath;
    tvPath.seed = 3;
    tvPath.seconds = 25;
    tvPath.lagSeconds = 7.3;
    tvPath.radioRate = 44100;
    tvPath.tvRate = 22050;
    tvPath.tvCodec = pairs::TvCodec::ULaw;
    tvPath.tvLowPassHz = 5000;
    tvPath.tvClockPpm = 80;
    const pairs::Pair p = pairs::makePair(tvPath);
    const DelayEstimate e = find(p);
    EXPECT_TRUE(e.confident) << e.confidence;
    EXPECT_NEAR(e.lagSeconds, p.trueLagSeconds, 0.020);

    pairs::PairSpec room;
    room.seed = 4;
    room.seconds = 25;
    room.lagSeconds = 4.2;
    room.tvRate = 16000;
    room.tvCodec = pairs::TvCodec::Gsm;
    room.room = true;
    room.ownPlaybackLagSeconds = 2.0;
    room.ownPlaybackGain = 1.0;
    const pairs::Pair r = pairs::makePair(room);
    SearchRange range;
    range.ownPlaybackLagSeconds = 2.0;
    const DelayEstimate inRoom = find(r, range);
    EXPECT_TRUE(inRoom.confident) << inRoom.confidence;
    EXPECT_NEAR(inRoom.lagSeconds, r.trueLagSeconds, 0.020) << "the own playback is at 2.0 s";
}

TEST(FindDelay, TwoDifferentMatchesAreNeverConfident) {
    for (uint64_t seed : {5u, 6u}) {
        pairs::PairSpec apart;
        apart.seed = seed;
        apart.seconds = 25;
        apart.shared = false;
        apart.tvRate = 8000;
        const DelayEstimate e = find(pairs::makePair(apart));
        EXPECT_FALSE(e.confident) << e.confidence << " at " << e.lagSeconds;
        EXPECT_EQ(e.problem, Problem::NotClear);
    }
}

// A TV further behind than the range, or ahead of the radio, is told as such, with its lag.
TEST(FindDelay, LagsOutsideTheRangeAreNamedNotTaken) {
    pairs::PairSpec recipe;
    recipe.seed = 7;
    recipe.seconds = 25;
    recipe.lagSeconds = 9;
    const pairs::Pair p = pairs::makePair(recipe);
    SearchRange shortRange;
    shortRange.maxLagSeconds = 5;
    const DelayEstimate beyond = find(p, shortRange);
    EXPECT_FALSE(beyond.confident);
    EXPECT_EQ(beyond.problem, Problem::BeyondRange);
    EXPECT_NEAR(beyond.lagSeconds, p.trueLagSeconds, 0.020);

    // Swapped, the "TV" runs 9 s ahead of the "radio".
    const DelayEstimate ahead = findDelay({p.tv.samples, p.tv.sampleRate}, {p.radio.samples, p.radio.sampleRate});
    EXPECT_FALSE(ahead.confident);
    EXPECT_EQ(ahead.problem, Problem::BeyondRange);
    EXPECT_NEAR(ahead.lagSeconds, -p.trueLagSeconds, 0.020);
}

TEST(FindDelay, UnusableSidesGiveTheirProblem) {
    std::vector<float> sound(8000 * 10);
    for (size_t i = 0; i < sound.size(); ++i) sound[i] = 0.3f * static_cast<float>((i * 7919) % 200) / 100.0f - 0.3f;
    const std::vector<float> silence(8000 * 10, 0.0f);
    std::vector<float> clipped = sound;
    for (float& v : clipped) v = v > 0 ? 1.0f : -1.0f;
    const std::vector<float> brief(8000 * 2, 0.1f);
    std::vector<float> broken = sound;
    broken[100] = std::numeric_limits<float>::quiet_NaN();

    EXPECT_EQ(findDelay({sound, 8000}, {silence, 8000}).problem, Problem::Silent);
    EXPECT_EQ(findDelay({clipped, 8000}, {sound, 8000}).problem, Problem::Clipped);
    EXPECT_EQ(findDelay({sound, 8000}, {brief, 8000}).problem, Problem::TooShort);
    EXPECT_EQ(findDelay({sound, 8000}, {broken, 8000}).problem, Problem::BadInput);
    EXPECT_EQ(findDelay({sound, 0}, {sound, 8000}).problem, Problem::BadInput);
    EXPECT_EQ(findDelay({sound, 8000}, {{}, 8000}).problem, Problem::BadInput);
    SearchRange upsideDown;
    upsideDown.minLagSeconds = 10;
    upsideDown.maxLagSeconds = 1;
    EXPECT_EQ(findDelay({sound, 8000}, {sound, 8000}, upsideDown).problem, Problem::BadInput);
    // Two sides that do not overlap by enough at any lag of the range.
    EXPECT_EQ(findDelay({sound, 8000, -100}, {sound, 8000}, SearchRange{0.1, 20, {}}).problem,
              Problem::TooShort);
}

}  // namespace
}  // namespace una::finder

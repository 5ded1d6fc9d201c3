// ctest-labels: threaded
// The whole threaded chain (recorder, resampler, delay line, mixer, player) on the scripted
// card running on clocks of its own, with reported latencies: every played frame carries the
// number of the frame it was recorded as, so the delay of each is the time the playback card
// heard it minus the time the recording card captured it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/delayChain.h"
#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace una::app;
using platform::WaveDirection;
using namespace std::chrono_literals;

namespace {

void numbered(uint64_t frame, uint8_t* bytes) {
    const auto left = static_cast<int16_t>(frame & 0x7FFF);
    const auto right = static_cast<int16_t>((frame >> 15) & 0x7FFF);
    std::memcpy(bytes, &left, 2);
    std::memcpy(bytes + 2, &right, 2);
}

uint64_t numberOf(const std::vector<uint8_t>& played, uint64_t frame) {
    int16_t left, right;
    std::memcpy(&left, played.data() + frame * 4, 2);
    std::memcpy(&right, played.data() + frame * 4 + 2, 2);
    return static_cast<uint64_t>(left) | (static_cast<uint64_t>(right) << 15);
}

struct Heard {
    double worstErrorMs = 0;
    size_t measured = 0;
    size_t breaks = 0;  // played frames that are not the next recorded one
    uint32_t recorderChunk = 0;
    uint32_t playerChunk = 0;
    uint32_t lostChunks = 0;  // refused by the player's input
};

// Runs the chain for `seconds` with the cards' clocks and latencies, the delay `delay`.
Heard runChain(double delay, double inPpm, double outPpm, double seconds, int32_t outId = -1) {
    ScopedFakeSoundCard card;
    card->setDevices(WaveDirection::output, {{0, 0, 0, L"Speakers"}, {0, 0, 0, L"TV"}});
    DelayChain chain;
    chain.setupDevices({44100, 16, 2}, {44100, 16, 2});
    ChainStartOptions options;
    options.delaySeconds = delay;
    EXPECT_TRUE(chain.startIn(options).recording);
    auto in = card->waitStream(WaveDirection::input);
    EXPECT_NE(in, nullptr);
    in->runClock(inPpm, 441, numbered);  // 10 ms from the converter to the buffer
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    EXPECT_TRUE(chain.openOut(outId));
    auto out = card->waitStream(WaveDirection::output);
    EXPECT_NE(out, nullptr);
    out->runClock(outPpm, 2205);  // 50 ms from the buffer to the converter
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto times = out->heardTimes();
    const std::vector<uint8_t> played = out->played();
    Heard heard;
    heard.recorderChunk = chain.waveIn()->chunkSize;
    heard.playerChunk = chain.waveOut()->chunkSize;
    chain.closeIn();
    heard.lostChunks = chain.playbackLostChunks();

    const int64_t delayNs = static_cast<int64_t>(delay * 1e9);
    const uint64_t lead = kPlaybackLeadChunks * heard.playerChunk / 4;
    bool audible = false;
    uint64_t previous = 0;
    for (const auto& [frame, heardNs] : times) {
        if (frame < lead || (frame + 1) * 4 > played.size())
            continue;
        const uint64_t number = numberOf(played, frame);
        if (number == 0)
            continue;
        // Past the first second of sound, which starts with a fade.
        if (!audible) {
            audible = true;
            previous = heardNs;
        }
        if (heardNs - static_cast<int64_t>(previous) < 1'000'000'000)
            continue;
        const double error = static_cast<double>(heardNs - in->capturedAtNs(number) - delayNs) / 1e6;
        heard.worstErrorMs = std::max(heard.worstErrorMs, std::abs(error));
        ++heard.measured;
    }
    // From a second after the first sound, past its fade-in.
    uint64_t firstSound = lead;
    while (firstSound + 1 < played.size() / 4 && numberOf(played, firstSound) == 0)
        ++firstSound;
    for (uint64_t f = firstSound + 44100; f + 1 < played.size() / 4; ++f)
        if (numberOf(played, f) != 0 && numberOf(played, f + 1) != numberOf(played, f) + 1)
            ++heard.breaks;
    return heard;
}

}  // namespace

TEST(DelayChainOnClockedCard, OneClockIsExactAndBitForBit) {
    const Heard heard = runChain(0.6, 0, 0, 3.5);
    EXPECT_EQ(heard.recorderChunk, 7056u) << "a short delay keeps 40 ms chunks";
    EXPECT_GT(heard.measured, 20u);
    EXPECT_LT(heard.worstErrorMs, 1.0) << heard.measured << " measured";
    EXPECT_EQ(heard.breaks, 0u);
}

TEST(DelayChainOnClockedCard, CardsApartStayWithinTwoMilliseconds) {
    const Heard heard = runChain(0.6, 250, -150, 4.5);
    EXPECT_GT(heard.measured, 20u);
    EXPECT_LT(heard.worstErrorMs, 2.0) << heard.measured << " measured";
}

// A long delay leaves room for longer chunks, which wake every thread less often; the delay
// line makes up for what the longer paths hold.
TEST(DelayChainOnClockedCard, ALongDelayWorksInLongerChunksAndStaysExact) {
    const Heard heard = runChain(4.0, 0, 0, 4.5);
    EXPECT_EQ(heard.recorderChunk, 35280u);
    EXPECT_EQ(heard.playerChunk, 35280u);
    EXPECT_GT(heard.measured, 5u);
    EXPECT_LT(heard.worstErrorMs, 1.0) << heard.measured << " measured";
    EXPECT_EQ(heard.breaks, 0u);
}

// The player made for the chosen device at the delay's tick (not the default one) takes the
// long chunks too: with short ones it dropped a chunk each tick.
TEST(DelayChainOnClockedCard, ALongDelayOnAChosenPlayerLosesNothing) {
    const Heard heard = runChain(4.0, 0, 0, 4.5, 1);
    EXPECT_EQ(heard.playerChunk, 35280u);
    EXPECT_EQ(heard.lostChunks, 0u);
    EXPECT_LT(heard.worstErrorMs, 1.0) << heard.measured << " measured";
    EXPECT_EQ(heard.breaks, 0u);
}

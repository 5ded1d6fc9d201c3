// ctest-labels: threaded
// The whole delay chain on the scripted card: what the recorder captured comes out of the
// player byte for byte, after the delay, at both the recording rate and another one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/unaWaveResampler.h"
#include "support/delayChain.h"
#include "support/eventually.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace std::chrono_literals;
using platform::WaveDirection;

namespace {

// What the resampler makes of the recorded chunks, chunk by chunk as it works.
std::vector<uint8_t> converted(const std::vector<uint8_t>& recorded, uint32_t chunkBytes,
                               unaPcmFormat in, unaPcmFormat out) {
    const uint32_t divisor = resamplerChunkDivisor(in.samplesPerSec, out.samplesPerSec);
    waveChunk src, dst;
    src.setFormat(in.samplesPerSec, in.bitsPerSample, in.channels);
    src.resize(in.samplesPerSec / divisor);
    dst.setFormat(out.samplesPerSec, out.bitsPerSample, out.channels);
    dst.resize(out.samplesPerSec / divisor);
    EXPECT_EQ(src.size, chunkBytes) << "one recorded chunk is one source chunk";
    std::vector<uint8_t> result;
    for (size_t at = 0; at + chunkBytes <= recorded.size(); at += chunkBytes) {
        std::copy_n(recorded.begin() + at, chunkBytes, src.data.begin());
        src.used = chunkBytes;
        const uint32_t n = waveResample(src, dst);
        result.insert(result.end(), dst.data.begin(), dst.data.begin() + n);
    }
    return result;
}

// Plays until `bytes` came out, completing every buffer as soon as the player queued it.
std::vector<uint8_t> playOut(FakeStreamControl& out, size_t bytes) {
    while (out.played().size() < bytes) {
        if (!out.waitQueued([](size_t n) { return n > 0; }))
            break;
        out.complete(1);
    }
    return out.played();
}

struct Formats {
    unaPcmFormat in, out;
};

class FakeDelayChain : public ::testing::TestWithParam<Formats> {};

TEST_P(FakeDelayChain, HeldAudioComesOutWholeInOrderAfterTheDelay) {
    const Formats f = GetParam();
    ScopedFakeSoundCard fake;
    DelayChain chain(f.in, f.out);
    ASSERT_EQ(chain.startRecording(), 0u);
    auto in = fake->stream(WaveDirection::input);
    ASSERT_NE(in, nullptr);
    const uint32_t chunk = chain.recorder().chunkSize;

    // The delay: the recorder fills the holding stream, the playback side stays closed.
    constexpr size_t kHeld = 12;
    for (size_t i = 0; i < kHeld; ++i) {
        ASSERT_TRUE(in->waitQueued([](size_t n) { return n == 5; }));
        ASSERT_EQ(in->complete(1), 1u);
    }
    std::vector<uint8_t> recorded(kHeld * chunk);
    for (size_t k = 0; k < recorded.size(); ++k)
        recorded[k] = static_cast<uint8_t>(k);  // what the fake card records
    const auto expected = converted(recorded, chunk, f.in, f.out);
    ASSERT_TRUE(eventually([&] { return chain.heldBytes() == expected.size(); }, 10000))
        << chain.heldBytes() << " of " << expected.size() << " bytes held";
    EXPECT_EQ(fake->openCount(WaveDirection::output), 0u);

    ASSERT_EQ(chain.startPlayback(), 0u);
    auto out = fake->waitStream(WaveDirection::output);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->format().samplesPerSec, f.out.samplesPerSec);
    // Past the held audio the mixer pads with silence: two chunks of it.
    const size_t silence = 2 * chain.player().chunkSize;
    const auto played = playOut(*out, expected.size() + silence);
    chain.stop();

    ASSERT_GE(played.size(), expected.size() + silence);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()))
        << "the held audio is played byte for byte, from its first byte";
    EXPECT_TRUE(std::all_of(played.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                            played.end(), [](uint8_t b) { return b == 0; }))
        << "and only once: silence follows it";
    EXPECT_EQ(chain.player().inLostBytes, 0u);
    EXPECT_EQ(chain.mixer().getStreamCount(), 0u) << "stop removes the holding stream";
}

INSTANTIATE_TEST_SUITE_P(Rates, FakeDelayChain,
                         ::testing::Values(Formats{{44100, 16, 2}, {44100, 16, 2}},
                                           Formats{{44100, 16, 2}, {48000, 16, 2}},
                                           Formats{{22050, 16, 2}, {44100, 16, 1}}),
                         [](const auto& info) {
                             const Formats& f = info.param;
                             return std::to_string(f.in.samplesPerSec) + "x" +
                                    std::to_string(f.in.channels) + "_to_" +
                                    std::to_string(f.out.samplesPerSec) + "x" +
                                    std::to_string(f.out.channels);
                         });

// Stop during the delay: the held audio is thrown away and the next run holds only its own.
TEST(FakeDelayChainRestart, StoppingDuringTheDelayDiscardsWhatWasHeld) {
    ScopedFakeSoundCard fake;
    const unaPcmFormat pcm{44100, 16, 2};
    DelayChain chain(pcm, pcm);
    ASSERT_EQ(chain.startRecording(), 0u);
    auto first = fake->stream(WaveDirection::input);
    const uint32_t chunk = chain.recorder().chunkSize;
    ASSERT_TRUE(first->waitQueued([](size_t n) { return n == 5; }));
    first->complete(3);
    ASSERT_TRUE(eventually([&] { return chain.heldBytes() == 3 * chunk; }));
    chain.stop();
    EXPECT_EQ(chain.heldBytes(), 0u);
    EXPECT_FALSE(chain.recorder().isOpen());
    EXPECT_EQ(chain.resampler(), nullptr);

    ASSERT_EQ(chain.startRecording(), 0u);
    auto second = fake->waitStream(WaveDirection::input, 1);
    ASSERT_NE(second, nullptr);
    const std::vector<uint8_t> fresh(2 * chunk, 0x5A);
    second->fillRecorded(fresh);
    ASSERT_TRUE(second->waitQueued([](size_t n) { return n == 5; }));
    second->complete(2);
    ASSERT_TRUE(eventually([&] { return chain.heldBytes() == 2 * chunk; }));
    ASSERT_EQ(chain.startPlayback(), 0u);
    auto out = fake->waitStream(WaveDirection::output);
    ASSERT_NE(out, nullptr);
    const auto played = playOut(*out, 3 * chunk);
    chain.stop();
    ASSERT_GE(played.size(), 3 * chunk);
    EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), played.begin()));
    EXPECT_TRUE(
        std::all_of(played.begin() + 2 * chunk, played.end(), [](uint8_t b) { return b == 0; }));
}

}  // namespace

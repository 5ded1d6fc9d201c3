// ctest-labels: threaded
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/unaWaveSoftwareDevice.h"
#include "support/chunkCapture.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

// 8000 Hz 16-bit mono: 25 chunks of 640 bytes per second.
constexpr uint32_t kChunk = 640;

using Capture = una::test_support::ChunkCapture;

unaPtr<unaWaveMixerDevice> makeMixer(bool addSilence) {
    auto mixer = make<unaWaveMixerDevice>(true, addSilence, 0);
    EXPECT_TRUE(mixer->setPcmFormat(8000, 16, 1));
    EXPECT_EQ(mixer->chunkSize.load(), kChunk);
    return mixer;
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
    return out;
}

std::vector<uint8_t> bytes16(std::initializer_list<int16_t> values) {
    std::vector<uint8_t> out(values.size() * 2);
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
}

std::vector<int16_t> samples16(const std::vector<uint8_t>& data) {
    std::vector<int16_t> out(data.size() / 2);
    std::memcpy(out.data(), data.data(), data.size());
    return out;
}

}  // namespace

TEST(WaveMix, SixteenBitClipsBothWays) {
    auto a = bytes16({30000, -30000, 100, 32767, -32768, 5});
    auto b = bytes16({5000, -5000, -300, 1, -1, -5});
    std::vector<uint8_t> out(a.size());
    waveMix(a.data(), b.data(), out.data(), 2, true, 16, 16, 16, 3);
    EXPECT_EQ(samples16(out), (std::vector<int16_t>{32767, -32768, -200, 32767, -32768, 0}));

    waveMix(a.data(), b.data(), out.data(), 1, false, 16, 16, 16, 6);
    EXPECT_EQ(samples16(out), (std::vector<int16_t>{25000, -25000, 400, 32766, -32767, 10}));

    // In place into one of the inputs, as the mixer does.
    waveMix(a.data(), b.data(), b.data(), 1, true, 16, 16, 16, 6);
    EXPECT_EQ(samples16(b), (std::vector<int16_t>{32767, -32768, -200, 32767, -32768, 0}));
}

TEST(WaveMix, EightBitClipsAtTheByteRange) {
    std::vector<uint8_t> a{200, 0, 128, 255, 1};
    std::vector<uint8_t> b{200, 0, 128, 255, 128};
    std::vector<uint8_t> out(5, 77);
    waveMix(a.data(), b.data(), out.data(), 1, true, 8, 8, 8, 5);
    EXPECT_EQ(out, (std::vector<uint8_t>{255, 0, 128, 255, 1}));
}

TEST(WaveMix, MixedWidthsAndNothingToDo) {
    std::vector<uint8_t> a8{255, 0};
    auto b16 = bytes16({-32768, 1000});
    std::vector<uint8_t> out = bytes16({0, 0});
    waveMix(a8.data(), b16.data(), out.data(), 1, true, 16, 16, 8, 2);
    // 255 -> 32512; 0 -> -32768.
    EXPECT_EQ(samples16(out), (std::vector<int16_t>{-256, -31768}));

    std::vector<uint8_t> untouched = bytes16({7, 7});
    waveMix(a8.data(), nullptr, untouched.data(), 1, true, 16, 16, 8, 2);
    waveMix(a8.data(), b16.data(), untouched.data(), 1, true, 16, 16, 8, 0);
    waveMix(a8.data(), b16.data(), untouched.data(), 1, true, 24, 16, 8, 2);
    EXPECT_EQ(samples16(untouched), (std::vector<int16_t>{7, 7}));
}

TEST(WaveMix, ThirtyTwoBitIsNotClipped) {
    int32_t a[] = {2000000000, -5};
    int32_t b[] = {1000000000, 5};
    int32_t out[2];
    waveMix(a, b, out, 1, true, 32, 32, 32, 2);
    EXPECT_EQ(out[0], static_cast<int32_t>(3000000000u));
    EXPECT_EQ(out[1], 0);
}

TEST(MixerDevice, EmptyStreamGivesSilenceOnlyWithAddSilence) {
    auto mixer = makeMixer(true);
    Capture capture;
    capture.attach(*mixer);
    ASSERT_NE(mixer->addStream(), nullptr);
    ASSERT_EQ(mixer->open(false, 10000, 0), 0u);
    ASSERT_TRUE(capture.waitFor(3));
    mixer->close(10000);
    for (const auto& chunk : capture.take())
        ASSERT_EQ(chunk, std::vector<uint8_t>(kChunk, 0));

    auto quiet = makeMixer(false);
    Capture none;
    none.attach(*quiet);
    quiet->addStream();
    ASSERT_EQ(quiet->open(false, 10000, 0), 0u);
    ASSERT_NE(quiet->getTimer(), nullptr);
    EXPECT_TRUE(quiet->getTimer()->isRunning());
    std::this_thread::sleep_for(300ms);
    quiet->close(10000);
    EXPECT_FALSE(quiet->getTimer()->isRunning()) << "the timer runs only while open";
    EXPECT_EQ(none.count(), 0u);
}

TEST(MixerDevice, OneAndAHalfChunksArePaddedWithSilence) {
    auto mixer = makeMixer(true);
    Capture capture;
    capture.attach(*mixer);
    unaMemoryStream* stream = mixer->addStream();
    ASSERT_NE(stream, nullptr);
    const auto audio = pattern(kChunk * 3 / 2, 1);
    ASSERT_EQ(stream->write(audio.data(), kChunk), static_cast<int32_t>(kChunk));
    ASSERT_EQ(stream->write(audio.data() + kChunk, kChunk / 2), static_cast<int32_t>(kChunk / 2));

    ASSERT_EQ(mixer->open(false, 10000, 0), 0u);
    ASSERT_TRUE(capture.waitFor(4));
    mixer->close(10000);
    const auto chunks = capture.take();
    EXPECT_EQ(chunks[0], std::vector<uint8_t>(audio.begin(), audio.begin() + kChunk));
    std::vector<uint8_t> second(audio.begin() + kChunk, audio.end());
    second.resize(kChunk, 0);
    EXPECT_EQ(chunks[1], second);
    for (size_t i = 2; i < chunks.size(); ++i)
        EXPECT_EQ(chunks[i], std::vector<uint8_t>(kChunk, 0)) << "chunk " << i;
}

TEST(MixerDevice, EightBitSilenceIsTheMidByte) {
    auto mixer = make<unaWaveMixerDevice>(true, true, 0);
    ASSERT_TRUE(mixer->setPcmFormat(8000, 8, 1));
    Capture capture;
    capture.attach(*mixer);
    unaMemoryStream* stream = mixer->addStream();
    const std::vector<uint8_t> audio(100, 200);
    stream->write(audio.data(), 100);
    ASSERT_EQ(mixer->open(false, 10000, 0), 0u);
    ASSERT_TRUE(capture.waitFor(2));
    mixer->close(10000);
    const auto chunks = capture.take();
    ASSERT_EQ(chunks[0].size(), mixer->chunkSize.load());
    EXPECT_EQ(chunks[0][99], 200);
    EXPECT_EQ(chunks[0][100], 128);
    EXPECT_EQ(chunks[1], std::vector<uint8_t>(chunks[1].size(), 128));
}

TEST(MixerDevice, TwoStreamsAddAndClip) {
    auto mixer = makeMixer(true);
    Capture capture;
    capture.attach(*mixer);
    unaMemoryStream* a = mixer->addStream();
    unaMemoryStream* b = mixer->addStream();
    std::vector<int16_t> sa(kChunk / 2), sb(kChunk / 2);
    for (size_t i = 0; i < sa.size(); ++i) {
        sa[i] = static_cast<int16_t>(i % 3 == 0 ? 30000 : (i % 3 == 1 ? -30000 : 100));
        sb[i] = static_cast<int16_t>(i % 3 == 0 ? 30000 : (i % 3 == 1 ? -30000 : -7));
    }
    a->write(sa.data(), kChunk);
    b->write(sb.data(), kChunk / 2);  // half a chunk: the rest of b is silence
    ASSERT_EQ(mixer->open(false, 10000, 0), 0u);
    ASSERT_TRUE(capture.waitFor(1));
    mixer->close(10000);
    const auto chunk = capture.take()[0];
    std::vector<int16_t> mixed(kChunk / 2);
    std::memcpy(mixed.data(), chunk.data(), kChunk);
    for (size_t i = 0; i < mixed.size(); ++i) {
        const int expectB = i < mixed.size() / 2 ? sb[i] : 0;
        const int sum = std::clamp(sa[i] + expectB, -32768, 32767);
        ASSERT_EQ(mixed[i], sum) << "sample " << i;
    }
    EXPECT_EQ(mixer->inBytes.load() % (2 * kChunk), 0u) << "both streams count per tick";
}

TEST(MixerDevice, StreamsAreOwnedAndRemovedOnlyWhenTheirs) {
    auto mixer = makeMixer(true);
    auto other = makeMixer(true);
    unaMemoryStream* mine = mixer->addStream();
    unaMemoryStream* theirs = other->addStream();
    auto given = make<unaMemoryStream>(100);
    unaMemoryStream* givenRaw = given.get();
    EXPECT_EQ(mixer->addStream(unaPtr<unaAbstractStream>(std::move(given))), givenRaw);
    EXPECT_EQ(mixer->getStreamCount(), 2u);
    EXPECT_EQ(mixer->getStream(1), givenRaw);
    EXPECT_EQ(mixer->getStream(2), nullptr);

    EXPECT_FALSE(mixer->removeStream(theirs));
    EXPECT_EQ(other->getStreamCount(), 1u);
    EXPECT_EQ(theirs->write("abc", 3), 3) << "a foreign stream stays alive";
    EXPECT_TRUE(mixer->removeStream(mine));
    EXPECT_FALSE(mixer->removeStream(mine));
    EXPECT_EQ(mixer->getStreamCount(), 1u);
    EXPECT_EQ(mixer->getStream(0), givenRaw);
}

// The delay: what piles up in the stream while the mixer is closed leaves it whole, in order,
// one chunk per tick, once the mixer opens; streams and their audio survive a close.
TEST(MixerDevice, HoldingStreamKeepsAudioUntilOpenThenPacesIt) {
    auto mixer = makeMixer(true);
    Capture capture;
    capture.attach(*mixer);
    unaMemoryStream* hold = mixer->addStream();
    constexpr int kHeld = 10;
    std::vector<uint8_t> all;
    // Written in pieces that are not chunk-sized, as a resampler of another rate would.
    const auto audio = pattern(kChunk * kHeld, 7);
    for (size_t at = 0; at < audio.size(); at += 300) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(300, audio.size() - at));
        ASSERT_EQ(hold->write(audio.data() + at, n), static_cast<int32_t>(n));
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count(), 0u) << "a closed mixer delivers nothing";
    EXPECT_EQ(hold->getSize(), static_cast<int32_t>(audio.size()));

    const auto opened = std::chrono::steady_clock::now();
    ASSERT_EQ(mixer->open(false, 10000, 0), 0u);
    ASSERT_TRUE(capture.waitFor(kHeld));
    const auto took = std::chrono::steady_clock::now() - opened;
    // Ten ticks of 40 ms cannot pass in less than 9 periods; draining at once would.
    EXPECT_GE(took, 300ms) << "the held audio must leave at the tick rate";
    ASSERT_TRUE(capture.waitFor(kHeld + 2));
    mixer->close(10000);

    const auto chunks = capture.take();
    std::vector<uint8_t> joined;
    for (int i = 0; i < kHeld; ++i) {
        ASSERT_EQ(chunks[i].size(), kChunk);
        joined.insert(joined.end(), chunks[i].begin(), chunks[i].end());
    }
    EXPECT_EQ(joined, audio);
    EXPECT_EQ(chunks[kHeld], std::vector<uint8_t>(kChunk, 0));

    // Closed again: new audio waits in the same stream for the next open.
    ASSERT_EQ(mixer->getStreamCount(), 1u);
    const auto later = pattern(kChunk, 9);
    hold->write(later.data(), kChunk);
    const size_t before = capture.count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count(), before);
    ASSERT_EQ(mixer->open(false, 10000, 0), 0u);
    ASSERT_TRUE(capture.waitFor(before + 1));
    mixer->close(10000);
    EXPECT_EQ(capture.take()[before], later);
}

// ctest-labels: threaded
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/unaWaveResampler.h"
#include "audio/unaWaveSoftwareDevice.h"
#include "support/chunkCapture.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

waveChunk chunkOf(uint32_t rate, uint32_t bits, uint32_t channels, uint32_t frames) {
    waveChunk c;
    c.setFormat(rate, bits, channels);
    c.resize(frames);
    return c;
}

int16_t sample16(const waveChunk& c, size_t index) {
    int16_t v;
    std::memcpy(&v, c.data.data() + index * 2, 2);
    return v;
}

void putSample16(waveChunk& c, size_t index, int16_t v) {
    std::memcpy(c.data.data() + index * 2, &v, 2);
}

}  // namespace

TEST(ResamplerCore, ChunkSizesCoverTheSameTime) {
    struct Case {
        uint32_t src, dst, srcFrames, dstFrames;
    };
    for (const Case& c : {Case{44100, 48000, 1764, 1920}, Case{22050, 44100, 882, 1764},
                          Case{8000, 44100, 320, 1764}, Case{44100, 44100, 1764, 1764}}) {
        const uint32_t d = resamplerChunkDivisor(c.src, c.dst);
        EXPECT_EQ(c.src / d, c.srcFrames) << c.src << " -> " << c.dst;
        EXPECT_EQ(c.dst / d, c.dstFrames) << c.src << " -> " << c.dst;
    }
    // gcd (x, 0) is 1: a rate of 0 leaves the divisor at 1 instead of dividing by 0.
    EXPECT_EQ(resamplerChunkDivisor(0, 44100), 1u);
    // 44101 shares nothing with 25, so its chunk is a fifth of its rate.
    EXPECT_EQ(resamplerChunkDivisor(44101, 44101), 44101u / 5);
}

TEST(ResamplerCore, StereoToHalfRateMonoKeepsEvenTiesAndAverages) {
    waveChunk src = chunkOf(44100, 16, 2, 1764);
    for (size_t f = 0; f < 1764; ++f) {
        putSample16(src, 2 * f, static_cast<int16_t>(f));           // left: frame index
        putSample16(src, 2 * f + 1, static_cast<int16_t>(-3 * f));  // right
    }
    src.used = src.size;
    waveChunk dst = chunkOf(22050, 16, 1, 882);
    ASSERT_EQ(waveResample(src, dst), 882u * 2);

    // Frames counted from 1: 2, 3, 6, 7, 10, 11, ... are kept; as 0-based indices 1, 2, 5, 6.
    std::vector<int> kept;
    for (size_t i = 0; i < 882; ++i) {
        const size_t expectIndex = (i / 2) * 4 + 1 + (i % 2);
        const int16_t v = sample16(dst, i);
        // left + right = f - 3f = -2f, averaged: -f (exact in integer division).
        ASSERT_EQ(v, static_cast<int16_t>(-static_cast<int>(expectIndex))) << "output frame " << i;
        if (i < 6)
            kept.push_back(static_cast<int>(expectIndex) + 1);
    }
    EXPECT_EQ(kept, (std::vector<int>{2, 3, 6, 7, 10, 11}));
}

TEST(ResamplerCore, NegativeAverageTruncatesTowardZero) {
    waveChunk src = chunkOf(8000, 16, 2, 1);
    putSample16(src, 0, -3);
    putSample16(src, 1, 0);
    src.used = src.size;
    waveChunk dst = chunkOf(8000, 16, 1, 1);
    ASSERT_EQ(waveResample(src, dst), 2u);
    EXPECT_EQ(sample16(dst, 0), -1);
}

TEST(ResamplerCore, UpsamplingRepeatsFramesFiveOrSixTimes) {
    waveChunk src = chunkOf(8000, 16, 1, 320);
    for (size_t f = 0; f < 320; ++f)
        putSample16(src, f, static_cast<int16_t>(f + 1));
    src.used = src.size;
    waveChunk dst = chunkOf(44100, 16, 1, 1764);
    ASSERT_EQ(waveResample(src, dst), 1764u * 2);

    // Output runs through the source frames in order, each repeated 5 or 6 times.
    std::vector<int> copies(321, 0);
    int16_t previous = 0;
    for (size_t i = 0; i < 1764; ++i) {
        const int16_t v = sample16(dst, i);
        ASSERT_GE(v, previous) << "order broken at " << i;
        ASSERT_GE(v, 1);
        ASSERT_LE(v, 320);
        ++copies[v];
        previous = v;
    }
    for (int f = 1; f <= 320; ++f)
        EXPECT_TRUE(copies[f] == 5 || copies[f] == 6) << "frame " << f << ": " << copies[f];

    // Running a second chunk restarts the accumulator: the same result again.
    const std::vector<uint8_t> first = dst.data;
    ASSERT_EQ(waveResample(src, dst), 1764u * 2);
    EXPECT_EQ(dst.data, first);
}

TEST(ResamplerCore, SampleWidthAndChannelConversion) {
    // 16 -> 8 bit: 0, 32767, -32768, -1, 256.
    waveChunk src = chunkOf(8000, 16, 1, 5);
    const int16_t in[] = {0, 32767, -32768, -1, 256};
    std::memcpy(src.data.data(), in, sizeof in);
    src.used = src.size;
    waveChunk dst8 = chunkOf(8000, 8, 1, 5);
    ASSERT_EQ(waveResample(src, dst8), 5u);
    EXPECT_EQ(dst8.data, (std::vector<uint8_t>{128, 255, 0, 127, 129}));

    // 8 -> 16 bit stereo: each byte centred and scaled, written to both channels.
    waveChunk src8 = chunkOf(8000, 8, 1, 3);
    src8.data = {0, 128, 255};
    src8.used = 3;
    waveChunk dst16 = chunkOf(8000, 16, 2, 3);
    ASSERT_EQ(waveResample(src8, dst16), 12u);
    const int16_t expect[] = {-32768, -32768, 0, 0, 32512, 32512};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(sample16(dst16, i), expect[i]) << i;
}

TEST(ResamplerCore, OddChannelCountsFillWholeFrames) {
    // 3 -> 1: the folding never reaches a full level, the frame still gets the average.
    waveChunk src = chunkOf(8000, 16, 3, 2);
    const int16_t in[] = {3, 6, 9, -30, 0, 0};
    std::memcpy(src.data.data(), in, sizeof in);
    src.used = src.size;
    waveChunk mono = chunkOf(8000, 16, 1, 2);
    ASSERT_EQ(waveResample(src, mono), 4u);
    EXPECT_EQ(sample16(mono, 0), 6);
    EXPECT_EQ(sample16(mono, 1), -10);

    // 2 -> 3: every output frame has three samples, none spills into the next frame.
    waveChunk stereo = chunkOf(8000, 16, 2, 2);
    const int16_t st[] = {1, 2, 3, 4};
    std::memcpy(stereo.data.data(), st, sizeof st);
    stereo.used = stereo.size;
    waveChunk three = chunkOf(8000, 16, 3, 2);
    ASSERT_EQ(waveResample(stereo, three), 12u);
    EXPECT_EQ(sample16(three, 0), 1);
    EXPECT_EQ(sample16(three, 1), 2);
    EXPECT_EQ(sample16(three, 3), 3);
    EXPECT_EQ(sample16(three, 4), 4);
}

TEST(ResamplerCore, EqualFormatsCopyAndBadInputGivesNothing) {
    waveChunk src = chunkOf(44100, 16, 2, 1764);
    for (size_t i = 0; i < src.size; ++i)
        src.data[i] = static_cast<uint8_t>(i * 7);
    src.used = src.size;
    waveChunk dst = chunkOf(44100, 16, 2, 1764);
    ASSERT_EQ(waveResample(src, dst), src.size);
    EXPECT_EQ(dst.data, src.data);
    EXPECT_EQ(waveResample(src, src), src.size) << "in place is a no-op copy";

    waveChunk empty = chunkOf(44100, 16, 2, 1764);
    EXPECT_EQ(waveResample(empty, dst), 0u) << "no used bytes";
    waveChunk noRate = chunkOf(0, 16, 2, 10);
    noRate.used = noRate.size;
    EXPECT_EQ(waveResample(noRate, dst), 0u);
    waveChunk noBits = chunkOf(44100, 0, 2, 10);
    EXPECT_EQ(waveResample(noBits, dst), 0u);

    // A destination too small for the conversion is filled, never overrun.
    waveChunk small = chunkOf(48000, 16, 2, 100);
    EXPECT_EQ(waveResample(src, small), 400u);
}

namespace {

using Capture = una::test_support::ChunkCapture;

// A provider's write may find the input's lock busy for a moment; it then retries as the
// next chunk would.
void writeAll(unaMsAcmStreamDevice& device, const uint8_t* data, uint32_t size) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (device.write(data, size) != size)
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "input never accepted the chunk";
}

}  // namespace

TEST(ResamplerDevice, FormatsSizeBothChunks) {
    auto resampler = make<unaWaveResampler>(false, 0);
    EXPECT_FALSE(resampler->setFormat(true, 8000, 1, 16)) << "one side alone is not enough";
    EXPECT_TRUE(resampler->setFormat(false, 44100, 2, 16));
    EXPECT_EQ(resampler->chunkSize.load(), 320u * 2);
    EXPECT_EQ(resampler->dstChunkSize.load(), 1764u * 4);
    EXPECT_EQ(resampler->srcFormat->formatTag, 1);
    EXPECT_EQ(resampler->dstFormat->blockAlign, 4);

    const unaWaveFormat fmt = makePcmFormat(22050, 8, 1);
    EXPECT_TRUE(resampler->setFormat(true, fmt.get()));
    EXPECT_EQ(resampler->chunkSize.load(), 882u);
    EXPECT_NE(resampler->inStream(), nullptr);
    EXPECT_NE(resampler->outStream(), nullptr);
}

TEST(ResamplerDevice, ConvertsWholeChunksOnlyAndInOrder) {
    auto resampler = make<unaWaveResampler>(false, 0);
    resampler->setFormat(true, 44100, 2, 16);
    ASSERT_TRUE(resampler->setFormat(false, 22050, 1, 16));
    Capture capture;
    capture.attach(*resampler);
    ASSERT_EQ(resampler->open(false, 10000, 0), 0u);

    constexpr uint32_t kIn = 7056, kOut = 1764;
    std::vector<uint8_t> audio(kIn * 3);
    for (size_t f = 0; f < audio.size() / 4; ++f) {
        const int16_t left = static_cast<int16_t>(f), right = static_cast<int16_t>(f + 2);
        std::memcpy(audio.data() + 4 * f, &left, 2);
        std::memcpy(audio.data() + 4 * f + 2, &right, 2);
    }
    writeAll(*resampler, audio.data(), kIn / 2);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(capture.count(), 0u) << "half a source chunk gives nothing";
    writeAll(*resampler, audio.data() + kIn / 2, kIn * 3 - kIn / 2);
    ASSERT_TRUE(capture.waitFor(3));
    resampler->close(10000);

    ASSERT_EQ(capture.chunks.size(), 3u);
    for (size_t c = 0; c < 3; ++c) {
        ASSERT_EQ(capture.chunks[c].size(), kOut);
        for (size_t i = 0; i < kOut / 2; ++i) {
            int16_t v;
            std::memcpy(&v, capture.chunks[c].data() + 2 * i, 2);
            const size_t frame = c * 1764 + (i / 2) * 4 + 1 + (i % 2);
            ASSERT_EQ(v, static_cast<int16_t>(frame + 1)) << "chunk " << c << " frame " << i;
        }
    }
    EXPECT_EQ(resampler->outBytes.load(), 3u * kOut);
}

TEST(ResamplerDevice, EqualFormatsPassChunksThroughUnchanged) {
    auto resampler = make<unaWaveResampler>(false, 0);
    resampler->setFormat(true, 8000, 1, 8);
    ASSERT_TRUE(resampler->setFormat(false, 8000, 1, 8));
    Capture capture;
    capture.attach(*resampler);
    ASSERT_EQ(resampler->open(false, 10000, 0), 0u);
    std::vector<uint8_t> audio(320 * 4);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 5 + 1);
    for (size_t at = 0; at < audio.size(); at += 320)
        writeAll(*resampler, audio.data() + at, 320);
    ASSERT_TRUE(capture.waitFor(4));
    resampler->close(10000);
    std::vector<uint8_t> joined;
    for (const auto& c : capture.chunks) {
        EXPECT_EQ(c.size(), 320u);
        joined.insert(joined.end(), c.begin(), c.end());
    }
    EXPECT_EQ(joined, audio);
}

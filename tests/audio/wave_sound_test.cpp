// ctest-labels: threaded sound
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "support/soundPeer.h"

using namespace una;
namespace snd = una::sound;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kChunkFrames = kRate / 25;

#define REQUIRE_SERVER()                                                                     \
    do {                                                                                     \
        if (!snd::serverAvailable())                                                         \
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh"; \
    } while (0)

TEST(WaveInDeviceOnSoundServer, CapturesAToneWithItsFrequencyAndLevel) {
    REQUIRE_SERVER();
    const std::string file = snd::tempPath("device-tone");
    ASSERT_TRUE(snd::writeFile(file, snd::tone(440, 12000, kRate, 6)));
    setenv("PULSE_SOURCE", "radio.monitor", 1);
    snd::PeerProcess player(
        "exec pacat -p --raw -d radio --format=s16le --rate=44100 --channels=2 "
        "--latency-msec=250 < " +
        file);
    // A generous player latency: on a loaded machine a short one underruns and the gaps of
    // silence it leaves in the source would read as a lower pitch.
    ASSERT_TRUE(player.running());

    auto device = make<unaWaveInDevice>();
    ASSERT_TRUE(device->setPcmFormat(kRate, 16, 2));
    std::mutex m;
    std::vector<int16_t> captured;
    size_t chunks = 0, shortChunks = 0;
    device->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard lock(m);
        const auto* s = reinterpret_cast<const int16_t*>(data.data());
        captured.insert(captured.end(), s, s + data.size() / 2);
        ++chunks;
        shortChunks += data.size() != device->chunkSize;
    };
    ASSERT_EQ(device->open(), 0u);
    // A fresh source may hand over its first audio late; wait for 3 s of it, not a fixed time.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        {
            std::lock_guard lock(m);
            if (captured.size() >= 3u * 2 * kRate)
                break;
        }
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(device->getHeaderCount(), unaWaveInDevice::kQueuedBuffers);
    const int64_t position = device->getPosition();
    EXPECT_EQ(device->close(), 0u);
    player.stop();
    std::remove(file.c_str());

    std::lock_guard lock(m);
    EXPECT_EQ(shortChunks, 0u);
    ASSERT_GT(captured.size(), 2u * kRate) << chunks << " chunks";
    EXPECT_GE(position, static_cast<int64_t>(captured.size() / 2));
    std::vector<int16_t> tail(captured.end() - 2 * kRate, captured.end());
    snd::ToneReading t = snd::measureTone(tail, kRate);
    EXPECT_NEAR(t.hz, 440, 5);
    EXPECT_NEAR(t.rms, 12000 / std::sqrt(2.0), 12000 * 0.05);
    std::printf("recorder: %zu chunks of %u bytes\n", chunks, device->chunkSize.load());
}

// Feeds the playback device one chunk per chunk period, as the mixing device does.
TEST(WaveOutDeviceOnSoundServer, PlaysAChunkSequenceCompleteAndInOrder) {
    REQUIRE_SERVER();
    const std::string file = snd::tempPath("device-sequence");
    snd::PeerProcess recorder(
        "exec parec -d tv.monitor --raw --format=s16le --rate=44100 --channels=2 "
        "--latency-msec=10 > " +
        file);
    ASSERT_TRUE(recorder.running());
    std::this_thread::sleep_for(500ms);
    setenv("PULSE_SINK", "tv", 1);

    auto device = make<unaWaveOutDevice>(platform::kWaveMapper, false, false, 10);
    ASSERT_TRUE(device->setPcmFormat(kRate, 16, 2));
    const uint32_t chunk = device->chunkSize;
    ASSERT_EQ(chunk, kChunkFrames * 4);
    ASSERT_EQ(device->open(), 0u);

    // A silent lead-in: the server may drop the first milliseconds of a new stream from the
    // monitor while it mixes the stream in.
    constexpr uint32_t kLeadIn = 3, kNumbered = 50;
    std::vector<int16_t> silence(kChunkFrames * 2, 0);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < kLeadIn + kNumbered; ++i) {
        std::vector<int16_t> frames =
            i < kLeadIn ? silence : snd::numberedFrames((i - kLeadIn) * kChunkFrames, kChunkFrames);
        EXPECT_EQ(device->write(frames.data(), chunk), chunk) << "chunk " << i;
        next += 40ms;
        std::this_thread::sleep_until(next);
    }
    // Two trailing silent chunks push the last numbered one through the pre-fill.
    for (int i = 0; i < 2; ++i) {
        device->write(silence.data(), chunk);
        next += 40ms;
        std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(500ms);
    const int64_t position = device->getPosition();
    EXPECT_EQ(device->close(), 0u);
    std::this_thread::sleep_for(200ms);
    recorder.stop();
    auto recorded = snd::readFile(file);
    std::remove(file.c_str());

    snd::SequenceCheck c = snd::checkSequence(recorded);
    ASSERT_TRUE(c.found) << "nothing reached tv.monitor";
    EXPECT_EQ(c.firstNumber, 0u);
    EXPECT_EQ(c.breaks, 0u);
    EXPECT_EQ(c.frames, kNumbered * kChunkFrames);
    EXPECT_GE(position, static_cast<int64_t>(kNumbered * kChunkFrames));
    EXPECT_EQ(device->inLostBytes, 0u);
}

}  // namespace

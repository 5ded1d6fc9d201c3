// ctest-labels: threaded sound
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "support/audioThread.h"
#include "support/eventually.h"
#include "support/monitorProbe.h"
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
            file,
        snd::PeerProcess::Pace::steady);
    // A generous player latency, and a steady player: on a loaded machine the gaps of silence
    // an underrun leaves in the source would read as a lower pitch.
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
    // A fresh source may hand over its first audio late, and the player may start late on a
    // busy machine: wait for 2.5 s of the tone itself, not a fixed time.
    eventually(
        [&] {
            std::lock_guard lock(m);
            return captured.size() / 2 >= snd::firstSoundFrame(captured) + kRate * 5 / 2;
        },
        20000);
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

// A playback device open on "tv" while a peer records tv.monitor.
class WaveOutDeviceOnSoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SERVER();
        recorder =
            std::make_unique<snd::PeerProcess>(snd::recordCommand("tv.monitor", kRate, file));
        ASSERT_TRUE(recorder->running());
        ASSERT_TRUE(snd::waitRecorderReady(file, "tv")) << "tv.monitor is not recorded";
        setenv("PULSE_SINK", "tv", 1);
        device = make<unaWaveOutDevice>(platform::kWaveMapper, false, false, 10);
        ASSERT_TRUE(device->setPcmFormat(kRate, 16, 2));
        chunk = device->chunkSize;
        ASSERT_EQ(chunk, kChunkFrames * 4);
        ASSERT_EQ(device->open(), 0u);
    }
    void TearDown() override { std::remove(file.c_str()); }
    // Closes the device and returns what tv.monitor heard, once the recorder has got the
    // numbered frames up to `lastFrame` (or has had ample time for them).
    std::vector<int16_t> finish(uint32_t lastFrame, bool skipSilence = false) {
        EXPECT_EQ(device->close(), 0u);
        snd::waitRecording(file, [&](const std::vector<int16_t>& heard) {
            const snd::SequenceCheck c = snd::checkSequence(heard, skipSilence);
            return c.found && c.firstNumber + c.frames >= lastFrame;
        });
        recorder->stop();
        return snd::readFile(file);
    }
    // Waits until the device reports that `frames` have been heard.
    int64_t waitHeard(int64_t frames) {
        int64_t position = 0;
        eventually([&] { return (position = device->getPosition()) >= frames; }, 10000);
        return position;
    }

    const std::string file = snd::tempPath("device-playback");
    std::unique_ptr<snd::PeerProcess> recorder;
    unaPtr<unaWaveOutDevice> device;
    uint32_t chunk = 0;
};

// Feeds the playback device one chunk per chunk period, as the mixing device does.
TEST_F(WaveOutDeviceOnSoundServer, PlaysAChunkSequenceCompleteAndInOrder) {
    // A silent lead-in: the server may drop the first milliseconds of a new stream from the
    // monitor while it mixes the stream in.
    constexpr uint32_t kLeadIn = 3, kNumbered = 50;
    std::vector<int16_t> silence(kChunkFrames * 2, 0);
    runAsAudioThread([&] {
        auto next = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < kLeadIn + kNumbered; ++i) {
            std::vector<int16_t> frames =
                i < kLeadIn ? silence
                            : snd::numberedFrames((i - kLeadIn) * kChunkFrames, kChunkFrames);
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
    });
    const int64_t position = waitHeard(int64_t{kLeadIn + kNumbered} * kChunkFrames);
    const auto recorded = finish(kNumbered * kChunkFrames);

    snd::SequenceCheck c = snd::checkSequence(recorded);
    ASSERT_TRUE(c.found) << "nothing reached tv.monitor";
    EXPECT_EQ(c.firstNumber, 0u);
    EXPECT_EQ(c.breaks, 0u);
    EXPECT_EQ(c.frames, kNumbered * kChunkFrames);
    EXPECT_GE(position, static_cast<int64_t>(kNumbered * kChunkFrames));
    EXPECT_EQ(device->inLostBytes, 0u);
}

// Bursts with gaps: the card runs dry after each, and the next burst must play in order.
TEST_F(WaveOutDeviceOnSoundServer, RunningDryIsRecoveredCountedAndKeepsTheOrder) {
    // Each burst is as long as the card's buffer and leads with silence (the server may drop
    // the first milliseconds of a stream that starts again from its monitor).
    constexpr uint32_t kBursts = 6, kNumberedPerBurst = 1;
    const std::vector<int16_t> silence(kChunkFrames * 2, 0);
    uint32_t frame = 0;
    for (uint32_t b = 0; b < kBursts; ++b) {
        EXPECT_EQ(device->write(silence.data(), chunk), chunk);
        for (uint32_t i = 0; i < kNumberedPerBurst; ++i) {
            auto frames = snd::numberedFrames(frame, kChunkFrames);
            frame += kChunkFrames;
            EXPECT_EQ(device->write(frames.data(), chunk), chunk);
        }
        std::this_thread::sleep_for(450ms);
    }
    const uint32_t xruns = device->xrunCount();
    const auto recorded = finish(frame, true);

    snd::SequenceCheck c = snd::checkSequence(recorded, true);
    ASSERT_TRUE(c.found) << "nothing reached tv.monitor";
    EXPECT_EQ(c.firstNumber, 0u);
    EXPECT_EQ(c.breaks, 0u);
    EXPECT_EQ(c.frames, frame);
    EXPECT_GE(xruns, 1u) << "the sound server reports an underrun on every second restart";
    EXPECT_EQ(device->xrunCount(), xruns);
    std::printf("player: %u underruns recovered over %u dry spells\n", xruns, kBursts);
}

// A card unplugged while both sides run: they must stop cleanly and close, never hang.
TEST(WaveDevicesOnSoundServer, ASinkThatVanishesStopsBothSidesCleanly) {
    REQUIRE_SERVER();
    const int module = snd::loadModule("module-null-sink sink_name=unplugged");
    ASSERT_GE(module, 0) << "could not load a null sink";
    setenv("PULSE_SINK", "unplugged", 1);
    setenv("PULSE_SOURCE", "unplugged.monitor", 1);
    auto in = make<unaWaveInDevice>();
    auto out = make<unaWaveOutDevice>(platform::kWaveMapper, false, false, 10);
    ASSERT_TRUE(in->setPcmFormat(kRate, 16, 2));
    ASSERT_TRUE(out->setPcmFormat(kRate, 16, 2));
    std::atomic<uint32_t> chunks{0};
    in->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        if (!data.empty())
            ++chunks;
    };
    const MmResult inOpened = in->open();
    const MmResult outOpened = out->open();
    setenv("PULSE_SINK", "tv", 1);
    setenv("PULSE_SOURCE", "radio.monitor", 1);
    ASSERT_EQ(inOpened, 0u);
    ASSERT_EQ(outOpened, 0u);

    const std::vector<int16_t> tone = snd::tone(440, 8000, kRate, 0.04);
    const uint32_t chunk = out->chunkSize;
    // A fresh null sink may hand its monitor audio late: unplug once the recorder got some
    // (or after 3 s), then keep the player fed for another second.
    auto next = std::chrono::steady_clock::now();
    const auto giveUp = next + 3s;
    uint32_t before = 0;
    int afterRemoval = -1;
    while (afterRemoval < 25) {
        if (afterRemoval < 0 && (chunks > 0 || std::chrono::steady_clock::now() > giveUp)) {
            before = chunks;
            ASSERT_TRUE(snd::unloadModule(module));
            afterRemoval = 0;
        }
        out->write(tone.data(), chunk);
        next += 40ms;
        std::this_thread::sleep_until(next);
        if (afterRemoval >= 0)
            ++afterRemoval;
    }
    EXPECT_GT(before, 0u) << "the recorder ran before the sink went";
    EXPECT_EQ(in->close(), 0u);
    EXPECT_EQ(out->close(), 0u);
    EXPECT_FALSE(in->isOpen());
    EXPECT_FALSE(out->isOpen());
    EXPECT_EQ(in->getHeaderCount(), 0u);
    EXPECT_EQ(out->getHeaderCount(), 0u);
    std::printf("unplugged: %u chunks recorded before, %u in all\n", before, chunks.load());
}

}  // namespace

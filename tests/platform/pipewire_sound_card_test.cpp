// ctest-labels: threaded sound
// PipeWire's own backend on the private PipeWire: the same device list as the pulse service
// gives, a click played into a sink and recorded from its monitor where both streams' clock
// readings place it, and a restarted server losing the streams without a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/pipewireSoundCard.h"
#include "platform/pulseSoundCard.h"
#include "support/audioThread.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"

using namespace platform;
namespace snd = una::sound;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kRate = 48000;  // the null sinks' own: what passes them is bit for bit
constexpr uint32_t kChunkFrames = kRate / 25;
constexpr uint32_t kChunkBytes = kChunkFrames * 4;

WaveFormatEx pcm16() {
    WaveFormatEx f{};
    f.formatTag = kWaveFormatPcm;
    f.channels = 2;
    f.samplesPerSec = kRate;
    f.bitsPerSample = 16;
    f.blockAlign = 4;
    f.avgBytesPerSec = 4 * kRate;
    return f;
}

#define REQUIRE_PIPEWIRE()                                                        \
    do {                                                                          \
        if (!snd::serverAvailable() || !snd::serverResamples())                   \
            GTEST_SKIP() << "no private PipeWire; test.sh runs this in its stage"; \
    } while (0)

struct Buffers {
    Buffers(size_t count, uint32_t bytes) : memory(count, std::vector<uint8_t>(bytes)) {
        for (size_t i = 0; i < count; ++i) {
            list.push_back(std::make_unique<WaveBuffer>());
            list[i]->data = memory[i].data();
            list[i]->bufferLength = bytes;
        }
    }
    bool allDone() const {
        return std::all_of(list.begin(), list.end(), [](const auto& b) {
            return b->isFlagSet(kWhdrDone) && !b->isFlagSet(kWhdrInQueue);
        });
    }
    std::vector<std::vector<uint8_t>> memory;
    std::vector<std::unique_ptr<WaveBuffer>> list;
};

int32_t idOf(SoundCard& card, WaveDirection dir, const std::string& key) {
    const auto list = card.deviceList(dir);
    for (size_t i = 1; i < list.size(); ++i)
        if (list[i].key == key)
            return static_cast<int32_t>(i - 1);
    return -2;
}

template <class Pred>
bool waitFor(Pred pred, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Least-squares line through the clock readings: the monotonic time of a frame.
struct ClockLine {
    explicit ClockLine(const std::vector<StreamTiming>& r) {
        double st = 0, sf = 0, stt = 0, stf = 0;
        for (const auto& x : r) {
            const double t = x.monotonicNs * 1e-9, f = static_cast<double>(x.frames);
            st += t, sf += f, stt += t * t, stf += t * f;
        }
        const double n = static_cast<double>(r.size());
        rate = (n * stf - st * sf) / (n * stt - st * st);
        offset = (sf - rate * st) / n;
    }
    double secondsOf(double frame) const { return (frame - offset) / rate; }
    double rate = 0, offset = 0;
};

TEST(PipeWireSoundCard, ListsTheDevicesAsThePulseServiceDoes) {
    REQUIRE_PIPEWIRE();
    auto card = PipeWireSoundCard::connect(2000);
    auto pulse = PulseSoundCard::connect(2000);
    ASSERT_TRUE(card && pulse);
    EXPECT_EQ(card->backendName().rfind("PipeWire", 0), 0u) << card->backendName();
    // A saved choice (the key) and what the user reads must not change with the backend.
    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        auto entries = [](const std::vector<DeviceInfo>& list) {
            std::set<std::tuple<std::string, std::string, bool, bool>> out;
            for (const auto& d : list)
                out.insert({d.key, d.description, d.monitor, d.isDefault});
            return out;
        };
        const auto list = card->deviceList(dir);
        EXPECT_EQ(entries(list), entries(pulse->deviceList(dir)));
        EXPECT_EQ(card->deviceCount(dir) + 1, list.size());
    }
    EXPECT_EQ(card->deviceList(WaveDirection::output)[0].description, "Default (TV speakers)");
    EXPECT_EQ(card->deviceList(WaveDirection::input)[0].description,
              "Default (Monitor of Radio input)");
    std::unique_ptr<WaveStream> stream;
    EXPECT_EQ(card->open(WaveDirection::output, 99, pcm16(), nullptr, kCallbackEvent, stream),
              kMmBadDeviceId);
}

// One clock: a click played into "tv" at output frame m reaches "tv.monitor" at input frame
// k; both streams' readings must place those frames at the same moment.
TEST(PipeWireSoundCard, AClickIsRecordedFromTheMonitorWhereBothClocksSayItIsHeard) {
    REQUIRE_PIPEWIRE();
    // A graph that drops a cycle while the clocks are read bends both lines: a probe tells.
    snd::MonitorProbe graph("tv.monitor", kRate);
    ASSERT_TRUE(graph.start());
    auto card = PipeWireSoundCard::connect(2000);
    ASSERT_TRUE(card);
    auto inEvent = std::make_shared<Event>(false, false);
    auto outEvent = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card->open(WaveDirection::input, idOf(*card, WaveDirection::input, "tv.monitor"),
                         pcm16(), inEvent, kCallbackEvent, in),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::output, idOf(*card, WaveDirection::output, "tv"), pcm16(),
                         outEvent, kCallbackEvent, out),
              kMmNoError);
    EXPECT_EQ(out->deviceState().deviceKey, "tv");
    Buffers inSet(5, kChunkBytes), outSet(4, kChunkBytes);
    std::deque<size_t> inOrder, outOrder;
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(in->prepare(*inSet.list[i]), kMmNoError);
        ASSERT_EQ(in->addBuffer(*inSet.list[i]), kMmNoError);
        inOrder.push_back(i);
    }
    ASSERT_EQ(in->start(), kMmNoError);

    constexpr uint32_t kClickOffset = 1234;
    constexpr uint32_t kNoClickYet = UINT32_MAX;
    uint32_t clickChunk = kNoClickYet, written = 0;
    auto play = [&](size_t i) {
        std::memset(outSet.memory[i].data(), 0, kChunkBytes);
        if (written++ == clickChunk) {
            auto* s = reinterpret_cast<int16_t*>(outSet.memory[i].data());
            s[kClickOffset * 2] = s[kClickOffset * 2 + 1] = 30000;
        }
        ASSERT_EQ(out->write(*outSet.list[i]), kMmNoError);
        outOrder.push_back(i);
    };
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(out->prepare(*outSet.list[i]), kMmNoError);
        play(i);
    }
    std::vector<int16_t> samples;
    std::vector<StreamTiming> inReadings, outReadings;
    double readingsFrom = 0;
    una::runAsAudioThread([&] {
        auto nextReading = Clock::now();
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        auto readingsEnd = deadline;
        while (Clock::now() < readingsEnd) {
            waitAny(std::array<Event*, 2>{inEvent.get(), outEvent.get()}, 20);
            while (inSet.list[inOrder.front()]->isFlagSet(kWhdrDone)) {
                WaveBuffer& b = *inSet.list[inOrder.front()];
                const auto* s = reinterpret_cast<const int16_t*>(b.data);
                samples.insert(samples.end(), s, s + b.bytesRecorded / 2);
                ASSERT_EQ(in->addBuffer(b), kMmNoError);
                inOrder.push_back(inOrder.front());
                inOrder.pop_front();
            }
            if (clickChunk == kNoClickYet && samples.size() / 2 >= kRate / 2) {
                clickChunk = written + 5;
                readingsEnd = Clock::now() + std::chrono::milliseconds(2500);
                readingsFrom = snd::probeNow();
            }
            while (!outOrder.empty() && outSet.list[outOrder.front()]->isFlagSet(kWhdrDone)) {
                const size_t i = outOrder.front();
                outOrder.pop_front();
                play(i);
            }
            if (clickChunk != kNoClickYet && Clock::now() >= nextReading) {
                StreamTiming t;
                ASSERT_EQ(in->timing(t), kMmNoError);
                inReadings.push_back(t);
                ASSERT_EQ(out->timing(t), kMmNoError);
                outReadings.push_back(t);
                nextReading = Clock::now() + std::chrono::milliseconds(50);
            }
            if (Clock::now() > deadline)
                break;
        }
    });
    const double readingsTo = snd::probeNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the probe's line needs it
    if (const double lost = graph.timeLost(readingsFrom, readingsTo); !(lost <= snd::kGraphStall))
        GTEST_SKIP() << "not judged: the graph lost " << lost * 1000 << " ms";
    EXPECT_EQ(in->xrunCount() + out->xrunCount(), 0u);
    in.reset();
    out.reset();
    ASSERT_NE(clickChunk, kNoClickYet) << "tv.monitor handed over no audio";
    const uint64_t clickFrame = uint64_t{clickChunk} * kChunkFrames + kClickOffset;
    size_t heardAt = samples.size();
    for (size_t k = 0; k < samples.size(); k += 2)
        if (std::abs(samples[k]) > 15000) {
            heardAt = k / 2;
            break;
        }
    ASSERT_LT(heardAt, samples.size()) << "the click never reached the monitor";
    const ClockLine inLine(inReadings), outLine(outReadings);
    EXPECT_NEAR(inLine.rate, kRate, kRate * 0.002);
    EXPECT_NEAR(outLine.rate, kRate, kRate * 0.002);
    const double differenceMs =
        (inLine.secondsOf(static_cast<double>(heardAt)) - outLine.secondsOf(clickFrame)) * 1000;
    std::printf("click: played at output frame %llu, recorded at input frame %zu; the clock "
                "readings differ by %.2f ms\n",
                static_cast<unsigned long long>(clickFrame), heardAt, differenceMs);
    EXPECT_NEAR(differenceMs, 0.0, 2.0);
}

TEST(PipeWireSoundCard, ARestartedServerLosesTheStreamsAndIsFoundAgain) {
    REQUIRE_PIPEWIRE();
    auto card = PipeWireSoundCard::connect(2000);
    ASSERT_TRUE(card);
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card->open(WaveDirection::input, kWaveMapper, pcm16(), event, kCallbackEvent, in),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::output, kWaveMapper, pcm16(), event, kCallbackEvent, out),
              kMmNoError);
    Buffers inSet(5, kChunkBytes), outSet(4, kChunkBytes);
    for (auto& b : inSet.list) {
        ASSERT_EQ(in->prepare(*b), kMmNoError);
        ASSERT_EQ(in->addBuffer(*b), kMmNoError);
    }
    for (auto& b : outSet.list) {
        ASSERT_EQ(out->prepare(*b), kMmNoError);
        ASSERT_EQ(out->write(*b), kMmNoError);
    }
    ASSERT_EQ(in->start(), kMmNoError);
    ASSERT_EQ(snd::runCommand("bash -c '. " UNA_SOURCE_DIR
                              "/scripts/sound-server.sh && pipewire_server_restart'"),
              0);
    EXPECT_TRUE(waitFor([&] { return in->isLost() && out->isLost(); }, 10000));
    EXPECT_TRUE(in->deviceState().serverGone);
    EXPECT_TRUE(out->deviceState().serverGone);
    EXPECT_TRUE(inSet.allDone());
    EXPECT_TRUE(outSet.allDone());
    EXPECT_EQ(out->write(*outSet.list[0]), kMmNoDriver);
    StreamTiming t;
    EXPECT_EQ(out->timing(t), kMmNoDriver);
    EXPECT_EQ(in->close(), kMmNoError);
    EXPECT_EQ(out->close(), kMmNoError);

    EXPECT_TRUE(waitFor([&] { return idOf(*card, WaveDirection::output, "tv") >= 0; }, 10000))
        << "the card connects again";
    std::unique_ptr<WaveStream> again;
    ASSERT_EQ(card->open(WaveDirection::output, kWaveMapper, pcm16(), event, kCallbackEvent,
                         again),
              kMmNoError);
    ASSERT_EQ(again->write(*outSet.list[0]), kMmNoError);
    EXPECT_TRUE(waitFor([&] { return outSet.list[0]->isFlagSet(kWhdrDone); }, 10000));
}

}  // namespace

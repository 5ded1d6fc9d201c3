// ctest-labels: threaded sound
// PipeWire's own backend on the private PipeWire: the same device list as the pulse service
// gives, a click played into a sink and recorded from its monitor where both streams' clock
// readings place it, and a restarted server losing the streams without a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/pipewireSoundCard.h"
#include "platform/pulseSoundCard.h"
#include "support/audioThread.h"
#include "support/clickRoundTrip.h"
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

#define REQUIRE_PIPEWIRE()                                                         \
    do {                                                                           \
        if (!snd::serverAvailable() || !snd::serverResamples())                    \
            GTEST_SKIP() << "no private PipeWire; test.sh runs this in its stage"; \
    } while (0)

using Buffers = snd::TestBuffers;

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

// A desktop's PipeWire is reached in its own protocol; its PulseAudio service only when asked
// for, or when PULSE_SERVER names a server that may not be this session's PipeWire.
TEST(PipeWireSoundCard, IsTheChoiceOnPipeWireUnlessThePulseServiceIsAskedFor) {
    REQUIRE_PIPEWIRE();
    const char* forced = std::getenv("UNA_SOUND_BACKEND");
    const std::string forcedBefore = forced ? forced : "";
    auto chosen = [](const char* backend, const char* server) {
        backend ? setenv("UNA_SOUND_BACKEND", backend, 1) : unsetenv("UNA_SOUND_BACKEND");
        server ? setenv("PULSE_SERVER", server, 1) : unsetenv("PULSE_SERVER");
        setSoundCard(nullptr);
        return soundCard()->backendName();
    };
    const std::string service =
        "unix:" + std::string(std::getenv("XDG_RUNTIME_DIR")) + "/pulse/native";
    EXPECT_EQ(chosen(nullptr, nullptr).rfind("PipeWire", 0), 0u);
    EXPECT_NE(chosen("pulse", nullptr).find("on PipeWire"), std::string::npos);
    EXPECT_NE(chosen(nullptr, service.c_str()).find("on PipeWire"), std::string::npos);
    EXPECT_EQ(chosen("pipewire", service.c_str()).rfind("PipeWire", 0), 0u);
    unsetenv("PULSE_SERVER");
    forced ? setenv("UNA_SOUND_BACKEND", forcedBefore.c_str(), 1) : unsetenv("UNA_SOUND_BACKEND");
    setSoundCard(nullptr);
}

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
    snd::ClickRoundTrip run;  // its buffers outlive the streams
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card->open(WaveDirection::input, idOf(*card, WaveDirection::input, "tv.monitor"),
                         pcm16(), inEvent, kCallbackEvent, in),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::output, idOf(*card, WaveDirection::output, "tv"), pcm16(),
                         outEvent, kCallbackEvent, out),
              kMmNoError);
    EXPECT_EQ(out->deviceState().deviceKey, "tv");
    ASSERT_NO_FATAL_FAILURE(snd::playAndRecordClick(*in, *out, *inEvent, *outEvent, kRate, run));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the probe's line needs it
    if (const double lost = graph.timeLost(run.readingsFrom, run.readingsTo);
        !(lost <= snd::kGraphStall))
        GTEST_SKIP() << "not judged: the graph lost " << lost * 1000 << " ms";
    EXPECT_EQ(in->xrunCount() + out->xrunCount(), 0u);
    in.reset();
    out.reset();
    snd::expectClickPlacedAlike(run, kRate);
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
    ASSERT_EQ(card->open(WaveDirection::output, kWaveMapper, pcm16(), event, kCallbackEvent, again),
              kMmNoError);
    ASSERT_EQ(again->write(*outSet.list[0]), kMmNoError);
    EXPECT_TRUE(waitFor([&] { return outSet.list[0]->isFlagSet(kWhdrDone); }, 10000));
}

}  // namespace

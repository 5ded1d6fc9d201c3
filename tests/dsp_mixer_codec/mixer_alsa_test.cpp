// ctest-labels: sound
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp_mixer_codec/unaMsMixer.h"
#include "platform/alsaMixer.h"
#include "platform/alsaSoundCard.h"
#include "platform/soundCard.h"
#include "support/soundPeer.h"

using namespace una;
using namespace platform;
namespace snd = una::sound;

namespace {

std::string output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// The mixer of ALSA's default control device, which the test server's plugin provides.
struct PulseMixer : ::testing::Test {
    unaPtr<unaMsMixerSystem> system;
    int32_t index = -1;
    int32_t inDest = -1, outDest = -1;
    std::vector<uint32_t> told;

    void SetUp() override {
        if (!snd::serverAvailable())
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
        ASSERT_EQ(restoreServer(), 0);
        system = make<unaMsMixerSystem>(true, std::make_shared<AlsaAudioMixer>());
        for (int32_t i = 0; i < system->getMixerCount(); ++i) {
            system->selectMixer(i);
            if (system->getMixerName() == L"PulseAudio")
                index = i;
        }
        ASSERT_GE(index, 0) << "no PulseAudio mixer among " << system->getMixerCount();
        ASSERT_TRUE(system->selectMixer(index, [this](uint32_t id) { told.push_back(id); }));
        inDest = system->getDestinationIndex(false, 0);
        outDest = system->getDestinationIndex(true, 0);
    }

    // Later sound tests record and play through the same sink and source.
    void TearDown() override {
        if (snd::serverAvailable()) {
            EXPECT_EQ(restoreServer(), 0);
        }
    }

    static int restoreServer() {
        return snd::runCommand(
            "pactl set-source-volume @DEFAULT_SOURCE@ 100% && "
            "pactl set-source-mute @DEFAULT_SOURCE@ 0 && "
            "pactl set-sink-volume @DEFAULT_SINK@ 100% && pactl set-sink-mute @DEFAULT_SINK@ 0");
    }

    // Waits for a notification and dispatches it; false when none came in time.
    bool waitForNotification(int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            auto fds = system->notificationDescriptors();
            if (fds.empty())
                return false;
            if (::poll(fds.data(), fds.size(), 100) > 0 && system->dispatchNotifications() > 0)
                return true;
        }
        return false;
    }

    // Dispatches notifications until one has named the control and `reached` holds; false
    // after timeoutMs. Notifications of earlier changes (the restoring of the server before
    // the test) may still be on their way on a busy machine and come first.
    template <class Pred>
    bool waitForChange(uint32_t controlId, Pred reached, int timeoutMs = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (std::find(told.begin(), told.end(), controlId) != told.end() && reached())
                return true;
            waitForNotification(100);
        }
        return false;
    }
};

TEST_F(PulseMixer, ShowsMasterAndCaptureAsTheTwoDestinations) {
    EXPECT_EQ(system->getLineCount(), 2);
    EXPECT_EQ(outDest, 0);
    EXPECT_EQ(inDest, 1);
    EXPECT_EQ(system->getDestinationName(inDest, false), L"Recording");
    EXPECT_EQ(system->getDestinationName(outDest, false), L"Playback");
    EXPECT_EQ(system->getConnectionCount(inDest), 0);
    EXPECT_EQ(system->getConnectionCount(outDest), 0);
    EXPECT_GE(system->getVolumeControlId(inDest, -1), 1);
    EXPECT_GE(system->getMuteControlId(inDest, -1), 1);
    EXPECT_GE(system->getVolumeControlId(outDest, -1), 1);
    EXPECT_NE(system->getVolumeControlId(inDest, -1), system->getVolumeControlId(outDest, -1));
    EXPECT_EQ(system->getLineVolume(inDest, -1), 100);
    EXPECT_EQ(system->getLineMute(inDest, -1), 0);
    EXPECT_EQ(system->getRecordingSource(), -1);
    auto* volume = system->getControl(inDest, -1, kMixerControlClassFader, kMixerControlTypeVolume);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->record().maximum, 65536u);
    EXPECT_EQ(volume->detailsChannels(), 2u);  // the plugin's volume is per channel
}

TEST_F(PulseMixer, RecordsFromTheDefaultDevice) {
    // The server's mixer belongs to the server's default source, wherever it is in the list.
    const auto list = soundCard()->deviceList(WaveDirection::input);
    int32_t expected = -1;
    for (size_t i = 1; i < list.size(); ++i)
        if (list[i].isDefault)
            expected = static_cast<int32_t>(i) - 1;
    ASSERT_GE(expected, 0);
    EXPECT_EQ(system->getWaveDeviceIndex(true, false), expected);
    EXPECT_EQ(system->getMixerIdOfWaveDevice(expected, true), index);
    EXPECT_EQ(system->getWaveDeviceIndex(true, true), -1);  // it is also the preferred device
}

TEST_F(PulseMixer, RecordingVolumeAndMuteReachTheServer) {
    ASSERT_TRUE(system->setLineVolume(inDest, -1, 50));
    EXPECT_NE(output("pactl get-source-volume @DEFAULT_SOURCE@").find("/  50% /"),
              std::string::npos)
        << output("pactl get-source-volume @DEFAULT_SOURCE@");
    EXPECT_NE(output("amixer -D pulse sget Capture").find("[50%]"), std::string::npos);
    EXPECT_EQ(system->getLineVolume(inDest, -1), 50);

    ASSERT_TRUE(system->setLineMute(inDest, -1, true));
    EXPECT_NE(output("pactl get-source-mute @DEFAULT_SOURCE@").find("yes"), std::string::npos);
    EXPECT_EQ(system->getLineMute(inDest, -1), 1);
    ASSERT_TRUE(system->setLineMute(inDest, -1, false));
    EXPECT_NE(output("pactl get-source-mute @DEFAULT_SOURCE@").find("no"), std::string::npos);

    ASSERT_TRUE(system->setLineVolume(outDest, -1, 25));
    EXPECT_NE(output("pactl get-sink-volume @DEFAULT_SINK@").find("/  25% /"), std::string::npos);
}

TEST_F(PulseMixer, ChangesByOtherProgramsArriveWithTheirControlIds) {
    const auto inVolume = static_cast<uint32_t>(system->getVolumeControlId(inDest, -1));
    const auto outMute = static_cast<uint32_t>(system->getMuteControlId(outDest, -1));
    while (waitForNotification(300)) {
    }
    told.clear();

    ASSERT_EQ(snd::runCommand("pactl set-source-volume @DEFAULT_SOURCE@ 30%"), 0);
    EXPECT_TRUE(waitForChange(inVolume, [&] { return system->getLineVolume(inDest, -1) == 30; }))
        << "volume " << system->getLineVolume(inDest, -1) << ", " << told.size() << " told";

    told.clear();
    ASSERT_EQ(snd::runCommand("amixer -q -D pulse sset Master mute"), 0);
    EXPECT_TRUE(waitForChange(outMute, [&] { return system->getLineMute(outDest, -1) == 1; }))
        << "mute " << system->getLineMute(outDest, -1) << ", " << told.size() << " told";

    // Once read, nothing stays pending: a watcher would otherwise spin. Late notifications of
    // the changes may still come, but then the descriptors fall quiet.
    auto fds = system->notificationDescriptors();
    bool quiet = false;
    for (int round = 0; round < 100 && !quiet; ++round) {
        ::usleep(100000);
        system->dispatchNotifications();
        quiet = ::poll(fds.data(), fds.size(), 0) == 0;
    }
    EXPECT_TRUE(quiet);
}

}  // namespace

// ctest-labels: sound
// Listening to the TV as a user sets it up: one stream carries the radio on its left channel
// and the TV, the same stadium a known time later under another commentator, on its right;
// two sources of the private sound server take one channel each, so both inputs hear it on
// one time base. The headless program, started with the wrong delay and --sync-from the TV's
// source, must set the delay to the TV's lag.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/soundPeer.h"

namespace snd = una::sound;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = UNA_BINARY_DIR "/app/ruzizavuvodideza";
constexpr uint32_t kRate = 16000;
constexpr double kLagSeconds = 3.217;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Crowd-like noise whose loudness swells and falls every 50-300 ms.
std::vector<float> stadium(std::mt19937& random, size_t frames) {
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::uniform_real_distribution<float> level(0.03f, 0.3f);
    std::uniform_int_distribution<size_t> span(kRate / 20, kRate * 3 / 10);
    std::vector<float> out(frames);
    for (size_t i = 0; i < frames;) {
        const size_t end = std::min(frames, i + span(random));
        const float gain = level(random);
        for (; i < end; ++i)
            out[i] = gain * noise(random);
    }
    return out;
}

int16_t sample(float v) {
    return static_cast<int16_t>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
}

// The id --list-devices gives the recording device of that key.
int recordingId(const std::string& key) {
    const std::string list = snd::commandOutput("'" + kProgram + "' --list-devices");
    const size_t recording = list.find("Recording devices");
    std::smatch found;
    const std::string part = recording == std::string::npos ? "" : list.substr(recording);
    if (std::regex_search(part, found, std::regex("\\n\\s+(-?\\d+)  [^\\n]*\\[" + key + "\\]")))
        return std::stoi(found[1]);
    return -100;
}

// The stream's sink and the two sources, one channel each, for the length of a test.
class SyncOnSoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!snd::serverAvailable())
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
        sink =
            snd::loadModule("module-null-sink " + snd::nullSinkArguments("both", "Radio and TV") +
                            " channels=2 channel_map=front-left,front-right");
        left = snd::loadModule(
            "module-remap-source source_name=radioL master=both.monitor channels=1 "
            "master_channel_map=front-left channel_map=mono");
        right = snd::loadModule(
            "module-remap-source source_name=tvR master=both.monitor channels=1 "
            "master_channel_map=front-right channel_map=mono");
        ASSERT_TRUE(sink >= 0 && left >= 0 && right >= 0);
        radioId = recordingId("radioL");
        tvId = recordingId("tvR");
        ASSERT_GE(radioId, 0);
        ASSERT_GE(tvId, 0);
    }
    void TearDown() override {
        for (int module : {right, left, sink})
            snd::unloadModule(module);
        for (const std::string& f : {out, settings})
            std::remove(f.c_str());
    }
    // The program listening to the TV on tvR, after a wrong delay of 1 s.
    std::unique_ptr<snd::PeerProcess> startProgram() {
        auto program = std::make_unique<snd::PeerProcess>(
            "exec '" + kProgram + "' --headless --delay 1 --in " + std::to_string(radioId) +
            " --out -1 --sync-from " + std::to_string(tvId) +
            " --no-save --duration 60 --settings '" + settings + "' < /dev/null > '" + out +
            "' 2>&1");
        waitFor("Listening to the TV", 10s);
        return program;
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (readText(out).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    int sink = -1, left = -1, right = -1;
    int radioId = -1, tvId = -1;
    const std::string out = snd::tempPath("sync-out");
    const std::string settings = snd::tempPath("sync-settings") + ".ini";
};

TEST_F(SyncOnSoundServer, TheDelayBecomesTheLagOfTheTvHeardOnASecondInput) {
    std::mt19937 random(22);
    const size_t frames = kRate * 45;
    const size_t lag = static_cast<size_t>(std::lround(kLagSeconds * kRate));
    const std::vector<float> radio = stadium(random, frames);
    const std::vector<float> other = stadium(random, frames);
    std::vector<int16_t> both(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        both[2 * i] = sample(radio[i]);
        both[2 * i + 1] = sample(0.25f * other[i] + (i >= lag ? 0.6f * radio[i - lag] : 0.0f));
    }
    const std::string file = snd::tempPath("sync-both");
    ASSERT_TRUE(snd::writeFile(file, both));

    const auto program = startProgram();
    snd::PeerProcess player(
        "exec pacat -p --raw --format=s16le --rate=16000 --channels=2 -d both '" + file + "'");
    // The first measurement needs a window of 30 s of the TV; the run ends once it is applied.
    EXPECT_TRUE(waitFor("delay set to", 50s));
    std::this_thread::sleep_for(1100ms);  // one more status line
    program->stop();
    const std::string said = readText(out);
    std::smatch found;
    ASSERT_TRUE(std::regex_search(said, found, std::regex("delay set to (\\d+\\.\\d+) s"))) << said;
    EXPECT_NEAR(std::stod(found[1]), kLagSeconds, 0.02) << said;
    EXPECT_NE(said.find("TV: Last measurement: "), std::string::npos) << said;
    EXPECT_NE(said.find("follow off"), std::string::npos) << said;

    player.stop();
    std::remove(file.c_str());
}

TEST_F(SyncOnSoundServer, ATvInputThatGoesAwayIsSaidAndTheDelayStays) {
    const auto program = startProgram();
    ASSERT_TRUE(waitFor("] Running", 10s)) << readText(out);
    ASSERT_TRUE(snd::unloadModule(right));
    right = -1;
    EXPECT_TRUE(waitFor("went away", 10s)) << readText(out);
    std::this_thread::sleep_for(1100ms);
    program->stop();
    const std::string said = readText(out);
    EXPECT_NE(said.find("went away; the delay stays as it is"), std::string::npos) << said;
    EXPECT_EQ(said.find("delay set to"), std::string::npos) << said;
    // The radio goes on being delayed as before.
    EXPECT_NE(said.substr(said.rfind("went away")).find("Running, delay 1.0 s"), std::string::npos)
        << said;
}

}  // namespace

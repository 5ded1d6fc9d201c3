// The ALSA backend on a box without a sound server: the lists and both directions, on PCMs
// this test's own ALSA configuration defines (the machine may have no sound card at all).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/alsaSoundCard.h"
#include "support/soundPeer.h"

using namespace platform;
namespace snd = una::sound;

namespace {

constexpr uint32_t kRate = 44100;
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

// Writes the configuration and points ALSA (and a sound server client) at it for the whole
// test program: ALSA reads the variable when it loads its configuration.
class OwnAlsaConfiguration : public ::testing::Environment {
  public:
    void SetUp() override {
        dir = snd::tempPath("alsa");
        std::filesystem::create_directories(dir);
        radioFile = dir + "/radio.raw";
        tvFile = dir + "/tv.raw";
        ASSERT_TRUE(snd::writeFile(radioFile, snd::numberedFrames(0, kRate)));
        std::ofstream conf(dir + "/asound.conf");
        conf << "</usr/share/alsa/alsa.conf>\n"
             << "pcm.!default { type plug slave.pcm \"tvspeakers\" }\n"
             << "pcm.tvspeakers { type file slave.pcm \"null\" file \"" << tvFile
             << "\" format \"raw\" hint { show on description \"TV speakers\" } }\n"
             << "pcm.radioin { type file slave.pcm \"null\" file \"/dev/null\" infile \""
             << radioFile << "\" format \"raw\" hint { show on description \"Radio input\" } }\n";
        conf.close();
        setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
        // No server answers here, whatever the machine runs.
        setenv("PULSE_SERVER", ("unix:" + dir + "/no-server").c_str(), 1);
        unsetenv("UNA_SOUND_BACKEND");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir, radioFile, tvFile;
};

OwnAlsaConfiguration* config = static_cast<OwnAlsaConfiguration*>(
    ::testing::AddGlobalTestEnvironment(new OwnAlsaConfiguration));

std::vector<std::string> descriptions(const std::vector<DeviceInfo>& list) {
    std::vector<std::string> out;
    for (const auto& d : list)
        out.push_back(d.description);
    return out;
}

TEST(AlsaDevices, WithoutAServerTheCardIsAlsaAndListsTheConfiguredDevicesWithoutPlugins) {
    setSoundCard(nullptr);
    auto card = soundCard();
    EXPECT_EQ(card->backendName(), "ALSA");
    for (auto dir : {WaveDirection::output, WaveDirection::input}) {
        const auto list = card->deviceList(dir);
        ASSERT_GE(list.size(), 3u);
        EXPECT_TRUE(list[0].key.empty()) << "the mapper comes first";
        const auto names = descriptions(list);
        EXPECT_NE(std::find(names.begin(), names.end(), "TV speakers"), names.end());
        EXPECT_NE(std::find(names.begin(), names.end(), "Radio input"), names.end());
        for (const auto& d : list) {
            for (const char* plugin : {"null", "pulse", "jack", "oss", "upmix", "vdownmix",
                                       "samplerate", "speexrate", "lavrate", "speex"})
                EXPECT_NE(d.key, plugin) << "a plugin is not a device";
            EXPECT_EQ(d.description.find("Plugin"), std::string::npos) << d.description;
        }
        EXPECT_EQ(card->deviceCount(dir) + 1, list.size());
        // Ids follow the list: caps of each id name the same device.
        for (size_t i = 1; i < list.size(); ++i) {
            WaveCaps caps;
            ASSERT_EQ(card->caps(dir, static_cast<int32_t>(i - 1), caps), kMmNoError);
            EXPECT_FALSE(caps.name.empty());
        }
    }
    setSoundCard(nullptr);
}

int32_t idOf(SoundCard& card, WaveDirection dir, const std::string& key) {
    const auto list = card.deviceList(dir);
    for (size_t i = 1; i < list.size(); ++i)
        if (list[i].key == key)
            return static_cast<int32_t>(i - 1);
    return -2;
}

TEST(AlsaDevices, RecordsAndPlaysOnTheConfiguredDevices) {
    AlsaSoundCard card;
    const int32_t radio = idOf(card, WaveDirection::input, "radioin");
    const int32_t tv = idOf(card, WaveDirection::output, "tvspeakers");
    ASSERT_GE(radio, 0);
    ASSERT_GE(tv, 0);

    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card.open(WaveDirection::input, radio, pcm16(), event, kCallbackEvent, in),
              kMmNoError);
    std::vector<std::vector<uint8_t>> memory(4, std::vector<uint8_t>(kChunkBytes));
    std::vector<std::unique_ptr<WaveBuffer>> buffers;
    for (auto& m : memory) {
        buffers.push_back(std::make_unique<WaveBuffer>());
        buffers.back()->data = m.data();
        buffers.back()->bufferLength = kChunkBytes;
        ASSERT_EQ(in->prepare(*buffers.back()), kMmNoError);
        ASSERT_EQ(in->addBuffer(*buffers.back()), kMmNoError);
    }
    ASSERT_EQ(in->start(), kMmNoError);
    for (int i = 0; i < 200 && !buffers.back()->isFlagSet(kWhdrDone); ++i)
        event->wait(20);
    ASSERT_TRUE(buffers.back()->isFlagSet(kWhdrDone));
    EXPECT_EQ(in->close(), kMmNoError);
    std::vector<int16_t> recorded;
    for (auto& m : memory) {
        const auto* s = reinterpret_cast<const int16_t*>(m.data());
        recorded.insert(recorded.end(), s, s + kChunkBytes / 2);
    }
    const snd::SequenceCheck got = snd::checkSequence(recorded);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.firstNumber, 0u);
    EXPECT_EQ(got.breaks, 0u);

    ASSERT_EQ(card.open(WaveDirection::output, tv, pcm16(), event, kCallbackEvent, out),
              kMmNoError);
    for (auto& b : buffers)
        ASSERT_EQ(out->write(*b), kMmNoError);
    for (int i = 0; i < 200 && !buffers.back()->isFlagSet(kWhdrDone); ++i)
        event->wait(20);
    EXPECT_TRUE(buffers.back()->isFlagSet(kWhdrDone));
    EXPECT_EQ(out->close(), kMmNoError);
    const auto played = snd::readFile(config->tvFile);
    EXPECT_EQ(played, recorded) << "what was recorded is what was played, bit for bit";
}

}  // namespace

// ctest-labels: sound
// The delay chain recording a tone from the private sound server into a WAV file in each
// encoding, as the user chooses it: sox reads every file back with its format, and the tone
// is in it.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/delayChain.h"
#include "app/headless.h"
#include "app/saveEncoding.h"
#include "audio/unaRiffStream.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;
namespace snd = una::sound;
using namespace std::chrono_literals;

namespace {

class RecordingInEachEncoding : public ::testing::TestWithParam<SaveEncoding> {
  protected:
    void SetUp() override {
        if (!snd::serverAvailable())
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
        setenv("PULSE_SOURCE", "radio.monitor", 1);
        setenv("PULSE_SINK", "tv", 1);
        radioKeeper = std::make_unique<snd::PeerProcess>(
            "exec pacat -p --raw -d radio --latency-msec=10 /dev/zero");
        chain.setupDevices({44100, 16, 2}, {44100, 16, 2});
    }
    void TearDown() override {
        chain.releaseDevices();
        tone.reset();
        radioKeeper.reset();
        for (const std::string& f : files)
            std::remove(f.c_str());
    }

    DelayChain chain;
    std::unique_ptr<snd::PeerProcess> radioKeeper, tone;
    std::vector<std::string> files;
};

}  // namespace

TEST_P(RecordingInEachEncoding, SoxReadsTheFileAndHearsTheTone) {
    const SaveEncoding encoding = GetParam();
    ASSERT_NE(chain.acm(), nullptr) << "the driver list is made with the devices";
    const std::string toneFile = snd::tempPath("codec-tone");
    const std::string wav = snd::tempPath("codec-rec") + ".wav";
    const std::string raw = wav + ".raw";
    files = {toneFile, wav, raw};
    ASSERT_TRUE(snd::writeFile(toneFile, snd::tone(440, 12000, 44100, 8)));
    tone = std::make_unique<snd::PeerProcess>(
        "exec pacat -p --raw -d radio --format=s16le --rate=44100 --channels=2 "
        "--latency-msec=20 < " +
        toneFile);

    ChainStartOptions start;
    start.loop2Playback = false;
    start.saveToFile = true;
    start.inFileName = wav;
    start.saveFormatTag = saveEncodingTag(encoding);
    start.saveEncodingCaption = saveEncodingCaption(encoding);
    const ChainStartResult started = chain.startIn(start);
    ASSERT_TRUE(started.saving) << chainProblemText(started.problem, "uk");
    // The sound server may take a second or more before the first audio arrives.
    const auto until = std::chrono::steady_clock::now() + 8s;
    while (chain.riff()->getPosition() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(1500ms);
    chain.closeIn();

    const bool gsm = encoding == SaveEncoding::Gsm;
    EXPECT_EQ(snd::toolOutput("sox --i -r '" + wav + "'"), gsm ? "8000" : "44100");
    EXPECT_EQ(snd::toolOutput("sox --i -c '" + wav + "'"), gsm ? "1" : "2");
    const double seconds = std::atof(snd::toolOutput("sox --i -D '" + wav + "'").c_str());
    // 1.5 s after the first audio, plus what a late server hands over in one go at first.
    EXPECT_GT(seconds, 1.2);
    EXPECT_LT(seconds, 3.0);

    snd::toolOutput("sox '" + wav + "' -t raw -e signed -b 16 -c 1 '" + raw + "'");
    std::ifstream in(raw, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    std::vector<int16_t> samples(bytes.size() / 2);
    ASSERT_GT(samples.size(), 4000u);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    // The last half second was recorded while the tone played: its level is the tone's.
    double sum = 0;
    const size_t from = samples.size() - samples.size() / 3;
    for (size_t i = from; i < samples.size(); ++i)
        sum += double(samples[i]) * samples[i];
    const double rms = std::sqrt(sum / double(samples.size() - from));
    EXPECT_GT(rms, 12000 / std::sqrt(2.0) * 0.7);
    EXPECT_LT(rms, 12000 / std::sqrt(2.0) * 1.3);
}

INSTANTIATE_TEST_SUITE_P(Encodings, RecordingInEachEncoding, ::testing::ValuesIn(kAllSaveEncodings),
                         [](const auto& info) {
                             std::string name(saveEncodingName(info.param));
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

TEST(SaveEncodingChoice, NamesTagsAndTheCommandLine) {
    for (SaveEncoding e : kAllSaveEncodings)
        EXPECT_EQ(parseSaveEncoding(saveEncodingName(e)), e);
    EXPECT_EQ(parseSaveEncoding(" IMA-ADPCM "), SaveEncoding::ImaAdpcm);
    EXPECT_EQ(parseSaveEncoding("mp3"), std::nullopt);
    EXPECT_EQ(saveEncodingTag(SaveEncoding::Gsm), 0x31u);

    const std::string_view good[] = {"--headless", "--save", "a.wav", "--save-codec", "gsm"};
    const CommandLine line = parseCommandLine(good);
    ASSERT_EQ(line.action, CommandLine::Action::Headless) << line.error;
    EXPECT_EQ(line.saveEncoding, SaveEncoding::Gsm);
    const std::string_view bad[] = {"--headless", "--save-codec=flac"};
    EXPECT_EQ(parseCommandLine(bad).action, CommandLine::Action::Error);
    const std::string_view alone[] = {"--save-codec", "ulaw"};
    EXPECT_EQ(parseCommandLine(alone).action, CommandLine::Action::Error)
        << "only together with --headless";
}

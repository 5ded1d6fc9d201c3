#include "finder/findDelayCommand.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tools/stadiumPairs.h"

namespace una::finder {
namespace {

class FindDelayCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("find_delay_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }
    int run(const std::string& radio, const std::string& tv) {
        out_.str({});
        err_.str({});
        return runFindDelay(radio, tv, out_, err_);
    }

    std::filesystem::path dir_;
    std::ostringstream out_, err_;
};

// The TV side as a stereo u-law file, written by hand: G.711's segments, bits inverted.
void writeULawStereo(const std::string& path, const pairs::Side& side) {
    std::ofstream f(path, std::ios::binary);
    const auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f.put(static_cast<char>(v >> (8 * i)));
    };
    const auto data = static_cast<uint32_t>(side.samples.size() * 2);
    f.write("RIFF", 4);
    put(38 + data, 4);
    f.write("WAVEfmt ", 8);
    put(18, 4);
    put(7, 2);
    put(2, 2);
    put(static_cast<uint32_t>(side.sampleRate), 4);
    put(static_cast<uint32_t>(side.sampleRate) * 2, 4);
    put(2, 2);
    put(8, 2);
    put(0, 2);
    f.write("data", 4);
    put(data, 4);
    for (float v : side.samples) {
        int pcm = static_cast<int>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767)) >> 2;
        const int sign = pcm < 0 ? 0x80 : 0;
        pcm = std::min(std::abs(pcm) + 33, 8191);
        int segment = 0;
        while ((pcm >> (segment + 6)) > 0 && segment < 7) ++segment;
        const auto code = static_cast<char>(~(sign | segment << 4 | ((pcm >> (segment + 1)) & 0xF)));
        f.put(code);
        f.put(code);
    }
}

TEST_F(FindDelayCommand, PrintsTheLagOfTwoFilesOfDifferentEncodings) {
    pairs::PairSpec recipe;
    recipe.seed = 11;
    recipe.seconds = 20;
    recipe.lagSeconds = 3.25;
    recipe.radioRate = 22050;
    recipe.tvRate = 8000;
    const pairs::Pair p = pairs::makePair(recipe);
    ASSERT_TRUE(pairs::writeWav16(file("radio.wav"), p.radio));
    writeULawStereo(file("tv.wav"), p.tv);

    ASSERT_EQ(run(file("radio.wav"), file("tv.wav")), kFindDelayFound) << out_.str() << err_.str();
    std::smatch m;
    const std::string line = out_.str();
    ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(lag (\d+\.\d{3}) s, confidence (\d\.\d\d)\n)"))) << line;
    EXPECT_NEAR(std::stod(m[1]), p.trueLagSeconds, 0.020);
    EXPECT_GE(std::stod(m[2]), kConfidenceThreshold);
    EXPECT_EQ(err_.str(), "");
}

TEST_F(FindDelayCommand, SaysWhyWhenNoLagCanBeTrustedOrAFileIsNoAudio) {
    pairs::PairSpec apart;
    apart.seed = 12;
    apart.seconds = 15;
    apart.shared = false;
    const pairs::Pair p = pairs::makePair(apart);
    ASSERT_TRUE(pairs::writeWav16(file("radio.wav"), p.radio));
    ASSERT_TRUE(pairs::writeWav16(file("other.wav"), p.tv));
    EXPECT_EQ(run(file("radio.wav"), file("other.wav")), kFindDelayNotConfident);
    EXPECT_TRUE(out_.str().starts_with("no lag found: ")) << out_.str();

    ASSERT_TRUE(pairs::writeWav16(file("silent.wav"), {std::vector<float>(8000 * 10, 0.0f), 8000}));
    EXPECT_EQ(run(file("radio.wav"), file("silent.wav")), kFindDelayNotConfident);
    EXPECT_EQ(out_.str(), "no lag found: " + file("silent.wav") + " is silent\n");

    std::ofstream(file("notes.wav")) << "not a sound at all, only some words in a file\n";
    EXPECT_EQ(run(file("notes.wav"), file("radio.wav")), kFindDelayUnreadable);
    EXPECT_EQ(out_.str(), "");
    EXPECT_NE(err_.str().find(file("notes.wav")), std::string::npos) << err_.str();
    EXPECT_EQ(run(file("radio.wav"), file("missing.wav")), kFindDelayUnreadable);
    EXPECT_NE(err_.str().find("cannot be opened"), std::string::npos) << err_.str();
}

}  // namespace
}  // namespace una::finder

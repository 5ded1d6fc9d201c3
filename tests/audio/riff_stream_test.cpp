// ctest-labels: threaded
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "audio/unaRiffStream.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a reader we did not write makes of the file: "channels width rate frames", or the
// reader's complaint.
std::string pythonWaveInfo(const std::string& name) {
    const std::string command =
        "python3 -c 'import sys, wave; w = wave.open(sys.argv[1], \"rb\"); "
        "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()); "
        "sys.stdout.write(w.readframes(w.getnframes())[-4:].hex())' '" +
        name + "' 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

std::string soxInfo(const std::string& name, const char* option) {
    const std::string command = std::string("sox --i ") + option + " '" + name + "' 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

class TempDir {
  public:
    TempDir() {
        path_ = std::filesystem::temp_directory_path() /
                ("riff_test_" + std::to_string(getpid()) + "_" + std::to_string(counter_++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const char* name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
    static inline int counter_ = 0;
};

// Feeds chunks as a provider does, retrying a write that met the input's lock busy.
void feed(unaRiffStream& riff, const std::vector<uint8_t>& audio, uint32_t chunk) {
    for (size_t at = 0; at < audio.size(); at += chunk) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, audio.size() - at));
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (riff.write(audio.data() + at, n) != n)
            ASSERT_LT(std::chrono::steady_clock::now(), end);
    }
}

bool waitForBytes(unaRiffStream& riff, int64_t bytes) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (riff.getPosition() < bytes) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

uint32_t u32At(const std::vector<uint8_t>& d, size_t at) {
    uint32_t v;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

platform::WaveFormatEx pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
    platform::WaveFormatEx f{};
    f.formatTag = 1;
    f.channels = channels;
    f.samplesPerSec = rate;
    f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.avgBytesPerSec = f.blockAlign * rate;
    f.bitsPerSample = bits;
    f.extraSize = 0x5A5A;  // garbage a PCM record must not carry into the file
    return f;
}

}  // namespace

TEST(WavLayout, PcmHeaderIs44BytesWithSizesAtFourAndForty) {
    const auto f = pcm(44100, 16, 2);
    const auto h = wavHeader(f, 0x11223344, 0x55667788);
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(std::memcmp(h.data(), "RIFF", 4), 0);
    EXPECT_EQ(u32At(h, 4), 0x11223344u);
    EXPECT_EQ(std::memcmp(h.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(u32At(h, 16), 16u);
    EXPECT_EQ(std::memcmp(h.data() + 20, &f, 16), 0);
    EXPECT_EQ(std::memcmp(h.data() + 36, "data", 4), 0);
    EXPECT_EQ(u32At(h, 40), 0x55667788u);
}

TEST(WavLayout, CompressedRecordCarriesItsExtraBytes) {
    std::vector<uint8_t> record(18 + 2);
    platform::WaveFormatEx f{};
    f.formatTag = 2;
    f.extraSize = 2;
    std::memcpy(record.data(), &f, 18);
    record[18] = 0xAB;
    record[19] = 0xCD;
    const auto& withExtra = *reinterpret_cast<const platform::WaveFormatEx*>(record.data());
    EXPECT_EQ(wavFormatSize(withExtra), 20u);
    const auto h = wavHeader(withExtra, 0, 0);
    ASSERT_EQ(h.size(), 48u);
    EXPECT_EQ(u32At(h, 16), 20u);
    EXPECT_EQ(h[38], 0xAB);
    EXPECT_EQ(h[39], 0xCD);
    EXPECT_EQ(std::memcmp(h.data() + 40, "data", 4), 0);
}

TEST(WavLayout, LargestDataSizeKeepsRiffSizeIn32BitsAndWholeBlocks) {
    const uint32_t max = wavMaxDataBytes(44, 4);
    EXPECT_EQ(max % 4, 0u);
    EXPECT_LE(static_cast<uint64_t>(max) + 36, 0xFFFFFFFFull);
    EXPECT_GT(static_cast<uint64_t>(max) + 4 + 36, 0xFFFFFFFFull);
    EXPECT_EQ(wavMaxDataBytes(44, 1), 0xFFFFFFFFu - 36);
}

TEST(RiffStream, OneSecondOfStereoIsAValidWavFile) {
    TempDir dir;
    const std::string name = dir.file("one second.wav");
    const auto fmt = pcm(44100, 16, 2);
    auto riff = make<unaRiffStream>(name, &fmt, 1, nullptr);
    EXPECT_EQ(riff->mode.load(), 1);
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    ASSERT_TRUE(riff->isOpen());
    EXPECT_EQ(readFile(name).size(), 44u) << "the header is written at open";

    std::vector<uint8_t> audio(44100 * 4);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i ^ (i >> 9));
    feed(*riff, audio, riff->chunkSize.load());
    ASSERT_TRUE(waitForBytes(*riff, 44100 * 4));
    EXPECT_EQ(riff->getPosition(), 44100 * 4);
    riff.reset();  // freeing completes the file

    const auto file = readFile(name);
    ASSERT_EQ(file.size(), 44u + 44100 * 4);
    EXPECT_EQ(u32At(file, 4), file.size() - 8);
    EXPECT_EQ(u32At(file, 40), 44100u * 4);
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), file.begin() + 44)) << "samples in order";

    char lastFrame[16];
    std::snprintf(lastFrame, sizeof lastFrame, "%02x%02x%02x%02x", audio[audio.size() - 4],
                  audio[audio.size() - 3], audio[audio.size() - 2], audio[audio.size() - 1]);
    EXPECT_EQ(pythonWaveInfo(name), std::string("2 2 44100 44100\n") + lastFrame);
    EXPECT_EQ(soxInfo(name, "-s"), "44100");
    EXPECT_EQ(soxInfo(name, "-c"), "2");
    EXPECT_EQ(soxInfo(name, "-b"), "16");
}

TEST(RiffStream, EmptyRecordingAndReopeningTruncate) {
    TempDir dir;
    const std::string name = dir.file("empty.wav");
    {
        std::ofstream old(name, std::ios::binary);
        old << std::string(100000, 'x');  // an older, longer file
    }
    const auto fmt = pcm(8000, 8, 1);
    auto riff = make<unaRiffStream>(name, &fmt);
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    ASSERT_EQ(riff->close(10000), 0u);
    auto file = readFile(name);
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(u32At(file, 4), 36u);
    EXPECT_EQ(u32At(file, 40), 0u);
    EXPECT_EQ(pythonWaveInfo(name), "1 1 8000 0\n");

    // A second run of the same writer starts a new recording.
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    const std::vector<uint8_t> audio(1000, 77);
    feed(*riff, audio, 320);
    ASSERT_TRUE(waitForBytes(*riff, 1000));
    riff->close(10000);
    file = readFile(name);
    ASSERT_EQ(file.size(), 1044u);
    EXPECT_EQ(u32At(file, 4), 1036u);
    EXPECT_EQ(u32At(file, 40), 1000u);
}

TEST(WavLayout, ContinuationNamesNumberTheFileBeforeItsExtension) {
    EXPECT_EQ(wavContinuationName("/a/match.wav", 1), "/a/match.wav");
    EXPECT_EQ(wavContinuationName("/a/match.wav", 2), "/a/match-2.wav");
    EXPECT_EQ(wavContinuationName("match.final.wav", 12), "match.final-12.wav");
    EXPECT_EQ(wavContinuationName("/a.b/match", 3), "/a.b/match-3");
    EXPECT_EQ(wavContinuationName("/tmp/.wav", 2), "/tmp/.wav-2");
}

// A recording that outgrows what the 32-bit size fields can say goes on in numbered files,
// each complete, together holding every byte once and in order.
TEST(RiffStream, SizeLimitGoesOnInTheNextFileWithNothingLostOrRepeated) {
    TempDir dir;
    const std::string name = dir.file("limit.wav");
    const auto fmt = pcm(44100, 16, 2);
    auto riff = make<unaRiffStream>(name, &fmt);
    EXPECT_EQ(riff->getDataLimit(), 0xFFFFFFFFu) << "no limit asked for yet";
    riff->setDataLimit(10002);  // not whole frames: the files end on a frame
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    EXPECT_EQ(riff->getDataLimit(), 10000u);

    std::vector<uint8_t> audio(7056 * 5);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    feed(*riff, audio, 7056);
    ASSERT_TRUE(waitForBytes(*riff, static_cast<int64_t>(audio.size())));
    EXPECT_EQ(riff->fileCount(), 4u);
    riff->close(10000);

    std::vector<uint8_t> joined;
    for (uint32_t index = 1; index <= 4; ++index) {
        const std::string part = wavContinuationName(name, index);
        const auto file = readFile(part);
        const uint32_t data = index < 4 ? 10000u : 35280u - 30000u;
        ASSERT_EQ(file.size(), 44u + data) << part;
        EXPECT_EQ(u32At(file, 4), 36u + data);
        EXPECT_EQ(u32At(file, 40), data);
        EXPECT_TRUE(pythonWaveInfo(part).starts_with("2 2 44100 " + std::to_string(data / 4) + "\n"))
            << part;
        EXPECT_EQ(soxInfo(part, "-s"), std::to_string(data / 4)) << part;
        joined.insert(joined.end(), file.begin() + 44, file.end());
    }
    EXPECT_FALSE(std::filesystem::exists(wavContinuationName(name, 5)));
    EXPECT_TRUE(joined == audio) << "the files hold the recording once, in order";

    // A stop and start records from the first file again, and the old recording's other
    // files go with it.
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    feed(*riff, std::vector<uint8_t>(400, 9), 400);
    ASSERT_TRUE(waitForBytes(*riff, 400));
    riff->close(10000);
    EXPECT_EQ(readFile(name).size(), 444u);
    EXPECT_EQ(riff->fileCount(), 1u);
    for (uint32_t index = 2; index <= 4; ++index)
        EXPECT_FALSE(std::filesystem::exists(wavContinuationName(name, index))) << index;

    // The default limit is the largest whole-frame size whose RIFF size still fits.
    auto big = make<unaRiffStream>(dir.file("big.wav"), &fmt);
    ASSERT_EQ(big->open(false, 10000, 0), 0u);
    EXPECT_EQ(big->getDataLimit(), wavMaxDataBytes(44, 4));
    big->close(10000);
}

// Only the continuations of the file being overwritten go, in sequence, and never through a
// link or into a file that is no WAV file.
TEST(RiffStream, OverwritingRemovesOnlyTheOldRecordingsContinuations) {
    TempDir dir;
    const auto wav = [](const std::string& name) {
        std::ofstream(name, std::ios::binary).write("RIFF\x04\0\0\0WAVE", 12);
    };
    const std::string name = dir.file("m.wav"), outside = dir.file("outside.wav");
    for (const char* part : {"m.wav", "m-2.wav", "m-4.wav", "outside.wav", "n-2.wav"})
        wav(dir.file(part));
    std::filesystem::create_symlink(outside, dir.file("m-3.wav"));
    std::ofstream(dir.file("t-2.wav")) << "some notes, not audio";

    EXPECT_EQ(removeWavContinuations(name), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("m-2.wav")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("m-3.wav")));
    EXPECT_EQ(readFile(outside).size(), 12u) << "the link's target untouched";
    EXPECT_TRUE(std::filesystem::exists(dir.file("m-4.wav"))) << "past the link: not in sequence";
    EXPECT_EQ(removeWavContinuations(dir.file("t.wav")), 0u);
    EXPECT_TRUE(std::filesystem::exists(dir.file("t-2.wav")));

    // A recording under a new name replaces nothing, whatever lies beside it.
    const auto fmt = pcm(8000, 16, 1);
    auto riff = make<unaRiffStream>(dir.file("n.wav"), &fmt);
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    riff->close(10000);
    EXPECT_TRUE(std::filesystem::exists(dir.file("n-2.wav")));
}

// While recording, the header is kept true within a second: a reader that opens the file
// in the middle of a recording finds all but the last moments of it.
TEST(RiffStream, SizesFollowTheRecordingWhileItRuns) {
    TempDir dir;
    const std::string name = dir.file("running.wav");
    const auto fmt = pcm(8000, 16, 1);
    auto riff = make<unaRiffStream>(name, &fmt);
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    auto file = readFile(name);
    EXPECT_EQ(u32At(file, 4), 36u) << "a valid empty file from the start";
    EXPECT_EQ(pythonWaveInfo(name), "1 2 8000 0\n");

    const std::vector<uint8_t> audio(16000, 3);
    feed(*riff, audio, 640);
    ASSERT_TRUE(waitForBytes(*riff, 16000));
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (u32At(readFile(name), 40) < 16000 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    file = readFile(name);
    EXPECT_EQ(u32At(file, 40), 16000u);
    EXPECT_EQ(u32At(file, 4), 16036u);
    EXPECT_EQ(pythonWaveInfo(name).substr(0, 14), "1 2 8000 8000\n");
    riff->close(10000);
}

TEST(RiffStream, AFileThatCannotBeWrittenFailsTheOpenWith11) {
    TempDir dir;
    const auto fmt = pcm(44100, 16, 2);
    for (const std::string& name :
         {dir.file("no such folder/x.wav"), std::string(), std::string("   ")}) {
        auto riff = make<unaRiffStream>(name, &fmt);
        EXPECT_EQ(riff->mode.load(), 1);
        EXPECT_EQ(riff->open(false, 10000, 0), 11u) << "'" << name << "'";
        EXPECT_FALSE(riff->isOpen());
        const uint8_t chunk[16] = {};
        EXPECT_EQ(riff->write(chunk, 16), 0u) << "a writer that failed to open takes nothing";
        EXPECT_EQ(riff->close(10000), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("no such folder")));

    // A format the writer cannot encode: mode 3, and open fails without touching the file.
    platform::WaveFormatEx adpcm = pcm(8000, 4, 1);
    adpcm.formatTag = 2;
    adpcm.extraSize = 0;
    const std::string name = dir.file("adpcm.wav");
    auto riff = make<unaRiffStream>(name, &adpcm, 2, nullptr);
    EXPECT_EQ(riff->mode.load(), 3);
    EXPECT_EQ(riff->open(false, 10000, 0), 11u);
    EXPECT_FALSE(std::filesystem::exists(name));
}

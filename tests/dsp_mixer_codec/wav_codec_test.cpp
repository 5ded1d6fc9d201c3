// ctest-labels: threaded
// Compressed WAV files against readers we did not write: every encoding we write is read by
// sox and libsndfile with the right format and length and decodes close to what went in;
// files that sox writes in each encoding come back through our reading path as sox decodes
// them. Also the size rules of PCM files hold for compressed ones.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/unaRiffStream.h"
#include "dsp_mixer_codec/unaMsAcm.h"
#include "support/soundPeer.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

using una::sound::toolOutput;

struct Encoding {
    const char* name;
    uint32_t tag;
    const char* soxEncoding;  // sox -e
    const char* soxName;      // how sox --i -e names it
    const char* sndfileName;  // what sndfile-info names the format
    uint32_t fileRate;        // the file's rate for 44100 Hz stereo input
    uint32_t fileChannels;
    double minSnrDb;  // against the source, through the codec alone
};

const Encoding kEncodings[] = {
    {"ima-adpcm", 0x11, "ima-adpcm", "IMA ADPCM", "WAVE_FORMAT_IMA_ADPCM", 44100, 2, 40.0},
    {"ulaw", 7, "u-law", "u-law", "WAVE_FORMAT_MULAW", 44100, 2, 35.0},
    {"alaw", 6, "a-law", "A-law", "WAVE_FORMAT_ALAW", 44100, 2, 35.0},
    {"gsm", 0x31, "gsm-full-rate", "GSM", "WAVE_FORMAT_GSM610", 8000, 1, 12.0},
};

std::vector<uint8_t> readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<int16_t> asSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

class TempDir {
  public:
    TempDir() {
        path_ = std::filesystem::temp_directory_path() /
                ("wav_codec_" + std::to_string(getpid()) + "_" + std::to_string(counter_++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
    static inline int counter_ = 0;
};

// A voice-like test signal: two tones under a slow swell, different in each channel.
std::vector<int16_t> testSignal(uint32_t rate, uint32_t channels, double seconds) {
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> out(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double swell = 0.6 + 0.3 * std::sin(2 * M_PI * 1.5 * t);
        for (uint32_t c = 0; c < channels; ++c) {
            const double v = std::sin(2 * M_PI * (220.0 + 110 * c) * t) * 0.6 +
                             std::sin(2 * M_PI * 660.0 * t) * 0.25;
            out[i * channels + c] = static_cast<int16_t>(v * swell * 12000);
        }
    }
    return out;
}

// The SNR of decoded against reference, after finding the lag (up to maxLag frames) that
// lines them up best.
double snrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded,
             uint32_t channels, int maxLag = 0) {
    double best = -100;
    for (int lag = 0; lag <= maxLag; ++lag) {
        const size_t offset = static_cast<size_t>(lag) * channels;
        const size_t n =
            std::min(reference.size(), decoded.size() > offset ? decoded.size() - offset : 0);
        if (n == 0)
            continue;
        double signal = 0, noise = 0;
        for (size_t i = 0; i < n; ++i) {
            const double r = reference[i];
            const double d = decoded[i + offset] - r;
            signal += r * r;
            noise += d * d;
        }
        best = std::max(best, 10 * std::log10(signal / std::max(noise, 1.0)));
    }
    return best;
}

// Feeds audio as the recorder would, a chunk at a time.
void feed(unaRiffStream& riff, const std::vector<int16_t>& audio) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(audio.data());
    const size_t total = audio.size() * 2;
    const uint32_t chunk = riff.chunkSize;
    for (size_t at = 0; at < total; at += chunk) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, total - at));
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (riff.write(bytes + at, n) != n)
            ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(2ms);
    }
}

// Everything the reading stream delivers until the data ends.
std::vector<uint8_t> readAll(unaRiffStream& reader) {
    std::vector<uint8_t> out;
    std::mutex lock;
    reader.onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard guard(lock);
        out.insert(out.end(), data.begin(), data.end());
    };
    EXPECT_EQ(reader.open(false, 10000, 0), 0u);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!reader.endOfData() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(reader.endOfData());
    reader.close(10000);
    std::lock_guard guard(lock);
    return out;
}

class WavCodec : public ::testing::TestWithParam<Encoding> {
  protected:
    void SetUp() override {
        acm = make<unaMsAcm>();
        ASSERT_EQ(acm->enumDrivers(0), 0u);
    }
    unaPtr<unaMsAcm> acm;
};

}  // namespace

TEST_P(WavCodec, OurFileIsReadBySoxAndLibsndfileWithItsFormatAndLength) {
    const Encoding& e = GetParam();
    TempDir dir;
    const std::string name = dir.file(std::string(e.name) + ".wav");
    const auto pcm = makePcmFormat(44100, 16, 2);
    auto riff = make<unaRiffStream>(name, pcm.get(), e.tag, acm.get());
    ASSERT_EQ(riff->mode.load(), kRiffModeWriting);
    EXPECT_EQ(riff->fileFormat()->formatTag, e.tag);
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    // Not a whole number of chunks nor of codec blocks (but an even number of GSM blocks:
    // libsndfile rounds an odd count up).
    const auto source = testSignal(44100, 2, 2.05);
    feed(*riff, source);
    // Closed at once: what is still on its way through the codecs goes into the file too.
    riff->close(10000);

    const auto file = readFile(name);
    ASSERT_GT(file.size(), 60u);
    uint32_t riffSize, dataSize, frames;
    std::memcpy(&riffSize, file.data() + 4, 4);
    EXPECT_EQ(riffSize, file.size() - 8);
    const size_t factAt = 12 + 8 + (18 + riff->fileFormat()->extraSize);
    ASSERT_EQ(std::memcmp(file.data() + factAt, "fact", 4), 0);
    std::memcpy(&frames, file.data() + factAt + 8, 4);
    std::memcpy(&dataSize, file.data() + factAt + 16, 4);
    EXPECT_EQ(factAt + 20 + dataSize, file.size());

    // All that went in, in the file's rate, the last block padded: within one block of it.
    const auto sent = static_cast<uint32_t>(source.size() / 2 * e.fileRate / 44100);
    const uint32_t block = std::max<uint32_t>(wavFramesInData(*riff->fileFormat().get(),
                                                              riff->fileFormat()->blockAlign),
                                              1);
    EXPECT_GE(frames + 1, sent) << "the resampler may keep its last frame";
    EXPECT_LT(frames, sent + block);

    EXPECT_EQ(toolOutput("sox --i -r '" + name + "'"), std::to_string(e.fileRate));
    EXPECT_EQ(toolOutput("sox --i -c '" + name + "'"), std::to_string(e.fileChannels));
    EXPECT_EQ(toolOutput("sox --i -s '" + name + "'"), std::to_string(frames));
    EXPECT_NE(toolOutput("sox --i -e '" + name + "'").find(e.soxName), std::string::npos);

    const std::string info = toolOutput("sndfile-info '" + name + "'");
    EXPECT_NE(info.find(e.sndfileName), std::string::npos) << info;
    EXPECT_NE(info.find("Frames      : " + std::to_string(frames)), std::string::npos) << info;
    EXPECT_NE(info.find("Channels    : " + std::to_string(e.fileChannels)), std::string::npos);

    // sox decodes it close to the source (GSM: the source as sox makes it 8 kHz mono).
    const std::string raw = dir.file("decoded.raw");
    toolOutput("sox '" + name + "' -t raw -e signed -b 16 '" + raw + "'");
    const auto decoded = asSamples(readFile(raw));
    EXPECT_EQ(decoded.size(), size_t{frames} * e.fileChannels);
    std::vector<int16_t> reference = source;
    if (e.fileRate != 44100) {
        const std::string src = dir.file("source.raw"), ref = dir.file("reference.raw");
        std::ofstream(src, std::ios::binary)
            .write(reinterpret_cast<const char*>(source.data()), source.size() * 2);
        toolOutput("sox -t raw -r 44100 -e signed -b 16 -c 2 '" + src + "' -t raw -r 8000 -c 1 '" +
                   ref + "'");
        reference = asSamples(readFile(ref));
    }
    const double snr = snrDb(reference, decoded, e.fileChannels, e.fileRate == 44100 ? 0 : 40);
    RecordProperty("snr_db", std::to_string(snr));
    std::printf("[ snr      ] %s: %.1f dB\n", e.name, snr);
    EXPECT_GE(snr, e.minSnrDb);
}

TEST_P(WavCodec, FilesSoxWritesAreReadBackAsSoxDecodesThem) {
    const Encoding& e = GetParam();
    TempDir dir;
    const uint32_t rate = e.tag == 0x31 ? 8000 : 22050;
    const uint32_t channels = e.tag == 0x31 ? 1 : 2;
    const auto source = testSignal(rate, channels, 1.3);
    const std::string src = dir.file("source.raw"), name = dir.file("sox.wav"),
                      raw = dir.file("sox.raw");
    std::ofstream(src, std::ios::binary)
        .write(reinterpret_cast<const char*>(source.data()), source.size() * 2);
    toolOutput("sox -t raw -r " + std::to_string(rate) + " -e signed -b 16 -c " +
               std::to_string(channels) + " '" + src + "' -e " + e.soxEncoding + " '" + name + "'");
    toolOutput("sox '" + name + "' -t raw -e signed -b 16 '" + raw + "'");
    const auto soxDecoded = readFile(raw);
    ASSERT_GT(soxDecoded.size(), 1000u);

    auto reader = make<unaRiffStream>(name, acm.get());
    ASSERT_EQ(reader->mode.load(), kRiffModeReading);
    EXPECT_EQ(reader->fileFormat()->formatTag, e.tag);
    EXPECT_EQ(reader->dstFormat->formatTag, 1);
    EXPECT_EQ(reader->dstFormat->samplesPerSec, rate);
    const auto ours = readAll(*reader);
    // Whole chunks come out: at most the last one is missing.
    EXPECT_LE(ours.size(), soxDecoded.size());
    EXPECT_GE(ours.size() + rate * channels * 2 / 10, soxDecoded.size());
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), soxDecoded.begin()))
        << "decoded exactly as sox decodes it";
}

// Files a user hands the program that lie about themselves: the reading path answers with a
// mode and reads nothing outside what is there.
TEST(WavReading, BrokenFilesGiveAModeAndNoCrash) {
    TempDir dir;
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    const auto header = [](uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align,
                           uint16_t bits, uint32_t dataClaimed, size_t dataPresent) {
        std::vector<uint8_t> f;
        auto put32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                f.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        auto put16 = [&](uint16_t v) {
            f.push_back(static_cast<uint8_t>(v));
            f.push_back(static_cast<uint8_t>(v >> 8));
        };
        f.insert(f.end(), {'R', 'I', 'F', 'F'});
        put32(0xFFFFFFF0u);  // a lying RIFF size
        f.insert(f.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        put32(20);
        put16(tag);
        put16(channels);
        put32(rate);
        put32(rate * align);
        put16(align);
        put16(bits);
        put16(2);
        put16(505);
        f.insert(f.end(), {'d', 'a', 't', 'a'});
        put32(dataClaimed);
        for (size_t i = 0; i < dataPresent; ++i)
            f.push_back(static_cast<uint8_t>(i * 37));
        return f;
    };
    const auto write = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir.file(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    };

    EXPECT_EQ(
        make<unaRiffStream>(write("align0.wav", header(1, 2, 8000, 0, 16, 100, 100)), acm.get())
            ->mode.load(),
        kRiffModeBadFile);
    EXPECT_EQ(
        make<unaRiffStream>(write("nochannels.wav", header(7, 0, 8000, 1, 8, 100, 100)), acm.get())
            ->mode.load(),
        kRiffModeBadFile);
    EXPECT_EQ(make<unaRiffStream>(write("gsmstereo.wav", header(0x31, 2, 8000, 65, 0, 650, 650)),
                                  acm.get())
                  ->mode.load(),
              kRiffModeCodecFailed);
    EXPECT_EQ(
        make<unaRiffStream>(write("imaodd.wav", header(0x11, 2, 8000, 255, 4, 500, 500)), acm.get())
            ->mode.load(),
        kRiffModeCodecFailed);
    EXPECT_EQ(
        make<unaRiffStream>(write("mp3.wav", header(0x55, 2, 8000, 1, 0, 100, 100)), acm.get())
            ->mode.load(),
        kRiffModeNoCodec);
    std::vector<uint8_t> noise(3000);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 7919 >> 3);
    EXPECT_EQ(make<unaRiffStream>(write("noise.wav", noise), acm.get())->mode.load(),
              kRiffModeBadFile);

    // A data chunk that claims more than the file holds: what is there is read, in whole
    // blocks, and the read ends.
    auto truncated = make<unaRiffStream>(
        write("short.wav", header(0x11, 1, 8000, 256, 4, 100000, 256 * 5 + 77)), acm.get());
    ASSERT_EQ(truncated->mode.load(), kRiffModeReading);
    const auto pcm = readAll(*truncated);
    EXPECT_EQ(pcm.size() % (505 * 2), 0u);
    EXPECT_LE(pcm.size(), 5u * 505 * 2);
}

INSTANTIATE_TEST_SUITE_P(Encodings, WavCodec, ::testing::ValuesIn(kEncodings),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

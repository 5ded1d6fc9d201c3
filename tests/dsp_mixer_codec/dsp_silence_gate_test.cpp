// ctest-labels: threaded
// The DSP silence gate of a stream device, fed recorded speech over quiet noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "audio/unaMsAcmStreamDevice.h"
#include "dsp_mixer_codec/unaDspAutomat.h"

using namespace una;

namespace {

constexpr uint32_t kRate = 16000;
constexpr size_t kChunkFrames = kRate / 25;

// A stream device whose platform opens and closes at once.
class GateDevice : public unaMsAcmStreamDevice {
  public:
    GateDevice() : unaMsAcmStreamDevice(true, false, 0, 0, true) {}
    bool deviceFormatIsSrc() const override { return true; }

  protected:
    MmResult doOpen(uint32_t flags) override {
        const MmResult r = unaMsAcmStreamDevice::doOpen(flags);
        handle = 1;
        return r;
    }
    MmResult prepareHeader(unaMsAcmDeviceHeader&) override { return 0; }
    MmResult unprepareHeader(unaMsAcmDeviceHeader&) override { return 0; }
};

// "The match starts now." spoken by espeak-ng: 16 kHz, 16-bit, mono (reference/make_speech.sh).
std::vector<float> speech() {
    std::ifstream file(UNA_SOURCE_DIR "/tests/dsp_mixer_codec/reference/speech.raw",
                       std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    std::vector<float> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int16_t v;
        std::memcpy(&v, &bytes[i * 2], 2);
        out[i] = v / 32768.0f;
    }
    return out;
}

struct Scene {
    std::vector<std::vector<float>> channels;  // what the device hears
    std::vector<bool> speaking;                // per chunk: the voice is clearly there
    std::vector<bool> noiseOnly;               // per chunk: no voice at all
};

// Two seconds of noise, the sentence over the same noise on the chosen channels, two more
// seconds of noise. The noise is about -46 dBFS; a chunk counts as speaking when the voice
// alone is above -28 dBFS (its soft consonants, near the noise estimate, may go either way).
Scene makeScene(uint32_t channelCount, std::vector<bool> speechOn) {
    const std::vector<float> voice = speech();
    EXPECT_GT(voice.size(), kRate) << "reference/speech.raw missing";
    const size_t lead = 2 * kRate;
    const size_t total = (lead + voice.size() + 2 * kRate) / kChunkFrames * kChunkFrames;
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.005f);
    Scene scene;
    scene.channels.assign(channelCount, std::vector<float>(total));
    for (uint32_t c = 0; c < channelCount; ++c)
        for (size_t i = 0; i < total; ++i) {
            const bool inVoice = i >= lead && i - lead < voice.size();
            scene.channels[c][i] = noise(random) + (speechOn[c] && inVoice ? voice[i - lead] : 0);
        }
    for (size_t start = 0; start < total; start += kChunkFrames) {
        scene.noiseOnly.push_back(start + kChunkFrames <= lead || start >= lead + voice.size());
        double energy = 0;
        for (size_t i = start; i < start + kChunkFrames; ++i)
            if (i >= lead && i - lead < voice.size())
                energy += voice[i - lead] * voice[i - lead];
        scene.speaking.push_back(std::sqrt(energy / kChunkFrames) > 0.04);
    }
    return scene;
}

struct Verdicts {
    int speechChunks = 0, speechPassed = 0, quietChunks = 0, quietPassed = 0;
};

// Delivers the scene chunk by chunk as 16-bit PCM and counts which chunks the gate let pass.
Verdicts run(GateDevice& device, const Scene& scene) {
    const auto channels = static_cast<uint32_t>(scene.channels.size());
    std::vector<int16_t> chunk(kChunkFrames * channels);
    Verdicts v;
    for (size_t n = 0; n < scene.speaking.size(); ++n) {
        for (size_t i = 0; i < kChunkFrames; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                const float x = scene.channels[c][n * kChunkFrames + i];
                chunk[i * channels + c] =
                    static_cast<int16_t>(std::lrint(std::clamp(x, -1.0f, 1.0f) * 32767));
            }
        const bool passed = device.deliverChunk(reinterpret_cast<const uint8_t*>(chunk.data()),
                                                static_cast<uint32_t>(chunk.size() * 2));
        if (scene.speaking[n]) {
            ++v.speechChunks;
            v.speechPassed += passed;
        } else if (scene.noiseOnly[n]) {
            ++v.quietChunks;
            v.quietPassed += passed;
        }
    }
    return v;
}

unaPtr<GateDevice> openGate(uint32_t channels) {
    auto device = make<GateDevice>();
    EXPECT_TRUE(device->setFormat(true, makePcmFormat(kRate, 16, channels)));
    device->silenceMode = kSilenceDsp;
    EXPECT_EQ(device->open(), 0u);
    return device;
}

}  // namespace

TEST(DspSilenceGate, OpenGivesBothAutomatsTheFormat) {
    auto device = make<GateDevice>();
    ASSERT_NE(device->ldHandle, nullptr);
    ASSERT_NE(device->ndHandle, nullptr);
    EXPECT_EQ(device->levelAutomat->getProcessor(0), device->ldHandle);
    EXPECT_EQ(device->ndHandle->kind, kDspKindND);
    ASSERT_TRUE(device->setFormat(true, makePcmFormat(22050, 8, 2)));
    ASSERT_EQ(device->open(), 0u);
    for (unaDSPLibAutomat* a : {device->levelAutomat.get(), device->noiseAutomat.get()}) {
        EXPECT_EQ(a->samplesPerSec, 22050);
        EXPECT_EQ(a->bitsPerSample, 8);
        EXPECT_EQ(a->channels, 2);
        EXPECT_EQ(a->copyCount(), 1u);
    }
    EXPECT_EQ(device->ndHandle->getFloatParam(kDspSampleRate), 22050.0f);
    EXPECT_FALSE(device->dspBound);
    // Mode 0, the program's own: nothing runs and everything passes.
    std::vector<uint8_t> quiet(device->chunkSize, 128);
    EXPECT_TRUE(device->deliverChunk(quiet.data(), device->chunkSize));
    EXPECT_EQ(device->levelAutomat->currentLength(), 0);
    EXPECT_EQ(device->close(), 0u);
}

TEST(DspSilenceGate, SpeechOverQuietNoisePassesAndTheNoiseAloneDoesNot) {
    struct Case {
        const char* name;
        uint32_t channels;
        std::vector<bool> speechOn;
    };
    for (const Case& c : {Case{"mono", 1, {true}}, Case{"stereo, left", 2, {true, false}},
                          Case{"stereo, right", 2, {false, true}}}) {
        auto device = openGate(c.channels);
        const Verdicts v = run(*device, makeScene(c.channels, c.speechOn));
        EXPECT_GT(v.speechChunks, 15) << c.name;
        EXPECT_EQ(v.speechPassed, v.speechChunks) << c.name << ": speech chunks held back";
        EXPECT_GT(v.quietChunks, 80) << c.name;
        EXPECT_EQ(v.quietPassed, 0) << c.name << ": noise-only chunks passed";
        EXPECT_TRUE(device->dspBound);
        EXPECT_GT(device->silentBytes.load(), 0u);
        EXPECT_EQ(device->close(), 0u);
    }
}

TEST(DspSilenceGate, ShorterLastChunkAndReopenStayUsable) {
    auto device = openGate(2);
    const Scene scene = makeScene(2, {true, true});
    run(*device, scene);
    // A short chunk makes the automats replace their buffers; the gate must read the new ones.
    std::vector<int16_t> tail(200 * 2, 12000);
    for (size_t i = 0; i < tail.size(); ++i)
        tail[i] = static_cast<int16_t>(12000 * std::sin(0.2 * static_cast<double>(i / 2)));
    EXPECT_TRUE(device->deliverChunk(reinterpret_cast<const uint8_t*>(tail.data()), 800));
    // Silence right after it still carries the detector's release, then it is held back.
    std::vector<int16_t> hush(200 * 2, 0);
    device->deliverChunk(reinterpret_cast<const uint8_t*>(hush.data()), 800);
    EXPECT_FALSE(device->deliverChunk(reinterpret_cast<const uint8_t*>(hush.data()), 800));
    ASSERT_EQ(device->close(), 0u);

    ASSERT_TRUE(device->setFormat(true, makePcmFormat(kRate, 16, 1)));
    ASSERT_EQ(device->open(), 0u);
    const Verdicts v = run(*device, makeScene(1, {true}));
    EXPECT_EQ(v.speechPassed, v.speechChunks);
    EXPECT_EQ(v.quietPassed, 0);
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dsp_mixer_codec/unaDspAutomat.h"
#include "dsp_mixer_codec/unaDspBiquad.h"
#include "foundation/unaBase64.h"

using namespace una;

namespace {

std::vector<uint8_t> stereo16(size_t frames, int16_t left, int16_t right) {
    std::vector<uint8_t> out(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
        std::memcpy(&out[i * 4], &left, 2);
        std::memcpy(&out[i * 4 + 2], &right, 2);
    }
    return out;
}

std::vector<float> channelOutput(unaDSPLibAutomat& a, int32_t channel) {
    const float* data = nullptr;
    int32_t length = 0;
    EXPECT_EQ(a.getChannelOutput(channel, data, length), 0);
    return data ? std::vector<float>(data, data + length) : std::vector<float>();
}

std::string floatValue(float f) {
    return "F" + base64Encode(std::string_view(reinterpret_cast<const char*>(&f), 4));
}

std::string intValue(int32_t v) {
    return "I" + base64Encode(std::string_view(reinterpret_cast<const char*>(&v), 4));
}

struct Fixture {
    unaDspDLibRoot root;
    unaPtr<unaDSPLibAutomat> automat = make<unaDSPLibAutomat>(root);
};

}  // namespace

TEST(DspPcm, ConversionsRoundAndClamp) {
    const uint8_t eight[3] = {0, 128, 255};
    float f[3];
    unpackPcmChannel(eight, 3, 0, 8, 1, f);
    EXPECT_FLOAT_EQ(f[0], -128.0f / 255.0f);
    EXPECT_FLOAT_EQ(f[1], 0.0f);
    EXPECT_FLOAT_EQ(f[2], 127.0f / 255.0f);
    uint8_t back[3] = {9, 9, 9};
    packPcmChannel(f, 3, 0, 8, 1, back);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[1], 128);
    EXPECT_EQ(back[2], 255);
    const float loud[2] = {1.0f, -1.0f};
    packPcmChannel(loud, 2, 0, 8, 1, back);
    EXPECT_EQ(back[0], 255) << "full scale stays inside the byte";
    EXPECT_EQ(back[1], 0);

    const float wide[4] = {1.5f, -1.5f, 0.5f, std::numeric_limits<float>::quiet_NaN()};
    int16_t sixteen[4];
    packPcmChannel(wide, 4, 0, 16, 1, reinterpret_cast<uint8_t*>(sixteen));
    EXPECT_EQ(sixteen[0], 32767);
    EXPECT_EQ(sixteen[1], -32767);
    EXPECT_EQ(sixteen[2], 16384) << "32767 / 2 rounds to even";
    EXPECT_EQ(sixteen[3], -32767) << "not at least -1.0";

    // 24 bits travel in 4-byte containers, 32 bits are floats; only one channel is touched.
    int32_t containers[4] = {8388607, 111, -8388607, 222};
    unpackPcmChannel(reinterpret_cast<uint8_t*>(containers), 2, 0, 24, 2, f);
    EXPECT_FLOAT_EQ(f[0], 1.0f);
    EXPECT_FLOAT_EQ(f[1], -1.0f);
    const float half[2] = {0.5f, -0.25f};
    packPcmChannel(half, 2, 0, 24, 2, reinterpret_cast<uint8_t*>(containers));
    EXPECT_EQ(containers[0], 4194304);
    EXPECT_EQ(containers[2], -2097152);
    EXPECT_EQ(containers[1], 111);
    EXPECT_EQ(containers[3], 222);
    float floats[4] = {0.1f, 2.0f, 0.3f, -7.0f};
    unpackPcmChannel(reinterpret_cast<uint8_t*>(floats), 2, 1, 32, 2, f);
    EXPECT_FLOAT_EQ(f[0], 2.0f);
    EXPECT_FLOAT_EQ(f[1], -7.0f);
    packPcmChannel(f, 2, 1, 32, 2, reinterpret_cast<uint8_t*>(floats));
    EXPECT_FLOAT_EQ(floats[1], 1.0f);
    EXPECT_FLOAT_EQ(floats[3], -1.0f);
    EXPECT_FLOAT_EQ(floats[0], 0.1f);
}

TEST(DspAutomat, FormatsThatFailKeepTheOldOne) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    EXPECT_EQ(a.processChunk(std::vector<uint8_t>(16).data(), 16), -1) << "no format yet";
    ASSERT_EQ(a.setAudioFormat(22050, 16, 2), 0);
    EXPECT_EQ(a.copyCount(), 1u);
    EXPECT_EQ(a.setAudioFormat(22050, 12, 2), kDspEFail);
    EXPECT_EQ(a.setAudioFormat(22050, 16, 0), kDspEFail);
    EXPECT_EQ(a.setAudioFormat(0, 16, 2), kDspEFail);
    EXPECT_EQ(a.samplesPerSec, 22050);
    EXPECT_EQ(a.bitsPerSample, 16);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.copyCount(), 1u);
    EXPECT_EQ(a.bytesToSamples(4096), 1024);
    ASSERT_EQ(a.setAudioFormat(8000, 24, 3), 0);
    EXPECT_EQ(a.byteShift, 2);
    EXPECT_EQ(a.copyCount(), 2u);
    EXPECT_EQ(a.bytesToSamples(120), 10);
    ASSERT_EQ(a.setAudioFormat(8000, 8, 3, true), 0);
    EXPECT_EQ(a.copyCount(), 0u);
}

TEST(DspAutomat, StereoChunkRunsChannelOneInTheCopy) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    ASSERT_EQ(a.setAudioFormat(44100, 16, 2), 0);
    // No processors: each channel's output is its samples.
    std::vector<uint8_t> chunk = stereo16(1024, 8192, -16384);
    ASSERT_EQ(a.processChunk(chunk.data(), 4096), 0);
    std::vector<float> left = channelOutput(a, 0), right = channelOutput(a, 1);
    ASSERT_EQ(left.size(), 1024u);
    ASSERT_EQ(right.size(), 1024u);
    EXPECT_FLOAT_EQ(left[500], 8192.0f / 32767.0f);
    EXPECT_FLOAT_EQ(right[500], -16384.0f / 32767.0f);
    const float* data = nullptr;
    int32_t length = -1;
    EXPECT_EQ(a.getChannelOutput(2, data, length), kDspEFail);
    EXPECT_EQ(length, -1);

    // With a level detector, channel 1 is measured by the copy's own detector.
    unaDspHandle ld = a.addProcessor(kDspKindLD);
    ASSERT_NE(ld, nullptr);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(a.processChunk(chunk.data(), 4096), 0);
    EXPECT_NEAR(channelOutput(a, 0).back(), std::sqrt(1.9953 * 0.0625), 1e-3);
    EXPECT_NEAR(channelOutput(a, 1).back(), std::sqrt(1.9953 * 0.25), 1e-3);
    ASSERT_NE(a.channelCopies[0]->getProcessor(0), nullptr);
    EXPECT_NE(a.channelCopies[0]->getProcessor(0), ld);

    // One channel alone, and a chunk of another length, which the copy follows too.
    std::vector<uint8_t> longer = stereo16(2048, 0, 0);
    EXPECT_EQ(a.processChunk(longer.data(), 8192, 1), 0);
    EXPECT_EQ(channelOutput(a, 1).size(), 2048u);
    EXPECT_EQ(a.processChunk(longer.data(), 8192, 2), -1) << "no third channel";
    ASSERT_EQ(a.processChunk(longer.data(), 8192, -1, 100), 0);
    EXPECT_EQ(a.currentLength(), 100);
}

TEST(DspAutomat, WriteBackChainsTheProcessorsAndSkipsTheSplitter) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    ASSERT_EQ(a.setAudioFormat(8000, 16, 1), 0);
    unaDspHandle eq = a.addProcessor(kDspKindEQ2B);
    // A low shelf reaching almost to the top: a quarter of the level for a steady chunk.
    a.setIntParam(eq, kDspMode + 1, kBiquadLowShelf);
    a.setFloatParam(eq, kDspFrequency + 1, 0.45f);
    a.setFloatParam(eq, kDspGain + 1, 0.25f);
    std::vector<int16_t> samples(320, 16000);
    auto* bytes = reinterpret_cast<uint8_t*>(samples.data());
    ASSERT_EQ(a.processChunk(bytes, 640), 0);
    EXPECT_EQ(samples[300], 16000) << "without write-back the chunk stays";
    const float once = channelOutput(a, 0)[300];
    EXPECT_NEAR(once, 0.25f * 16000 / 32767, 1e-3);

    a.addProcessor(kDspKindEQ2B);  // a second stage: off, so it passes what it is given
    ASSERT_EQ(a.processChunk(bytes, 640, -1, -1, true), 0);
    EXPECT_NEAR(samples[300], 16000 / 4, 30) << "the first stage was written back";
    EXPECT_NEAR(channelOutput(a, 0)[300], samples[300] / 32767.0f, 1e-4)
        << "the second stage saw the chunk as the first left it";

    // A splitter's bands add up to the chunk, which it never writes back.
    Fixture fy;
    unaDSPLibAutomat& b = *fy.automat;
    ASSERT_EQ(b.setAudioFormat(8000, 16, 1), 0);
    unaDspHandle sp = b.addProcessor(kDspKindMbSp);
    ASSERT_TRUE(b.isSplitter(sp));
    const float crossovers[2] = {0.02f, 0.1f};
    b.setArrayParam(sp, kDspFrequency, crossovers, 2);
    b.setIntParam(sp, kDspWindow, 3);
    std::vector<int16_t> tone(320);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(9000 * std::sin(0.3 * i) + 5000 * std::sin(0.01 * i));
    const std::vector<int16_t> original = tone;
    ASSERT_EQ(b.processChunk(reinterpret_cast<uint8_t*>(tone.data()), 640, -1, -1, true), 0);
    EXPECT_EQ(tone, original);
    std::vector<const unaDspParamEntry*> bands;
    for (uint32_t k = 0; k < 3; ++k)
        bands.push_back(fy.root.getArrayParam(sp, kDspOutput + k));
    ASSERT_EQ(bands[0]->count, 320);
    for (int32_t i = 0; i < 320; ++i) {
        const float sum =
            bands[0]->value.data[i] + bands[1]->value.data[i] + bands[2]->value.data[i];
        ASSERT_NEAR(sum, original[static_cast<size_t>(i)] / 32767.0f, 1e-6) << i;
    }
}

TEST(DspAutomat, ParametersAreLoggedOnceAndReachTheCopies) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    ASSERT_EQ(a.setAudioFormat(16000, 16, 2), 0);
    unaDspHandle nd = a.addProcessor(kDspKindND);
    std::vector<uint8_t> chunk = stereo16(640, 100, 100);
    ASSERT_EQ(a.processChunk(chunk.data(), 2560), 0);  // builds the copy's chain
    EXPECT_FALSE(a.resyncPending);

    EXPECT_TRUE(a.setFloatParam(nd, kDspSampleRate, 16000.0f));
    EXPECT_TRUE(a.setFloatParam(nd, kDspSampleRate, 8000.0f));
    EXPECT_EQ(a.parameterLog->getCount(), 1u) << "a newer value replaces the line";
    float there = 0;
    ASSERT_TRUE(a.getChannelFloatParam(nd, 1, kDspSampleRate, there));
    EXPECT_EQ(there, 8000.0f) << "forwarded to the copy";
    ASSERT_TRUE(a.getChannelFloatParam(nd, 0, kDspSampleRate, there));
    EXPECT_EQ(there, 8000.0f);
    EXPECT_FALSE(a.getChannelFloatParam(nd, 2, kDspSampleRate, there));

    // Binding buffers is never logged; a new processor the copy lacks stops forwarding.
    std::vector<float> buffer(8);
    EXPECT_TRUE(a.setArrayParam(nd, kDspInput, buffer.data(), 8));
    EXPECT_EQ(a.parameterLog->getCount(), 1u);
    unaDspHandle ld = a.addProcessor(kDspKindLD);
    EXPECT_TRUE(a.resyncPending);
    EXPECT_FALSE(a.getChannelFloatParam(ld, 1, kDspAttack, there));
    a.setFloatParam(ld, kDspAttack, 5.0f);
    ASSERT_EQ(a.processChunk(chunk.data(), 2560), 0);
    ASSERT_TRUE(a.getChannelFloatParam(ld, 1, kDspAttack, there));
    EXPECT_EQ(there, 5.0f) << "the rebuilt copy carries the logged value";
    EXPECT_EQ(a.getChannelFloatParam(nullptr, 0, kDspAttack, there), false);
}

TEST(DspAutomat, ConfigurationTextRoundTrips) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    unaDspHandle ld = a.addProcessor(kDspKindLD);
    a.setFloatParam(ld, kDspAttack, 10.0f);
    std::string text;
    ASSERT_EQ(a.saveConfig(text), 0);
    EXPECT_EQ(text, "numObjects=1\r\nobj.0.id=2\r\nobj.0.param.0.id=67328\r\nobj.0.param.0.value=" +
                        floatValue(10.0f) + "\r\nobj.0.numParams=1\r\n");

    unaDspHandle eq = a.addProcessor(kDspKindEQ2B);
    a.setIntParam(eq, kDspMode + 1, kBiquadLowShelf);
    const float curve[3] = {0.01f, 0.02f, 0.03f};
    a.setArrayParam(eq, kDspFrequency + 1, curve, 3);
    unaDspHandle nd = a.addProcessor(kDspKindND);
    a.setFloatParam(nd, kDspThreshold, 0.5f);
    ASSERT_EQ(a.saveConfig(text), 0);

    Fixture fresh;
    unaDSPLibAutomat& b = *fresh.automat;
    ASSERT_EQ(b.loadConfig(text), 0);
    ASSERT_EQ(b.processorCount(), 3u);
    EXPECT_EQ(b.getProcessor(0)->kind, kDspKindLD);
    EXPECT_EQ(b.getProcessor(1)->kind, kDspKindEQ2B);
    EXPECT_EQ(b.getProcessor(2)->kind, kDspKindND);
    EXPECT_EQ(b.getProcessor(0)->getFloatParam(kDspAttack), 10.0f);
    EXPECT_EQ(b.getProcessor(1)->getIntParam(kDspMode + 1), kBiquadLowShelf);
    const unaDspParamEntry* loaded = b.getProcessor(1)->getArrayParam(kDspFrequency + 1);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(loaded->count, 3);
    EXPECT_EQ(loaded->value.data[2], 0.03f);
    EXPECT_EQ(b.getProcessor(2)->getFloatParam(kDspThreshold), 0.5f);
    std::string again;
    ASSERT_EQ(b.saveConfig(again), 0);
    EXPECT_EQ(again, text) << "the reloaded chain writes the same text";

    // Loading replaces what was there.
    ASSERT_EQ(b.loadConfig("numObjects=1\r\nobj.0.id=5\r\n"), 0);
    ASSERT_EQ(b.processorCount(), 1u);
    EXPECT_EQ(b.getProcessor(0)->kind, kDspKindND);
    EXPECT_EQ(b.parameterLog->getCount(), 0u);
}

TEST(DspAutomat, HostileConfigurationTextLoadsWhatItCanAndNothingElse) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    ASSERT_EQ(a.setAudioFormat(8000, 16, 2), 0);
    const std::vector<std::string> lines = {
        "garbage line without equals",
        "NUMOBJECTS=6",
        "obj.0.id=0",    // below 1: empty slot
        "obj.1.id=99",   // no such kind: empty slot
        "obj.2.id=two",  // unreadable: 0, empty slot
        "obj.3.id=2",
        "obj.3.numParams=8",
        "obj.3.param.0.id=67328",
        "obj.3.param.0.value=  f" + floatValue(3.0f).substr(1) + "  ",  // lower-case type
        "obj.3.param.1.id=67584",
        "obj.3.param.1.value=F@@@",  // decodes to nothing: ignored
        "obj.3.param.2.id=67584",
        "obj.3.param.2.value=FAAAAAAA",  // 5 bytes, not a float: ignored
        "obj.3.param.3.id=-5",
        "obj.3.param.3.value=" + intValue(1),
        "obj.3.param.4.id=65792",  // the input buffer: never from text
        "obj.3.param.4.value=CAAAAAAAAAA=",
        "obj.3.param.5.id=67072",
        "obj.3.param.5.value=",  // empty: type U
        "obj.3.param.6.id=67072",
        "obj.3.param.6.value=X" + intValue(1).substr(1),
        "obj.3.param.9.id=67072",  // beyond numParams
        "obj.3.param.9.value=" + intValue(1),
        "obj.4.id=1",  // no numParams: no parameters
        "obj.4.param.0.id=67073",
        "obj.4.param.0.value=" + intValue(3),
    };
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    ASSERT_EQ(a.loadConfig(text), 0);
    ASSERT_EQ(a.processorCount(), 6u);
    for (uint32_t empty : {0u, 1u, 2u, 5u})
        EXPECT_EQ(a.getProcessor(empty), nullptr) << empty;
    unaDspHandle ld = a.getProcessor(3);
    ASSERT_NE(ld, nullptr);
    EXPECT_EQ(ld->getFloatParam(kDspAttack), 3.0f);
    EXPECT_FLOAT_EQ(ld->getFloatParam(kDspRelease), 88.2f);
    EXPECT_EQ(ld->getIntParam(kDspMode), 0);
    EXPECT_EQ(ld->getArrayParam(kDspInput)->count, 0) << "still the automat's own buffer";
    EXPECT_EQ(a.getProcessor(4)->getIntParam(kDspMode + 1), 0);
    EXPECT_EQ(a.parameterLog->getCount(), 1u);
    std::vector<uint8_t> chunk = stereo16(256, 1000, -1000);
    EXPECT_EQ(a.processChunk(chunk.data(), 1024), 0) << "empty slots are skipped";

    // Huge counts are cut short instead of hanging or exhausting memory.
    ASSERT_EQ(a.loadConfig("numObjects=2147483647\r\nobj.0.id=2\r\nobj.0.numParams=2147483647"), 0);
    EXPECT_EQ(a.processorCount(), static_cast<uint32_t>(kMaxConfigObjects));
    EXPECT_NE(a.getProcessor(0), nullptr);
    ASSERT_EQ(a.loadConfig("numObjects=-4"), 0);
    EXPECT_EQ(a.processorCount(), 0u);

    // A thousand processors, and a value of a megabyte.
    std::string many = "numObjects=1000\r\n";
    for (int i = 0; i < 1000; ++i)
        many += "obj." + std::to_string(i) + ".id=" + std::to_string(1 + i % 7) + "\r\n";
    const std::vector<float> big(262144, 0.5f);
    many += "obj.0.numParams=1\r\nobj.0.param.0.id=66305\r\nobj.0.param.0.value=C" +
            base64Encode(std::string_view(reinterpret_cast<const char*>(big.data()),
                                          big.size() * sizeof(float))) +
            "\r\n";
    ASSERT_EQ(a.loadConfig(many), 0);
    EXPECT_EQ(a.processorCount(), 1000u);
    const unaDspParamEntry* curve = a.getProcessor(0)->getArrayParam(kDspGain + 1);
    ASSERT_NE(curve, nullptr);
    EXPECT_EQ(curve->count, 262144);
    EXPECT_EQ(curve->value.data[262143], 0.5f);

    // Peak windows of 8 MB each: a few are taken, a hundred (most of a gigabyte) are refused
    // and the chain stays as it was. Speech processors at an absurd rate ask for three each.
    const auto peaks = [](int count, int kind) {
        const uint32_t shift = kind == 3 ? 2 : 0;  // the dynamics processor's detector
        const uint32_t size = kind == 4 ? kDspSampleRate : kDspWindow + shift;
        std::string text = "numObjects=" + std::to_string(count) + "\r\n";
        for (int i = 0; i < count; ++i) {
            const std::string o = "obj." + std::to_string(i);
            text += o + ".id=" + std::to_string(kind) + "\r\n" + o + ".numParams=2\r\n" + o +
                    ".param.0.id=" + std::to_string(size) + "\r\n" + o +
                    ".param.0.value=" + floatValue(1e9f) + "\r\n" + o +
                    ".param.1.id=" + std::to_string(kDspMode + shift) + "\r\n" + o +
                    ".param.1.value=" + intValue(1) + "\r\n";
        }
        return text;
    };
    Fixture fresh;
    unaDSPLibAutomat& b = *fresh.automat;
    ASSERT_EQ(b.setAudioFormat(8000, 16, 2), 0);
    ASSERT_EQ(b.loadConfig(peaks(4, 2)), 0);
    std::string before, after;
    b.saveConfig(before);
    for (const int kind : {2, 3, 4})
        EXPECT_EQ(b.loadConfig(peaks(100, kind)), kDspEFail) << kind;
    b.saveConfig(after);
    EXPECT_EQ(after, before);
    EXPECT_EQ(b.processorCount(), 4u);
}

TEST(DspAutomat, SplitterBandCountFollowsItsParameter) {
    Fixture fx;
    unaDSPLibAutomat& a = *fx.automat;
    ASSERT_EQ(a.setAudioFormat(8000, 16, 1), 0);
    std::vector<int16_t> samples(160, 1000);
    auto* bytes = reinterpret_cast<uint8_t*>(samples.data());
    ASSERT_EQ(a.processChunk(bytes, 320), 0);
    unaDspHandle sp = a.addProcessor(kDspKindMbSp);
    const float crossovers[3] = {0.01f, 0.05f, 0.2f};
    a.setArrayParam(sp, kDspFrequency, crossovers, 3);
    a.setIntParam(sp, kDspWindow, 4);
    for (uint32_t k = 0; k < 4; ++k)
        EXPECT_EQ(fx.root.getArrayParam(sp, kDspOutput + k)->count, 160) << k;
    EXPECT_EQ(fx.root.getArrayParam(sp, kDspOutput + 4)->count, 0);
    ASSERT_EQ(a.processChunk(bytes, 320), 0);
    EXPECT_TRUE(std::isfinite(channelOutput(a, 0)[100]));
    // An absurd band count binds no more than the splitter can have, and it refuses to run.
    a.setIntParam(sp, kDspWindow, 1 << 30);
    EXPECT_EQ(a.processChunk(bytes, 320), 0);
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "dsp_mixer_codec/unaDspBiquad.h"
#include "dsp_mixer_codec/unaDspDynamics.h"
#include "dsp_mixer_codec/unaDspLevel.h"
#include "dsp_mixer_codec/unaDspLibRoot.h"
#include "dsp_mixer_codec/unaDspMultiband.h"
#include "dsp_mixer_codec/unaDspNoise.h"
#include "dsp_mixer_codec/unaDspSpeech.h"

using namespace una;

namespace {

// A processor with caller-owned input and output buffers of one length.
struct Bench {
    std::vector<float> in, out;
    explicit Bench(unaDspDProcessor& p, size_t n, float fill = 0.0f) : in(n, fill), out(n, 0.0f) {
        p.setArrayParam(kDspInput, in.data(), static_cast<int32_t>(n));
        p.setArrayParam(kDspOutput, out.data(), static_cast<int32_t>(n));
    }
};

void sine(std::vector<float>& buffer, double frequency, double amplitude, size_t& phase) {
    for (float& x : buffer)
        x = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * phase++));
}

bool allFinite(const std::vector<float>& v) {
    for (const float x : v)
        if (!std::isfinite(x))
            return false;
    return true;
}

}  // namespace

TEST(DspParams, TypesAreSeparateEntriesAndOnlyOwnArraysAreCopied) {
    unaDspDL_LD ld;
    ld.changed = false;
    EXPECT_TRUE(ld.setIntParam(0x10900, 7));
    EXPECT_TRUE(ld.changed);
    ld.setFloatParam(0x10900, 2.5f);
    EXPECT_EQ(ld.getIntParam(0x10900), 7);
    EXPECT_FLOAT_EQ(ld.getFloatParam(0x10900), 2.5f);
    EXPECT_FALSE(ld.hasArrayParam(0x10900));
    EXPECT_EQ(ld.getIntParam(0x12345), 0);
    EXPECT_EQ(ld.getFloatParam(0x12345), 0.0f);
    EXPECT_EQ(ld.getArrayParam(0x12345), nullptr);

    std::vector<float> curve{1, 2, 3};
    ld.setArrayParam(0x10400, curve.data(), 3);
    curve[0] = 99;
    EXPECT_EQ(ld.getArrayParam(0x10400)->value.data[0], 1.0f) << "a parameter array is a copy";
    ld.setArrayParam(0x10400, curve.data(), 1);
    EXPECT_EQ(ld.getArrayParam(0x10400)->count, 1);
    // Handing the entry its own floats back is safe.
    const float* own = ld.getArrayParam(0x10400)->value.data;
    ld.setArrayParam(0x10400, own, 1);
    EXPECT_EQ(ld.getArrayParam(0x10400)->value.data[0], 99.0f);

    std::vector<float> buffer(4);
    ld.setArrayParam(0x10203, buffer.data(), 4);
    EXPECT_EQ(ld.getArrayParam(0x10203)->value.data, buffer.data()) << "outputs are borrowed";
    EXPECT_TRUE(unaDspDProcessor::isBorrowedArray(dspParamId(kDspTypeArray, 0x10101)));
    EXPECT_TRUE(unaDspDProcessor::isBorrowedArray(dspParamId(kDspTypeArray, 0x110200)));
    EXPECT_FALSE(unaDspDProcessor::isBorrowedArray(dspParamId(kDspTypeFloat, 0x10200)));
    EXPECT_FALSE(unaDspDProcessor::isBorrowedArray(dspParamId(kDspTypeArray, 0x10300)));
}

TEST(DspRoot, CreatesTheSevenKindsAndPassesEveryOperationThrough) {
    unaDspDLibRoot root;
    EXPECT_EQ(root.getVersion(), "1.D.02");
    for (int32_t kind = 1; kind <= 7; ++kind) {
        unaPtr<unaDspDProcessor> p = root.createProcessor(kind);
        ASSERT_TRUE(p) << kind;
        EXPECT_EQ(root.getKind(p.get()), kind);
        EXPECT_TRUE(root.destroyProcessor(std::move(p)));
    }
    EXPECT_FALSE(root.createProcessor(0));
    EXPECT_FALSE(root.createProcessor(8));
    EXPECT_FALSE(root.createProcessor(-1));

    unaPtr<unaDspDProcessor> ld = root.createProcessor(kDspKindLD);
    EXPECT_TRUE(root.setIntParam(ld.get(), kDspMode, 1));
    EXPECT_TRUE(root.setFloatParam(ld.get(), kDspAttack, 3.0f));
    std::vector<float> in(8, 0.5f), out(8);
    EXPECT_FALSE(root.process(ld.get(), 8)) << "nothing bound yet";
    EXPECT_TRUE(root.setArrayParam(ld.get(), kDspInput, in.data(), 8));
    root.setArrayParam(ld.get(), kDspOutput, out.data(), 8);
    EXPECT_TRUE(root.process(ld.get(), 8));
    EXPECT_EQ(root.getIntParam(ld.get(), kDspMode), 1);
    EXPECT_EQ(root.getFloatParam(ld.get(), kDspAttack), 3.0f);
    EXPECT_EQ(root.getArrayParam(ld.get(), kDspInput)->count, 8);
    EXPECT_TRUE(root.hasIntParam(ld.get(), kDspMode));
    EXPECT_TRUE(root.hasFloatParam(ld.get(), kDspAttack));
    EXPECT_TRUE(root.hasArrayParam(ld.get(), kDspOutput));
    EXPECT_FALSE(root.hasIntParam(ld.get(), kDspAttack));
    EXPECT_FALSE(root.process(nullptr, 8));
    EXPECT_EQ(root.getKind(nullptr), 0);
}

TEST(DspLevelDetector, RmsRisesWithTheAttackAndFallsWithTheRelease) {
    unaDspDL_LD ld;
    Bench b(ld, 2000, 0.5f);
    ASSERT_TRUE(ld.process(2000));
    const double gain = std::pow(10.0, 6.0 / 20.0);
    const double attack = 22.05 / 24.05;
    EXPECT_NEAR(ld.attackCoeff, attack, 1e-7);
    EXPECT_NEAR(ld.releaseCoeff, 44.1 / 46.1, 1e-7);
    EXPECT_NEAR(b.out[0], std::sqrt(gain * 0.25 * (1 - attack)), 1e-6);
    for (size_t i = 1; i < b.out.size(); ++i)
        ASSERT_GE(b.out[i], b.out[i - 1]) << i;
    EXPECT_NEAR(b.out.back(), std::sqrt(gain * 0.25), 1e-5) << "about 0.706";

    std::fill(b.in.begin(), b.in.end(), 0.0f);
    const double before = ld.smoothed;
    ASSERT_TRUE(ld.process(1));
    EXPECT_NEAR(b.out[0] * b.out[0], before * ld.releaseCoeff, 1e-6);

    // n beyond the bound count, or unequal counts, are refused and leave the output alone.
    b.out[0] = -7;
    EXPECT_FALSE(ld.process(2001));
    std::vector<float> shortOut(10);
    ld.setArrayParam(kDspOutput, shortOut.data(), 10);
    EXPECT_FALSE(ld.process(5));
    EXPECT_EQ(b.out[0], -7);
}

TEST(DspLevelDetector, FullScaleSineReadsAboutOne) {
    unaDspDL_LD ld;
    Bench b(ld, 44100);
    size_t phase = 0;
    sine(b.in, 1000.0 / 44100.0, 1.0, phase);
    ASSERT_TRUE(ld.process(44100));
    // The short attack lets it ripple with the tone; on average it reads the amplitude.
    double sum = 0;
    for (size_t i = 40000; i < 44100; ++i)
        sum += b.out[i];
    EXPECT_NEAR(sum / 4100, 1.0, 0.12);
}

TEST(DspLevelDetector, PeakWindowRescansOnlyWhenItsMaximumLeaves) {
    unaDspDL_LD ld;
    ld.setIntParam(kDspMode, 1);
    ld.setFloatParam(kDspAttack, 0.0f);  // smoothing off: the output is the window maximum
    ld.setFloatParam(kDspRelease, 0.0f);
    ld.setFloatParam(kDspWindow, 8.0f);  // 4 samples
    std::vector<float> in{0.9f, 0.6f, 0.6f, 0.2f, 0.1f, 0.1f, 0.1f, 0.1f, 0.05f, 0.3f};
    std::vector<float> out(in.size());
    ld.setArrayParam(kDspInput, in.data(), 5);
    ld.setArrayParam(kDspOutput, out.data(), 5);
    ASSERT_TRUE(ld.process(5));
    EXPECT_EQ(ld.windowLength, 4);
    // The 0.9 at position 0 was overwritten by the fifth sample: the backward scan meets the
    // 0.6 at position 2 first and keeps it over the equal one at position 1.
    EXPECT_EQ(ld.maxIndex, 2);
    ld.setArrayParam(kDspInput, in.data() + 5, 5);
    ld.setArrayParam(kDspOutput, out.data() + 5, 5);
    ASSERT_TRUE(ld.process(5));
    const std::vector<float> expected{0.9f, 0.9f, 0.9f, 0.9f, 0.6f, 0.6f, 0.2f, 0.1f, 0.1f, 0.3f};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_FLOAT_EQ(out[i], expected[i]) << i;

    // A window that changes length starts empty, not with the old maximum.
    ld.setFloatParam(kDspWindow, 20.0f);
    in[5] = 0.05f;
    ASSERT_TRUE(ld.process(1));
    EXPECT_EQ(ld.windowLength, 10);
    EXPECT_FLOAT_EQ(out[5], 0.05f);

    // An attack of 0 without a window still has a window of one sample.
    unaDspDL_LD lone;
    lone.setIntParam(kDspMode, 1);
    lone.setFloatParam(kDspAttack, 0.0f);
    Bench c(lone, 4, 0.25f);
    ASSERT_TRUE(lone.process(4));
    EXPECT_EQ(lone.windowLength, 1);
}

TEST(DspNoiseDetector, HoldsOutsideTheSpeechBandAndFollowsInsideIt) {
    unaDspDL_ND nd;
    Bench b(nd, 4410);
    size_t phase = 0;
    const double start = std::pow(10.0, -25.0 / 20.0);

    // 50 Hz lies below the band: the ratio stays low and the level does not move.
    for (int block = 0; block < 20; ++block) {
        sine(b.in, 50.0 / 44100.0, 0.5, phase);
        ASSERT_TRUE(nd.process(4410));
    }
    EXPECT_FLOAT_EQ(nd.noiseLevel, static_cast<float>(start));
    EXPECT_FLOAT_EQ(nd.getFloatParam(kDspOutput), static_cast<float>(start));
    EXPECT_FLOAT_EQ(b.out.back(), static_cast<float>(start));

    // 1 kHz is inside: the level moves towards the tone's RMS, about 0.354 at amplitude 0.5.
    for (int block = 0; block < 40; ++block) {
        sine(b.in, 1000.0 / 44100.0, 0.5, phase);
        ASSERT_TRUE(nd.process(4410));
    }
    EXPECT_NEAR(nd.getFloatParam(kDspOutput), 0.3536, 0.02);

    // Every parameter change starts again from -25 dB; a threshold the ratio never beats holds.
    nd.setFloatParam(kDspThreshold, 1.5f);
    sine(b.in, 1000.0 / 44100.0, 0.5, phase);
    ASSERT_TRUE(nd.process(4410));
    EXPECT_FLOAT_EQ(nd.getFloatParam(kDspOutput), static_cast<float>(start));

    // Only the input is required; without it nothing happens.
    unaDspDL_ND bare;
    EXPECT_FALSE(bare.process(10));
    std::vector<float> in(64, 0.1f);
    bare.setArrayParam(kDspInput, in.data(), 64);
    EXPECT_TRUE(bare.process(64));
    EXPECT_FALSE(bare.process(65));
}

TEST(DspEqualiser, FaultyDesignIsSilentAndCurvesMatchScalars) {
    unaDspBiquadCoeffs c;
    EXPECT_FALSE(designBiquad(kBiquadPeaking, 0.0, 0.1, 2.0, c)) << "Q of 0";
    EXPECT_EQ(c.b0, 0.0);
    EXPECT_EQ(c.b2, 0.0);
    EXPECT_FALSE(designBiquad(kBiquadPeaking, 1.0, 0.1, 0.0, c)) << "gain 0 cannot peak";
    EXPECT_TRUE(designBiquad(9, 1.0, 0.1, 2.0, c)) << "unknown types pass through";
    EXPECT_EQ(c.b0, 1.0);

    // A band with a per-sample curve holding the scalar values gives the scalar result.
    unaDspDL_EQ2B plain, curved;
    for (unaDspDL_EQ2B* eq : {&plain, &curved}) {
        eq->setIntParam(kDspMode + 1, kBiquadPeaking);
        eq->setFloatParam(kDspGain + 1, 3.0f);
        eq->setFloatParam(kDspFrequency + 1, 0.05f);
    }
    const std::vector<float> curve(3, 0.05f);  // shorter than the block: its last value holds
    curved.setArrayParam(kDspFrequency + 1, curve.data(), 3);
    Bench p(plain, 256), q(curved, 256);
    size_t phase = 0;
    sine(p.in, 0.01, 0.5, phase);
    q.in = p.in;
    ASSERT_TRUE(plain.process(256));
    ASSERT_TRUE(curved.process(256));
    for (size_t i = 0; i < 256; ++i)
        ASSERT_NEAR(p.out[i], q.out[i], 1e-6) << i;

    // Q of 0 mutes the band instead of passing a stale part of it.
    plain.setFloatParam(kDspQ + 1, 0.0f);
    ASSERT_TRUE(plain.process(256));
    for (const float y : p.out)
        ASSERT_EQ(y, 0.0f);

    unaDspDL_EQ2B unbound;
    EXPECT_FALSE(unbound.process(1));
}

TEST(DspDynamics, RatiosLimitsAndKey) {
    unaDspDL_DynProc dyn;
    Bench b(dyn, 4410, 0.9f);
    dyn.setFloatParam(kDspRatio, 0.01f);
    b.out[0] = -3;
    EXPECT_FALSE(dyn.process(4410)) << "ratio 0.01";
    EXPECT_EQ(b.out[0], -3);
    dyn.setFloatParam(kDspRatio, 4.0f);
    dyn.setFloatParam(kDspRelease, -10.0f);
    EXPECT_FALSE(dyn.process(4410)) << "negative release";

    // Ratio 1000: slope 0 above the threshold, so the output settles at gain above x T.
    dyn.setFloatParam(kDspRelease, 2205.0f);
    dyn.setFloatParam(kDspRatio, 1000.0f);
    dyn.setFloatParam(kDspThreshold, 0.25f);
    dyn.setFloatParam(kDspGain, 1.5f);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(dyn.process(4410));
    EXPECT_EQ(dyn.slopeAbove, 0.0);
    EXPECT_NEAR(dyn.smoothedLevel, 1.5 * 0.25, 1e-3);
    // Measured the way the detector measures (RMS, 6 dB up), the output sits at that level.
    EXPECT_NEAR(b.out.back() * std::pow(10.0, 6.0 / 40.0), 1.5 * 0.25, 1e-3);
    EXPECT_EQ(dyn.getIntParam(kDspWindow), 4410) << "every sample was above";

    // A gate keyed on a silent key closes even though the input is loud.
    unaDspDL_DynProc gate;
    Bench g(gate, 4410, 0.5f);
    std::vector<float> key(4410, 0.0f);
    gate.setArrayParam(kDspKeyInput, key.data(), 4410);
    gate.setFloatParam(kDspRatio + 1, 0.05f);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(gate.process(4410));
    EXPECT_LT(std::fabs(g.out.back()), 1e-3);
    EXPECT_EQ(gate.getIntParam(kDspWindow), 0);
    std::vector<float> shortKey(10);
    gate.setArrayParam(kDspKeyInput, shortKey.data(), 10);
    EXPECT_FALSE(gate.process(10)) << "a key of another length";
}

TEST(DspSpeech, ThresholdIsCappedAndTheLimiterHolds) {
    unaDspDL_SpeechProc sp;
    Bench b(sp, 1764);
    sp.setFloatParam(kDspThreshold, static_cast<float>(std::pow(10.0, -10.0 / 20.0)));
    size_t phase = 0;
    float peak = 0;
    for (int block = 0; block < 100; ++block) {
        sine(b.in, 1000.0 / 44100.0, 0.9, phase);
        ASSERT_TRUE(sp.process(1764));
        if (block >= 25)
            for (const float y : b.out)
                peak = std::max(peak, std::fabs(y));
    }
    const double d = std::pow(10.0, -18.0 / 20.0);
    EXPECT_FLOAT_EQ(sp.gate->getFloatParam(kDspThreshold), static_cast<float>(d)) << "-18 dB";
    const double e = std::pow(10.0, -12.0 / 20.0);
    EXPECT_FLOAT_EQ(sp.agc->getFloatParam(kDspThreshold),
                    static_cast<float>(d * std::pow(e / d, 0.125)));
    EXPECT_EQ(sp.lookAheadLength, 220);
    EXPECT_GT(peak, 0.3f);
    EXPECT_LT(peak, 1.0f) << "the limiter keeps a loud tone below full scale";
    EXPECT_GT(sp.getIntParam(kDspWindow), 0);

    // The threshold array wins over the float, on every call.
    const float low = static_cast<float>(std::pow(10.0, -40.0 / 20.0));
    sp.setArrayParam(kDspThreshold, &low, 1);
    ASSERT_TRUE(sp.process(1764));
    EXPECT_FLOAT_EQ(sp.gate->getFloatParam(kDspThreshold), low);

    // Below 200 Hz there is no look-ahead, and nothing breaks.
    unaDspDL_SpeechProc slow;
    slow.setFloatParam(kDspSampleRate, 100.0f);
    Bench s(slow, 64, 0.1f);
    EXPECT_TRUE(slow.process(64));
    EXPECT_EQ(slow.lookAheadLength, 0);
    EXPECT_TRUE(allFinite(s.out));
}

TEST(DspMultiband, EqualiserRefusesBadBandsAndSplitterBandsAddUp) {
    unaDspDL_EQMB eq;
    Bench b(eq, 64, 0.25f);
    ASSERT_TRUE(eq.process(64)) << "no bands: a copy";
    EXPECT_EQ(b.out[10], 0.25f);
    std::vector<float> f(33, 0.01f), g(33, 2.0f);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = 0.001f * static_cast<float>(i + 1);
    eq.setArrayParam(kDspFrequency, f.data(), 33);
    eq.setArrayParam(kDspGain, g.data(), 33);
    eq.setIntParam(kDspWindow, 33);
    b.out.assign(64, -1.0f);
    EXPECT_FALSE(eq.process(64)) << "33 bands";
    EXPECT_EQ(b.out[0], -1.0f) << "untouched";
    eq.setIntParam(kDspWindow, 32);
    EXPECT_TRUE(eq.process(64));
    f[3] = 0.0f;
    eq.setArrayParam(kDspFrequency, f.data(), 33);
    b.out.assign(64, -1.0f);
    EXPECT_FALSE(eq.process(64)) << "a frequency of 0";
    EXPECT_EQ(b.out[0], -1.0f);
    // A single band has no neighbours to take its width from.
    eq.setIntParam(kDspWindow, 1);
    f[0] = 0.05f;
    eq.setArrayParam(kDspFrequency, f.data(), 1);
    EXPECT_TRUE(eq.process(64));
    EXPECT_TRUE(allFinite(b.out));
    // Half the sample rate and above: the band's design breaks down there.
    for (const float high : {0.5f, 0.7f, 1.0f}) {
        f[0] = high;
        eq.setArrayParam(kDspFrequency, f.data(), 1);
        b.out.assign(64, -1.0f);
        EXPECT_FALSE(eq.process(64)) << high;
        EXPECT_EQ(b.out[0], -1.0f);
    }
    f[0] = 0.499f;
    eq.setArrayParam(kDspFrequency, f.data(), 1);
    EXPECT_TRUE(eq.process(64));
    EXPECT_NE(b.out[20], 0.0f) << "just below it the band still passes sound";

    unaDspDL_MbSp sp;
    std::vector<float> in(512), low(512), high(512);
    size_t phase = 0;
    sine(in, 0.003, 0.4, phase);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] += 0.3f * std::sin(static_cast<float>(i) * 2.1f);
    sp.setArrayParam(kDspInput, in.data(), 512);
    sp.setIntParam(kDspWindow, 2);
    const float crossover = 0.05f;
    sp.setArrayParam(kDspFrequency, &crossover, 1);
    EXPECT_FALSE(sp.process(512)) << "band outputs not bound";
    sp.setArrayParam(kDspOutput, low.data(), 512);
    sp.setArrayParam(kDspOutput + 1, high.data(), 512);
    ASSERT_TRUE(sp.process(512));
    double lowEnergy = 0, highEnergy = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_NEAR(low[i] + high[i], in[i], 1e-6) << i;
        if (i >= 256) {
            lowEnergy += low[i] * low[i];
            highEnergy += high[i] * high[i];
        }
    }
    EXPECT_GT(lowEnergy, 0.5 * 256 * 0.4 * 0.4 * 0.8) << "the slow tone stays low";
    EXPECT_GT(highEnergy, 0.5 * 256 * 0.3 * 0.3 * 0.8) << "the fast one goes high";

    sp.setIntParam(kDspWindow, 1);
    EXPECT_FALSE(sp.process(512)) << "one band";
    sp.setIntParam(kDspWindow, 3);
    EXPECT_FALSE(sp.process(512)) << "two bands' worth of crossovers missing";
}

TEST(DspHostileSamples, NoKindKeepsNanOrInfinityInItsState) {
    unaDspDLibRoot root;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float denormal = std::numeric_limits<float>::denorm_min();
    for (int32_t kind = 1; kind <= 7; ++kind) {
        unaPtr<unaDspDProcessor> p = root.createProcessor(kind);
        std::vector<float> in(256), out(256), band2(256);
        p->setArrayParam(kDspInput, in.data(), 256);
        p->setArrayParam(kDspOutput, out.data(), 256);
        if (kind == kDspKindEQ2B) {
            p->setIntParam(kDspMode + 1, kBiquadPeaking);
            p->setIntParam(kDspMode + 2, kBiquadLowShelf);
        } else if (kind == kDspKindLD) {
            p->setIntParam(kDspMode, 1);
        } else if (kind == kDspKindEQMB) {
            const float f[2] = {0.01f, 0.1f}, g[2] = {2.0f, 0.5f};
            p->setArrayParam(kDspFrequency, f, 2);
            p->setArrayParam(kDspGain, g, 2);
            p->setIntParam(kDspWindow, 2);
        } else if (kind == kDspKindMbSp) {
            const float f = 0.05f;
            p->setArrayParam(kDspFrequency, &f, 1);
            p->setIntParam(kDspWindow, 2);
            p->setArrayParam(kDspOutput + 1, band2.data(), 256);
        }
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = (i % 4 == 0) ? nan : (i % 4 == 1) ? inf : (i % 4 == 2) ? -inf : denormal;
        ASSERT_TRUE(p->process(256)) << kind;
        for (int block = 0; block < 20; ++block) {
            for (size_t i = 0; i < in.size(); ++i)
                in[i] = 0.3f * std::sin(0.05f * static_cast<float>(i + 256 * block));
            ASSERT_TRUE(p->process(256)) << kind;
        }
        EXPECT_TRUE(allFinite(out)) << "kind " << kind;
        EXPECT_TRUE(allFinite(band2)) << "kind " << kind;
        EXPECT_TRUE(std::isfinite(p->getFloatParam(kDspOutput))) << "kind " << kind;
    }
}

#include "dsp_mixer_codec/unaDspSpeech.h"

#include <algorithm>
#include <cmath>

namespace una {

namespace {

const float kButterworthQ = static_cast<float>(1.0 / std::sqrt(2.0));

// How a dynamics processor measures and how fast its gain moves, lengths in samples.
void setTiming(unaDspDL_DynProc& p, int32_t detectorMode, float detectorAttack,
               float detectorRelease, float detectorWindow, float gainAttack, float gainRelease) {
    p.setIntParam(kDspDetectorMode, detectorMode);
    p.setFloatParam(kDspDetectorAttack, detectorAttack);
    p.setFloatParam(kDspDetectorRelease, detectorRelease);
    p.setFloatParam(kDspDetectorWindow, detectorWindow);
    p.setFloatParam(kDspAttack, gainAttack);
    p.setFloatParam(kDspRelease, gainRelease);
}

// Its ratios and gains above and below the threshold.
void setCurve(unaDspDL_DynProc& p, float ratioAbove, float ratioBelow, float gainAbove,
              float gainBelow) {
    p.setFloatParam(kDspRatio, ratioAbove);
    p.setFloatParam(kDspRatio + 1, ratioBelow);
    p.setFloatParam(kDspGain, gainAbove);
    p.setFloatParam(kDspGain + 1, gainBelow);
}

void wire(unaDspDProcessor& p, std::vector<float>& from, std::vector<float>& to, int32_t count) {
    p.setArrayParam(kDspInput, from.data(), count);
    p.setArrayParam(kDspOutput, to.data(), count);
}

}  // namespace

unaDspDL_SpeechProc::unaDspDL_SpeechProc()
    : unaDspDProcessor(4),
      splitFilter(make<unaDspDL_EQ2B>()),
      presenceFilter(make<unaDspDL_EQ2B>()),
      agc(make<unaDspDL_DynProc>()),
      compressor(make<unaDspDL_DynProc>()),
      gate(make<unaDspDL_DynProc>()),
      limiter(make<unaDspDL_DynProc>()),
      highBandCompressor(make<unaDspDL_DynProc>()) {
    setFloatParam(kDspSampleRate, 44100.0f);
    setFloatParam(kDspSampleRate + 1, 5000.0f);
    setFloatParam(kDspSampleRate + 3, 2000.0f);
    setFloatParam(kDspSampleRate + 4, 300.0f);
    setFloatParam(kDspQ + 1, 0.4f);
    setFloatParam(kDspGain, static_cast<float>(dbToLinear(6.0)));
    setFloatParam(kDspGain + 5, static_cast<float>(dbToLinear(-0.5)));
    setFloatParam(kDspThreshold, static_cast<float>(dbToLinear(-36.0)));
    setIntParam(kDspWindow, 0);
}

void unaDspDL_SpeechProc::configure(float sr, int32_t count) {
    if (bufferCapacity < count) {
        bufferCapacity = count;
        for (std::vector<float>* b : {&bufferA, &bufferB, &bufferC, &delayed})
            b->assign(static_cast<size_t>(count), 0.0f);
    }
    // 5 ms of look-ahead; none below 200 Hz, where it would round to nothing.
    const double wanted = std::floor(static_cast<double>(sr) * 0.005);
    const int32_t length = wanted >= 1.0 ? sampleLength(wanted, kMaxLookAhead) : 0;
    if (length > static_cast<int32_t>(lookAhead.size())) {
        lookAhead.assign(static_cast<size_t>(length), 0.0f);
        lookAheadPos = 0;
    }
    lookAheadLength = length;
    if (lookAheadPos >= lookAheadLength)
        lookAheadPos = 0;

    setTiming(*agc, 1, 0.001f * sr, 1.0f * sr, 0.5f * sr, 0.01f * sr, 0.05f * sr);
    presenceFilter->setIntParam(kDspMode + 1, kBiquadPeaking);
    presenceFilter->setFloatParam(kDspGain + 1, static_cast<float>(dbToLinear(6.0)));
    presenceFilter->setFloatParam(kDspFrequency + 1, getFloatParam(kDspSampleRate + 1) / sr);
    presenceFilter->setFloatParam(kDspQ + 1, getFloatParam(kDspQ + 1));
    presenceFilter->setIntParam(kDspMode + 2, kBiquadHighPass);
    presenceFilter->setFloatParam(kDspFrequency + 2, getFloatParam(kDspSampleRate + 4) / sr);
    presenceFilter->setFloatParam(kDspQ + 2, kButterworthQ);
    splitFilter->setIntParam(kDspMode + 1, kBiquadOff);
    splitFilter->setIntParam(kDspMode + 2, kBiquadHighPass);
    splitFilter->setFloatParam(kDspFrequency + 2, getFloatParam(kDspSampleRate + 3) / sr);
    splitFilter->setFloatParam(kDspQ + 2, kButterworthQ / 2.0f);
    const auto highGain = static_cast<float>(dbToLinear(3.0));
    setTiming(*highBandCompressor, 0, 0.001f * sr, 0.001f * sr, 0.0f, 0.005f * sr, 0.05f * sr);
    highBandCompressor->setFloatParam(kDspThreshold, static_cast<float>(dbToLinear(-20.0)));
    setCurve(*highBandCompressor, 100.0f, 1.0f, highGain, highGain);
    const float outputGain = getFloatParam(kDspGain);
    setTiming(*compressor, 0, 0.001f * sr, 0.005f * sr, 0.0f, 0.005f * sr, 0.05f * sr);
    compressor->setFloatParam(kDspThreshold, static_cast<float>(dbToLinear(-12.0)));
    setCurve(*compressor, 4.0f, 1.0f, outputGain, outputGain);
    setTiming(*gate, 1, 0.001f * sr, 0.001f * sr, 0.001f * sr, 0.005f * sr, 0.3f * sr);
    setCurve(*gate, 1.0f, 0.05f, 1.0f, 1.0f);
    setTiming(*limiter, 1, 0.0f, 0.001f * sr, 0.005f * sr, 0.0f, 0.05f * sr);
    limiter->setFloatParam(kDspThreshold, getFloatParam(kDspGain + 5));
    setCurve(*limiter, 100.0f, 1.0f, 1.0f, 1.0f);

    wire(*agc, delayed, bufferA, count);
    wire(*presenceFilter, bufferA, bufferB, count);
    wire(*splitFilter, bufferB, bufferC, count);
    wire(*highBandCompressor, bufferC, bufferB, count);
    wire(*gate, bufferA, bufferB, count);
    const std::span<float> in = boundArray(kDspInput);
    gate->setArrayParam(kDspKeyInput, in.data(), static_cast<int32_t>(in.size()));
    wire(*compressor, bufferB, bufferA, count);
    const std::span<float> out = boundArray(kDspOutput);
    limiter->setArrayParam(kDspInput, bufferA.data(), count);
    limiter->setArrayParam(kDspOutput, out.data(), count);
}

void unaDspDL_SpeechProc::applyThreshold() {
    const unaDspParamEntry* curve = getArrayParam(kDspThreshold);
    double d = curve && curve->count > 0 ? curve->value.data[0] : getFloatParam(kDspThreshold);
    // Never so high that speech itself is gated, never below the gain floor.
    d = std::min(d, dbToLinear(-18.0));
    if (!(d >= dbToLinear(-127.0)))
        d = dbToLinear(-127.0);
    const double e = dbToLinear(-12.0);
    const double h = d * std::pow(e / d, 0.125);
    agc->setFloatParam(kDspThreshold, static_cast<float>(h));
    setCurve(*agc, 8.0f, 0.125f, static_cast<float>(e / h), static_cast<float>(e / h));
    gate->setFloatParam(kDspThreshold, static_cast<float>(d));
}

uint64_t unaDspDL_SpeechProc::stateBytes() {
    const float sr = getFloatParam(kDspSampleRate);
    // The windows configure gives the AGC, the gate and the limiter.
    uint64_t samples = 0;
    for (const float window : {0.5f * sr, 0.001f * sr, 0.005f * sr})
        samples += static_cast<uint64_t>(peakWindowLength(0.0f, true, window));
    const double lookAhead = std::floor(static_cast<double>(sr) * 0.005);
    const int32_t delay = lookAhead >= 1.0 ? sampleLength(lookAhead, kMaxLookAhead) : 0;
    return samples * sizeof(double) + static_cast<uint64_t>(delay) * sizeof(float);
}

bool unaDspDL_SpeechProc::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    const std::span<float> out = boundArray(kDspOutput);
    if (n < 0 || in.empty() || in.size() != out.size() || in.size() < static_cast<size_t>(n))
        return false;
    const unaDspParamEntry* curve = getArrayParam(kDspThreshold);
    const bool thresholdCurve = curve && curve->count > 0;
    if (changed) {
        configure(getFloatParam(kDspSampleRate), static_cast<int32_t>(out.size()));
        applyThreshold();
    } else if (thresholdCurve) {
        applyThreshold();
    }

    for (int32_t i = 0; i < n; ++i) {
        const auto at = static_cast<size_t>(i);
        const float x = finiteSample(in[at]);
        if (lookAheadLength > 0) {
            delayed[at] = lookAhead[static_cast<size_t>(lookAheadPos)];
            lookAhead[static_cast<size_t>(lookAheadPos)] = x;
            if (++lookAheadPos >= lookAheadLength)
                lookAheadPos = 0;
        } else {
            delayed[at] = x;
        }
    }
    if (!agc->process(n) || !presenceFilter->process(n) || !splitFilter->process(n))
        return false;
    for (int32_t i = 0; i < n; ++i)
        bufferA[static_cast<size_t>(i)] -= bufferC[static_cast<size_t>(i)];
    if (!highBandCompressor->process(n))
        return false;
    for (int32_t i = 0; i < n; ++i)
        bufferA[static_cast<size_t>(i)] += bufferB[static_cast<size_t>(i)];
    if (!gate->process(n) || !compressor->process(n) || !limiter->process(n))
        return false;
    setIntParam(kDspWindow, gate->getIntParam(kDspWindow));
    changed = false;
    return true;
}

}  // namespace una

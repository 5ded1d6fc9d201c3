#pragma once
// Test material for the delay finder, made here because nothing may be downloaded: a radio
// and a TV recording of one match (the same stadium under two different commentators, the TV
// late by a known lag and passed through what a TV path does), or of two different matches.
// Commentators speak through espeak-ng when it is installed, else a synthetic babble stands in.
// Pure functions of their recipe (the seed fixes every random choice); safe from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace una::pairs {

struct Side {
    std::vector<float> samples;  // mono, [-1, 1]
    int sampleRate = 48000;
};

enum class TvCodec { None, ULaw, Gsm };  // Gsm runs the TV side at 8 kHz

struct PairSpec {
    uint64_t seed = 1;
    double seconds = 30;      // length of each recording; both start together
    double lagSeconds = 5;    // the TV behind the radio
    bool shared = true;       // false: the TV shows another match
    int radioRate = 48000;
    int tvRate = 48000;
    TvCodec tvCodec = TvCodec::None;
    double tvLowPassHz = 0;   // 0: none
    double tvClockPpm = 0;    // the TV input's clock runs this much fast
    double tvStadiumGain = 0.2;      // the TV's stadium, under its commentator
    double tvCommentatorGain = 0.6;
    bool room = false;        // the TV heard by a microphone: reverberation and room noise
    // Room: the program's own playback of the radio, this much behind it, in the microphone.
    std::optional<double> ownPlaybackLagSeconds;
    double ownPlaybackGain = 0.5;
    // A stream that rebuffers: at this TV time (s; negative: never) the TV goes silent for
    // jumpBySeconds and then carries on where it stopped, that much later.
    double jumpAtSeconds = -1;
    double jumpBySeconds = 0;
};

struct Pair {
    Side radio;
    Side tv;
    // The lag in the middle of the TV recording, on the two files' own clocks (a TV clock
    // that runs fast makes the lag shrink along the recording).
    double trueLagSeconds = 0;
};

Pair makePair(const PairSpec& recipe);

// A varied recipe for pair number index of a benchmark run: lags over the whole range, rates,
// codecs, clock errors, rooms; every fifth pair shares nothing.
PairSpec variedSpec(uint64_t index, double seconds);

// 16-bit PCM mono WAV; false when the file cannot be written.
bool writeWav16(const std::string& path, const Side& side);

// True when commentators come from espeak-ng rather than the stand-in babble.
bool haveSpeech();

}  // namespace una::pairs

#pragma once
// The delay line in simulated time: a recording card, the recorder's chunks, the converter,
// the mixer's timer, the player and the playback card, each on its own clock, with stalls of
// the timer or of the whole machine. Hours of running take seconds.
//
// The recording carries a clock of its own in the sound: the left channel is sin and the right
// cos of 2 pi f t, t being the moment the frame was captured. What the playback card plays is
// decoded the way a listener's ear would hear it: the phase of each chunk's first frame tells
// when it was captured, the card's converter tells when it is heard, and the difference, in
// real time (the simulation's clock), is the delay a listener hears. Use from one thread.

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "audio/delayLine.h"

namespace una::sim {

struct Stall {
    double at = 0;        // seconds after the recorder opened
    double seconds = 0;
    bool machine = false; // the whole machine (recording card overruns), else only the timer
};

struct DelayChange {
    double at = 0;  // seconds after the recorder opened
    double delaySeconds = 0;
};

struct Setup {
    uint32_t inRate = 44100;
    uint32_t outRate = 44100;
    uint32_t channels = 2;
    double delaySeconds = 2.0;
    // The mixer opens this late or early against the delay (the window's timer is coarse).
    double startLateSeconds = 0.0;
    double runSeconds = 10.0;
    double inPpm = 0, outPpm = 0, timerPpm = 0;
    // Latency of the paths as the cards report it: capture to delivery and take to hearing.
    double inLatency = 0.02, outLatency = 0.05;
    // Noise of the readings (uniform, +-) and of the mixer's tick times.
    double readingNoise = 0.0005, tickJitter = 0.002;
    // The recording card's readings this late until this moment (seconds after the recorder
    // opened), as a sound server gives a monitor's at first.
    double inLateSeconds = 0, inLateUntil = 0;
    // The playback card's readings this late until this moment, as a line through a graph
    // server's first few answers is.
    double outLateSeconds = 0, outLateUntil = 0;
    double toneHz = 1.0;
    std::vector<Stall> stalls;
    std::vector<DelayChange> changes;
    DelayLineTuning tuning;
    uint32_t seed = 1;
    // The recording's content instead of the clock tone (frame index -> interleaved samples).
    std::function<void(uint64_t frame, int16_t* out)> source;
    // Every chunk the card plays (its first output frame and the samples).
    std::function<void(uint64_t frame, const std::vector<int16_t>& chunk)> played;
};

struct Result {
    // Error of what was heard (heard minus captured minus the delay asked for), over the chunks
    // measured from `settledAfter` on and not within a second of a stall or a change.
    double maxAbsError = 0;
    double meanError = 0;
    uint64_t measured = 0;
    // Per second of the run: the largest error heard in it (NaN when nothing was measured).
    std::vector<double> errorBySecond;
    // When the first whole chunk of sound was heard, seconds after the recorder opened.
    double firstSound = std::numeric_limits<double>::quiet_NaN();
    uint64_t silentChunks = 0;  // chunks heard as silence after the start
    uint32_t underruns = 0;     // the playback card ran dry
    uint32_t overflows = 0;     // the player's input was full and a chunk was lost
    DelayLine::Figures figures;
};

// The error (s) measured from `settledAfter` seconds after the recorder opened.
Result simulate(const Setup& setup, double settledAfter = 1.0);

}  // namespace una::sim

#pragma once
// The delay finder's heart: two recordings in, the lag between them and how sure it is out.
// A pure function: no state, no threads of its own, safe to call from any thread at once.

#include <optional>
#include <span>

namespace una::finder {

// One side of a measurement: mono samples in [-1, 1] at their own rate (the two sides may
// differ). startSeconds places the first sample on the clock both sides share: two recordings
// that started together leave it at 0 on both; a live window whose radio history reaches
// maxLag further back than the TV's gives the radio -maxLag (or the TV +maxLag).
struct Signal {
    std::span<const float> samples;
    int sampleRate = 0;
    double startSeconds = 0;
};

// The lags worth looking at. ownPlaybackLagSeconds: where the program's own delayed playback
// shows up in the TV input (a microphone hears the speakers too); a peak there is not the TV.
struct SearchRange {
    double minLagSeconds = 0.1;
    double maxLagSeconds = 160.0;
    std::optional<double> ownPlaybackLagSeconds;
};

enum class Problem {
    None,
    TooShort,     // less than kMinOverlapSeconds of the two sides can be compared
    Silent,       // one side carries (next to) nothing
    Clipped,      // one side sits at full scale too often to be trusted
    NotClear,     // no lag stands out: the TV was not heard clearly, or shares nothing
    BeyondRange,  // a clear lag, but outside the range searched (lagSeconds tells it)
    BadInput,     // no samples, a rate outside 1000-384000 Hz, a sample that is not a number,
                  // or a range with minLagSeconds >= maxLagSeconds
};

// lagSeconds > 0: the TV carries the radio's sound that much later. confidence is 0 to 1;
// confident is confidence >= kConfidenceThreshold with no problem, and only then is the lag
// meant to be acted on. A NotClear or BeyondRange answer still carries the best lag seen.
struct DelayEstimate {
    bool confident = false;
    double lagSeconds = 0;
    double confidence = 0;
    Problem problem = Problem::None;
};

// From 60 generated pairs (bench/finder_accuracy prints both sides): two different matches
// reached 0.33 at most (in a room, the rest under 0.2); right lags sat at 0.42 and above but
// for two rooms where the program's own playback was louder than the TV. A wrong lock is
// worse than none, so the margin is kept on the strangers' side.
inline constexpr double kConfidenceThreshold = 0.40;

// Both sides must overlap by this much at a candidate lag for it to count.
inline constexpr double kMinOverlapSeconds = 4.0;

// The rate the search runs at; signals already at it are used as they are.
inline constexpr int kAnalysisRate = 4000;

// What findDelay would say of this side alone: BadInput, TooShort, Silent, Clipped or None.
Problem checkSignal(Signal side);

// Finds the lag of tv behind radio within range. Never throws for bad signals: a problem is
// part of the answer, and then confident is false.
DelayEstimate findDelay(Signal radio, Signal tv, const SearchRange& range = {});

}  // namespace una::finder

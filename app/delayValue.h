#pragma once
// The delay's two controls: the edit `Currencys` counts seconds and shows one decimal place,
// the slider `tracksegons` counts tenths of a second. These are the rules that keep them in
// step and turn the edit's value into the one-shot timer's interval. Pure functions, safe from
// any thread.

#include <cstdint>
#include <string>

namespace una::app {

inline constexpr double kMaxDelaySeconds = 160.0;
inline constexpr double kMinDelaySeconds = 0.1;
// Below this many seconds the slider keeps its design range of 0.1 to 16 s.
inline constexpr double kSliderFullRangeSeconds = 8.0;
inline constexpr int32_t kSliderDesignMax = 160;

// What the edit reads back for a value put into it: the number its text shows, rounded to one
// decimal place, halves away from zero (0.004 reads 0, 0.05 reads 0.1). Not a number reads 0.
double delayEditReadBack(double value);

// The state the exit rule leaves the two controls in.
struct DelayControls {
    double seconds = kMinDelaySeconds;  // what the edit holds afterwards (already read back)
    int32_t sliderMax = kSliderDesignMax;
    // May exceed sliderMax (12.5 s gives 121 against 120); a slider clamps it to its maximum.
    int32_t sliderPosition = 1;
};

// The edit's exit rule (`CurrencysExit`): above 160 s the edit becomes 160; 0 (and, so that
// nothing unchecked reaches the timer, any negative value) becomes 0.1; then the slider's
// maximum is 160 for up to 8 s and the whole seconds times 10 above that, and its position is
// the whole seconds times 10, plus 1 when there is a fractional part.
DelayControls delayExitRule(double editValue);

// The edit's value for a slider position moved by the user (`tracksegonsChange`).
double delayFromSlider(int32_t position);

// The one-shot timer's interval: the edit's seconds times 1000 as a whole number of
// milliseconds. Feed it the exit rule's seconds; values outside 0.1-160 s are not corrected.
uint32_t delayMilliseconds(double seconds);

// A delay found by listening, by taps or kept in a preset: bounded to 0.1-160 s and rounded to
// the millisecond, never to the edit's tenth. Not a number gives 0.1 s.
double delayWithinBounds(double seconds);

// True when the delay is a whole number of tenths, which the edit shows without loss.
bool isWholeTenths(uint32_t ms);

// The delay set, as the window's label and the headless status line show it: one decimal for
// a whole number of tenths ("5.0"), three otherwise ("12.345").
std::string delaySetText(uint32_t ms);

}  // namespace una::app

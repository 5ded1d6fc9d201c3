#include "app/delayValue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace una::app {

double delayEditReadBack(double value) {
    if (!std::isfinite(value))
        return 0.0;
    // The edit keeps one decimal place; std::round takes halves away from zero.
    return std::round(value * 10.0) / 10.0;
}

DelayControls delayExitRule(double editValue) {
    double v = delayEditReadBack(editValue);
    if (v > kMaxDelaySeconds)
        v = delayEditReadBack(kMaxDelaySeconds);
    // A zero delay would arm a timer that never fires, and a negative one is meaningless:
    // both become the shortest delay.
    if (v <= 0.0)
        v = delayEditReadBack(0.05);
    DelayControls controls;
    controls.seconds = v;
    const double whole = std::trunc(v);
    const int32_t tenths = static_cast<int32_t>(whole) * 10;
    controls.sliderMax = v <= kSliderFullRangeSeconds ? kSliderDesignMax : tenths;
    controls.sliderPosition = v == whole ? tenths : tenths + 1;
    return controls;
}

double delayFromSlider(int32_t position) {
    return static_cast<double>(position) / 10.0;
}

uint32_t delayMilliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0.0)
        return 0;
    // Rounding, not truncation: 0.1 * 1000 is 100.00000000000001 and 0.3 * 1000 is
    // 299.99999999999994, both of which print as whole numbers.
    const double ms = std::round(seconds * 1000.0);
    return ms >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(ms);
}

double delayWithinBounds(double seconds) {
    if (!std::isfinite(seconds))
        return kMinDelaySeconds;
    const double ms = std::round(std::clamp(seconds, kMinDelaySeconds, kMaxDelaySeconds) * 1000.0);
    return ms / 1000.0;
}

bool isWholeTenths(uint32_t ms) {
    return ms % 100 == 0;
}

std::string delaySetText(uint32_t ms) {
    char text[32];
    if (isWholeTenths(ms))
        std::snprintf(text, sizeof text, "%u.%u", ms / 1000, ms / 100 % 10);
    else
        std::snprintf(text, sizeof text, "%u.%03u", ms / 1000, ms % 1000);
    return text;
}

}  // namespace una::app

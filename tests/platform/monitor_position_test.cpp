#include "platform/monitorPosition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

using platform::MonitorPosition;

namespace {

constexpr double kRate = 44100;
constexpr int64_t kStepNs = 120'000'000;  // the delay chain asks every third 40 ms chunk

int64_t framesAt(int64_t ns, double lateMs = 0) {
    return static_cast<int64_t>(std::floor((static_cast<double>(ns) / 1e9 - lateMs / 1e3) * kRate));
}

double errorMs(double position, int64_t ns) {
    return (position - static_cast<double>(ns) * kRate / 1e9) / kRate * 1e3;
}

}  // namespace

// Answers a millisecond late for two seconds on end, and one answer ahead, leave the position
// where the on-time answers put it; a step back of 5 ms is no late handover and is given at
// once, as it stands, and after it as the new line.
TEST(MonitorPosition, KeepsToTheOnTimeAnswersAndFollowsLostAudio) {
    MonitorPosition position;
    int64_t ns = 1'000'000'000;
    for (int i = 0; i < 80; ++i, ns += kStepNs) {
        const bool late = i >= 20 && i < 37;  // 2 s
        const bool ahead = i == 50;
        const int64_t answer = ahead ? framesAt(ns, -2.0) : framesAt(ns, late ? 1.1 : 0.0);
        const double at = position.add(ns, answer, kRate);
        EXPECT_GE(at, static_cast<double>(answer));
        if (!ahead) {
            EXPECT_NEAR(errorMs(at, ns), 0, 0.05) << i;
        }
    }
    for (int i = 0; i < 10; ++i, ns += kStepNs)
        EXPECT_NEAR(errorMs(position.add(ns, framesAt(ns, 5.0), kRate), ns), -5.0, 0.05) << i;
}

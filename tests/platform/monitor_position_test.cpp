#include "platform/monitorPosition.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A woken monitor's answers: 0 to 5 ms late, falling and climbing back every 3.5 s. Held on
// the line through two such spells, the position stays on time; on the default 3 s and 3 ms
// it follows them down.
TEST(MonitorPosition, AWideWindowHoldsThroughSwingingLateAnswers) {
    MonitorPosition woken(8'000'000'000, 10'000'000), plain;
    double worstWoken = 0, worstPlain = 0;
    int64_t ns = 1'000'000'000;
    woken.add(ns, framesAt(ns), kRate);  // the wake's answer goes in twice, as the card does
    for (int i = 0; i < 200; ++i, ns += kStepNs) {
        const double phase = std::fmod(static_cast<double>(i * kStepNs) / 3.5e9, 1.0);
        const int64_t answer = framesAt(ns, 5.0 * (phase < 0.5 ? 2 * phase : 2 - 2 * phase));
        worstWoken = std::max(worstWoken, std::abs(errorMs(woken.add(ns, answer, kRate), ns)));
        worstPlain = std::max(worstPlain, std::abs(errorMs(plain.add(ns, answer, kRate), ns)));
    }
    EXPECT_LT(worstWoken, 0.25);  // the best answers of a spell are up to 0.2 ms late here
    EXPECT_GT(worstPlain, 2.0);
}

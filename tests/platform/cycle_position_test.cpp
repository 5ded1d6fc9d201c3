#include "platform/cyclePosition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

using platform::CyclePosition;

namespace {

constexpr double kRate = 44100;

// A stream resampled from a 48 kHz graph: its position moves once per cycle of `graphCycle`
// frames there, and is answered a random moment later, as PipeWire's pulse service does.
struct SteppedServer {
    double graphCycle = 512;
    int64_t startNs = 1'000'000'000;
    double offsetFrames = 0;  // the true position at startNs
    std::mt19937 random{7};

    double cycleNs() const { return graphCycle / 48000 * 1e9; }
    double cycleFrames() const { return graphCycle * kRate / 48000; }
    double trueAt(int64_t ns) const {
        return offsetFrames + static_cast<double>(ns - startNs) * kRate / 1e9;
    }
    // The answer to a question asked at `ns`: the position of the last cycle, in whole frames.
    int64_t answerAt(int64_t ns) const {
        const double cycles = std::floor(static_cast<double>(ns - startNs) / cycleNs());
        return static_cast<int64_t>(
            std::floor(offsetFrames + cycles * cycleNs() * kRate / 1e9));
    }
    int64_t randomWithin(double ns) {
        return static_cast<int64_t>(std::uniform_real_distribution<double>(0, ns)(random));
    }
};

}  // namespace

// Asked at random moments, the answers' highest line finds the cycles' own moments, and the
// steps between answers give the cycle, for the graph cycles PipeWire runs at.
TEST(CyclePosition, FindsTheCyclesMomentsAndLength) {
    for (double graphCycle : {256.0, 512.0, 1024.0}) {
        SteppedServer server;
        server.graphCycle = graphCycle;
        CyclePosition position;
        EXPECT_EQ(position.cycleFrames(-1), -1);
        int64_t ns = server.startNs + 30'000'000;
        double worstLateMs = 0, lastErrorMs = 0;
        for (int i = 0; i < 40; ++i) {
            // Every tenth of a second, in step with the cycles but for the random moment.
            ns += 100'000'000 + server.randomWithin(server.cycleNs());
            const double line = position.add(ns, server.answerAt(ns), kRate);
            const double errorMs = (server.trueAt(ns) - line) / kRate * 1000;
            EXPECT_GE(errorMs, -0.05) << graphCycle;  // never ahead of the true position
            if (i >= 20)
                worstLateMs = std::max(worstLateMs, errorMs);
            lastErrorMs = errorMs;
        }
        EXPECT_LT(worstLateMs, server.cycleNs() / 1e6 / 3) << graphCycle;
        EXPECT_LT(lastErrorMs, 1.0) << graphCycle;
        EXPECT_NEAR(position.cycleFrames(-1), server.cycleFrames(), 0.5) << graphCycle;
    }
}

// A real step back (the stream ran dry, a cycle was skipped) shows in a few answers, a step
// forward in two; a single late or early answer does not move the line.
TEST(CyclePosition, FollowsStepsBackAndForward) {
    SteppedServer server;
    CyclePosition position;
    int64_t ns = server.startNs;
    auto ask = [&] {
        ns += 50'000'000 + server.randomWithin(server.cycleNs());
        return position.add(ns, server.answerAt(ns), kRate);
    };
    for (int i = 0; i < 30; ++i)
        ask();
    // An answer held up 15 ms in the server: the line stays where it was.
    ns += 50'000'000;
    const int64_t held = server.answerAt(ns - 15'000'000);
    EXPECT_NEAR(position.add(ns, held, kRate), server.trueAt(ns), kRate * 0.003);

    server.offsetFrames -= 3 * server.cycleFrames();
    double line = 0;
    for (uint32_t i = 0; i < CyclePosition::kBelowAnswers; ++i) {
        line = ask();
        // The server lost time, its cycle stayed: a playback position, counted one cycle
        // later, must not fall back to a guess meanwhile.
        EXPECT_NEAR(position.cycleFrames(-1), server.cycleFrames(), 0.5) << i;
    }
    EXPECT_NEAR(line, server.trueAt(ns), server.cycleFrames() + 1);

    // Ahead once: the server running ahead for a moment. Ahead twice: a step forward.
    server.offsetFrames += 2000;
    line = ask();
    EXPECT_LT(line, server.trueAt(ns) - 1000);
    line = ask();
    EXPECT_NEAR(line, server.trueAt(ns), server.cycleFrames() + 1);

    // Time going back (a stream made anew, a reset clock) starts the line over.
    ns -= 10'000'000'000;
    EXPECT_EQ(position.add(ns, 1234, kRate), 1234);
}

// A new stream runs its first cycle, then waits a cycle or two for its audio. Its first count
// is the cycle, so a playback position is counted right from the first answer, and the answers
// from before the wait do not hold the line up once the stream moves on.
TEST(CyclePosition, ANewStreamsFirstCycleAndWait) {
    for (int waitCycles : {1, 2}) {
        SteppedServer server;
        server.graphCycle = 1024;
        CyclePosition position;
        // Heard from zero one cycle in, then `waitCycles` cycles without taking any audio.
        const auto firstCycleNs = static_cast<int64_t>(server.cycleNs());
        server.offsetFrames = -(waitCycles + 1) * server.cycleFrames();
        int64_t ns = server.startNs + firstCycleNs + 500'000;
        const auto first = static_cast<int64_t>(std::floor(server.cycleFrames()));
        position.add(ns, first, kRate);
        EXPECT_NEAR(position.cycleFrames(-1), server.cycleFrames(), 1) << waitCycles;
        double worstAheadMs = 0;
        while (ns < server.startNs + 400'000'000) {
            // Fast while the cycle is not known, as the card asks; a cycle apart after.
            ns += 1'000'000 + server.randomWithin(position.cycleFrames(-1) > 0
                                                      ? 2 * server.cycleNs()
                                                      : 2'000'000);
            const double truth = std::max(server.trueAt(ns), static_cast<double>(first));
            const int64_t answer = std::max(server.answerAt(ns), first);
            const double line = position.add(ns, answer, kRate);
            if (ns > server.startNs + (waitCycles + 3) * firstCycleNs)
                worstAheadMs = std::max(worstAheadMs, (line - truth) / kRate * 1000);
        }
        EXPECT_LT(worstAheadMs, 0.1) << waitCycles;
        EXPECT_NEAR(position.cycleFrames(-1), server.cycleFrames(), 0.5) << waitCycles;
    }
}

// ctest-labels: threaded sound
// The delay chain end to end on the sound server: a numbered signal played into "radio" is
// recorded from radio.monitor, held for the delay and played into "tv". Two probes in this
// process record radio.monitor and tv.monitor and time both on the steady clock, so the delay
// is measured on one time base.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "support/echoRuler.h"
#include "support/endToEnd.h"
#include "support/monitorProbe.h"

namespace snd = una::sound;

namespace {

constexpr double kSignalSeconds = 1.5;
constexpr double kLeadInSeconds = 0.2;
// The chain's own latency on top of the delay may not exceed this.
constexpr double kAllowedExcess = 0.4;
// A probe whose buffers strayed more than this lost audio or stalled: its timing is void.
constexpr double kProbeSpreadLimit = 0.05;

#define REQUIRE_SERVER()                                                                     \
    do {                                                                                     \
        if (!snd::serverAvailable())                                                         \
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh"; \
    } while (0)

// The probes are the instrument, and on a loaded machine they fail too: a probe whose thread
// stood still longer than its buffers hold (24 x 10 ms) lost audio, and a reference recording
// that is not the whole signal measures nothing. Such a run is void and is run again; in every
// other run the chain's audio is checked in full, and its timing when both probes kept within
// kProbeSpreadLimit.
constexpr int kAttempts = 3;
constexpr double kProbeHoldsSeconds = 0.24;

bool instrumentHeld(const snd::DelayRun& r) {
    return r.in.found && r.in.breaks == 0 && r.in.frames == r.signalFrames && r.probeXruns == 0 &&
           r.radioSpread < kProbeHoldsSeconds && r.tvSpread < kProbeHoldsSeconds;
}

// On PipeWire a 44.1 kHz chain records radio.monitor through the server's converter from the
// sinks' 48 kHz, so no numbered frame comes through; a burst does, found to a fraction of a
// frame by its correlation on both monitors. It is described as a one-frame numbered signal:
// heard once, twice (repeated audio) or not at all.
snd::DelayRun runBurst(const snd::DelayStage& stage, uint32_t inRate, double delaySeconds) {
    std::vector<int16_t> signal(static_cast<size_t>(kLeadInSeconds * inRate) * 2, 0);
    const auto burst = snd::echoBurst(inRate);
    signal.insert(signal.end(), burst.begin(), burst.end());
    // The probes go on long enough after it to tell a stall up to its arrival.
    signal.resize(signal.size() + inRate, 0);
    const snd::ChainRecording rec = snd::recordDelayChain(stage, inRate, delaySeconds, signal);
    snd::DelayRun run;
    run.failure = rec.failure;
    run.signalFrames = 1;
    run.playerLostBytes = rec.playerLostBytes;
    run.recorderXruns = rec.recorderXruns;
    run.playerXruns = rec.playerXruns;
    if (!rec.radioProbe || !rec.tvProbe)
        return run;
    const auto in = snd::findEchoes(rec.radio, inRate);
    const auto out = snd::findEchoes(rec.tv, stage.tvRate());
    run.in.found = in.size() == 1;
    run.in.frames = run.in.found ? 1 : 0;
    run.out.found = !out.empty();
    run.out.frames = run.out.found ? 1 : 0;
    run.out.breaks = run.out.found ? static_cast<uint32_t>(out.size() - 1) : 0;
    run.radioSpread = rec.radioProbe->completionSpread();
    run.tvSpread = rec.tvProbe->completionSpread();
    run.probeXruns = rec.radioProbe->xruns() + rec.tvProbe->xruns();
    if (run.in.found && run.out.found) {
        const double heardAt = rec.tvProbe->localFrameTime(out.front().frame);
        run.measured = heardAt - rec.radioProbe->localFrameTime(in.front().frame);
        run.graphLost = std::max(rec.radioProbe->timeLost(rec.chainStart, heardAt + 0.1),
                                 rec.tvProbe->timeLost(rec.chainStart, heardAt + 0.1));
    }
    return run;
}

void checkAudio(const snd::DelayRun& r) {
    EXPECT_TRUE(r.out.found) << "nothing reached tv.monitor";
    EXPECT_EQ(r.out.firstNumber, 0u) << "the signal's start is missing";
    EXPECT_EQ(r.out.breaks, 0u) << "lost, repeated or reordered audio";
    EXPECT_EQ(r.out.frames, r.signalFrames) << "the whole signal, once";
    EXPECT_EQ(r.playerLostBytes, 0u);
}

// A case that judged the delay in no attempt says why and is reported as skipped rather than
// passed: the probes or the graph failed, not the chain, and a machine that stalls that often
// should not fail the chain's test (the stage lists skipped cases).
// burst: timed by runBurst() rather than a numbered signal.
void checkRun(const snd::DelayStage& stage, uint32_t inRate, double delaySeconds,
              bool burst = false) {
    SCOPED_TRACE(testing::Message() << "delay " << delaySeconds << " s, " << inRate << " to "
                                    << stage.tvRate() << " Hz");
    bool audioChecked = false;
    std::string failure, unjudged;
    int failed = 0;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const auto began = std::chrono::steady_clock::now();
        const snd::DelayRun r = burst ? runBurst(stage, inRate, delaySeconds)
                                      : snd::runDelayChain(stage, inRate, delaySeconds, kSignalSeconds);
        if (!r.failure.empty()) {
            // A side that would not open was seen once in a whole test run and never alone:
            // logged with the time it took so it can be traced; it fails when it keeps happening.
            const auto took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began);
            std::printf("delay %.1f s, attempt %d: %s (after %.1f s)\n", delaySeconds, attempt,
                        r.failure.c_str(), took.count());
            failure = r.failure;
            ++failed;
            continue;
        }
        std::printf(
            "delay %.1f s to %u Hz, attempt %d: measured %.3f s, excess %.1f ms (probe spread "
            "%.0f/%.0f ms, xruns %u; reference %u of %u frames, %u breaks; xruns recorder %u, "
            "player %u; graph lost %.2f ms)\n",
            delaySeconds, stage.tvRate(), attempt, r.measured, (r.measured - delaySeconds) * 1000,
            r.radioSpread * 1000, r.tvSpread * 1000, r.probeXruns, r.in.frames, r.signalFrames,
            r.in.breaks, r.recorderXruns, r.playerXruns, r.graphLost * 1000);
        // A cycle the graph dropped is missing from both monitors, chain right or wrong.
        if (!(r.graphLost <= snd::kGraphStall)) {
            std::printf("delay %.1f s, attempt %d not judged: the graph lost %.2f ms\n",
                        delaySeconds, attempt, r.graphLost * 1000);
            unjudged = "the graph stalled";
            continue;
        }
        if (!instrumentHeld(r)) {
            unjudged = "the probes lost audio";
            continue;
        }
        checkAudio(r);
        audioChecked = true;
        if (r.radioSpread >= kProbeSpreadLimit || r.tvSpread >= kProbeSpreadLimit) {
            unjudged = "the probes' timing strayed";
            continue;
        }
        EXPECT_GE(r.measured, delaySeconds);
        EXPECT_LE(r.measured, delaySeconds + kAllowedExcess);
        return;
    }
    ASSERT_LT(failed, kAttempts) << failure;
    std::printf("delay %.1f s: not judged in %d attempts (last: %s); %s\n", delaySeconds,
                kAttempts, unjudged.c_str(),
                audioChecked ? "audio checked, timing not" : "nothing checked");
    testing::Test::RecordProperty("measured", audioChecked ? "audio only" : "nothing");
    GTEST_SKIP() << "delay " << delaySeconds << " s not judged: " << unjudged;
}

// The measuring instrument: two probes started at different moments on one source must place
// the same frame at the same time.
TEST(MonitorProbes, TwoProbesOnOneSourceAgree) {
    REQUIRE_SERVER();
    snd::DelayStage stage(44100);
    ASSERT_TRUE(stage.ready()) << stage.failure();
    snd::MonitorProbe early("radio.monitor", 44100), late("radio.monitor", 44100);
    ASSERT_TRUE(early.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(333));
    ASSERT_TRUE(late.start());
    std::vector<int16_t> signal(44100 / 5 * 2, 0);
    const auto numbered = snd::numberedFrames(0, 44100 / 2);
    signal.insert(signal.end(), numbered.begin(), numbered.end());
    const std::string file = snd::tempPath("probe-signal");
    ASSERT_TRUE(snd::writeFile(file, signal));
    {
        snd::PeerProcess player(
            "exec pacat -p --raw --format=s16le --rate=44100 --channels=2 "
            "--latency-msec=200 -d radio < " +
            file);
        // On a loaded machine the server may take a while to drain half a second.
        ASSERT_TRUE(player.waitExit(20000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    early.stop();
    late.stop();
    std::remove(file.c_str());
    const auto a = early.samples(), b = late.samples();
    const size_t atA = snd::firstSoundFrame(a), atB = snd::firstSoundFrame(b);
    ASSERT_LT(atA, a.size() / 2);
    ASSERT_LT(atB, b.size() / 2);
    EXPECT_GT(atA, atB + 44100 / 4) << "the later probe holds fewer frames before the signal";
    const double offset = late.frameTime(atB) - early.frameTime(atA);
    EXPECT_LT(std::abs(offset), 0.01);
    std::printf("two probes on one source: %.1f ms apart (spread %.0f/%.0f ms)\n", offset * 1000,
                early.completionSpread() * 1000, late.completionSpread() * 1000);
}

void checkOneAndFiveSeconds(uint32_t inRate, uint32_t tvRate, bool burst = false) {
    snd::DelayStage stage(tvRate);
    ASSERT_TRUE(stage.ready()) << stage.failure();
    checkRun(stage, inRate, 1.0, burst);
    checkRun(stage, inRate, 5.0, burst);
}

TEST(DelayChainEndToEnd, SameFormatAfterOneAndFiveSeconds) {
    REQUIRE_SERVER();
    // At the sinks' own rate, which PipeWire passes unconverted.
    const uint32_t rate = snd::serverResamples() ? 48000 : 44100;
    checkOneAndFiveSeconds(rate, rate);
}

TEST(DelayChainEndToEnd, ResampledTo48000AfterOneAndFiveSeconds) {
    REQUIRE_SERVER();
    checkOneAndFiveSeconds(44100, 48000, snd::serverResamples());
}

}  // namespace

#include "support/endToEnd.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/delayChain.h"

namespace una::sound {

namespace {

constexpr uint32_t kInRate = 44100;
constexpr double kLeadInSeconds = 0.2;

std::string keeper(const std::string& sink, uint32_t rate) {
    return "exec pacat -p --raw --format=s16le --channels=2 --latency-msec=10 --rate=" +
           std::to_string(rate) + " -d " + sink + " /dev/zero";
}

}  // namespace

DelayStage::DelayStage(uint32_t tvRate) : tvRate_(tvRate) {
    if (tvRate != kInRate) {
        const int old = findModule("module-null-sink", "sink_name=tv");
        if (old < 0 || !unloadModule(old)) {
            failure_ = "could not unload the tv sink";
            return;
        }
        tvModule_ = loadModule("module-null-sink rate=" + std::to_string(tvRate) + " " +
                               nullSinkArguments("tv", "TV speakers"));
        runCommand("pactl set-default-sink tv >/dev/null 2>&1");
        if (tvModule_ < 0) {
            failure_ = "could not load tv at " + std::to_string(tvRate) + " Hz";
            return;
        }
    }
    keepRadio_ = std::make_unique<PeerProcess>(keeper("radio", kInRate));
    keepTv_ = std::make_unique<PeerProcess>(keeper("tv", tvRate));
    if (!waitSinksSettled({"radio", "tv"}, 50000, 5000))
        failure_ = "the sinks did not settle to a low latency";
}

DelayStage::~DelayStage() {
    keepRadio_.reset();
    keepTv_.reset();
    if (tvModule_ >= 0) {
        unloadModule(tvModule_);
        loadModule("module-null-sink " + nullSinkArguments("tv", "TV speakers"));
        runCommand("pactl set-default-sink tv >/dev/null 2>&1");
    }
}

std::unique_ptr<DelayStage> readyStage(uint32_t tvRate) {
    if (!serverAvailable()) {
        std::fprintf(stderr, "needs the private sound server (scripts/sound-server.sh)\n");
        return nullptr;
    }
    auto stage = std::make_unique<DelayStage>(tvRate);
    if (!stage->ready()) {
        std::fprintf(stderr, "sinks not ready: %s\n", stage->failure().c_str());
        return nullptr;
    }
    return stage;
}

ChainRecording recordDelayChain(const DelayStage& stage, uint32_t inRate, double delaySeconds,
                                const std::vector<int16_t>& signal) {
    using Clock = std::chrono::steady_clock;
    using Seconds = std::chrono::duration<double>;
    ChainRecording rec;
    if (!stage.ready()) {
        rec.failure = stage.failure();
        return rec;
    }
    const uint32_t outRate = stage.tvRate();
    rec.radioProbe = std::make_unique<MonitorProbe>("radio.monitor", inRate);
    rec.tvProbe = std::make_unique<MonitorProbe>("tv.monitor", outRate);
    if (!rec.radioProbe->start() || !rec.tvProbe->start()) {
        rec.failure = "a probe could not record";
        return rec;
    }
    // A probe's first half second settles before it can tell lost time.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const std::string file = tempPath("e2e-signal");
    if (!writeFile(file, signal)) {
        rec.failure = "could not write the signal file";
        return rec;
    }
    setenv("PULSE_SOURCE", "radio.monitor", 1);
    setenv("PULSE_SINK", "tv", 1);
    rec.chainStart = probeNow();
    {
        DelayChain chain({inRate, 16, 2}, {outRate, 16, 2});
        if (chain.startRecording() != 0) {
            rec.failure = "the recorder did not open";
        } else {
            // The window arms its one-shot timer once the recorder is open.
            const auto armed = Clock::now();
            PeerProcess player("exec pacat -p --raw --format=s16le --channels=2 "
                               "--latency-msec=200 -d radio --rate=" +
                               std::to_string(inRate) + " < " + file);
            std::this_thread::sleep_until(armed + Seconds(delaySeconds));
            if (chain.startPlayback() != 0)
                rec.failure = "the playback side did not open";
            std::this_thread::sleep_for(Seconds(signal.size() / 2.0 / inRate + 1.0));
            rec.recorderXruns = chain.recorder().xrunCount();
            rec.playerXruns = chain.player().xrunCount();
            rec.playerLostBytes = chain.player().inLostBytes;
        }
        chain.stop();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rec.radioProbe->stop();
    rec.tvProbe->stop();
    std::remove(file.c_str());
    rec.radio = rec.radioProbe->samples();
    rec.tv = rec.tvProbe->samples();
    if (const char* dump = std::getenv("UNA_E2E_DUMP")) {
        writeFile(std::string(dump) + "-radio.raw", rec.radio);
        writeFile(std::string(dump) + "-tv.raw", rec.tv);
    }
    return rec;
}

DelayRun runDelayChain(const DelayStage& stage, uint32_t inRate, double delaySeconds,
                       double signalSeconds) {
    DelayRun run;
    run.signalFrames = static_cast<uint32_t>(signalSeconds * inRate);
    std::vector<int16_t> signal(static_cast<size_t>(kLeadInSeconds * inRate) * 2, 0);
    const auto numbered = numberedFrames(0, run.signalFrames);
    signal.insert(signal.end(), numbered.begin(), numbered.end());
    const ChainRecording rec = recordDelayChain(stage, inRate, delaySeconds, signal);
    run.failure = rec.failure;
    run.recorderXruns = rec.recorderXruns;
    run.playerXruns = rec.playerXruns;
    run.playerLostBytes = rec.playerLostBytes;
    if (!rec.radioProbe || !rec.tvProbe)
        return run;
    const uint32_t outRate = stage.tvRate();
    run.in = checkSequence(rec.radio);
    run.out = outRate == inRate ? checkSequence(rec.tv)
                                : checkStretchedSequence(rec.tv, (outRate + inRate - 1) / inRate);
    const double recordedAt = rec.radioProbe->localFrameTime(firstSoundFrame(rec.radio));
    const double heardAt = rec.tvProbe->localFrameTime(firstSoundFrame(rec.tv));
    run.measured = heardAt - recordedAt;
    if (serverResamples() && std::isfinite(heardAt)) {
        const double heardEnd = heardAt + signalSeconds;
        run.graphLost = std::max(rec.radioProbe->timeLost(rec.chainStart, heardEnd),
                                 rec.tvProbe->timeLost(rec.chainStart, heardEnd));
    }
    run.radioSpread = rec.radioProbe->completionSpread();
    run.tvSpread = rec.tvProbe->completionSpread();
    run.probeXruns = rec.radioProbe->xruns() + rec.tvProbe->xruns();
    return run;
}

}  // namespace una::sound

#include "support/endToEnd.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/delayChain.h"
#include "support/monitorProbe.h"

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

DelayRun runDelayChain(const DelayStage& stage, double delaySeconds, double signalSeconds) {
    using Clock = std::chrono::steady_clock;
    using Seconds = std::chrono::duration<double>;
    DelayRun run;
    if (!stage.ready()) {
        run.failure = stage.failure();
        return run;
    }
    const uint32_t outRate = stage.tvRate();
    MonitorProbe radioProbe("radio.monitor", kInRate);
    MonitorProbe tvProbe("tv.monitor", outRate);
    if (!radioProbe.start() || !tvProbe.start()) {
        run.failure = "a probe could not record";
        return run;
    }

    run.signalFrames = static_cast<uint32_t>(signalSeconds * kInRate);
    std::vector<int16_t> signal(static_cast<size_t>(kLeadInSeconds * kInRate) * 2, 0);
    const auto numbered = numberedFrames(0, run.signalFrames);
    signal.insert(signal.end(), numbered.begin(), numbered.end());
    const std::string file = tempPath("e2e-signal");
    if (!writeFile(file, signal)) {
        run.failure = "could not write the signal file";
        return run;
    }

    setenv("PULSE_SOURCE", "radio.monitor", 1);
    setenv("PULSE_SINK", "tv", 1);
    {
        DelayChain chain({kInRate, 16, 2}, {outRate, 16, 2});
        if (chain.startRecording() != 0) {
            run.failure = "the recorder did not open";
        } else {
            // The window arms its one-shot timer once the recorder is open.
            const auto armed = Clock::now();
            PeerProcess player(
                "exec pacat -p --raw --format=s16le --rate=44100 --channels=2 "
                "--latency-msec=200 -d radio < " +
                file);
            std::this_thread::sleep_until(armed + Seconds(delaySeconds));
            if (chain.startPlayback() != 0)
                run.failure = "the playback side did not open";
            std::this_thread::sleep_for(Seconds(kLeadInSeconds + signalSeconds + 1.0));
            run.recorderXruns = chain.recorder().xrunCount();
            run.playerXruns = chain.player().xrunCount();
            run.playerLostBytes = chain.player().inLostBytes;
        }
        chain.stop();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    radioProbe.stop();
    tvProbe.stop();
    std::remove(file.c_str());

    const auto radio = radioProbe.samples();
    const auto tv = tvProbe.samples();
    if (const char* dump = std::getenv("UNA_E2E_DUMP")) {
        writeFile(std::string(dump) + "-radio.raw", radio);
        writeFile(std::string(dump) + "-tv.raw", tv);
    }
    run.in = checkSequence(radio);
    run.out = outRate == kInRate ? checkSequence(tv)
                                 : checkStretchedSequence(tv, (outRate + kInRate - 1) / kInRate);
    run.measured =
        tvProbe.frameTime(firstSoundFrame(tv)) - radioProbe.frameTime(firstSoundFrame(radio));
    run.radioSpread = radioProbe.completionSpread();
    run.tvSpread = tvProbe.completionSpread();
    run.probeXruns = radioProbe.xruns() + tvProbe.xruns();
    return run;
}

}  // namespace una::sound

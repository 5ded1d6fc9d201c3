// ctest-labels: sound
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/delayChain.h"
#include "app/deviceList.h"
#include "audio/unaRiffStream.h"
#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "audio/unaWaveResampler.h"
#include "audio/unaWaveSoftwareDevice.h"
#include "foundation/unaStream.h"
#include "support/echoRuler.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;
namespace snd = una::sound;
using namespace std::chrono_literals;

namespace {

constexpr unaPcmFormat kCd{44100, 16, 2};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 8s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The chain on the private server's default devices: it records radio.monitor and plays into
// tv. Low-latency streams on both null sinks make them render at once instead of in 2 s blocks.
class ChainOnSoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!snd::serverAvailable())
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
        setenv("PULSE_SOURCE", "radio.monitor", 1);
        setenv("PULSE_SINK", "tv", 1);
        radioKeeper = std::make_unique<snd::PeerProcess>(
            "exec pacat -p --raw -d radio --latency-msec=10 /dev/zero");
        tvKeeper = std::make_unique<snd::PeerProcess>(
            "exec pacat -p --raw -d tv --latency-msec=10 /dev/zero");
        chain.setupDevices(kCd, kCd);
    }
    void TearDown() override {
        chain.releaseDevices();
        tone.reset();
        radioKeeper.reset();
        tvKeeper.reset();
        if (!toneFile.empty())
            std::remove(toneFile.c_str());
    }

    void playToneIntoRadio(double seconds) {
        toneFile = snd::tempPath("chain-tone");
        ASSERT_TRUE(snd::writeFile(toneFile, snd::tone(440, 12000, 44100, seconds)));
        tone = std::make_unique<snd::PeerProcess>(
            "exec pacat -p --raw -d radio --format=s16le --rate=44100 --channels=2 "
            "--latency-msec=20 < " +
            toneFile);
    }

    static ChainStartOptions options(bool loop, bool save, std::string file = {},
                                     double delay = 0.5) {
        ChainStartOptions o;
        o.inDeviceId = -1;
        o.loop2Playback = loop;
        o.saveToFile = save;
        o.inFileName = std::move(file);
        o.delaySeconds = delay;
        return o;
    }

    DelayChain chain;
    std::unique_ptr<snd::PeerProcess> radioKeeper, tvKeeper, tone;
    std::string toneFile;
};

TEST_F(ChainOnSoundServer, IdleDelayingRunningAndBackWithTheMeters) {
    EXPECT_EQ(chain.state(), ChainState::Idle);
    EXPECT_FALSE(chain.isInOpen());
    EXPECT_EQ(chain.inFormatText(), "PCM: 44,100 Hz; 16 Bit; Stereo");
    playToneIntoRadio(6);

    const ChainStartResult started = chain.startIn(options(true, false, {}, 0.5));
    ASSERT_TRUE(started.recording) << chainProblemText(started.problem, "uk");
    EXPECT_FALSE(started.problem);
    EXPECT_EQ(started.playbackDelayMs, 1u) << "a delay shorter than the warm-up opens at once";
    EXPECT_EQ(chain.state(), ChainState::Delaying);
    EXPECT_TRUE(chain.isPlaybackPending());
    EXPECT_FALSE(chain.isOutOpen());
    ASSERT_NE(chain.holdStream(), nullptr);
    ASSERT_NE(chain.resampler(), nullptr);
    EXPECT_EQ(chain.riff(), nullptr);

    // Until the playback side opens the held audio only grows.
    ASSERT_TRUE(eventually([&] { return chain.heldSeconds() >= 0.3; }))
        << chain.heldSeconds() << " s held";
    ASSERT_TRUE(eventually([&] { return chain.meters().inLeft > 100; }));
    EXPECT_EQ(chain.meters().outLeft, 0);

    ASSERT_TRUE(chain.openOut(-1)) << chainProblemText(chain.lastProblem(), "uk");
    EXPECT_EQ(chain.state(), ChainState::Running);
    EXPECT_FALSE(chain.isPlaybackPending());
    EXPECT_TRUE(chain.mixer()->isOpen());
    ASSERT_TRUE(eventually([&] { return chain.meters().outLeft > 100; }));
    // The delay stays what it was when the player started: it does not run dry or pile up.
    std::this_thread::sleep_for(1s);
    EXPECT_GT(chain.heldSeconds(), 0.1);
    EXPECT_LT(chain.heldSeconds(), 1.5);
    // A second tick does nothing.
    EXPECT_FALSE(chain.openOut(-1));

    chain.closeIn();
    EXPECT_EQ(chain.state(), ChainState::Idle);
    EXPECT_FALSE(chain.isInOpen());
    EXPECT_FALSE(chain.isOutOpen());
    EXPECT_FALSE(chain.mixer()->isOpen());
    EXPECT_EQ(chain.holdStream(), nullptr);
    EXPECT_EQ(chain.resampler(), nullptr);
    EXPECT_EQ(chain.mixer()->getStreamCount(), 0u);
    const ChainMeters m = chain.meters();
    EXPECT_EQ(m.inLeft + m.inRight + m.outLeft + m.outRight, 0);
}

TEST_F(ChainOnSoundServer, WithoutDirectPlaybackOnlyTheRecorderRuns) {
    const ChainStartResult started = chain.startIn(options(false, false));
    ASSERT_TRUE(started.recording);
    EXPECT_EQ(started.playbackDelayMs, 0u);
    EXPECT_EQ(chain.state(), ChainState::RecordingOnly);
    EXPECT_EQ(chain.holdStream(), nullptr);
    EXPECT_EQ(chain.resampler(), nullptr);
    // No timer was armed, so a tick (the hidden start button) opens nothing.
    EXPECT_FALSE(chain.openOut(-1));
    EXPECT_FALSE(chain.isOutOpen());
    chain.closeIn();
    EXPECT_EQ(chain.state(), ChainState::Idle);
}

TEST_F(ChainOnSoundServer, StopDuringTheDelayCancelsPlaybackAndDropsTheHeldAudio) {
    ChainStartResult started = chain.startIn(options(true, false, {}, 5));
    ASSERT_TRUE(started.recording);
    EXPECT_EQ(started.playbackDelayMs, 5000u - kPlaybackWarmUpMs);
    ASSERT_TRUE(eventually([&] { return chain.heldSeconds() >= 1.0; }));
    chain.closeIn();
    EXPECT_EQ(chain.state(), ChainState::Idle);
    EXPECT_FALSE(chain.isPlaybackPending());
    EXPECT_EQ(chain.heldBytes(), 0u);
    EXPECT_EQ(chain.mixer()->getStreamCount(), 0u);
    // The timer's tick arriving after the stop starts nothing.
    EXPECT_FALSE(chain.openOut(-1));
    EXPECT_FALSE(chain.isOutOpen());

    // The next start waits the full delay again, from an empty holding stream.
    started = chain.startIn(options(true, false, {}, 5));
    ASSERT_TRUE(started.recording);
    EXPECT_EQ(started.playbackDelayMs, 5000u - kPlaybackWarmUpMs);
    EXPECT_LT(chain.heldSeconds(), 0.5);
    EXPECT_EQ(chain.mixer()->getStreamCount(), 1u);
    chain.closeIn();
}

// The delay as a listener hears it, on one time base: the chain records radio.monitor and
// plays into radio itself, so a burst played once into radio comes back every time it has been
// round the chain; a recording of radio.monitor holds all the echoes. The recording counts the
// sink's frames, and a null sink's frames run hundreds of ppm off the system clock: a second
// recorder times them, and the intervals are given in real time, the program's time base.
class EchoLoop {
  public:
    explicit EchoLoop(uint32_t rate) : rate_(rate), file_(snd::tempPath("echo-rec")) {
        setenv("PULSE_SOURCE", "radio.monitor", 1);
        setenv("PULSE_SINK", "radio", 1);
        // The sound-server backend plays on the server's default sink; it hears of the
        // change a moment later.
        snd::runCommand("pactl set-default-sink radio >/dev/null 2>&1");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // A fresh null sink renders far ahead until a low-latency stream has played into it
        // for a while; the program would start on figures that are about to change.
        snd::waitSinksSettled({"radio"}, 50000, 5000);
        burstFile_ = snd::tempPath("echo-burst");
        std::vector<int16_t> burst(44100 / 5 * 2, 0);
        const auto shape = snd::echoBurst(44100);
        burst.insert(burst.end(), shape.begin(), shape.end());
        snd::writeFile(burstFile_, burst);
        probe_ = std::make_unique<snd::PeerProcess>(snd::recordCommand("radio.monitor", rate, file_));
        pace_ = std::make_unique<snd::MonitorProbe>("radio.monitor", rate);
        pace_->start();
    }
    ~EchoLoop() {
        snd::runCommand("pactl set-default-sink tv >/dev/null 2>&1");
        probe_.reset();
        std::remove(file_.c_str());
        std::remove(burstFile_.c_str());
    }
    void burst() {
        snd::runCommand("pacat -p --raw --format=s16le --rate=44100 --channels=2 "
                        "--latency-msec=50 -d radio < " + burstFile_);
    }
    // The radio sink and its monitor by their ids: a connection to the sound server made
    // earlier in the process keeps the defaults it found then (tv).
    static int32_t radio(platform::WaveDirection direction) {
        const bool in = direction == platform::WaveDirection::input;
        for (const DeviceEntry& entry : deviceEntries(direction))
            if (entry.key == (in ? "radio.monitor" : "radio"))
                return deviceIdFromData(entry.data);
        return -1;
    }
    static int32_t radioSink() { return radio(platform::WaveDirection::output); }
    static ChainStartOptions from(ChainStartOptions options) {
        options.inDeviceId = radio(platform::WaveDirection::input);
        return options;
    }
    // Real seconds between consecutive echoes heard so far, and which of them a stall of a
    // PipeWire graph could have moved (see graphTimeLost).
    struct Heard {
        std::vector<double> seconds;
        std::vector<bool> nearStall;
    };
    Heard intervals(double delay) {
        // The probe's last second tells whether the graph stalled just before this.
        std::this_thread::sleep_for(1s);
        probe_->stop();
        pace_->stop();
        double ppm = pace_->ratePpm();
        // A pace from a recorder that lost audio, none at all, or from a PipeWire monitor: the
        // sink's frames as they are.
        if (pace_->xruns() != 0 || snd::serverResamples() || !(std::abs(ppm) < 2000))
            ppm = 0;
        std::printf("the sink ran %+.0f ppm against the system clock\n", ppm);
        Heard heard;
        heard.seconds = snd::echoIntervals(snd::findEchoes(snd::readFile(file_), rate_), rate_);
        for (double& s : heard.seconds)
            s /= 1 + ppm * 1e-6;
        const auto lost = snd::graphTimeLost(*pace_, heard.seconds, delay);
        for (size_t k = 0; k < heard.seconds.size(); ++k) {
            heard.nearStall.push_back(!(lost[k] <= snd::kGraphStall));
            if (heard.nearStall.back())
                std::printf("echo interval %zu (%.3f ms) not judged: the graph lost %.2f ms near it\n",
                            k + 1, heard.seconds[k] * 1000, lost[k] * 1000);
        }
        return heard;
    }
    bool stalledBefore(double at, double delay) const {
        return snd::graphStalledBefore(*pace_, at, delay);
    }

  private:
    const uint32_t rate_;
    const std::string file_;
    std::string burstFile_;
    std::unique_ptr<snd::PeerProcess> probe_;
    std::unique_ptr<snd::MonitorProbe> pace_;
};

std::string listed(const std::vector<double>& seconds) {
    std::string text;
    for (double s : seconds)
        text += std::to_string(s * 1000).substr(0, 8) + " ms ";
    return text;
}

// The timer that opens the playback side fires 5 % early or late, the sound server starts the
// recording late and both paths have latency: what is heard is still the delay asked for.
TEST_F(ChainOnSoundServer, TheDelayHeardIsTheDelaySetToTwoMilliseconds) {
    struct Case {
        unaPcmFormat out;
        double delay;
        double timer;      // the timer's interval against the delay
        double tolerance;  // seconds
    };
    // 48 kHz into the 44.1 kHz sink: the program resamples, and so does the server.
    for (const Case c : {Case{kCd, 1.0, 1.05, 0.002}, Case{{48000, 16, 2}, 1.5, 0.95, 0.002}}) {
        SCOPED_TRACE(c.out.samplesPerSec);
        EchoLoop loop(44100);
        chain.releaseDevices();
        chain.setupDevices(kCd, c.out);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(chain.startIn(EchoLoop::from(options(true, false, {}, c.delay))).recording);
        std::this_thread::sleep_until(start + std::chrono::duration<double>(c.delay * c.timer));
        ASSERT_TRUE(chain.openOut(EchoLoop::radioSink()));
        ASSERT_TRUE(eventually([&] { return chain.delayFigures().measured; }));
        std::this_thread::sleep_for(1s);
        loop.burst();
        std::this_thread::sleep_for(std::chrono::duration<double>(c.delay * 3.5));
        const double readAt = snd::probeNow();
        const DelayLine::Figures figures = chain.delayFigures();
        chain.closeIn();
        const auto heard = loop.intervals(c.delay);
        ASSERT_GE(heard.seconds.size(), 2u) << listed(heard.seconds);
        for (size_t k = 0; k < heard.seconds.size(); ++k)
            if (!heard.nearStall[k]) {
                EXPECT_NEAR(heard.seconds[k], c.delay, c.tolerance) << listed(heard.seconds);
            }
        if (!loop.stalledBefore(readAt, c.delay)) {
            EXPECT_NEAR(figures.delayNs / 1e9, c.delay, 0.002);
        }
    }
}

// A change while running is heard within the chunk, as silence (longer) or skipped audio
// (shorter), and from then on the new delay is exact.
TEST_F(ChainOnSoundServer, ChangesWhileRunningAreHeardExactly) {
    EchoLoop loop(44100);
    ASSERT_TRUE(chain.startIn(EchoLoop::from(options(true, false, {}, 1.0))).recording);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(chain.openOut(EchoLoop::radioSink()));
    ASSERT_TRUE(eventually([&] { return chain.delayFigures().measured; }));
    std::this_thread::sleep_for(1s);
    EXPECT_DOUBLE_EQ(chain.setDelay(1.3), 1.3);
    EXPECT_EQ(chain.delayMs(), 1300u);
    std::this_thread::sleep_for(300ms);
    loop.burst();
    std::this_thread::sleep_for(4s);
    EXPECT_DOUBLE_EQ(chain.setDelay(0.8), 0.8);
    std::this_thread::sleep_for(3s);
    const DelayLine::Figures f = chain.delayFigures();
    chain.closeIn();
    const auto heard = loop.intervals(1.3);
    SCOPED_TRACE(::testing::Message() << "breaks in " << f.inputBreaks << " out " << f.outputBreaks
                                      << ", trims " << f.trims << ", splices " << f.splices);
    ASSERT_GE(heard.seconds.size(), 4u) << listed(heard.seconds);
    // Echoes that were under way at the change came round once at neither delay. One near a
    // stall of the graph counts for the delay it is within one of its cycles (23 ms at most).
    size_t longer = 0, shorter = 0, others = 0;
    for (size_t k = 0; k < heard.seconds.size(); ++k) {
        const double within = heard.nearStall[k] ? 0.025 : 0.002;
        const bool isLonger = std::abs(heard.seconds[k] - 1.3) < within;
        const bool isShorter = std::abs(heard.seconds[k] - 0.8) < within;
        longer += isLonger;
        shorter += isShorter;
        others += !isLonger && !isShorter && !heard.nearStall[k];
    }
    EXPECT_GE(longer, 2u) << listed(heard.seconds);
    EXPECT_GE(shorter, 2u) << listed(heard.seconds);
    EXPECT_LE(others, 1u) << listed(heard.seconds);
}

TEST_F(ChainOnSoundServer, StartCorrectsAnUncheckedDelay) {
    struct Case {
        double typed;
        uint32_t ms;
        double shown;
    };
    for (const Case c : {Case{0, 100, 0.1}, Case{-4, 100, 0.1}, Case{500, 160000, 160},
                         Case{2.25, 2300, 2.3}}) {
        const ChainStartResult started = chain.startIn(options(true, false, {}, c.typed));
        ASSERT_TRUE(started.recording);
        EXPECT_EQ(chain.delayMs(), c.ms) << c.typed;
        EXPECT_EQ(started.playbackDelayMs, std::max(1u, c.ms - std::min(c.ms, kPlaybackWarmUpMs)))
            << c.typed;
        EXPECT_DOUBLE_EQ(started.delaySeconds, c.shown) << c.typed;
        chain.closeIn();
    }
}

TEST_F(ChainOnSoundServer, SavingWritesAWavFileThatSoxAccepts) {
    const std::string file = snd::tempPath("chain-save") + ".wav";
    playToneIntoRadio(4);
    const ChainStartResult started = chain.startIn(options(false, true, file));
    ASSERT_TRUE(started.recording);
    ASSERT_TRUE(started.saving) << chainProblemText(started.problem, "uk");
    EXPECT_FALSE(started.problem);
    EXPECT_EQ(chain.state(), ChainState::RecordingOnly);
    ASSERT_TRUE(eventually([&] { return chain.riff()->getPosition() >= 44100 * 4; }));
    chain.closeIn();
    EXPECT_FALSE(chain.isSaving());

    EXPECT_EQ(snd::runCommand("sox --i '" + file + "' >/dev/null"), 0);
    const std::string info = file + ".info";
    ASSERT_EQ(snd::runCommand("sox --i -r '" + file + "' > '" + info + "' && sox --i -c '" + file +
                              "' >> '" + info + "' && sox --i -s '" + file + "' >> '" + info + "'"),
              0);
    FILE* f = std::fopen(info.c_str(), "r");
    ASSERT_NE(f, nullptr);
    long rate = 0, channels = 0, samples = 0;
    EXPECT_EQ(std::fscanf(f, "%ld %ld %ld", &rate, &channels, &samples), 3);
    std::fclose(f);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(channels, 2);
    EXPECT_GE(samples, 44100);
    std::remove(info.c_str());
    std::remove(file.c_str());
}

TEST_F(ChainOnSoundServer, RecorderThatFailsToOpenLeavesTheChainIdleAndSaysWhy) {
    const std::string file = snd::tempPath("chain-fail") + ".wav";
    ChainStartOptions o = options(true, true, file, 3);
    o.inDeviceId = 999;
    const ChainStartResult started = chain.startIn(o);
    EXPECT_FALSE(started.recording);
    EXPECT_EQ(started.playbackDelayMs, 0u);
    EXPECT_EQ(started.problem.kind, ChainProblem::Kind::RecorderFailed);
    EXPECT_NE(started.problem.code, 0u);
    EXPECT_FALSE(started.problem.deviceText.empty());
    const std::string text = chainProblemText(started.problem, "uk");
    EXPECT_NE(text.find(started.problem.deviceText), std::string::npos) << text;
    EXPECT_NE(chainProblemText(started.problem).find(started.problem.deviceText),
              std::string::npos);
    EXPECT_EQ(chain.state(), ChainState::Idle);
    EXPECT_FALSE(chain.isPlaybackPending());
    EXPECT_EQ(chain.resampler(), nullptr);
    EXPECT_EQ(chain.riff(), nullptr);
    EXPECT_EQ(chain.holdStream(), nullptr);
    EXPECT_EQ(chain.mixer()->getStreamCount(), 0u);
    EXPECT_FALSE(chain.openOut(-1));

    // Choosing a device that works starts normally.
    const ChainStartResult again = chain.startIn(options(true, false));
    EXPECT_TRUE(again.recording);
    EXPECT_FALSE(again.problem);
    EXPECT_EQ(chain.state(), ChainState::Delaying);
    chain.closeIn();
    std::remove(file.c_str());
}

TEST_F(ChainOnSoundServer, WavFileThatCannotBeCreatedLeavesTheDelayRunning) {
    const ChainStartResult started =
        chain.startIn(options(true, true, "/nonexistent-una-folder/radio.wav", 1));
    EXPECT_TRUE(started.recording);
    EXPECT_FALSE(started.saving);
    EXPECT_EQ(started.playbackDelayMs, 1u);
    EXPECT_EQ(started.problem.kind, ChainProblem::Kind::FileNotCreated);
    EXPECT_EQ(started.problem.fileName, "/nonexistent-una-folder/radio.wav");
    EXPECT_NE(chainProblemText(started.problem, "uk").find("nothing is being saved"),
              std::string::npos);
    EXPECT_EQ(chain.state(), ChainState::Delaying);
    EXPECT_EQ(chain.riff(), nullptr);
    EXPECT_EQ(chain.waveIn()->getConsumerCount(), 1u);  // the resampler only
    chain.closeIn();

    const ChainStartResult unnamed = chain.startIn(options(false, true, "   "));
    EXPECT_TRUE(unnamed.recording);
    EXPECT_EQ(unnamed.problem.kind, ChainProblem::Kind::NoFileName);
    EXPECT_EQ(chain.state(), ChainState::RecordingOnly);
    chain.closeIn();
}

TEST_F(ChainOnSoundServer, PlayerThatFailsToOpenStopsHoldingButKeepsRecording) {
    ASSERT_TRUE(chain.startIn(options(true, false, {}, 0.2)).recording);
    EXPECT_FALSE(chain.openOut(999));
    EXPECT_EQ(chain.lastProblem().kind, ChainProblem::Kind::PlaybackFailed);
    EXPECT_FALSE(chain.lastProblem().deviceText.empty());
    EXPECT_EQ(chain.state(), ChainState::RecordingOnly);
    EXPECT_TRUE(chain.isInOpen());
    EXPECT_EQ(chain.holdStream(), nullptr);
    EXPECT_EQ(chain.resampler(), nullptr);
    chain.closeIn();
    EXPECT_EQ(chain.state(), ChainState::Idle);
    // The player is made anew for the mapper at the next start's tick.
    ASSERT_TRUE(chain.startIn(options(true, false, {}, 0.2)).recording);
    EXPECT_TRUE(chain.openOut(-1));
    EXPECT_EQ(chain.waveOut()->deviceId, -1);
    chain.closeIn();
}

TEST_F(ChainOnSoundServer, FormatsGoToTheDevicesAtOnce) {
    EXPECT_TRUE(chain.setInFormat({22050, 16, 1}));
    EXPECT_EQ(chain.inFormatText(), "PCM: 22,050 Hz; 16 Bit; Mono");
    EXPECT_TRUE(chain.setOutFormat({48000, 16, 2}));
    EXPECT_EQ(chain.outFormatText(), "PCM: 48,000 Hz; 16 Bit; Stereo");
    EXPECT_EQ(chain.mixer()->srcFormat->samplesPerSec, 48000u);

    // The next start converts from the recording format to the playback format.
    ASSERT_TRUE(chain.startIn(options(true, false, {}, 0.2)).recording);
    EXPECT_EQ(chain.resampler()->sourceChunk().rate, 22050u);
    EXPECT_EQ(chain.resampler()->destinationChunk().rate, 48000u);
    ASSERT_TRUE(eventually([&] { return chain.heldSeconds() >= 0.2; }));
    EXPECT_TRUE(chain.openOut(-1));
    EXPECT_EQ(chain.waveOut()->srcFormat->samplesPerSec, 48000u);
    chain.closeIn();
}

}  // namespace

// ctest-labels: sound
// The window as a user drives it: the delay set in its settings, started with its button,
// records radio.monitor and plays into radio, so one burst comes round again and again; the
// distance between its echoes is the delay heard, and the figure the window shows as heard
// must say the same. At 44.1 kHz, and at 48 kHz, which a PipeWire graph runs at itself.
// On PulseAudio the loop runs through a null sink of its own at 50 kHz: its frames are whole
// microseconds and keep the system clock, where one at 44.1 kHz runs up to a millisecond a
// second fast and its echoes would not count real time, which the shown figure does.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/mainWindow.h"
#include "support/echoRuler.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"

namespace snd = una::sound;
using namespace una::app;

namespace {

TEST(WindowEcho, TheDelayHeardAndTheFigureShownAreTheDelaySet) {
    if (!snd::serverAvailable())
        GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
    const bool pipewire = snd::serverResamples();
    const uint32_t sinkRate = pipewire ? 48000 : 50000;
    const std::string sink = pipewire ? "radio" : "ruler";
    const int ruler = pipewire ? -1
                               : snd::loadModule("module-null-sink sink_name=ruler rate=50000 "
                                                 "sink_properties=device.description=Ruler");
    ASSERT_TRUE(pipewire || ruler >= 0);
    setenv("PULSE_SOURCE", (sink + ".monitor").c_str(), 1);
    setenv("PULSE_SINK", sink.c_str(), 1);
    snd::runCommand("pactl set-default-sink " + sink + " >/dev/null 2>&1");
    snd::PeerProcess keeper("exec pacat -p --raw -d " + sink + " --latency-msec=10 /dev/zero");
    snd::waitSinksSettled({sink}, 50000, 5000);
    const std::string burstFile = snd::tempPath("window-burst");
    std::vector<int16_t> burst(44100 / 5 * 2, 0);
    const auto shape = snd::echoBurst(44100);
    burst.insert(burst.end(), shape.begin(), shape.end());
    snd::writeFile(burstFile, burst);
    constexpr double kDelay = 1.2;
    for (const uint32_t rate : {44100u, 48000u}) {
        SCOPED_TRACE(rate);
        const std::string ini = snd::tempPath("window-echo") + ".ini";
        const std::string recording = snd::tempPath("window-echo-rec");
        // The devices chosen by name, as a user picks them: a player made for a chosen device
        // once ran in the wrong chunks and lost one at every tick.
        std::ofstream(ini) << "[delay]\r\ndelaysec=1200\r\n[waveIn]\r\ndeviceName=" << sink
                           << ".monitor\r\npcmSamplesPerSecond=" << rate
                           << "\r\n[waveOut]\r\ndeviceName=" << sink
                           << "\r\npcmSamplesPerSecond=" << rate << "\r\n";
        double shownHeard = 0, shownAt = 0;
        // Times the sink's frames on the system clock, so the echoes a stall of a PipeWire
        // graph moved are told apart.
        snd::MonitorProbe pace(sink + ".monitor", sinkRate);
        pace.start();
        {
            snd::PeerProcess probe(snd::recordCommand(sink + ".monitor", sinkRate, recording));
            MainWindowOptions options;
            options.iniFileName = ini;
            Tc_form_vo2VazuMain window(options);
            window.show();
            window.findChild<QToolButton*>("c_sb_waveInStart")->click();
            QTest::qWait(static_cast<int>(kDelay * 1000) + 1500);
            snd::runCommand("pacat -p --raw --format=s16le --rate=44100 --channels=2 "
                            "--latency-msec=50 -d " + sink + " < '" + burstFile + "'");
            QTest::qWait(static_cast<int>(kDelay * 3500));
            shownAt = snd::probeNow();
            shownHeard = window.chain().delayFigures().delayNs / 1e9;
            window.findChild<QToolButton*>("c_sb_waveInStop")->click();
            QTest::qWait(1000);
        }
        pace.stop();
        const auto heard =
            snd::echoIntervals(snd::findEchoes(snd::readFile(recording), sinkRate), sinkRate);
        std::remove(recording.c_str());
        std::remove(ini.c_str());
        ASSERT_GE(heard.size(), 2u);
        const std::vector<double> lost = snd::graphTimeLost(pace, heard, kDelay);
        std::vector<bool> nearStall;
        std::printf("at %u Hz: heard", rate);
        for (size_t k = 0; k < heard.size(); ++k) {
            nearStall.push_back(!(lost[k] <= snd::kGraphStall));
            if (nearStall.back())
                std::printf(" %.5f (not judged: the graph lost %.2f ms)", heard[k], lost[k] * 1000);
            else
                std::printf(" %.5f", heard[k]);
        }
        std::printf(" s, shown %.5f s\n", shownHeard);
        std::vector<double> judged;
        for (size_t k = 0; k < heard.size(); ++k)
            if (!nearStall[k])
                judged.push_back(heard[k]);
        for (double interval : judged)
            EXPECT_NEAR(interval, kDelay, 0.002);
        // Against the middle interval: on a loaded machine the line may slip by a millisecond
        // for a moment and trim it back a second later, between the last echo and the reading.
        std::sort(judged.begin(), judged.end());
        if (!judged.empty() && !snd::graphStalledBefore(pace, shownAt, kDelay)) {
            EXPECT_NEAR(shownHeard, judged[judged.size() / 2], 0.001);
        } else {
            std::printf("shown figure not judged: the graph stalled\n");
        }
    }
    std::remove(burstFile.c_str());
    snd::runCommand("pactl set-default-sink tv >/dev/null 2>&1");
    snd::unloadModule(ruler);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

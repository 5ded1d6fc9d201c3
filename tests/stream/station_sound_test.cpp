// ctest-labels: sound
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/echoRuler.h"
#include "support/iniText.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"
#include "support/stationServer.h"

namespace snd = una::sound;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = UNA_BINARY_DIR "/app/ruzizavuvodideza";
constexpr uint32_t kRate = 44100;

using una::test::readText;

// The delay heard from a station, on one time base: FFmpeg sends what the echo sink plays to
// Icecast, the program listens to the station and plays into that sink again, so a burst
// comes round once per delay plus the sender's own latency. The rounds must all be alike: the
// delay counted from the station's live edge holds still, to the card path's few ms.
TEST(StationOnSoundServer, TheDelayHeardFromAStationIsSteady) {
    if (!snd::serverAvailable())
        GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
    if (!snd::StationServer::available() || ::access(kProgram.c_str(), X_OK) != 0)
        GTEST_SKIP() << "icecast2, ffmpeg or the program missing";
    const snd::EchoSink sink;
    snd::StationServer station(snd::StationServer::Kind::icecast, "pulse:" + sink.monitor());
    ASSERT_TRUE(station.ok());

    const std::string stem = snd::tempPath("station-echo");
    const std::string out = stem + "-out", err = stem + "-err", settings = stem + ".ini";
    const std::string recording = stem + "-rec", burstFile = stem + "-burst";
    std::vector<int16_t> burst(kRate / 5 * 2, 0);
    const auto shape = snd::echoBurst(kRate);
    burst.insert(burst.end(), shape.begin(), shape.end());
    ASSERT_TRUE(snd::writeFile(burstFile, burst));

    snd::runCommand("pactl set-default-sink " + sink.name() + " >/dev/null 2>&1");
    struct BackToTv {
        ~BackToTv() { snd::runCommand("pactl set-default-sink tv >/dev/null 2>&1"); }
    } backToTv;
    constexpr double kDelay = 1.5;
    const auto started = std::chrono::steady_clock::now();
    snd::PeerProcess program("PULSE_SINK=" + sink.name() + " '" + kProgram + "' --headless --in '" +
                             station.streamUrl() + "' --delay 1.5 --duration 22 --no-save "
                             "--settings '" + settings + "' > '" + out + "' 2> '" + err + "'");
    // Heard at the delay set, and the station's edge past its first 10 s: until a connection
    // has brought its least late arrivals, the edge still rises by a few ms now and then.
    const auto heardAtDelay = [&] { return snd::heardNear(readText(out), "heard ", kDelay); };
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (!heardAtDelay() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(heardAtDelay()) << readText(out) << readText(err);
    std::this_thread::sleep_until(started + 10s);
    snd::PeerProcess probe(snd::recordCommand(sink.monitor(), sink.rate(), recording));
    snd::MonitorProbe pace(sink.monitor(), sink.rate());
    pace.start();
    snd::runCommand("pacat -p --raw --format=s16le --rate=44100 --channels=2 --latency-msec=50 "
                    "-d " + sink.name() + " < '" + burstFile + "'");
    std::this_thread::sleep_for(8s);
    probe.stop();
    pace.stop();
    EXPECT_TRUE(program.waitExit(15000));
    EXPECT_NE(readText(out).find("Station: playing"), std::string::npos) << readText(out);

    double ppm = pace.ratePpm();
    if (pace.xruns() != 0 || snd::serverResamples() || !(std::abs(ppm) < 2000))
        ppm = 0;
    // MP3 blurs the burst a little more each round.
    auto intervals =
        snd::echoIntervals(snd::findEchoes(snd::readFile(recording), sink.rate(), 0.4), sink.rate());
    for (double& interval : intervals)
        interval /= 1 + ppm * 1e-6;
    for (const std::string& f : {out, err, settings, recording, burstFile})
        std::remove(f.c_str());
    std::string listed;
    for (double interval : intervals)
        listed += std::to_string(interval) + " ";
    std::printf("rounds (s): %s\n", listed.c_str());
    ASSERT_GE(intervals.size(), 3u) << listed;
    const auto [least, most] = std::minmax_element(intervals.begin(), intervals.end());
    // The sender's capture, encoder and decoder add a constant few tens of milliseconds.
    EXPECT_GE(*least, kDelay) << listed;
    EXPECT_LE(*most, kDelay + 0.3) << listed;
    EXPECT_LE(*most - *least, 0.005) << listed;
}

// A station cut mid-frame while the program records it, each connection a second of tone:
// the headless line says so in the user's language (Spanish by default), the program runs to
// its end and the WAV file keeps the tone of every connection, however short.
TEST(StationOnSoundServer, ACutStationIsSaidAndItsRecordingKept) {
    if (!snd::serverAvailable())
        GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
    if (!snd::StationServer::available() || ::access(kProgram.c_str(), X_OK) != 0)
        GTEST_SKIP() << "icecast2, ffmpeg or the program missing";
    snd::StationServer station(snd::StationServer::Kind::faulty);
    ASSERT_TRUE(station.ok());
    const std::string stem = snd::tempPath("station-cut");
    const std::string out = stem + "-out", wav = stem + ".wav", raw = stem + ".raw";
    const int code = snd::runCommand("PULSE_SINK=tv '" + kProgram + "' --headless --in '" +
                                     station.base() + "/cut' --delay 0.5 --duration 5 --save '" +
                                     wav + "' --settings '" + stem + ".ini' > '" + out + "' 2>&1");
    const std::string said = readText(out);
    EXPECT_EQ(code, 0) << said;
    EXPECT_NE(said.find("Station: reconnecting (la emisora terminó su emisión)"),
              std::string::npos) << said;
    ASSERT_EQ(snd::runCommand("sox '" + wav + "' -t raw -e signed -b 16 -c 1 '" + raw +
                              "' remix 1 2>/dev/null"), 0) << said;
    const std::vector<int16_t> left = snd::readFile(raw);
    EXPECT_GT(left.size(), kRate * 4) << said;
    size_t loud = 0;
    for (int16_t s : left)
        loud += std::abs(s) > 2000;
    EXPECT_GT(loud, kRate) << said;
    for (const std::string& f : {out, wav, raw, stem + ".ini"})
        std::remove(f.c_str());
}

}  // namespace

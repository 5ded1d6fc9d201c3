// Internet stations: the CPU of decoding a 128 kbit/s MP3 stream, how far the delay heard from
// a station wanders (Icecast and HLS), and how soon sound comes after the start at 5 s.
//
// The wander is measured as a listener would: FFmpeg sends what the echo sink plays to the
// station (a sink of its own whose frames keep real time, so the sender runs at its nominal
// rate as a real station's does), the program plays the station delayed into that sink
// again, so a burst comes round once per delay plus the sender's latency; a new burst every
// 10 s, and every round's length on one recording of the sink's monitor. Needs the private sound server:
//   . scripts/sound-server.sh; sound_server_start; build/bench/bench_station; sound_server_stop
// "lag": how far the newest audio lags the station's live edge (a tenth of the wander's time).
// Options: --cpu-seconds N (30), --wander-seconds N (600), --only cpu|lag|icecast|hls|start,
// --sender-ppm N (0): the sender's audio runs N ppm off real time (a station's sound card),
// and HLS segments carry the stamps of its clock; --delay S: the delay set (1.5 s for
// Icecast, 3.5 s for HLS); --trace FILE: the program writes every arrival and its edge there
// (UNA_STATION_TRACE), and the rounds off the median are listed with their times.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "stream/stationSoundCard.h"
#include "support/echoRuler.h"
#include "support/fakeSoundCard.h"
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

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The station recorded as the chain records it, on a card of its own, with `count` buffers
// of `ms` each queued; done buffers are queued again by requeue().
struct StationRecording {
    struct Buffer {
        std::vector<uint8_t> data;
        platform::WaveBuffer header;
    };
    una::stream::StationSoundCard card{std::make_shared<una::FakeSoundCard>()};
    std::shared_ptr<platform::Event> event = std::make_shared<platform::Event>(false, false);
    std::unique_ptr<platform::WaveStream> stream;
    std::vector<std::unique_ptr<Buffer>> buffers;  // a buffer's header must not move

    bool open(const std::string& url, uint32_t ms, size_t count) {
        card.setStations({{"Bench", url}});
        platform::WaveFormatEx format{1, 2, kRate, kRate * 4, 4, 16, 0};
        if (card.open(platform::WaveDirection::input, 1, format, event, 0, stream))
            return false;
        for (size_t i = 0; i < count; ++i) {
            Buffer& b = *buffers.emplace_back(std::make_unique<Buffer>());
            b.data.resize(kRate * ms / 1000 * 4);
            b.header.data = b.data.data();
            b.header.bufferLength = static_cast<uint32_t>(b.data.size());
            stream->prepare(b.header);
            stream->addBuffer(b.header);
        }
        stream->start();
        return true;
    }
    // The frames the done buffers held.
    uint64_t requeue() {
        uint64_t frames = 0;
        for (auto& b : buffers)
            if (b->header.isFlagSet(platform::kWhdrDone)) {
                frames += b->header.bytesRecorded / 4;
                stream->addBuffer(b->header);
            }
        return frames;
    }
};

void benchCpu(double seconds) {
    snd::StationServer server(snd::StationServer::Kind::icecast);
    if (!server.ok()) {
        std::printf("cpu: the station did not start\n");
        return;
    }
    StationRecording rec;
    if (!rec.open(server.streamUrl(), 40, 8)) {
        std::printf("cpu: the station did not open\n");
        return;
    }
    std::this_thread::sleep_for(3s);  // past the connection and its burst
    const double cpuBefore = cpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    uint64_t frames = 0;
    while (std::chrono::steady_clock::now() - begin < std::chrono::duration<double>(seconds)) {
        rec.event->wait(100);
        frames += rec.requeue();
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double cpu = cpuSeconds() - cpuBefore;
    rec.stream->close();
    std::printf("cpu: decoding a 128 kbit/s MP3 station: %.2f %% of one core over %.0f s "
                "(%.1f s of audio; goal <= 1 %%)\n",
                100 * cpu / wall, wall, frames / double(kRate));
}

// How far the newest audio lags the live edge, as the chain sees it: a delay shorter than
// that, plus what the player holds, runs dry now and then and loses the audio of the gap.
void benchLag(snd::StationServer::Kind kind, double seconds, double senderPpm) {
    const bool hls = kind == snd::StationServer::Kind::hls;
    const char* name = hls ? "lag HLS" : "lag Icecast";
    snd::StationServer server(kind, "tone", senderPpm);
    if (!server.ok()) {
        std::printf("%s: the station did not start\n", name);
        return;
    }
    StationRecording rec;
    if (!rec.open(server.streamUrl(hls), 20, 16)) {
        std::printf("%s: the station did not open\n", name);
        return;
    }
    const auto begin = std::chrono::steady_clock::now();
    std::vector<double> lags;  // the largest of each second, in seconds
    double most = 0;
    int second = 0;
    while (std::chrono::steady_clock::now() - begin < std::chrono::duration<double>(seconds)) {
        rec.event->wait(5);
        rec.requeue();
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin)
                              .count();
        platform::StreamTiming t;
        uint64_t position = 0;
        if (at < 10 || rec.stream->timing(t) != platform::kMmNoError ||
            rec.stream->position(position))
            continue;
        const double lag = (static_cast<double>(t.frames) - static_cast<double>(position)) / kRate;
        if (static_cast<int>(at) != second) {
            second = static_cast<int>(at);
            lags.push_back(most);
            most = lag;
        }
        most = std::max(most, lag);
    }
    rec.stream->close();
    if (lags.empty()) {
        std::printf("%s: no timing came\n", name);
        return;
    }
    std::sort(lags.begin(), lags.end());
    std::printf("%s: the newest audio lagged the edge by up to %.3f s (seconds' worst: median "
                "%.3f, 99th %% %.3f) over %.0f s, sender %.1f ppm\n",
                name, lags.back(), lags[lags.size() / 2], lags[lags.size() * 99 / 100], seconds,
                server.senderPpm());
}

// Rounds of a burst through sender, station and program, a new burst every 10 s.
void benchWander(snd::StationServer::Kind kind, double seconds, double senderPpm,
                 double delayWanted, const std::string& trace) {
    const bool hls = kind == snd::StationServer::Kind::hls;
    const char* name = hls ? "HLS" : "Icecast";
    const snd::EchoSink sink;
    snd::StationServer station(kind, "pulse:" + sink.monitor(), senderPpm);
    if (!station.ok()) {
        std::printf("%s: the station did not start\n", name);
        return;
    }
    std::printf("%s: the sender runs %.1f ppm off real time\n", name, station.senderPpm());
    // The sender hears the sink at half the amplitude, so a burst dies out after two or three
    // rounds: chains of echoes that never end would overlap the next bursts' and hide them.
    snd::runCommand("for o in $(pactl list short source-outputs | cut -f1); do "
                    "pactl set-source-output-volume $o 79%; done");
    const std::string stem = snd::tempPath("bench-station");
    const std::string out = stem + "-out", settings = stem + ".ini", recording = stem + "-rec";
    const std::string burstFile = stem + "-burst";
    std::vector<int16_t> burst(kRate / 5 * 2, 0);
    const auto shape = snd::echoBurst(kRate);
    burst.insert(burst.end(), shape.begin(), shape.end());
    snd::writeFile(burstFile, burst);
    snd::runCommand("pactl set-default-sink " + sink.name() + " >/dev/null 2>&1");
    // HLS brings a segment at a time: the delay must hold a segment and a poll.
    const double delay = delayWanted > 0 ? delayWanted : hls ? 3.5 : 1.5;
    char delayText[16];
    std::snprintf(delayText, sizeof delayText, "%.1f", delay);
    const std::string traceEnv = trace.empty() ? "" : "UNA_STATION_TRACE='" + trace + "' ";
    snd::PeerProcess program(traceEnv + "PULSE_SINK=" + sink.name() + " '" + kProgram +
                             "' --headless --in '" +
                             station.streamUrl(hls) + "' --delay " + delayText +
                             " --no-save --status-every 0 --settings '" + settings + "' > '" +
                             out + "' 2>&1");
    // The first 10 s after the sound starts do not count.
    std::this_thread::sleep_for(std::chrono::duration<double>(delay + 12));
    const auto recordingBegins = std::chrono::steady_clock::now();
    snd::PeerProcess probe(snd::recordCommand(sink.monitor(), sink.rate(), recording));
    snd::MonitorProbe pace(sink.monitor(), sink.rate());
    pace.start();
    const auto begin = std::chrono::steady_clock::now();
    std::vector<double> bursts;  // seconds into the recording at which each burst was played
    while (std::chrono::steady_clock::now() - begin < std::chrono::duration<double>(seconds)) {
        bursts.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                       recordingBegins)
                             .count());
        snd::runCommand("pacat -p --raw --format=s16le --rate=44100 --channels=2 "
                        "--latency-msec=50 -d " + sink.name() + " < '" + burstFile + "'");
        std::this_thread::sleep_for(10s);
    }
    probe.stop();
    pace.stop();
    program.stop();
    snd::runCommand("pactl set-default-sink tv >/dev/null 2>&1");
    double ppm = pace.ratePpm();
    if (pace.xruns() != 0 || snd::serverResamples() || !(std::abs(ppm) < 2000))
        ppm = 0;
    // Rounds: the distance between echoes closer than two delays (a new burst starts a chain).
    const auto echoes = snd::findEchoes(snd::readFile(recording), sink.rate(), 0.4);
    // A new burst (it sounds within a second or so of its start, under load) is no echo of
    // the one before: under load, the burst period stretched and such pairs passed for rounds
    // hundreds of ms off.
    const auto freshBurst = [&](double frame) {
        const double at = frame / sink.rate();
        return std::any_of(bursts.begin(), bursts.end(),
                           [&](double b) { return at > b - 0.2 && at < b + 1.5; });
    };
    std::vector<double> rounds, roundEnds;  // lengths, and where each ended (s into recording)
    size_t fresh = 0;
    for (size_t i = 1; i < echoes.size(); ++i) {
        const double d =
            (echoes[i].frame - echoes[i - 1].frame) / sink.rate() / (1 + ppm * 1e-6);
        if (d > delay * 0.9 && d < delay + 1.5) {
            if (freshBurst(echoes[i].frame))
                ++fresh;
            else {
                rounds.push_back(d);
                roundEnds.push_back(echoes[i].frame / sink.rate());
            }
        }
    }
    // Reconnections under load explain jumps: the station's lines of the run are shown.
    std::string said;
    std::istringstream lines(readText(out));
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("Station: ") && line != "Station: connecting" &&
            line != "Station: playing")
            said += "  " + line + "\n";
    for (const std::string& f : {out, settings, recording, burstFile})
        std::remove(f.c_str());
    std::string listed;
    for (double r : rounds)
        listed += " " + std::to_string(r).substr(0, 6);
    std::printf("%s rounds (s):%s\n%s", name, listed.c_str(), said.c_str());
    if (fresh > 0)
        std::printf("%s: %zu pairs left out that ended on a new burst\n", name, fresh);
    if (rounds.size() < 2) {
        std::printf("%s: too few rounds heard (%zu)\n", name, rounds.size());
        return;
    }
    if (!trace.empty()) {
        // On the trace's clock: the recording began at this monotonic time.
        const auto beganNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 recordingBegins.time_since_epoch())
                                 .count();
        std::vector<double> sorted = rounds;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double median = sorted[sorted.size() / 2];
        std::printf("%s: recording began at %lld ns; rounds over 1 ms off the median %.4f s:\n",
                    name, static_cast<long long>(beganNs), median);
        for (size_t i = 0; i < rounds.size(); ++i)
            if (std::abs(rounds[i] - median) > 0.001)
                std::printf("  ended at %.3f s: %.4f s (%+.1f ms)\n", roundEnds[i], rounds[i],
                            (rounds[i] - median) * 1000);
    }
    const auto [least, most] = std::minmax_element(rounds.begin(), rounds.end());
    double mean = 0;
    for (double r : rounds)
        mean += r / rounds.size();
    std::printf("%s: delay %.1f s heard as %.4f s on average (the sender adds its latency), "
                "wander %.1f ms over %.0f s, %zu rounds (goal <= 5 ms)\n",
                name, delay, mean, (*most - *least) * 1000, seconds, rounds.size());
}

void benchStart() {
    snd::StationServer station(snd::StationServer::Kind::icecast);
    if (!station.ok()) {
        std::printf("start: the station did not start\n");
        return;
    }
    const std::string stem = snd::tempPath("bench-start");
    for (int run = 1; run <= 3; ++run) {
        snd::runCommand("PULSE_SINK=tv '" + kProgram + "' --headless --in '" +
                        station.streamUrl() + "' --delay 5 --duration 9 --no-save "
                        "--settings '" + stem + ".ini' > '" + stem + "-out' 2>&1");
        const std::string text = readText(stem + "-out");
        const size_t at = text.find("Playback started after ");
        std::printf("start: sound %s after the start at a 5 s delay (goal <= 5 s)\n",
                    at == std::string::npos ? "never came"
                                            : text.substr(at + 23, text.find('\n', at) - at - 23)
                                                  .c_str());
    }
    std::remove((stem + "-out").c_str());
    std::remove((stem + ".ini").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    double cpuSecondsWanted = 30, wanderSeconds = 600, senderPpm = 0, delay = 0;
    std::string only, trace;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--cpu-seconds"))
            cpuSecondsWanted = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--wander-seconds"))
            wanderSeconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--only"))
            only = argv[i + 1];
        else if (!std::strcmp(argv[i], "--sender-ppm"))
            senderPpm = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--delay"))
            delay = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--trace"))
            trace = argv[i + 1];
    }
    if (!snd::StationServer::available()) {
        std::printf("icecast2 and ffmpeg are needed (scripts/deps.sh test)\n");
        return 1;
    }
    if (only.empty() || only == "cpu")
        benchCpu(cpuSecondsWanted);
    if (only.empty() || only == "lag") {
        benchLag(snd::StationServer::Kind::icecast, wanderSeconds / 10, senderPpm);
        benchLag(snd::StationServer::Kind::hls, wanderSeconds / 10, senderPpm);
    }
    if (!snd::serverAvailable()) {
        std::printf("the rest needs the private sound server (scripts/sound-server.sh)\n");
        return 0;
    }
    if (only.empty() || only == "start")
        benchStart();
    if (only.empty() || only == "icecast")
        benchWander(snd::StationServer::Kind::icecast, wanderSeconds, senderPpm, delay, trace);
    if (only.empty() || only == "hls")
        benchWander(snd::StationServer::Kind::hls, wanderSeconds, senderPpm, delay, trace);
    return 0;
}

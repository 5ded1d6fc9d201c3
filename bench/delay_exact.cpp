// The delay as a listener hears it, for the program's window (offscreen, started and stopped
// through its buttons), the headless program and PulseAudio's own loopback module, measured
// the same way in the same run: each records radio.monitor and plays into radio, a burst is
// played once into radio, and one recording of radio.monitor holds its echoes, one delay
// apart. Needs the private server (`. scripts/sound-server.sh; sound_server_start`).
//
//   bench_delay_exact [--delays 0.1,1,5,30,160] [--runs 10] [--modes window,headless,loopback]
//
// Every run starts afresh. Per delay and mode it prints the error of the first echo interval
// of each run (the delay right after the start) and the largest error of any interval, counted
// in the sink's frames, then both for every start in turn, and the delay the program shows as
// heard at the end of each start against the last echo; and the first error again in real
// time, with the sink's pace against the system clock measured during the run (a null sink's
// frames may run hundreds of ppm off it). Then every start again on the system clock, each
// echo timed by a probe's own buffers around it: a PipeWire graph driven by a timer stalls on
// a loaded machine, and its sinks, a ruler too, then count fewer frames than the clock passed.
// Beside them, the CPU of one core the headless program used and the server's processes used
// (PulseAudio's daemon, or PipeWire and its pulse service; the loopback runs in there), both
// over the runs' wall time; and, where a PipeWire graph lost time between the burst and the
// last echo (a cycle its timer skipped), how much, start by start.
//
//   --format RATE the program's own streams at RATE (44100 unless given; 48000 is the rate a
//                 PipeWire graph runs at, so the server converts nothing there).
//   --program PATH the headless program to run (the build's own unless given).
//   --ruler RATE  measures on a sink of its own at RATE instead of radio: at a rate whose frame
//                 is a whole number of microseconds (50000, 40000) a null sink's frames keep the
//                 system clock exactly on PulseAudio, so the echoes count real time there;
//                 the program's 44.1 kHz streams are then resampled by the server both ways.
//   --stall MS    stops PipeWire's graph (its process) for MS ms half a delay after the burst,
//                 so the graph loses a cycle or more while the burst is held: in the sink's
//                 frames the echo that follows should not move.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "app/mainWindow.h"
#include "support/echoRuler.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"

namespace snd = una::sound;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kRate = 44100;

// Stops PipeWire's process for `ms`: its timer fires late and the graph skips what it missed.
// False where there is no private PipeWire.
bool stallGraph(double ms) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::ifstream in(std::string(runtime ? runtime : "") + "/pipewire.pid");
    pid_t pid = 0;
    if (!(in >> pid) || pid <= 0 || kill(pid, SIGSTOP) != 0)
        return false;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    kill(pid, SIGCONT);
    return true;
}

// The sink the subjects record the monitor of and play into, and its rate.
std::string gSink = "radio";
uint32_t gSinkRate = kRate;
// The rate of the program's own streams.
uint32_t gFormatRate = kRate;

// The settings a subject starts from: the delay, and the streams' rate when not the default.
void writeSettings(const std::string& file, double delay) {
    char value[32];
    std::snprintf(value, sizeof value, "%.0f", delay * 1000);
    std::ofstream out(file);
    out << "[delay]\r\ndelaysec=" << value << "\r\n";
    if (gFormatRate != kRate)
        for (const char* side : {"waveIn", "waveOut"})
            out << "[" << side << "]\r\npcmSamplesPerSecond=" << gFormatRate << "\r\n";
}

std::vector<std::string> split(const char* text) {
    std::vector<std::string> out;
    std::string item;
    for (const char* p = text;; ++p) {
        if (*p == ',' || *p == 0) {
            if (!item.empty())
                out.push_back(item);
            item.clear();
            if (*p == 0)
                break;
        } else {
            item += *p;
        }
    }
    return out;
}

// Lets the window's event loop run while waiting.
void pause(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// CPU seconds a process has used, from the kernel's account; 0 when it is gone.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The private server's processes: PulseAudio's daemon, or PipeWire and its pulse service.
std::vector<pid_t> serverPids() {
    std::vector<pid_t> pids;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* pulse = std::getenv("PULSE_RUNTIME_PATH");
    for (std::string file : {std::string(pulse ? pulse : "") + "/pid",
                             std::string(runtime ? runtime : "") + "/pipewire.pid",
                             std::string(runtime ? runtime : "") + "/pipewire-pulse.pid"}) {
        std::ifstream in(file);
        pid_t pid = 0;
        if (in >> pid && pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

double serverCpuSeconds() {
    double total = 0;
    for (pid_t pid : serverPids())
        total += cpuSeconds(pid);
    return total;
}

// One start of a subject: it begins delaying in the constructor and stops in the destructor.
class Subject {
  public:
    virtual ~Subject() = default;
    // CPU seconds of the subject's own process so far; negative when it has none of its own.
    virtual double cpu() const { return -1; }
    // The delay heard as the subject shows it now, in seconds; NaN when it shows none.
    virtual double shownHeard() const { return std::nan(""); }
    // The splices and trims the delay line made so far (each one heard); -1 when unknown.
    virtual int corrections() const { return -1; }
};

class HeadlessSubject : public Subject {
  public:
    HeadlessSubject(const std::string& program, double delay)
        : settings_(prepared(snd::tempPath("bench-settings") + ".ini", delay)),
          log_(snd::tempPath("bench-status")),
          process_("PULSE_SOURCE=" + gSink + ".monitor PULSE_SINK=" + gSink + " exec '" + program +
                   "' --headless --no-save --delay " + std::to_string(delay) +
                   " --settings '" + settings_ + "' < /dev/null > '" + log_ + "' 2>&1") {}
    double cpu() const override { return cpuSeconds(process_.pid()); }
    // From the last status line that has a figure ("..., heard 4.999 s, ...").
    double shownHeard() const override {
        std::ifstream in(log_);
        double heard = std::nan("");
        for (std::string line; std::getline(in, line);)
            if (const size_t at = line.find(", heard "); at != std::string::npos) {
                const char* figure = line.c_str() + at + 8;
                if (*figure != '-')
                    heard = std::atof(figure);
            }
        return heard;
    }
    ~HeadlessSubject() override {
        process_.stop();
        std::remove(settings_.c_str());
        std::remove(log_.c_str());
    }

  private:
    static std::string prepared(const std::string& file, double delay) {
        writeSettings(file, delay);
        return file;
    }
    std::string settings_;
    std::string log_;
    snd::PeerProcess process_;
};

class WindowSubject : public Subject {
  public:
    explicit WindowSubject(double delay) : ini_(snd::tempPath("bench-window") + ".ini") {
        writeSettings(ini_, delay);
        setenv("PULSE_SOURCE", (gSink + ".monitor").c_str(), 1);
        setenv("PULSE_SINK", gSink.c_str(), 1);
        una::app::MainWindowOptions options;
        options.iniFileName = ini_;
        window_ = std::make_unique<una::app::Tc_form_vo2VazuMain>(options);
        window_->show();
        button("c_sb_waveInStart")->click();
    }
    double shownHeard() const override {
        const auto figures = window_->chain().delayFigures();
        return figures.playing && figures.measured ? static_cast<double>(figures.delayNs) / 1e9
                                                   : std::nan("");
    }
    int corrections() const override {
        const auto figures = window_->chain().delayFigures();
        return static_cast<int>(figures.splices + figures.trims);
    }
    ~WindowSubject() override {
        button("c_sb_waveInStop")->click();
        window_->close();
        window_.reset();
        std::remove(ini_.c_str());
    }

  private:
    QToolButton* button(const char* name) {
        return window_->findChild<QToolButton*>(QString::fromLatin1(name));
    }
    std::string ini_;
    std::unique_ptr<una::app::Tc_form_vo2VazuMain> window_;
};

class LoopbackSubject : public Subject {
  public:
    explicit LoopbackSubject(double delay) {
        module_ = snd::loadModule("module-loopback source=" + gSink + ".monitor sink=" + gSink +
                                  " latency_msec=" +
                                  std::to_string(static_cast<int>(std::lround(delay * 1000))));
    }
    ~LoopbackSubject() override {
        if (module_ >= 0)
            snd::unloadModule(module_);
    }

  private:
    int module_ = -1;
};

struct Stats {
    std::vector<double> first;  // ms
    std::vector<double> firstReal;  // ms, in real time
    std::vector<double> ppm;        // the sink against the system clock
    std::vector<double> runWorst;   // ms, each start's largest interval error
    std::vector<double> shown;      // ms, each start's shown "heard" less its last echo interval
    // ms, each start's first and worst error on the system clock (the probe's buffers), and
    // the shown "heard" less the last interval there
    std::vector<std::pair<double, double>> clockFirstWorst;
    std::vector<double> shownClock;
    // ms, how far the graph's frames strayed from the system clock between the last echo and
    // the moment the shown figure was read: a stall there moves the figure, not the last echo
    std::vector<double> lostBeforeShown;
    // ms, how far the graph's frames strayed from the system clock from the burst to the last
    // echo: an interval across a cycle the graph skipped is a cycle long on one clock or the
    // other, whatever the program does
    std::vector<double> lostDuringEchoes;
    std::vector<int> corrections;  // each start's splices and trims, where the subject tells
    double worst = 0;           // ms
    int missing = 0;            // runs without two echoes
    double programCpu = 0, serverCpu = 0, seconds = 0;  // summed over the runs
};

std::string summary(std::vector<double> values) {
    if (values.empty())
        return "no runs";
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values)
        sum += v;
    char text[160];
    std::snprintf(text, sizeof text, "mean %+.2f, min %+.2f, median %+.2f, max %+.2f ms (%zu runs)",
                  sum / static_cast<double>(values.size()), values.front(),
                  values[values.size() / 2], values.back(), values.size());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> delays{0.1, 1, 5, 30, 160};
    std::vector<std::string> modes{"window", "headless", "loopback"};
    int runs = 10;
    double stallMs = 0;
    std::string program = UNA_BINARY_DIR "/app/ruzizavuvodideza";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--delays") == 0) {
            delays.clear();
            for (const std::string& d : split(argv[i + 1]))
                delays.push_back(std::atof(d.c_str()));
        } else if (std::strcmp(argv[i], "--modes") == 0)
            modes = split(argv[i + 1]);
        else if (std::strcmp(argv[i], "--format") == 0)
            gFormatRate = static_cast<uint32_t>(std::clamp(std::atoi(argv[i + 1]), 8000, 192000));
        else if (std::strcmp(argv[i], "--program") == 0)
            program = argv[i + 1];
        else if (std::strcmp(argv[i], "--ruler") == 0)
            gSinkRate = static_cast<uint32_t>(std::max(8000, std::atoi(argv[i + 1])));
        else if (std::strcmp(argv[i], "--stall") == 0)
            stallMs = std::max(0.0, std::atof(argv[i + 1]));
    }
    if (!snd::serverAvailable()) {
        std::fprintf(stderr, "needs the private sound server (scripts/sound-server.sh)\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    int rulerModule = -1;
    if (gSinkRate != kRate) {
        gSink = "ruler";
        rulerModule = snd::loadModule("module-null-sink sink_name=ruler rate=" +
                                      std::to_string(gSinkRate) +
                                      " sink_properties=device.description=Ruler");
        if (rulerModule < 0) {
            std::fprintf(stderr, "the ruler sink did not load\n");
            return 2;
        }
    }
    if (gSink == "radio") {
        // The echoes are counted in the sink's own frames: PipeWire's null sinks run at 48 kHz.
        const int rate = std::atoi(
            snd::commandOutput("pactl list short sinks | awk '$2==\"radio\"{print $6}'").c_str());
        if (rate >= 8000)
            gSinkRate = static_cast<uint32_t>(rate);
    }
    // The sound-server backend plays on the server's default sink.
    snd::runCommand("pactl set-default-sink " + gSink + " >/dev/null 2>&1");
    // Low-latency silence keeps the sink rendering in small blocks, as a desktop's does.
    snd::PeerProcess keeper("exec pacat -p --raw -d " + gSink + " --latency-msec=10 /dev/zero");
    snd::waitSinksSettled({gSink}, 50000, 10000);
    const std::string burstFile = snd::tempPath("bench-burst");
    std::vector<int16_t> burst(kRate / 5 * 2, 0);
    const auto shape = snd::echoBurst(kRate);
    burst.insert(burst.end(), shape.begin(), shape.end());
    snd::writeFile(burstFile, burst);

    std::printf("server: %s", snd::commandOutput("pactl info | sed -n 's/^Server Name: //p'").c_str());
    std::printf("load average at start: ");
    std::fflush(stdout);
    snd::runCommand("cut -d' ' -f1-3 /proc/loadavg");
    std::printf("delay error heard (echo interval - delay), %d runs per delay, on sink %s at %u Hz, "
                "the program's streams at %u Hz\n",
                runs, gSink.c_str(), gSinkRate, gFormatRate);
    for (double delay : delays) {
        for (const std::string& mode : modes) {
            Stats stats;
            for (int r = 0; r < runs; ++r) {
                const std::string recording = snd::tempPath("bench-rec");
                std::vector<double> intervals;
                double ppm = std::nan("");
                double shown = std::nan("");
                double shownAt = 0;
                std::vector<double> real;  // seconds between echoes on the system clock
                {
                    snd::PeerProcess probe(
                        snd::recordCommand(gSink + ".monitor", gSinkRate, recording));
                    // The echoes count the sink's frames; this one times them on the system
                    // clock, so the delay can also be given in real time. A ruler's frames are
                    // real time on PulseAudio; a PipeWire graph driven by a timer stalls on a
                    // loaded machine and counts fewer frames than the clock passed, ruler or not.
                    std::optional<snd::MonitorProbe> clock;
                    clock.emplace(gSink + ".monitor", gSinkRate);
                    clock->start();
                    const double serverBefore = serverCpuSeconds();
                    const auto runStart = Clock::now();
                    std::unique_ptr<Subject> subject;
                    if (mode == "window")
                        subject = std::make_unique<WindowSubject>(delay);
                    else if (mode == "headless")
                        subject = std::make_unique<HeadlessSubject>(program, delay);
                    else
                        subject = std::make_unique<LoopbackSubject>(delay);
                    // The program places its first audible frame a little after the delay.
                    pause(delay + 1.5);
                    snd::runCommand("pacat -p --raw --format=s16le --rate=44100 --channels=2 "
                                    "--latency-msec=50 -d " + gSink + " < '" + burstFile + "'");
                    if (stallMs > 0) {
                        pause(0.5 * delay);
                        if (!stallGraph(stallMs))
                            std::fprintf(stderr, "no PipeWire process to stall\n");
                        pause(1.7 * std::max(delay, 0.4) + 0.5);
                    } else {
                        pause(2.2 * std::max(delay, 0.4) + 0.5);
                    }
                    const double programCpu = subject->cpu();
                    shown = subject->shownHeard();
                    if (const int corrections = subject->corrections(); corrections >= 0)
                        stats.corrections.push_back(corrections);
                    shownAt = snd::probeNow();
                    stats.serverCpu += serverCpuSeconds() - serverBefore;
                    stats.seconds += std::chrono::duration<double>(Clock::now() - runStart).count();
                    if (programCpu >= 0)
                        stats.programCpu += programCpu;
                    subject.reset();
                    pause(0.2);
                    probe.stop();
                    // A probe that lost audio counts too few frames: no pace from it.
                    if (clock) {
                        clock->stop();
                        if (clock->xruns() == 0 && std::abs(clock->ratePpm()) < 2000 &&
                            rulerModule < 0)
                            ppm = clock->ratePpm();
                        // Each echo's moment from the probe's own buffers around it, so the
                        // sink's stalls between two echoes count as the time they took.
                        if (clock->xruns() == 0) {
                            const auto echoes = snd::findEchoes(clock->samples(), gSinkRate);
                            for (size_t k = 1; k < echoes.size(); ++k)
                                real.push_back(clock->localFrameTime(echoes[k].frame) -
                                               clock->localFrameTime(echoes[k - 1].frame));
                            if (echoes.size() > 1)
                                stats.lostDuringEchoes.push_back(
                                    1000 * clock->timeLost(
                                               clock->localFrameTime(echoes.front().frame),
                                               clock->localFrameTime(echoes.back().frame)));
                            if (!echoes.empty() && !std::isnan(shown))
                                stats.lostBeforeShown.push_back(
                                    1000 * clock->timeLost(
                                               clock->localFrameTime(echoes.back().frame),
                                               shownAt));
                        }
                    }
                    intervals = snd::echoIntervals(
                        snd::findEchoes(snd::readFile(recording), gSinkRate), gSinkRate);
                }
                std::remove(recording.c_str());
                if (intervals.empty()) {
                    ++stats.missing;
                    continue;
                }
                stats.first.push_back((intervals.front() - delay) * 1000);
                if (!std::isnan(ppm)) {
                    stats.ppm.push_back(ppm);
                    stats.firstReal.push_back((intervals.front() / (1 + ppm * 1e-6) - delay) * 1000);
                }
                double runWorst = 0;
                for (double interval : intervals)
                    runWorst = std::max(runWorst, std::abs(interval - delay) * 1000);
                stats.runWorst.push_back(runWorst);
                stats.shown.push_back((shown - intervals.back()) * 1000);
                if (!real.empty() && !std::isnan(real.front())) {
                    double realWorst = 0;
                    for (double interval : real)
                        realWorst = std::max(realWorst, std::abs(interval - delay) * 1000);
                    stats.clockFirstWorst.push_back({(real.front() - delay) * 1000, realWorst});
                    stats.shownClock.push_back((shown - real.back()) * 1000);
                }
                stats.worst = std::max(stats.worst, runWorst);
            }
            std::printf("  %6.1f s %-8s first echo: %s; worst interval %.2f ms%s\n", delay,
                        mode.c_str(), summary(stats.first).c_str(), stats.worst,
                        stats.missing ? (", " + std::to_string(stats.missing) + " runs without echoes").c_str() : "");
            // Every start on its own: one bad start in several hides in a summary.
            std::printf("  %6.1f s %-8s   each start, first/worst ms:", delay, mode.c_str());
            for (size_t k = 0; k < stats.first.size(); ++k)
                std::printf(" %+.2f/%.2f", stats.first[k], stats.runWorst[k]);
            std::printf("\n");
            // What the program shows as heard against the last echo, on the sink's frames.
            if (std::any_of(stats.shown.begin(), stats.shown.end(),
                            [](double v) { return !std::isnan(v); })) {
                std::printf("  %6.1f s %-8s   shown \"heard\" - last echo, ms:", delay,
                            mode.c_str());
                for (double v : stats.shown)
                    std::printf(" %+.2f", v);
                std::printf("\n");
            }
            if (!stats.clockFirstWorst.empty()) {
                std::printf("  %6.1f s %-8s   on the system clock, each start first/worst ms:",
                            delay, mode.c_str());
                for (const auto& [first, worst] : stats.clockFirstWorst)
                    std::printf(" %+.2f/%.2f", first, worst);
                if (std::any_of(stats.shownClock.begin(), stats.shownClock.end(),
                                [](double v) { return !std::isnan(v); })) {
                    std::printf("; shown \"heard\" - last echo:");
                    for (double v : stats.shownClock)
                        std::printf(" %+.2f", v);
                }
                std::printf("\n");
            }
            if (!stats.corrections.empty()) {
                std::printf("  %6.1f s %-8s   splices and trims heard, each start:", delay,
                            mode.c_str());
                for (int v : stats.corrections)
                    std::printf(" %d", v);
                std::printf("\n");
            }
            if (std::any_of(stats.lostDuringEchoes.begin(), stats.lostDuringEchoes.end(),
                            [](double v) { return v > 1000 * snd::kGraphStall; })) {
                std::printf("  %6.1f s %-8s   the graph lost from the burst to the last echo, ms:",
                            delay, mode.c_str());
                for (double v : stats.lostDuringEchoes)
                    std::printf(" %.2f", v);
                std::printf("\n");
            }
            if (std::any_of(stats.lostBeforeShown.begin(), stats.lostBeforeShown.end(),
                            [](double v) { return v > 1000 * snd::kGraphStall; })) {
                std::printf("  %6.1f s %-8s   the graph lost between the last echo and the "
                            "reading, ms:", delay, mode.c_str());
                for (double v : stats.lostBeforeShown)
                    std::printf(" %.2f", v);
                std::printf("\n");
            }
            // The server's share includes the probes that record the echoes, in every mode.
            if (stats.seconds > 0)
                std::printf("  %6.1f s %-8s   CPU of one core: %s server %.1f %%\n", delay,
                            mode.c_str(),
                            mode == "headless"
                                ? ("program " + std::to_string(100 * stats.programCpu / stats.seconds)
                                       .substr(0, 4) + " %,").c_str()
                                : "",
                            100 * stats.serverCpu / stats.seconds);
            if (stats.ppm.size() < stats.first.size() && gSink == "radio")
                std::printf("  %6.1f s %-8s   the sink's pace not measured in %zu runs\n", delay,
                            mode.c_str(), stats.first.size() - stats.ppm.size());
            if (!stats.ppm.empty()) {
                std::sort(stats.ppm.begin(), stats.ppm.end());
                std::printf("  %6.1f s %-8s   in real time: %s; the sink ran %+.0f..%+.0f ppm "
                            "against the system clock\n",
                            delay, mode.c_str(), summary(stats.firstReal).c_str(),
                            stats.ppm.front(), stats.ppm.back());
            }
            std::fflush(stdout);
        }
    }
    std::remove(burstFile.c_str());
    snd::runCommand("pactl set-default-sink tv >/dev/null 2>&1");
    if (rulerModule >= 0)
        snd::unloadModule(rulerModule);
    std::printf("load average at end: ");
    std::fflush(stdout);
    snd::runCommand("cut -d' ' -f1-3 /proc/loadavg");
    return 0;
}

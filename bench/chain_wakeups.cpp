// What the running delay costs the machine, as a user's `top -H` would see it: the headless
// program delaying radio.monitor into tv, against PulseAudio's module-loopback doing the same
// job in the same run. For each: wake-ups per second of every thread (voluntary context
// switches; involuntary ones beside them), CPU of the program and the sound server's extra CPU
// over the server idling with only the radio playing. Needs the private server
// (`. scripts/sound-server.sh; sound_server_start`).
//
//   bench_chain_wakeups [--seconds 30] [--delay 5] [--rounds 1] [--program PATH]
//                       [--source null|sine]
//
// --source null records a null source of the server's instead of radio.monitor: like a card's
// input it delivers in the period its reader asks for. A monitor hands over every block its
// sink renders (5 ms here, whatever a reader asks for). --source sine records the server's
// sine source, which hands over 2 s at a time, like a network or virtual source.
//
// The audio flows in real time, so CPU per audio second is the CPU share times 1000 ms.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "support/soundPeer.h"
#include "taskFigures.h"

namespace snd = una::sound;

namespace {

constexpr uint32_t kRate = 44100;

pid_t serverPid() {
    const char* dir = std::getenv("PULSE_RUNTIME_PATH");
    if (!dir)
        return -1;
    pid_t pid = -1;
    std::ifstream(std::string(dir) + "/pid") >> pid;
    return pid;
}

struct Phase {
    ProcessRates server;
    ProcessRates program;
    bool hasProgram = false;
};

Phase measure(pid_t server, pid_t program, double seconds) {
    const auto s0 = readTasks(server);
    const auto p0 = program > 0 ? readTasks(program) : std::map<pid_t, TaskReading>{};
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto s1 = readTasks(server);
    const auto p1 = program > 0 ? readTasks(program) : std::map<pid_t, TaskReading>{};
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    Phase phase;
    phase.server = ratesBetween(s0, s1, wall);
    if (program > 0) {
        phase.program = ratesBetween(p0, p1, wall);
        phase.hasProgram = !p1.empty();
    }
    return phase;
}

// A scratch file removed on every way out (after the player reading it, declared later, ends).
struct Scratch {
    std::string path;
    ~Scratch() { std::remove(path.c_str()); }
};

// Voluntary switches only: the times the threads went to sleep and were woken.
double wakeups(const ProcessRates& rates) {
    double sum = 0;
    for (const TaskRates& t : rates.tasks)
        sum += t.wakeupsPerSecond;
    return sum;
}

void sleepSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30, delay = 5;
    int rounds = 1;
    std::string program = UNA_BINARY_DIR "/app/ruzizavuvodideza";
    std::string source = "radio.monitor";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--delay") == 0)
            delay = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--program") == 0)
            program = argv[i + 1];
        else if (std::strcmp(argv[i], "--source") == 0)
            source = argv[i + 1];
    }
    const pid_t server = serverPid();
    if (!snd::serverAvailable() || server <= 0) {
        std::fprintf(stderr, "start the private sound server first\n");
        return 2;
    }
    // The radio plays all the time, so its cost is in every phase and drops out of the
    // differences. One file long enough for the whole run, so the player is one process.
    const double runSeconds = rounds * (3 * seconds + 2 * delay + 20) + 10;
    const Scratch tone{snd::tempPath("wakeups-tone")};
    const std::string& toneFile = tone.path;
    snd::writeFile(toneFile, snd::tone(440, 8000, kRate, runSeconds));
    snd::PeerProcess radio("exec pacat -p --raw -d radio --rate 44100 --channels 2 "
                           "--format s16le --latency-msec=40 '" + toneFile + "'",
                           snd::PeerProcess::Pace::steady);
    const std::string label = source;
    int sineModule = -1;
    if (source == "sine" || source == "null") {
        const std::string module = source == "sine" ? "module-sine-source" : "module-null-source";
        sineModule = snd::loadModule(module + " source_name=line rate=44100" +
                                     (source == "sine" ? " frequency=440" : " channels=2"));
        if (sineModule < 0) {
            std::fprintf(stderr, "%s did not load\n", module.c_str());
            return 2;
        }
        source = "line";
    } else if (source != "radio.monitor") {
        std::fprintf(stderr, "--source is null or sine\n");
        return 2;
    }
    sleepSeconds(3);

    const Scratch settingsFile{snd::tempPath("wakeups-settings") + ".ini"};
    const std::string& settings = settingsFile.path;
    char delayText[32];
    std::snprintf(delayText, sizeof delayText, "%.1f", delay);
    std::printf("44100 Hz stereo 16-bit from %s, delay %s s, %.0f s per phase, %d round(s)\n",
                label.c_str(), delayText, seconds, rounds);

    double idleSum = 0, programSum = 0, programServerSum = 0, loopbackSum = 0, wakeupSum = 0;
    for (int round = 0; round < rounds; ++round) {
        const Phase idle = measure(server, -1, seconds);

        Phase running;
        {
            snd::PeerProcess process("PULSE_SOURCE=" + source + " PULSE_SINK=tv exec '" + program +
                                     "' --headless --no-save --delay " + delayText +
                                     " --settings '" + settings + "' < /dev/null > /dev/null 2>&1");
            sleepSeconds(delay + 4);  // past the start of playback and its settling
            running = measure(server, process.pid(), seconds);
            process.stop();
        }
        sleepSeconds(2);

        Phase loopback;
        const int module = snd::loadModule(
            "module-loopback source=" + source + " sink=tv latency_msec=" +
            std::to_string(static_cast<int>(delay * 1000)));
        if (module < 0) {
            std::fprintf(stderr, "module-loopback did not load\n");
            if (sineModule >= 0)
                snd::unloadModule(sineModule);
            return 1;
        }
        sleepSeconds(delay + 4);
        loopback = measure(server, -1, seconds);
        snd::unloadModule(module);
        sleepSeconds(2);

        if (!running.hasProgram) {
            std::fprintf(stderr, "the program ended early (see its output: run it by hand)\n");
            if (sineModule >= 0)
                snd::unloadModule(sineModule);
            return 1;
        }
        const double serverExtra = running.server.cpuPercent - idle.server.cpuPercent;
        const double loopbackExtra = loopback.server.cpuPercent - idle.server.cpuPercent;
        std::printf("\nround %d\n", round + 1);
        std::printf("  server idling with the radio: %.3f %% CPU, %.0f switches/s\n",
                    idle.server.cpuPercent, idle.server.wakeupsPerSecond);
        printTasks(idle.server, "    ");
        std::printf("  program: %.3f %% CPU (%.2f ms per audio second), %.1f wake-ups/s, "
                    "%.0f switches/s\n",
                    running.program.cpuPercent, running.program.cpuPercent * 10,
                    wakeups(running.program), running.program.wakeupsPerSecond);
        printTasks(running.program, "    ");
        std::printf("  server beside the program: %.3f %% CPU (+%.3f), %.0f switches/s\n",
                    running.server.cpuPercent, serverExtra, running.server.wakeupsPerSecond);
        printTasks(running.server, "    ");
        std::printf("  server running module-loopback: %.3f %% CPU (+%.3f), %.0f switches/s\n",
                    loopback.server.cpuPercent, loopbackExtra, loopback.server.wakeupsPerSecond);
        printTasks(loopback.server, "    ");
        std::printf("  => program + server's extra: %.3f %% of a core (%.2f ms per audio second); "
                    "module-loopback: %.3f %% (%.2f ms)\n",
                    running.program.cpuPercent + serverExtra,
                    (running.program.cpuPercent + serverExtra) * 10, loopbackExtra,
                    loopbackExtra * 10);
        idleSum += idle.server.cpuPercent;
        programSum += running.program.cpuPercent;
        wakeupSum += wakeups(running.program);
        programServerSum += running.server.cpuPercent;
        loopbackSum += loopback.server.cpuPercent;
    }
    if (sineModule >= 0)
        snd::unloadModule(sineModule);
    const double n = rounds;
    std::printf("\nmean of %d round(s): program %.3f %% + server's extra %.3f %% = %.3f %% of a "
                "core; module-loopback %.3f %%; the program's threads woke %.1f times a second\n",
                rounds, programSum / n, (programServerSum - idleSum) / n,
                (programSum + programServerSum - idleSum) / n, (loopbackSum - idleSum) / n,
                wakeupSum / n);
    return 0;
}

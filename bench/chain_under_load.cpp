// Whether the delay keeps every frame while the machine is busy: numbered frames are played into
// radio, the headless program delays radio.monitor into tv, and a recording of tv.monitor is
// checked frame by frame against the numbering, while busy loops keep every core occupied. The
// program's own count of dropouts (the cards' xrun counters, its "Dropouts:" line) is printed
// beside it, and the scheduling its audio threads got. Needs the private server
// (`. scripts/sound-server.sh; sound_server_start`).
//
//   bench_chain_under_load [--minutes 5] [--delay 5] [--busy N (default: one per core)]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/soundPeer.h"

namespace snd = una::sound;

namespace {

constexpr uint32_t kRate = 44100;

struct Scratch {
    std::string path;
    ~Scratch() { std::remove(path.c_str()); }
};

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string lineStarting(const std::string& text, const std::string& start) {
    const size_t at = text.find(start);
    if (at == std::string::npos)
        return "(none)";
    return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 5, delay = 5;
    int busy = static_cast<int>(std::thread::hardware_concurrency());
    std::string program = UNA_BINARY_DIR "/app/ruzizavuvodideza";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0)
            minutes = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--delay") == 0)
            delay = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--busy") == 0)
            busy = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--program") == 0)
            program = argv[i + 1];
    }
    if (!snd::serverAvailable()) {
        std::fprintf(stderr, "start the private sound server first\n");
        return 2;
    }
    const double runSeconds = minutes * 60;
    const double programSeconds = runSeconds + delay + 4;
    const Scratch source{snd::tempPath("load-source")};
    const Scratch heard{snd::tempPath("load-heard")};
    const Scratch output{snd::tempPath("load-output") + ".txt"};
    const Scratch settings{snd::tempPath("load-settings") + ".ini"};
    snd::writeFile(source.path,
                   snd::numberedFrames(1, static_cast<uint32_t>((programSeconds + 10) * kRate)));

    std::vector<std::unique_ptr<snd::PeerProcess>> loads;
    for (int i = 0; i < busy; ++i)
        loads.push_back(std::make_unique<snd::PeerProcess>("exec yes > /dev/null"));
    std::printf("%d busy loop(s), load average %s", busy, readText("/proc/loadavg").c_str());

    snd::PeerProcess recorder(snd::recordCommand("tv.monitor", kRate, heard.path));
    if (!snd::waitRecorderReady(heard.path, "tv")) {
        std::fprintf(stderr, "the recorder of tv.monitor did not start\n");
        return 1;
    }
    snd::PeerProcess radio("exec pacat -p --raw -d radio --rate 44100 --channels 2 "
                           "--format s16le --latency-msec=40 '" + source.path + "'",
                           snd::PeerProcess::Pace::steady);
    char delayText[32], durationText[32];
    std::snprintf(delayText, sizeof delayText, "%.1f", delay);
    std::snprintf(durationText, sizeof durationText, "%.0f", programSeconds);
    snd::PeerProcess delaying("PULSE_SOURCE=radio.monitor PULSE_SINK=tv exec '" + program +
                              "' --headless --no-save --delay " + delayText + " --duration " +
                              durationText + " --settings '" + settings.path + "' < /dev/null > '" +
                              output.path + "' 2>&1");
    std::printf("delaying %s s for %.0f s ...\n", delayText, programSeconds);
    std::fflush(stdout);
    const bool ended = delaying.waitExit(static_cast<uint32_t>((programSeconds + 30) * 1000));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    recorder.stop();
    radio.stop();
    std::printf("load average at the end %s", readText("/proc/loadavg").c_str());
    loads.clear();

    const std::string said = readText(output.path);
    std::printf("program: %s\n  %s\n  %s\n", ended ? "ended by itself" : "had to be stopped",
                lineStarting(said, "Sound system:").c_str(), lineStarting(said, "Dropouts:").c_str());
    for (const char* problem : {"lost", "not there", "could not"})
        if (said.find(problem) != std::string::npos)
            std::printf("  it said: %s\n", lineStarting(said, problem).c_str());

    // The first second fades in and the last moments may be cut by the stop; between them
    // every frame must be the next number.
    const std::vector<int16_t> samples = snd::readFile(heard.path);
    size_t first = 0;
    while (first + 1 < samples.size() / 2 && samples[2 * first] == 0 && samples[2 * first + 1] == 0)
        ++first;
    size_t last = samples.size() / 2;
    while (last > first && samples[2 * (last - 1)] == 0 && samples[2 * (last - 1) + 1] == 0)
        --last;
    const size_t from = first + kRate, to = last > kRate / 2 ? last - kRate / 2 : 0;
    if (to <= from) {
        std::printf("heard: too little (%zu frames); no verdict\n", samples.size() / 2);
        return 1;
    }
    const std::vector<int16_t> middle(samples.begin() + static_cast<long>(2 * from),
                                      samples.begin() + static_cast<long>(2 * to));
    const snd::SequenceCheck check = snd::checkSequence(middle);
    std::printf("heard %.1f s of numbered frames; checked %.1f s: %u frames in sequence, %u break(s)\n",
                static_cast<double>(last - first) / kRate, static_cast<double>(to - from) / kRate,
                check.frames, check.breaks);
    // Where the numbering broke: time into the check, and what was heard there instead of the
    // next number (a run of silence, or a jump).
    int shown = 0;
    int16_t expected = middle.empty() ? 0 : middle[0];
    for (size_t i = 0; i < middle.size() / 2 && shown < 12;) {
        const int16_t l = middle[2 * i], r = middle[2 * i + 1];
        if (l == expected && r == static_cast<int16_t>(~l)) {
            expected = static_cast<int16_t>((expected + 1) & 0x7FFF);
            ++i;
            continue;
        }
        ++shown;
        if (l == 0 && r == 0) {
            const size_t at = i;
            while (i < middle.size() / 2 && middle[2 * i] == 0 && middle[2 * i + 1] == 0)
                ++i;
            std::printf("  at %8.3f s: %zu silent frames (%.1f ms)", static_cast<double>(at) / kRate,
                        i - at, static_cast<double>(i - at) * 1000 / kRate);
            if (i < middle.size() / 2)
                std::printf(", then number %d where %d was due", middle[2 * i], expected);
            std::printf("\n");
            if (i < middle.size() / 2)
                expected = middle[2 * i];
        } else {
            std::printf("  at %8.3f s: number %d where %d was due\n",
                        static_cast<double>(i) / kRate, l, expected);
            expected = static_cast<int16_t>((l + 1) & 0x7FFF);
            ++i;
        }
    }
    const bool clean = check.breaks == 0 && lineStarting(said, "Dropouts:") ==
                                                "Dropouts: recording 0, playback 0";
    std::printf("%s\n", clean ? "no dropout" : "DROPOUTS");
    return clean ? 0 : 1;
}

// Whether the delay keeps every frame while the machine is busy: numbered frames are played into
// radio, the headless program delays radio.monitor into tv, and what tv.monitor heard is compared
// frame by frame with what radio.monitor carried (recorded beside the program), while busy loops
// keep every core occupied and a disk writer beside them writes and syncs 256 MB at a time. The
// program records to a WAV file meanwhile (its own syncs then queue behind the writer's), which
// is compared the same way. Comparing with the radio's own recording rather than the numbering
// keeps the bench's player out of the verdict: a gap it leaves in radio (a busy disk stalls the
// server now and then) is the program's input, and must come out of it as it went in.
//
// Prints the program's own dropout counts and lines beside the breaks found. Needs the private
// server (`. scripts/sound-server.sh; sound_server_start`).
//
//   bench_chain_under_load [--minutes 5] [--delay 5] [--busy N (default: one per core)]
//                          [--disk 0|1] [--save 0|1]
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
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

// Memory, not the disk the writer keeps busy: the bench's own files must not stall its peers.
std::string shmPath(const std::string& stem) {
    return "/dev/shm/una-" + stem + "-" + std::to_string(getpid());
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
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

// Frames as one 32-bit word each (left and right 16-bit samples).
std::vector<uint32_t> frames(const std::string& bytes, size_t from = 0, size_t length = SIZE_MAX) {
    from = std::min(from, bytes.size());
    length = std::min(length, bytes.size() - from) / 4;
    std::vector<uint32_t> out(length);
    std::memcpy(out.data(), bytes.data() + from, length * 4);
    return out;
}

// The frames of a WAV file's data chunk; empty when there is none.
std::vector<uint32_t> wavFrames(const std::string& path) {
    const std::string bytes = readText(path);
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0)
            return frames(bytes, at + 8, size);
        at += 8 + size + (size & 1);
    }
    return {};
}

// Every frame of the source is its own number plus kBase (both channels together), so no two are
// alike and none is silence: a frame heard says where in the source it came from.
constexpr uint32_t kBase = 0x40000000;
constexpr size_t kNowhere = SIZE_MAX;

std::vector<uint32_t> uniqueFrames(uint32_t count) {
    std::vector<uint32_t> out(count);
    for (uint32_t i = 0; i < count; ++i)
        out[i] = kBase + i;
    return out;
}

// For each source frame, where the reference recording holds it.
std::vector<size_t> positions(const std::vector<uint32_t>& reference, size_t sourceFrames) {
    std::vector<size_t> at(sourceFrames, kNowhere);
    for (size_t p = 0; p < reference.size(); ++p)
        if (reference[p] >= kBase && reference[p] - kBase < sourceFrames)
            at[reference[p] - kBase] = p;
    return at;
}

size_t whereInReference(const std::vector<size_t>& at, uint32_t frame) {
    return frame >= kBase && frame - kBase < at.size() ? at[frame - kBase] : kNowhere;
}

struct Comparison {
    bool placed = false;
    size_t checked = 0;     // frames that agreed with the reference
    size_t breaks = 0;      // places where the copy stopped following the reference
    size_t lostFrames = 0;  // frames the copy replaced or skipped there
};

// Follows copy[from, to) through the reference frame by frame; after a break, takes up the
// reference again where the copy's next source frame sits in it. Prints the first breaks.
Comparison compare(const char* name, const std::vector<uint32_t>& reference,
                   const std::vector<size_t>& at, const std::vector<uint32_t>& copy, size_t from,
                   size_t to) {
    Comparison c;
    while (from < to && whereInReference(at, copy[from]) == kNowhere)
        ++from;
    if (from == to)
        return c;
    size_t p = whereInReference(at, copy[from]);
    if (p == kNowhere)
        return c;
    c.placed = true;
    const size_t start = p;
    size_t i = from;
    while (i < to) {
        if (p < reference.size() && copy[i] == reference[p]) {
            ++i, ++p, ++c.checked;
            continue;
        }
        const size_t brokeAt = i, brokeRef = p;
        size_t again = kNowhere;
        while (i < to && (again = whereInReference(at, copy[i])) == kNowhere)
            ++i;
        ++c.breaks;
        const size_t replaced = i - brokeAt;
        const long skipped = again == kNowhere ? 0 : static_cast<long>(again - brokeRef);
        c.lostFrames += replaced + static_cast<size_t>(std::max(skipped, 0L));
        if (c.breaks <= 10)
            std::printf("  %s at %8.3f s: %zu frame(s) not from the radio, then %ld %s\n", name,
                        static_cast<double>(brokeAt - from) / kRate, replaced, skipped,
                        skipped < 0 ? "frame(s) again" : "frame(s) skipped");
        if (again == kNowhere)
            break;
        p = again;
    }
    std::printf("%s: %.1f s compared from %.3f s into the radio's recording, %zu break(s), "
                "%zu frame(s) lost\n",
                name, static_cast<double>(c.checked) / kRate, static_cast<double>(start) / kRate,
                c.breaks, c.lostFrames);
    return c;
}

// A thread at the audio threads' real-time priority that wakes every 5 ms and notes each wake-up
// later than 20 ms: when the machine itself stalls (the hypervisor takes the CPUs, the kernel
// holds them), no program's audio thread runs either, and a gap heard then is not the program's.
class StallProbe {
  public:
    StallProbe() : thread_([this] { run(); }) {}
    ~StallProbe() {
        stop_ = true;
        thread_.join();
    }
    StallProbe(const StallProbe&) = delete;
    StallProbe& operator=(const StallProbe&) = delete;

    void print() const {
        std::printf("stall probe (%s): %zu wake-up(s) later than 20 ms, the worst %.1f ms",
                    realTime_ ? "real-time priority 3" : "normal priority, real time refused",
                    stalls_.size(), worstMs_);
        for (size_t i = 0; i < stalls_.size() && i < 10; ++i)
            std::printf("%s%.1f ms at %.1f s", i == 0 ? ": " : ", ", stalls_[i].second,
                        stalls_[i].first);
        std::printf("\n");
    }

  private:
    void run() {
        sched_param param{};
        param.sched_priority = 10;
        realTime_ = pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto due = start;
        while (!stop_) {
            due += std::chrono::milliseconds(5);
            std::this_thread::sleep_until(due);
            const auto now = Clock::now();
            const double lateMs = std::chrono::duration<double, std::milli>(now - due).count();
            worstMs_ = std::max(worstMs_, lateMs);
            if (lateMs > 20)
                stalls_.emplace_back(std::chrono::duration<double>(now - start).count(), lateMs);
            if (now > due)
                due = now;
        }
    }

    std::atomic<bool> stop_{false};
    bool realTime_ = false;
    double worstMs_ = 0;
    std::vector<std::pair<double, double>> stalls_;  // seconds from the start, lateness in ms
    std::thread thread_;
};

// The CPU time the hypervisor gave to others (steal), in seconds, summed over the CPUs.
double stealSeconds() {
    std::istringstream cpu(readText("/proc/stat"));
    std::string name;
    double field[8] = {};
    cpu >> name;
    for (double& f : field)
        cpu >> f;
    return field[7] / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// First and one-past-last frame that is not silence.
std::pair<size_t, size_t> soundSpan(const std::vector<uint32_t>& f) {
    size_t first = 0, last = f.size();
    while (first < last && f[first] == 0)
        ++first;
    while (last > first && f[last - 1] == 0)
        --last;
    return {first, last};
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 5, delay = 5;
    int busy = static_cast<int>(std::thread::hardware_concurrency());
    bool disk = true, save = true;
    std::string program = UNA_BINARY_DIR "/app/ruzizavuvodideza";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0)
            minutes = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--delay") == 0)
            delay = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--busy") == 0)
            busy = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--disk") == 0)
            disk = std::atoi(argv[i + 1]) != 0;
        else if (std::strcmp(argv[i], "--save") == 0)
            save = std::atoi(argv[i + 1]) != 0;
        else if (std::strcmp(argv[i], "--program") == 0)
            program = argv[i + 1];
    }
    if (!snd::serverAvailable()) {
        std::fprintf(stderr, "start the private sound server first\n");
        return 2;
    }
    const double runSeconds = minutes * 60;
    const double programSeconds = runSeconds + delay + 4;
    const Scratch source{shmPath("load-source.raw")};
    const Scratch radioHeard{shmPath("load-radio.raw")};
    const Scratch tvHeard{shmPath("load-tv.raw")};
    const Scratch output{snd::tempPath("load-output") + ".txt"};
    const Scratch settings{snd::tempPath("load-settings") + ".ini"};
    const Scratch saved{snd::tempPath("load-saved") + ".wav"};
    const Scratch written{snd::tempPath("load-disk")};
    const auto sourceFrames = static_cast<uint32_t>((programSeconds + 10) * kRate);
    {
        const std::vector<uint32_t> played = uniqueFrames(sourceFrames);
        std::ofstream(source.path, std::ios::binary)
            .write(reinterpret_cast<const char*>(played.data()),
                   static_cast<std::streamsize>(played.size() * 4));
    }

    std::vector<std::unique_ptr<snd::PeerProcess>> loads;
    for (int i = 0; i < busy; ++i)
        loads.push_back(std::make_unique<snd::PeerProcess>("exec yes > /dev/null"));
    if (disk)
        loads.push_back(std::make_unique<snd::PeerProcess>(
            "while :; do dd if=/dev/zero of='" + written.path +
            "' bs=1M count=256 conv=fsync status=none || exit; done"));
    std::printf("%d busy loop(s)%s%s, load average %s", busy,
                disk ? ", a disk writer (256 MB and fsync, repeated)" : "",
                save ? ", the program recording to WAV" : "", readText("/proc/loadavg").c_str());

    // Both recorders at the steady pace: a recorder that falls behind loses nothing (the server
    // holds seconds for it), but one that cannot keep up for long would.
    snd::PeerProcess tvRecorder(snd::recordCommand("tv.monitor", kRate, tvHeard.path),
                                snd::PeerProcess::Pace::steady);
    snd::PeerProcess radioRecorder(snd::recordCommand("radio.monitor", kRate, radioHeard.path),
                                   snd::PeerProcess::Pace::steady);
    if (!snd::waitRecorderReady(tvHeard.path, "tv") ||
        !snd::waitRecorderReady(radioHeard.path, "radio")) {
        std::fprintf(stderr, "the recorders of the monitors did not start\n");
        return 1;
    }
    snd::PeerProcess radio("exec pacat -p --raw -d radio --rate 44100 --channels 2 "
                           "--format s16le --latency-msec=40 '" + source.path + "'",
                           snd::PeerProcess::Pace::steady);
    char delayText[32], durationText[32];
    std::snprintf(delayText, sizeof delayText, "%.1f", delay);
    std::snprintf(durationText, sizeof durationText, "%.0f", programSeconds);
    snd::PeerProcess delaying("PULSE_SOURCE=radio.monitor PULSE_SINK=tv exec '" + program +
                              "' --headless " + (save ? "--save '" + saved.path + "'" : "--no-save") +
                              " --delay " + delayText + " --duration " + durationText +
                              " --settings '" + settings.path + "' < /dev/null > '" +
                              output.path + "' 2>&1");
    std::printf("delaying %s s for %.0f s ...\n", delayText, programSeconds);
    std::fflush(stdout);
    const double stealBefore = stealSeconds();
    bool ended = false;
    {
        const StallProbe probe;
        ended = delaying.waitExit(static_cast<uint32_t>((programSeconds + 30) * 1000));
        probe.print();
    }
    std::printf("steal (CPU time the hypervisor gave elsewhere) during the run: %.2f s\n",
                stealSeconds() - stealBefore);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    tvRecorder.stop();
    radioRecorder.stop();
    radio.stop();
    std::printf("load average at the end %s", readText("/proc/loadavg").c_str());
    loads.clear();

    const std::string said = readText(output.path);
    std::printf("program: %s\n  %s\n  %s\n", ended ? "ended by itself" : "had to be stopped",
                lineStarting(said, "Sound system:").c_str(), lineStarting(said, "Dropouts:").c_str());
    for (const char* problem : {"lost", "not there", "could not"})
        if (said.find(problem) != std::string::npos)
            std::printf("  it said: %s\n", lineStarting(said, problem).c_str());

    const std::vector<uint32_t> reference = frames(readText(radioHeard.path));
    const std::vector<size_t> at = positions(reference, sourceFrames);
    const auto [radioFirst, radioLast] = soundSpan(reference);
    size_t radioBreaks = 0;
    for (size_t p = radioFirst + 1; p < radioLast; ++p)
        radioBreaks += reference[p] != reference[p - 1] + 1 && reference[p] != 0;
    std::printf("radio carried %.1f s of the source, with %zu gap(s) (the bench's player's, not "
                "the program's; the program must pass them on as they are)\n",
                static_cast<double>(radioLast - radioFirst) / kRate, radioBreaks);

    // The first second of the playback fades in and the stop may cut the last moments.
    const std::vector<uint32_t> heard = frames(readText(tvHeard.path));
    const auto [first, last] = soundSpan(heard);
    bool clean = last > first + 2 * kRate;
    if (!clean) {
        std::printf("heard: too little (%zu frames); no verdict\n", heard.size());
    } else {
        const Comparison played = compare("heard", reference, at, heard, first + kRate, last - kRate / 2);
        clean = played.placed && played.breaks == 0 && played.checked > 0;
    }
    if (save) {
        const std::vector<uint32_t> file = wavFrames(saved.path);
        const auto [fileFirst, fileLast] = soundSpan(file);
        const Comparison recorded = fileLast > fileFirst
                                        ? compare("saved", reference, at, file, fileFirst, fileLast)
                                        : Comparison{};
        clean = clean && recorded.placed && recorded.breaks == 0;
    }
    clean = clean && lineStarting(said, "Dropouts:").find_first_of("123456789") == std::string::npos;
    std::printf("%s\n", clean ? "no dropout, bit-exact" : "DROPOUTS");
    return clean ? 0 : 1;
}

#include "support/soundPeer.h"

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace una::sound {

namespace {
// A sink that renders in blocks this short has taken up a low-latency stream's request.
constexpr int64_t kSettledSinkUs = 50000;
}  // namespace

bool serverAvailable() {
    const char* v = std::getenv("UNA_SOUND_SERVER");
    return v && *v;
}

bool serverResamples() {
    const char* v = std::getenv("UNA_SOUND_SERVER_KIND");
    return v && std::string_view(v) == "pipewire";
}

PeerProcess::PeerProcess(const std::string& shellCommand, Pace pace) {
    const char* argv[] = {"/bin/sh", "-c", shellCommand.c_str(), nullptr};
    pid_t pid;
    if (pace == Pace::steady) {
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sched_param param{};
        param.sched_priority = 3;  // below the sound server's own threads
        posix_spawnattr_setschedpolicy(&attr, SCHED_RR);
        posix_spawnattr_setschedparam(&attr, &param);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSCHEDULER);
        const int r =
            posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char**>(argv), environ);
        posix_spawnattr_destroy(&attr);
        if (r == 0) {
            pid_ = pid;
            return;
        }
    }
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) == 0)
        pid_ = pid;
}

PeerProcess::~PeerProcess() {
    stop();
}

bool PeerProcess::waitExit(uint32_t timeoutMs) {
    if (pid_ <= 0)
        return true;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
}

void PeerProcess::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string recordCommand(const std::string& source, uint32_t rate, const std::string& file) {
    return "exec parec -d " + source + " --raw --format=s16le --rate=" + std::to_string(rate) +
           " --channels=2 --latency-msec=10 > " + file;
}

int runCommand(const std::string& shellCommand) {
    const char* argv[] = {"/bin/sh", "-c", shellCommand.c_str(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string commandOutput(const std::string& shellCommand) {
    std::string out;
    FILE* p = popen(shellCommand.c_str(), "r");
    if (!p)
        return out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string toolOutput(const std::string& shellCommand) {
    std::string out = commandOutput(shellCommand + " 2>&1");
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

std::string nullSinkArguments(const std::string& name, const std::string& description) {
    std::string property;  // quotes escaped for the server's property parser
    for (char c : description)
        property += c == '"' ? std::string("\\\"") : std::string(1, c);
    const std::string argument = "sink_properties='device.description=\"" + property + "\"'";
    std::string quoted;  // for the shell, inside double quotes
    for (char c : argument) {
        if (c == '\\' || c == '"' || c == '$' || c == '`')
            quoted += '\\';
        quoted += c;
    }
    return "sink_name=" + name + " \"" + quoted + "\"";
}

int loadModule(const std::string& moduleAndArguments) {
    const std::string out =
        commandOutput("pactl load-module " + moduleAndArguments + " 2>/dev/null");
    if (out.empty() || out[0] < '0' || out[0] > '9')
        return -1;
    return std::atoi(out.c_str());
}

bool unloadModule(int index) {
    return index >= 0 &&
           runCommand("pactl unload-module " + std::to_string(index) + " 2>/dev/null") == 0;
}

int findModule(const std::string& module, const std::string& argumentsPart) {
    // "index <tab> name <tab> arguments" per line.
    const std::string list = commandOutput("pactl list short modules 2>/dev/null");
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find('\n', at);
        if (end == std::string::npos)
            end = list.size();
        const std::string line = list.substr(at, end - at);
        at = end + 1;
        const size_t tab1 = line.find('\t');
        if (tab1 == std::string::npos)
            continue;
        const size_t tab2 = line.find('\t', tab1 + 1);
        const std::string name =
            line.substr(tab1 + 1, tab2 == std::string::npos ? std::string::npos : tab2 - tab1 - 1);
        const std::string args = tab2 == std::string::npos ? "" : line.substr(tab2 + 1);
        if (name == module && args.find(argumentsPart) != std::string::npos)
            return std::atoi(line.c_str());
    }
    return -1;
}

int64_t sinkLatencyUs(const std::string& sink) {
    const std::string list = commandOutput("LC_ALL=C pactl list sinks 2>/dev/null");
    const size_t named = list.find("Name: " + sink + "\n");
    if (named == std::string::npos)
        return -1;
    const size_t latency = list.find("Latency: ", named);
    const size_t nextSink = list.find("Name: ", named + 6);
    if (latency == std::string::npos || (nextSink != std::string::npos && latency > nextSink))
        return -1;
    return std::atoll(list.c_str() + latency + 9);
}

bool waitSinksSettled(const std::vector<std::string>& sinks, int64_t maxUs, uint32_t timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool settled = true;
        for (const auto& sink : sinks) {
            const int64_t us = sinkLatencyUs(sink);
            settled = settled && us >= 0 && us < maxUs;
        }
        if (settled)
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool waitRecorderReady(const std::string& file, const std::string& sink, uint32_t timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(file, ec);
        if (!ec && size > 0) {
            const int64_t us = sinkLatencyUs(sink);
            if (us >= 0 && us < kSettledSinkUs)
                return true;
        }
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool waitRecording(const std::string& file,
                   const std::function<bool(const std::vector<int16_t>&)>& complete,
                   uint32_t timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!complete(readFile(file))) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::string tempPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/una-" + stem + "-" +
           std::to_string(getpid()) + "-" + std::to_string(counter++) + ".raw";
}

bool writeFile(const std::string& path, const std::vector<int16_t>& samples) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(samples.data(), sizeof(int16_t), samples.size(), f) == samples.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<int16_t> readFile(const std::string& path) {
    std::vector<int16_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    int16_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, sizeof(int16_t), 4096, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

std::vector<int16_t> tone(double hz, double amplitude, uint32_t rate, double seconds) {
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> out(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        double v = amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate);
        out[2 * i] = out[2 * i + 1] = static_cast<int16_t>(std::lround(v));
    }
    return out;
}

ToneReading measureTone(const std::vector<int16_t>& stereo, uint32_t rate) {
    ToneReading r;
    const size_t frames = stereo.size() / 2;
    if (frames < 2)
        return r;
    double sum = 0;
    size_t firstCross = 0, lastCross = 0, crossings = 0;
    for (size_t i = 0; i < frames; ++i) {
        double v = stereo[2 * i];
        sum += v * v;
        if (i > 0 && stereo[2 * (i - 1)] < 0 && stereo[2 * i] >= 0) {
            if (crossings == 0)
                firstCross = i;
            lastCross = i;
            ++crossings;
        }
    }
    r.rms = std::sqrt(sum / static_cast<double>(frames));
    if (crossings >= 2)
        r.hz =
            static_cast<double>(crossings - 1) * rate / static_cast<double>(lastCross - firstCross);
    return r;
}

std::vector<int16_t> numberedFrames(uint32_t firstFrame, uint32_t frames) {
    std::vector<int16_t> out(static_cast<size_t>(frames) * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t n = static_cast<int16_t>((firstFrame + i) & 0x7FFF);
        out[2 * i] = n;
        out[2 * i + 1] = static_cast<int16_t>(~n);
    }
    return out;
}

SequenceCheck checkSequence(const std::vector<int16_t>& stereo, bool skipSilence) {
    SequenceCheck c;
    const size_t frames = stereo.size() / 2;
    size_t i = 0;
    while (i < frames && stereo[2 * i] == 0 && stereo[2 * i + 1] == 0)
        ++i;
    if (i == frames)
        return c;
    size_t last = frames;
    while (last > i && stereo[2 * (last - 1)] == 0 && stereo[2 * (last - 1) + 1] == 0)
        --last;
    c.found = true;
    c.firstNumber = static_cast<uint32_t>(stereo[2 * i]) & 0x7FFF;
    int16_t expected = stereo[2 * i];
    for (; i < last; ++i) {
        int16_t l = stereo[2 * i], r = stereo[2 * i + 1];
        if (skipSilence && l == 0 && r == 0)
            continue;
        if (l != expected || r != static_cast<int16_t>(~l)) {
            ++c.breaks;
            expected = l;
        }
        expected = static_cast<int16_t>((expected + 1) & 0x7FFF);
        ++c.frames;
    }
    return c;
}

SequenceCheck checkStretchedSequence(const std::vector<int16_t>& stereo, uint32_t maxRepeat) {
    SequenceCheck c;
    const size_t frames = stereo.size() / 2;
    auto silent = [&](size_t i) { return stereo[2 * i] == 0 && stereo[2 * i + 1] == 0; };
    size_t i = 0;
    while (i < frames && silent(i))
        ++i;
    size_t last = frames;
    while (last > i && silent(last - 1))
        --last;
    if (i == last)
        return c;
    c.found = true;
    c.firstNumber = static_cast<uint32_t>(stereo[2 * i]) & 0x7FFF;
    int32_t previous = -1;
    uint32_t run = 0;
    for (; i < last; ++i) {
        const int16_t l = stereo[2 * i], r = stereo[2 * i + 1];
        const int32_t number = l & 0x7FFF;
        if (l < 0 || r != static_cast<int16_t>(~l)) {
            ++c.breaks;
            continue;
        }
        if (number == previous) {
            if (++run > maxRepeat)
                ++c.breaks;
            continue;
        }
        if (previous >= 0 && number != ((previous + 1) & 0x7FFF))
            ++c.breaks;
        previous = number;
        run = 1;
        ++c.frames;
    }
    return c;
}

}  // namespace una::sound

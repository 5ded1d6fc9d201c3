// ctest-labels: threaded
// A WAV recording killed at a random moment (SIGKILL: no close, no destructor) still opens
// in sox and in Python's wave, with all of its audio but the last second or so. The writer
// runs in a child process: this test program started again with a filter that picks the
// child's part.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/unaRiffStream.h"
#include "dsp_mixer_codec/unaMsAcm.h"
#include "support/soundPeer.h"

extern char** environ;

using namespace una;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using una::sound::toolOutput;

constexpr uint32_t kRate = 8000;
constexpr uint32_t kChunk = 640;  // 40 ms of 16-bit mono

// The recording's byte at a position: a pattern that shows any byte lost, repeated or moved.
uint8_t patternByte(uint64_t at) {
    const uint64_t sample = at / 2;
    const uint32_t value = static_cast<uint32_t>((sample * 2654435761u) >> 7);
    return static_cast<uint8_t>(at % 2 ? value >> 8 : value);
}

std::vector<uint8_t> readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t u32At(const std::vector<uint8_t>& d, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= d.size())
        std::memcpy(&v, d.data() + at, 4);
    return v;
}

platform::WaveFormatEx monoFormat() {
    platform::WaveFormatEx f{};
    f.formatTag = 1;
    f.channels = 1;
    f.samplesPerSec = kRate;
    f.blockAlign = 2;
    f.avgBytesPerSec = 2 * kRate;
    f.bitsPerSample = 16;
    return f;
}

struct Progress {
    Clock::duration at;
    int64_t position;
};

}  // namespace

// The child's part: records the pattern in real time, reporting after each chunk how much
// the writer has put into the file, until it is killed.
TEST(RiffKillChild, RecordsUntilKilled) {
    const char* fileName = std::getenv("UNA_RIFF_KILL_FILE");
    const char* fdText = std::getenv("UNA_RIFF_KILL_FD");
    if (!fileName || !fdText)
        GTEST_SKIP() << "runs only as the child of the kill test";
    const int progressFd = std::atoi(fdText);
    const auto fmt = monoFormat();
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    const char* tag = std::getenv("UNA_RIFF_KILL_TAG");
    auto riff = make<unaRiffStream>(fileName, &fmt, tag ? std::atoi(tag) : 1, acm.get());
    if (const char* limit = std::getenv("UNA_RIFF_KILL_LIMIT"))
        riff->setDataLimit(static_cast<uint32_t>(std::atol(limit)));
    ASSERT_EQ(riff->open(false, 10000, 0), 0u);
    std::vector<uint8_t> chunk(kChunk);
    auto next = Clock::now();
    for (uint64_t at = 0;; at += kChunk) {
        for (uint32_t i = 0; i < kChunk; ++i)
            chunk[i] = patternByte(at + i);
        while (riff->write(chunk.data(), kChunk) != kChunk)
            std::this_thread::sleep_for(1ms);
        next += 40ms;
        std::this_thread::sleep_until(next);
        const std::string line = std::to_string(riff->getPosition()) + "\n";
        if (::write(progressFd, line.data(), line.size()) < 0)
            break;
    }
}

TEST(RiffStreamKill, AFileKilledAtAnyMomentKeepsAllButTheLastSecond) {
    // A folder of its own, gone however the test ends: a file left from an earlier run would
    // read as a continuation of this one's recording.
    std::string pattern = (std::filesystem::temp_directory_path() / "riff_kill_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path dir = pattern;
    struct RemoveDir {
        std::filesystem::path path;
        ~RemoveDir() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } removeDir{dir};
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(150, 2600);

    // PCM, then IMA ADPCM and GSM 6.10: the rules hold for every encoding.
    const uint32_t tags[] = {1, 1, 1, 1, 1, 1, 0x11, 0x31};
    for (int round = 0; round < 8; ++round) {
        const std::string name = (dir / ("kill" + std::to_string(round) + ".wav")).string();
        // Every other round splits the recording into files of about half a second.
        const uint32_t tag = tags[round];
        const uint32_t limit = round % 2 ? (tag == 0x31 ? 650 : tag == 0x11 ? 2048 : 8000) : 0;
        const int killMs = killAfterMs(random);
        SCOPED_TRACE("round " + std::to_string(round) + ", tag " + std::to_string(tag) +
                     ", killed after " + std::to_string(killMs) + " ms, file limit " +
                     std::to_string(limit));

        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        env.push_back("UNA_RIFF_KILL_FILE=" + name);
        env.push_back("UNA_RIFF_KILL_FD=3");
        if (limit)
            env.push_back("UNA_RIFF_KILL_LIMIT=" + std::to_string(limit));
        env.push_back("UNA_RIFF_KILL_TAG=" + std::to_string(tag));
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = "/proc/self/exe";
        std::string filter = "--gtest_filter=RiffKillChild.RecordsUntilKilled";
        char* argv[] = {program.data(), filter.data(), nullptr};
        pid_t child = 0;
        const int spawned =
            posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        ASSERT_EQ(spawned, 0);

        // The first report marks the start of the recording; the kill comes killMs later.
        std::vector<Progress> progress;
        std::string pending;
        const Clock::time_point spawnedAt = Clock::now();
        Clock::time_point start{};
        for (;;) {
            const auto now = Clock::now();
            if (progress.empty() ? now - spawnedAt > 30s
                                 : now >= start + std::chrono::milliseconds(killMs))
                break;
            pollfd entry{fds[0], POLLIN, 0};
            if (::poll(&entry, 1, 5) <= 0)
                continue;
            char bytes[256];
            const ssize_t n = ::read(fds[0], bytes, sizeof bytes);
            if (n <= 0)
                break;
            pending.append(bytes, static_cast<size_t>(n));
            for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                if (progress.empty())
                    start = Clock::now();
                progress.push_back({Clock::now() - start, std::atoll(pending.c_str())});
                pending.erase(0, eol + 1);
            }
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(fds[0]);
        ASSERT_FALSE(progress.empty()) << "the child never reported";
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        // What the writer had put into the file a second before the kill.
        const auto killedAt = std::chrono::milliseconds(killMs);
        int64_t mustHave = 0;
        for (const Progress& p : progress)
            if (p.at <= killedAt - 1s)
                mustHave = p.position;

        std::vector<uint8_t> joined;
        uint32_t files = 0;
        for (uint32_t index = 1;; ++index) {
            const std::string part = wavContinuationName(name, index);
            if (!std::filesystem::exists(part))
                break;
            ++files;
            const auto file = readFile(part);
            // The data chunk's place: after "fmt " (and "fact" in a compressed file).
            size_t dataAt = 12;
            while (dataAt + 8 <= file.size() && std::memcmp(file.data() + dataAt, "data", 4) != 0)
                dataAt += 8 + u32At(file, dataAt + 4);
            ASSERT_LE(dataAt + 8, file.size()) << part;
            const uint32_t data = u32At(file, dataAt + 4);
            const size_t header = dataAt + 8;
            EXPECT_EQ(u32At(file, 4), header - 8 + data) << part;
            EXPECT_LE(header + data, file.size()) << "the header claims no more than is there";
            if (limit && std::filesystem::exists(wavContinuationName(name, index + 1))) {
                EXPECT_EQ(data, limit) << part << ": a file before the last one is complete";
            }
            const std::string frames = tag == 1      ? std::to_string(data / 2)
                                       : tag == 0x11 ? std::to_string(data / 256 * 505)
                                                     : std::to_string(data / 65 * 320);
            if (tag == 1) {
                const std::string python = toolOutput(
                    "python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); "
                    "print(w.getnchannels(), w.getframerate(), w.getnframes())' '" +
                    part + "'");
                EXPECT_EQ(python, "1 8000 " + frames) << part;
            }
            EXPECT_EQ(toolOutput("sox --i -s '" + part + "'"), frames) << part;
            const size_t kept = std::min<size_t>(data, file.size() - header);
            joined.insert(joined.end(), file.begin() + header, file.begin() + header + kept);
        }
        ASSERT_GE(files, 1u);
        EXPECT_GE(static_cast<int64_t>(joined.size()), mustHave)
            << "lost more than the last second";
        if (tag == 1) {
            bool inOrder = true;
            for (size_t i = 0; i < joined.size() && inOrder; ++i)
                inOrder = joined[i] == patternByte(i);
            EXPECT_TRUE(inOrder) << "the audio kept is the recording's beginning, byte for byte";
        }
    }
}

// What the sound-server backend's own thread costs while a recording and a playback stream move
// 44.1 kHz stereo for a while (the recording played straight back, chunk for chunk, as the delay
// chain's ends do): CPU of one core and wake-ups per second of that thread, from the kernel's
// account in /proc. Needs a sound server (scripts/sound-server.sh gives a private one).
//   bench_pulse_backend_cost [seconds]    default 20

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pulseSoundCard.h"

using namespace platform;

namespace {

struct ThreadAccount {
    double cpuSeconds = 0;
    long long wakeUps = 0;  // voluntary context switches: each is a sleep and a wake-up
};

// The account of this process's thread with that name; zeros when there is none.
ThreadAccount account(const std::string& name) {
    ThreadAccount a;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name)
            continue;
        std::ifstream statFile(task.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), {});
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        a.cpuSeconds += static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                a.wakeUps += std::stoll(line.substr(24));
    }
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    auto card = PulseSoundCard::connect(2000);
    if (!card) {
        std::fprintf(stderr, "no sound server answers\n");
        return 1;
    }
    WaveFormatEx f{};
    f.formatTag = kWaveFormatPcm;
    f.channels = 2;
    f.samplesPerSec = 44100;
    f.bitsPerSample = 16;
    f.blockAlign = 4;
    f.avgBytesPerSec = 176400;
    constexpr uint32_t kChunk = 44100 / 25 * 4;
    auto inEvent = std::make_shared<Event>(false, false);
    auto outEvent = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in, out;
    if (card->open(WaveDirection::input, kWaveMapper, f, inEvent, kCallbackEvent, in) != 0 ||
        card->open(WaveDirection::output, kWaveMapper, f, outEvent, kCallbackEvent, out) != 0) {
        std::fprintf(stderr, "the default devices do not open\n");
        return 1;
    }
    std::vector<std::vector<uint8_t>> memory(9, std::vector<uint8_t>(kChunk));
    std::vector<std::unique_ptr<WaveBuffer>> buffers;
    std::deque<WaveBuffer*> recording, playing, spare;
    for (auto& m : memory) {
        buffers.push_back(std::make_unique<WaveBuffer>());
        buffers.back()->data = m.data();
        buffers.back()->bufferLength = kChunk;
    }
    for (size_t i = 0; i < buffers.size(); ++i) {
        WaveBuffer& b = *buffers[i];
        if (i < 5) {
            in->prepare(b);
            in->addBuffer(b);
            recording.push_back(&b);
        } else {
            out->prepare(b);
            spare.push_back(&b);
        }
    }
    // Two chunks of silence ahead, as the delay chain's player gets its lead.
    for (int i = 0; i < 2; ++i) {
        std::fill(spare.front()->data, spare.front()->data + kChunk, 0);
        out->write(*spare.front());
        playing.push_back(spare.front());
        spare.pop_front();
    }
    in->start();
    const ThreadAccount before = account("una-pulse");
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        Event* events[] = {inEvent.get(), outEvent.get()};
        waitAny(events, 100);
        while (!playing.empty() && playing.front()->isFlagSet(kWhdrDone)) {
            spare.push_back(playing.front());
            playing.pop_front();
        }
        while (recording.front()->isFlagSet(kWhdrDone)) {
            WaveBuffer* b = recording.front();
            recording.pop_front();
            if (!spare.empty()) {
                std::copy(b->data, b->data + kChunk, spare.front()->data);
                out->write(*spare.front());
                playing.push_back(spare.front());
                spare.pop_front();
            }
            in->addBuffer(*b);
            recording.push_back(b);
        }
    }
    const ThreadAccount after = account("una-pulse");
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("sound-server backend thread over %.1f s of 44.1 kHz stereo in and out:\n",
                elapsed);
    std::printf("  CPU %.2f %% of one core, %.1f wake-ups per second; xruns in %u, out %u\n",
                100.0 * (after.cpuSeconds - before.cpuSeconds) / elapsed,
                static_cast<double>(after.wakeUps - before.wakeUps) / elapsed, in->xrunCount(),
                out->xrunCount());
    in->close();
    out->close();
    return 0;
}

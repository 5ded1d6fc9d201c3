// What the running delay chain costs: CPU time of the whole process (all its threads: the
// devices' workers, the timer, the card's streams and the sound-server client) per second of
// audio, while delaying and while playing, and the peak memory with 160 s of 44100/16/2 held
// (the audio alone is 28,224,000 bytes). The sound server's own CPU is not counted. Needs the
// private server; takes about three minutes (`--hold S` and `--play S` shorten it).
#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "procStatus.h"
#include "support/delayChain.h"
#include "support/endToEnd.h"

using namespace una;
namespace snd = una::sound;

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long long heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
}

}  // namespace

int main(int argc, char** argv) {
    double holdSeconds = 160, playSeconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hold") == 0)
            holdSeconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--play") == 0)
            playSeconds = std::atof(argv[i + 1]);
    }
    const auto stage = snd::readyStage(44100);
    if (!stage)
        return 2;
    setenv("PULSE_SOURCE", "radio.monitor", 1);
    setenv("PULSE_SINK", "tv", 1);
    const unaPcmFormat pcm{44100, 16, 2};
    const long long heapBefore = heapInUse();
    const long long rssBefore = statusBytes("VmRSS:");
    DelayChain chain(pcm, pcm);

    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    if (chain.startRecording() != 0) {
        std::fprintf(stderr, "the recorder did not open\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(holdSeconds));
    const double cpu1 = cpuSeconds();
    const auto wall1 = std::chrono::steady_clock::now();
    const long long held = chain.heldBytes();
    const long long heapHeld = heapInUse();
    const long long hwmHeld = statusBytes("VmHWM:");
    const uint64_t recorded0 = chain.recorder().outBytes;

    if (chain.startPlayback() != 0) {
        std::fprintf(stderr, "the playback side did not open\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(playSeconds));
    const double cpu2 = cpuSeconds();
    const auto wall2 = std::chrono::steady_clock::now();
    const uint64_t recorded = chain.recorder().outBytes - recorded0;
    const uint64_t played = chain.player().inBytes;
    const long long heldAfter = chain.heldBytes();
    chain.stop();
    const long long hwmEnd = statusBytes("VmHWM:");

    const double bytesPerSecond = 44100.0 * 4;
    const double delaying = std::chrono::duration<double>(wall1 - wall0).count();
    const double running = std::chrono::duration<double>(wall2 - wall1).count();
    std::printf(
        "delaying %.1f s (recorder and resampler): %.3f ms CPU per audio second "
        "(%.3f%% of a core)\n",
        delaying, (cpu1 - cpu0) * 1000 / (recorded0 / bytesPerSecond),
        (cpu1 - cpu0) * 100 / delaying);
    std::printf(
        "running %.1f s (whole chain): %.3f ms CPU per audio second recorded and "
        "played (%.3f%% of a core); recorded %.1f s, played %.1f s\n",
        running, (cpu2 - cpu1) * 1000 / (recorded / bytesPerSecond), (cpu2 - cpu1) * 100 / running,
        recorded / bytesPerSecond, played / bytesPerSecond);
    std::printf(
        "held after %.1f s: %lld bytes (%.2f s of audio); still held while playing: "
        "%lld bytes\n",
        delaying, held, held / bytesPerSecond, heldAfter);
    std::printf("heap in use: %lld -> %lld bytes (+%lld, %.4f x the held audio)\n", heapBefore,
                heapHeld, heapHeld - heapBefore,
                held > 0 ? static_cast<double>(heapHeld - heapBefore) / held : 0.0);
    std::printf("resident: %lld bytes before; peak %lld bytes while held, %lld at the end\n",
                rssBefore, hwmHeld, hwmEnd);
    return 0;
}

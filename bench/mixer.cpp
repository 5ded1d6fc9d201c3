// A real-time mixer with one stream at 25 ticks per second, as in the delay chain: CPU time
// of the whole process per second of audio delivered, with the stream kept fed and empty.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "audio/unaWaveSoftwareDevice.h"

using namespace una;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void run(const char* name, bool feed, int seconds) {
    auto mixer = make<unaWaveMixerDevice>(true, true, 0);
    mixer->setPcmFormat(44100, 16, 2);
    const uint32_t chunk = mixer->chunkSize;
    std::atomic<uint64_t> delivered{0};
    mixer->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        delivered += data.size();
    };
    unaMemoryStream* stream = mixer->addStream();
    const std::vector<uint8_t> audio(chunk, 0x11);
    // Two seconds ahead, as a delay would hold.
    if (feed)
        for (int i = 0; i < 50; ++i)
            stream->write(audio.data(), chunk);

    const double cpuStart = cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    mixer->open(false, 10000, 0);
    for (int tick = 0; tick < seconds * 25; ++tick) {
        if (feed)
            stream->write(audio.data(), chunk);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    mixer->close(10000);
    const double cpu = cpuSeconds() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double audioSeconds = static_cast<double>(delivered) / (44100.0 * 4);
    std::printf(
        "%-22s %.1f s of audio in %.1f s: %.3f ms CPU per audio second (%.4f%% of a core)\n", name,
        audioSeconds, wall, cpu * 1000 / audioSeconds, cpu * 100 / wall);
}

}  // namespace

int main() {
    run("one fed stream", true, 10);
    run("one empty stream", false, 5);
    return 0;
}

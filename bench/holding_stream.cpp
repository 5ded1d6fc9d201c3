// Memory held by the delay: 160 s of 44100 Hz 16-bit stereo audio written into the holding
// stream a closed mixer made, in 40 ms chunks as the resampler hands them over.
#include <sys/resource.h>

#include <cstdio>
#include <vector>

#include "audio/unaWaveSoftwareDevice.h"
#include "procStatus.h"

using namespace una;

int main() {
    constexpr uint32_t kChunk = 7056;  // 40 ms of 44100/16/2
    constexpr uint32_t kChunks = 160 * 25;
    constexpr long long kAudio = static_cast<long long>(kChunk) * kChunks;

    std::vector<uint8_t> chunk(kChunk);
    for (uint32_t i = 0; i < kChunk; ++i)
        chunk[i] = static_cast<uint8_t>(i * 13);
    // Touch the allocator once so its own start-up is not counted as the stream's.
    auto mixer = make<unaWaveMixerDevice>(true, true, 0);
    mixer->setPcmFormat(44100, 16, 2);

    const long long before = statusBytes("VmRSS:");
    const long long peakBefore = statusBytes("VmHWM:");
    unaMemoryStream* stream = mixer->addStream();
    long long accepted = 0;
    for (uint32_t i = 0; i < kChunks; ++i)
        accepted += stream->write(chunk.data(), kChunk);
    const long long after = statusBytes("VmRSS:");
    const long long peakAfter = statusBytes("VmHWM:");

    std::printf("holding stream: %lld bytes of audio accepted (expected %lld) in %u chunks\n",
                accepted, kAudio, stream->getChunkCount());
    const long long grown = after - before;
    std::printf("resident memory grew by %lld bytes; peak %lld -> %lld bytes\n", grown, peakBefore,
                peakAfter);
    std::printf("overhead: %lld bytes, ratio %.4f (memory / audio)\n", grown - kAudio,
                static_cast<double>(grown) / static_cast<double>(kAudio));

    // Draining it again, one chunk per tick as the mixer does, must return it all in order.
    std::vector<uint8_t> out(kChunk);
    long long drained = 0;
    bool inOrder = true;
    for (uint32_t i = 0; i < kChunks; ++i) {
        drained += stream->read(out.data(), kChunk);
        inOrder = inOrder && out == chunk;
    }
    std::printf("drained %lld bytes, %s\n", drained, inOrder ? "intact" : "CORRUPTED");
    return inOrder && drained == kAudio ? 0 : 1;
}

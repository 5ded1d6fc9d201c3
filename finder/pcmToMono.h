#pragma once
// Interleaved little-endian PCM to the mono floats the delay finder takes. Pure; any thread.

#include <cstdint>
#include <span>
#include <vector>

namespace una::finder {

// Appends the channels' mean of each whole frame (8-bit unsigned, 16, 24 or 32-bit signed
// samples) to out and gives the bytes used; 0 and nothing appended for other sample sizes or
// no channels. A trailing partial frame is left for the caller.
size_t pcmToMono(std::span<const uint8_t> pcm, int bitsPerSample, int channels, std::vector<float>& out);

}  // namespace una::finder

#include "finder/pcmToMono.h"

#include <cstring>

namespace una::finder {

size_t pcmToMono(std::span<const uint8_t> pcm, int bitsPerSample, int channels, std::vector<float>& out) {
    const int bytes = bitsPerSample / 8;
    if (channels <= 0 || bitsPerSample % 8 != 0 || bytes < 1 || bytes > 4) return 0;
    const size_t frameBytes = static_cast<size_t>(channels) * static_cast<size_t>(bytes);
    const size_t frames = pcm.size() / frameBytes;
    out.reserve(out.size() + frames);
    const float scale = 1.0f / (2147483648.0f * static_cast<float>(channels));
    for (size_t f = 0; f < frames; ++f) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) {
            const uint8_t* s = pcm.data() + f * frameBytes + static_cast<size_t>(c * bytes);
            // Each sample moved to the top of 32 bits, so one scale serves every size.
            uint32_t v = 0;
            switch (bytes) {
                case 1: v = static_cast<uint32_t>(s[0] ^ 0x80) << 24; break;  // 8-bit PCM is unsigned
                case 2: v = uint32_t{s[0]} << 16 | uint32_t{s[1]} << 24; break;
                case 3: v = uint32_t{s[0]} << 8 | uint32_t{s[1]} << 16 | uint32_t{s[2]} << 24; break;
                default: std::memcpy(&v, s, 4); break;
            }
            sum += static_cast<float>(static_cast<int32_t>(v));
        }
        out.push_back(sum * scale);
    }
    return frames * frameBytes;
}

}  // namespace una::finder

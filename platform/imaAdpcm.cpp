#include "platform/imaAdpcm.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr int16_t kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

struct Channel {
    int predictor = 0;
    int index = 0;

    int16_t decode(int code) {
        const int step = kStepTable[index];
        int diff = step >> 3;
        if (code & 4)
            diff += step;
        if (code & 2)
            diff += step >> 1;
        if (code & 1)
            diff += step >> 2;
        predictor = std::clamp(code & 8 ? predictor - diff : predictor + diff, -32768, 32767);
        index = std::clamp(index + kIndexTable[code & 7], 0, 88);
        return static_cast<int16_t>(predictor);
    }

    // The code whose decoding comes closest to sample; the state follows the decoder's.
    int encode(int sample) {
        int diff = sample - predictor;
        int code = 0;
        if (diff < 0) {
            code = 8;
            diff = -diff;
        }
        int step = kStepTable[index];
        for (int bit = 4; bit > 0; bit >>= 1) {
            if (diff >= step) {
                code |= bit;
                diff -= step;
            }
            step >>= 1;
        }
        decode(code);
        return code;
    }
};

}  // namespace

uint32_t imaSamplesPerBlock(uint32_t blockAlign, uint32_t channels) {
    if (channels == 0 || channels > 8 || blockAlign <= 4 * channels)
        return 0;
    const uint32_t codeBytes = blockAlign - 4 * channels;
    if (codeBytes % (4 * channels) != 0)
        return 0;
    return codeBytes * 2 / channels + 1;
}

uint32_t imaStandardBlockAlign(uint32_t samplesPerSec, uint32_t channels) {
    const uint32_t perChannel = samplesPerSec <= 11025 ? 256 : samplesPerSec <= 22050 ? 512 : 1024;
    return perChannel * channels;
}

bool imaDecodeBlock(std::span<const uint8_t> block, uint32_t channels, std::span<int16_t> out) {
    const uint32_t frames = imaSamplesPerBlock(static_cast<uint32_t>(block.size()), channels);
    if (frames == 0 || out.size() < static_cast<size_t>(frames) * channels)
        return false;
    Channel state[8];
    for (uint32_t c = 0; c < channels; ++c) {
        int16_t first;
        std::memcpy(&first, block.data() + 4 * c, 2);
        state[c].predictor = first;
        state[c].index = std::min<int>(block[4 * c + 2], 88);
        out[c] = first;
    }
    const uint8_t* codes = block.data() + 4 * channels;
    // Each round: 4 bytes (8 samples) per channel.
    const uint32_t rounds = (frames - 1) / 8;
    for (uint32_t r = 0; r < rounds; ++r) {
        for (uint32_t c = 0; c < channels; ++c) {
            for (uint32_t i = 0; i < 4; ++i) {
                const uint8_t byte = *codes++;
                const size_t frame = 1 + r * 8 + i * 2;
                out[frame * channels + c] = state[c].decode(byte & 0x0F);
                out[(frame + 1) * channels + c] = state[c].decode(byte >> 4);
            }
        }
    }
    return true;
}

bool imaEncodeBlock(std::span<const int16_t> in, uint32_t channels, std::span<uint8_t> block,
                    std::span<int32_t> stepIndex) {
    const uint32_t frames = imaSamplesPerBlock(static_cast<uint32_t>(block.size()), channels);
    if (frames == 0 || in.size() < static_cast<size_t>(frames) * channels ||
        stepIndex.size() < channels)
        return false;
    Channel state[8];
    for (uint32_t c = 0; c < channels; ++c) {
        state[c].predictor = in[c];
        state[c].index = std::clamp<int32_t>(stepIndex[c], 0, 88);
        std::memcpy(block.data() + 4 * c, &in[c], 2);
        block[4 * c + 2] = static_cast<uint8_t>(state[c].index);
        block[4 * c + 3] = 0;
    }
    uint8_t* codes = block.data() + 4 * channels;
    const uint32_t rounds = (frames - 1) / 8;
    for (uint32_t r = 0; r < rounds; ++r) {
        for (uint32_t c = 0; c < channels; ++c) {
            for (uint32_t i = 0; i < 4; ++i) {
                const size_t frame = 1 + r * 8 + i * 2;
                const int low = state[c].encode(in[frame * channels + c]);
                const int high = state[c].encode(in[(frame + 1) * channels + c]);
                *codes++ = static_cast<uint8_t>(low | (high << 4));
            }
        }
    }
    for (uint32_t c = 0; c < channels; ++c)
        stepIndex[c] = state[c].index;
    return true;
}

}  // namespace platform

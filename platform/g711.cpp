#include "platform/g711.h"

namespace platform {

namespace {

constexpr int kUlawBias = 0x84;
constexpr int kUlawClip = 32635;

// The segment of a magnitude: the position of its highest bit within the segment ends.
int segmentOf(int magnitude, const int (&ends)[8]) {
    for (int i = 0; i < 8; ++i)
        if (magnitude <= ends[i])
            return i;
    return 8;
}

}  // namespace

uint8_t linearToUlaw(int16_t sample) {
    int value = sample;
    const int sign = value < 0 ? 0x80 : 0;
    if (sign)
        value = -value;
    if (value > kUlawClip)
        value = kUlawClip;
    value += kUlawBias;
    int exponent = 7;
    for (int mask = 0x4000; (value & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (value >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

int16_t ulawToLinear(uint8_t code) {
    const int u = static_cast<uint8_t>(~code);
    const int exponent = (u >> 4) & 0x07;
    const int magnitude = (((u & 0x0F) << 3) + kUlawBias) << exponent;
    return static_cast<int16_t>(u & 0x80 ? kUlawBias - magnitude : magnitude - kUlawBias);
}

uint8_t linearToAlaw(int16_t sample) {
    static constexpr int kSegmentEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int value = sample >> 3;  // A-law codes 13 bits
    int mask;
    if (value >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        value = -value - 1;
    }
    const int segment = segmentOf(value, kSegmentEnds);
    if (segment >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    int code = segment << 4;
    code |= segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
    return static_cast<uint8_t>(code ^ mask);
}

int16_t alawToLinear(uint8_t code) {
    const int a = code ^ 0x55;
    int value = (a & 0x0F) << 4;
    const int segment = (a & 0x70) >> 4;
    if (segment == 0)
        value += 8;
    else if (segment == 1)
        value += 0x108;
    else
        value = (value + 0x108) << (segment - 1);
    return static_cast<int16_t>(a & 0x80 ? value : -value);
}

}  // namespace platform

#pragma once
// G.711 companding: 16-bit linear samples to and from 8-bit u-law and A-law codes, as the
// telephone networks and WAV files (tags 7 and 6) use them. Pure functions, any thread.

#include <cstdint>

namespace platform {

uint8_t linearToUlaw(int16_t sample);
int16_t ulawToLinear(uint8_t code);
uint8_t linearToAlaw(int16_t sample);
int16_t alawToLinear(uint8_t code);

}  // namespace platform

#pragma once
// IMA ADPCM blocks as WAV files (tag 0x11) carry them: per channel a 4-byte header (the
// block's first sample and the step index), then 4-bit codes in groups of eight samples per
// channel, the earlier sample in the low nibble. Pure functions, any thread.

#include <cstdint>
#include <span>

namespace platform {

// Frames one block holds (the header's sample counts); 0 for a block size that does not fit
// whole groups of codes for the channels.
uint32_t imaSamplesPerBlock(uint32_t blockAlign, uint32_t channels);
// The block size usual for a rate: 256 bytes per channel up to 11025 Hz, 512 up to 22050,
// 1024 above.
uint32_t imaStandardBlockAlign(uint32_t samplesPerSec, uint32_t channels);

// Decodes one block of imaSamplesPerBlock frames into out (interleaved). A step index out of
// range in a header is taken as the nearest valid one. False (out untouched) when block or
// out is too short or the layout is impossible.
bool imaDecodeBlock(std::span<const uint8_t> block, uint32_t channels, std::span<int16_t> out);

// Encodes imaSamplesPerBlock frames from in (interleaved) into one block. stepIndex holds one
// index per channel and carries over from block to block (start with zeros).
bool imaEncodeBlock(std::span<const int16_t> in, uint32_t channels, std::span<uint8_t> block,
                    std::span<int32_t> stepIndex);

}  // namespace platform

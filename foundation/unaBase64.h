#pragma once
// Base64 with the standard alphabet and "=" padding, for binary values kept as text.
// Pure functions, safe from any thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace una {

std::string base64Encode(std::span<const uint8_t> bytes);
inline std::string base64Encode(std::string_view bytes) {
    return base64Encode(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// Decodes up to the first "="; blanks and characters outside the alphabet are skipped, and a
// trailing lone 6-bit group, which holds no whole byte, is dropped. Never fails.
std::vector<uint8_t> base64Decode(std::string_view text);

}  // namespace una

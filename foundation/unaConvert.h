#pragma once
// Number and text conversion with the library's own grouping and parsing rules, and small
// arithmetic helpers. Pure functions, safe from any thread. Invalid input never raises: it gives
// the caller's default.

#include <cstdint>
#include <string>
#include <string_view>

namespace una {

// Digits of every base the library writes, from 2 to 68.
inline constexpr std::string_view kDigitAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz[]<>&$#";

// Digits of value in base; with groupSize > 0, groupChar goes between every groupSize digits
// counted from the right (' ' means the locale's thousands separator). A negative value gets
// "-" in front. "0" for zero in any base; empty for another value in a base outside 2..68.
std::string int2str(int64_t value, uint32_t base = 10, uint32_t groupSize = 0,
                    char groupChar = ' ');
std::string uint2str(uint64_t value, uint32_t base = 10, uint32_t groupSize = 0,
                     char groupChar = ' ');

// "true" or "false".
std::string bool2str(bool value);

// Parses text: blanks around it, leading zeros, a sign, a "$", "x" or "X" prefix or an "h"
// suffix (both switch base 10 to 16) are accepted; A-F and a-f are digits 10-15 where the base
// has them. Any other character, or a digit beyond the base, gives defaultValue, unless
// ignoreInvalid skips it among the digits.
// Empty text or a base outside 2..256 gives defaultValue. The value wraps in 64 bits.
int64_t str2int64(std::string_view text, uint32_t base = 10, bool ignoreInvalid = false,
                  int64_t defaultValue = 0);
// The low 32 bits of str2int64, so "4294967295" is -1 here and 0xFFFFFFFF in str2uint.
int32_t str2int(std::string_view text, uint32_t base = 10, bool ignoreInvalid = false,
                int32_t defaultValue = 0);
uint32_t str2uint(std::string_view text, uint32_t base = 10, bool ignoreInvalid = false,
                  uint32_t defaultValue = 0);
// True for a number other than 0; defaultValue when the text is not a number.
bool str2bool(std::string_view text, uint32_t base = 10, bool ignoreInvalid = false,
              bool defaultValue = false);

// part * 100 / total rounded to the nearest integer, halves to even; 0 when either is <= 0.
int64_t percent(int64_t part, int64_t total);

// Greatest common divisor; 1 when either is 0.
uint32_t gcd(uint32_t a, uint32_t b);

// a when condition holds, else b (integers, texts, pointers).
template <class T>
constexpr T choose(bool condition, T a, T b) {
    return condition ? a : b;
}
inline std::string choose(bool condition, std::string_view a, std::string_view b) {
    return std::string(condition ? a : b);
}

// The first character of the user locale's thousands separator, read once; "," when none.
char thousandSeparator();

}  // namespace una

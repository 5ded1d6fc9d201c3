#include "foundation/unaConvert.h"

#include <algorithm>

#include "foundation/unaLocale.h"
#include "foundation/unaText.h"

namespace una {

namespace {

std::string digits(uint64_t magnitude, bool negative, uint32_t base, uint32_t groupSize,
                   char groupChar) {
    if (magnitude == 0)
        return "0";
    if (base < 2 || base > 68)
        return {};
    if (groupChar == ' ')
        groupChar = thousandSeparator();
    std::string out;
    uint32_t inGroup = 0;
    while (magnitude != 0) {
        if (groupSize > 0 && inGroup == groupSize) {
            out.push_back(groupChar);
            inGroup = 0;
        }
        out.push_back(kDigitAlphabet[magnitude % base]);
        magnitude /= base;
        ++inGroup;
    }
    if (negative)
        out.push_back('-');
    std::reverse(out.begin(), out.end());
    return out;
}

bool isHexLetter(char c) {
    return (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Value of c as a digit of base, -1 when it is none. A letter is a digit only where the base
// reaches it, so "abc" is no decimal number.
int digitValue(char c, uint32_t base) {
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (base <= 16 && c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (base <= 16 && c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (base > 16) {
        const size_t at = kDigitAlphabet.find(c);
        if (at != std::string_view::npos)
            value = static_cast<int>(at);
    }
    return value >= 0 && static_cast<uint32_t>(value) < base ? value : -1;
}

}  // namespace

std::string int2str(int64_t value, uint32_t base, uint32_t groupSize, char groupChar) {
    const bool negative = value < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    return digits(magnitude, negative, base, groupSize, groupChar);
}

std::string uint2str(uint64_t value, uint32_t base, uint32_t groupSize, char groupChar) {
    return digits(value, false, base, groupSize, groupChar);
}

std::string bool2str(bool value) {
    return value ? "true" : "false";
}

int64_t str2int64(std::string_view text, uint32_t base, bool ignoreInvalid, int64_t defaultValue) {
    const std::string_view s = trimView(text);
    if (s.empty() || base < 2 || base > 256)
        return defaultValue;
    size_t end = s.size();
    if (s[end - 1] == 'h' || s[end - 1] == 'H') {
        --end;
        if (base == 10)
            base = 16;
        if (end == 0)
            return defaultValue;  // a lone suffix holds no digit
    }

    // The last character is always a digit position, never a prefix.
    bool negative = false;
    size_t start = 0;
    for (; start + 1 < end; ++start) {
        const char c = s[start];
        if (c == '0')
            continue;
        if (c == '$' || c == 'X' || c == 'x') {
            if (base == 10)
                base = 16;
            continue;
        }
        if (c == '+' || c == '-') {
            negative = c == '-';
            continue;
        }
        if ((c >= '1' && c <= '9') || isHexLetter(c))
            break;
        return defaultValue;
    }

    uint64_t value = 0;
    uint64_t weight = 1;
    for (size_t i = end; i > start; --i) {
        const int digit = digitValue(s[i - 1], base);
        if (digit < 0) {
            if (ignoreInvalid)
                continue;
            return defaultValue;
        }
        value += static_cast<uint64_t>(digit) * weight;
        weight *= base;
    }
    return static_cast<int64_t>(negative ? 0 - value : value);
}

int32_t str2int(std::string_view text, uint32_t base, bool ignoreInvalid, int32_t defaultValue) {
    return static_cast<int32_t>(
        static_cast<uint32_t>(str2int64(text, base, ignoreInvalid, defaultValue)));
}

uint32_t str2uint(std::string_view text, uint32_t base, bool ignoreInvalid, uint32_t defaultValue) {
    return static_cast<uint32_t>(str2int64(text, base, ignoreInvalid, defaultValue));
}

bool str2bool(std::string_view text, uint32_t base, bool ignoreInvalid, bool defaultValue) {
    return str2int64(text, base, ignoreInvalid, defaultValue ? 1 : 0) != 0;
}

int64_t percent(int64_t part, int64_t total) {
    if (part <= 0 || total <= 0)
        return 0;
    const __int128 scaled = static_cast<__int128>(part) * 100;
    const __int128 quotient = scaled / total;
    const __int128 twiceRest = (scaled % total) * 2;
    __int128 result = quotient;
    if (twiceRest > total || (twiceRest == total && (quotient & 1) != 0))
        ++result;
    constexpr int64_t kMax = INT64_MAX;
    return result > kMax ? kMax : static_cast<int64_t>(result);
}

uint32_t gcd(uint32_t a, uint32_t b) {
    if (a == 0 || b == 0)
        return 1;
    while (b != 0) {
        const uint32_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

char thousandSeparator() {
    static const char separator = thousandSeparatorFrom(userLocaleThousandSeparator());
    return separator;
}

}  // namespace una

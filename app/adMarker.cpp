#include "app/adMarker.h"

#include <charconv>
#include <cmath>

namespace una::app {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// Moves i past a run of digits, copying them to out; the number of digits.
size_t takeDigits(std::string_view text, size_t& i, std::string& out) {
    const size_t start = i;
    while (i < text.size() && isDigit(text[i]))
        out += text[i++];
    return i - start;
}

// The first count characters of text: a UTF-8 lead byte takes as many continuation bytes as it
// announces; any other byte is a character of its own.
std::string_view firstCharacters(std::string_view text, size_t count) {
    size_t end = 0;
    size_t seen = 0;
    int continuations = 0;
    for (; end < text.size(); ++end) {
        const auto byte = static_cast<unsigned char>(text[end]);
        if ((byte & 0xC0) == 0x80 && continuations > 0) {
            --continuations;
            continue;
        }
        if (seen++ == count)
            break;
        continuations = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    }
    return text.substr(0, end);
}

std::string_view trimmedBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

double versionFromText(std::string_view text, std::string_view decimalSeparator) {
    if (decimalSeparator.empty())
        decimalSeparator = ".";
    // Rewritten with "." and without "+" for from_chars, which knows no locale.
    std::string plain;
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            plain += '-';
        ++i;
    }
    size_t digits = takeDigits(text, i, plain);
    if (text.substr(i, decimalSeparator.size()) == decimalSeparator) {
        i += decimalSeparator.size();
        plain += '.';
        digits += takeDigits(text, i, plain);
    }
    if (digits == 0)
        return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        plain += 'e';
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            plain += text[i++];
        if (takeDigits(text, i, plain) == 0)
            return 0;
    }
    if (i != text.size())
        return 0;
    double value = 0;
    const char* last = plain.data() + plain.size();
    auto [end, error] = std::from_chars(plain.data(), last, value);
    if (error != std::errc() || end != last || !std::isfinite(value))
        return 0;
    return value;
}

AdMarker findAdMarker(std::span<const std::string> lines, std::string_view decimalSeparator) {
    AdMarker marker;
    for (size_t index = 0; index < lines.size(); ++index) {
        const std::string_view line = lines[index];
        const size_t at = line.find(kAdMarker);
        if (at == std::string_view::npos)
            continue;
        marker.found = true;
        marker.line = index;
        const std::string_view after = line.substr(at + kAdMarker.size());
        marker.text = trimmedBlanks(firstCharacters(after, kAdVersionLength));
        for (char& c : marker.text)
            if (c == '.')
                c = ',';
        marker.version = versionFromText(marker.text, decimalSeparator);
        break;
    }
    return marker;
}

bool announcesUpdate(const AdMarker& marker, double programVersion) {
    return marker.found && marker.version > 0 && marker.version != programVersion;
}

}  // namespace una::app

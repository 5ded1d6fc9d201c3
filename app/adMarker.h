#pragma once
// The version marker that the vendor's advertising page carries in its title: "Sorvalen_"
// followed by the version the site wants users to run, read from the page's description lines
// (address, title, text). Pure functions without Qt, safe from any thread; the fuzz target
// builds this file on its own.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace una::app {

inline constexpr std::string_view kAdMarker = "Sorvalen_";
// Characters of the version text after the marker.
inline constexpr size_t kAdVersionLength = 3;

struct AdMarker {
    bool found = false;
    // Index of the first line holding the marker (meaningful when found).
    size_t line = 0;
    // The version text as converted: trimmed, every "." made ",".
    std::string text;
    // The converted version; 0 when the text is not a number.
    double version = 0;
};

// The number in text under a locale whose decimal separator is decimalSeparator (one or more
// bytes of UTF-8): an optional sign, digits with at most one separator, an optional exponent.
// Anything else, the empty text included, gives 0.
double versionFromText(std::string_view text, std::string_view decimalSeparator);

// Looks for the marker in lines in order and stops at the first line holding it. The version
// text is the next three characters (UTF-8 sequences count as one; fewer at the end of the
// line), blanks and control characters trimmed at both ends, every "." replaced by ",", then
// converted with versionFromText. Not found when no line holds the marker.
AdMarker findAdMarker(std::span<const std::string> lines, std::string_view decimalSeparator);

// True when the marker asks for an update: a version above 0 that is not the program's.
bool announcesUpdate(const AdMarker& marker, double programVersion);

}  // namespace una::app

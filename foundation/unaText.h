#pragma once
// Small text and path helpers. Pure functions, safe from any thread. Case rules are ASCII only:
// the library's texts are keys, names and numbers, not prose.

#include <cstdint>
#include <string>
#include <string_view>

namespace una {

// Characters with codes 0 to 32 removed from the chosen ends.
std::string trim(std::string_view text, bool left = true, bool right = true);
std::wstring trim(std::wstring_view text, bool left = true, bool right = true);
// The same without a copy: a view into text.
std::string_view trimView(std::string_view text, bool left = true, bool right = true);

// Only "a" to "z" change.
char upCase(char c);
wchar_t upCase(wchar_t c);
std::string upCase(std::string_view text);

// Case-insensitive equality, optionally after trimming both.
bool sameString(std::string_view a, std::string_view b, bool doTrim = true);

// Pads text to width with padChar, on the left when padLeft; with truncate a longer text is cut
// to width, keeping its right end when padLeft and its left end otherwise.
std::string padStr(std::string_view text, uint32_t width, char padChar = ' ', bool truncate = false,
                   bool padLeft = true);

// Everything up to and including the last "/", "\" or ":"; empty when there is none.
std::string extractFilePath(std::string_view path);

// path with a separator at its end unless it is empty or already ends in "/", ":" or "\".
// The separator added is this platform's, "/".
std::string addBackSlash(std::string_view path);

// path with the extension of its last component replaced by ext (given without the dot); a dot
// in a folder name is not an extension.
std::string changeFileExt(std::string_view path, std::string_view ext);

}  // namespace una

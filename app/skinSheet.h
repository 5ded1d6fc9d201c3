#pragma once
// The check a skin file passes before it is applied. A skin ("*.skn") is a Qt style sheet; Qt
// itself only warns about one it cannot parse and then draws whatever it made of it, so a
// damaged or foreign file is refused here and the built-in look stays. No Qt: pure functions,
// any thread.

#include <cstddef>
#include <string_view>

namespace una::app {

// Larger files are refused without being read: a skin is a few kilobytes of text.
inline constexpr size_t kMaxSkinBytes = 1 << 20;

// True when text is a style sheet the program will apply: at most kMaxSkinBytes of UTF-8
// without NUL bytes, made of rules "selector { property: value; ... }" with comments and
// quoted strings closed, braces balanced and not nested, and every declaration naming a
// property. An empty or blank text passes (it changes nothing).
bool isUsableSkinSheet(std::string_view text);

}  // namespace una::app

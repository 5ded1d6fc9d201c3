#pragma once
// What the library takes from the user's locale.

#include <string_view>

namespace una {

// The separator character to use for a locale's thousands separator text: its first byte when
// that is plain ASCII, ',' when the text is empty, and ' ' for a multi-byte (UTF-8) separator
// such as a narrow no-break space, whose first byte alone would not be a character.
char thousandSeparatorFrom(std::string_view localeSeparator);

// The thousands separator text of the user's locale (from the environment), empty when it has
// none or the locale cannot be loaded.
std::string_view userLocaleThousandSeparator();

}  // namespace una

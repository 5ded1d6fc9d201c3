#include "app/skinSheet.h"

#include <cstdint>

namespace una::app {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
}

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or code points
// past U+10FFFF.
bool isUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// One declaration "name: value" between braces or semicolons.
struct Declaration {
    bool nameStarted = false;
    bool nameEnded = false;
    bool colon = false;

    // False for a character that cannot stand where it does.
    bool take(char c) {
        if (colon)
            return true;  // values are Qt's business
        if (c == ':') {
            colon = true;
            return nameStarted;
        }
        if (isBlank(c)) {
            nameEnded = nameStarted;
            return true;
        }
        if (!isNameChar(c) || nameEnded)
            return false;
        nameStarted = true;
        return true;
    }
    // A declaration is empty or has its colon.
    bool complete() const { return colon || !nameStarted; }
};

}  // namespace

bool isUsableSkinSheet(std::string_view text) {
    if (text.size() > kMaxSkinBytes || !isUtf8(text))
        return false;
    bool inBlock = false;
    bool selector = false;  // the text before "{" has more than blanks and comments
    Declaration declaration;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0')
            return false;
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const size_t end = text.find("*/", i + 2);
            if (end == std::string_view::npos)
                return false;
            i = end + 1;
            continue;
        }
        if (c == '"' || c == '\'') {
            size_t k = i + 1;
            while (k < text.size() && text[k] != c) {
                if (text[k] == '\n' || text[k] == '\r')
                    return false;
                k += text[k] == '\\' ? 2 : 1;
            }
            if (k >= text.size())
                return false;
            i = k;
            if (!inBlock)
                selector = true;
            else if (!declaration.colon)
                return false;  // a quoted property name
            continue;
        }
        if (!inBlock) {
            if (c == '{') {
                if (!selector)
                    return false;
                inBlock = true;
                selector = false;
                declaration = {};
            } else if (c == '}' || c == ';') {
                return false;
            } else if (!isBlank(c)) {
                selector = true;
            }
            continue;
        }
        if (c == '{')
            return false;
        if (c == ';' || c == '}') {
            if (!declaration.complete())
                return false;
            declaration = {};
            inBlock = c != '}';
            continue;
        }
        if (!declaration.take(c))
            return false;
    }
    return !inBlock && !selector;
}

}  // namespace una::app

#include "foundation/unaText.h"

namespace una {

namespace {

template <class Char>
std::basic_string_view<Char> trimmed(std::basic_string_view<Char> text, bool left, bool right) {
    auto blank = [](Char c) { return static_cast<uint32_t>(c) <= 32; };
    size_t begin = 0;
    size_t end = text.size();
    if (left)
        while (begin < end && blank(text[begin]))
            ++begin;
    if (right)
        while (end > begin && blank(text[end - 1]))
            --end;
    return text.substr(begin, end - begin);
}

bool isSeparator(char c) {
    return c == '/' || c == '\\' || c == ':';
}

}  // namespace

std::string_view trimView(std::string_view text, bool left, bool right) {
    return trimmed(text, left, right);
}

std::string trim(std::string_view text, bool left, bool right) {
    return std::string(trimmed(text, left, right));
}

std::wstring trim(std::wstring_view text, bool left, bool right) {
    return std::wstring(trimmed(text, left, right));
}

char upCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

wchar_t upCase(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

std::string upCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = upCase(c);
    return out;
}

bool sameString(std::string_view a, std::string_view b, bool doTrim) {
    if (doTrim) {
        a = trimView(a);
        b = trimView(b);
    }
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upCase(a[i]) != upCase(b[i]))
            return false;
    return true;
}

std::string padStr(std::string_view text, uint32_t width, char padChar, bool truncate,
                   bool padLeft) {
    if (text.size() >= width) {
        if (!truncate || text.size() == width)
            return std::string(text);
        return std::string(padLeft ? text.substr(text.size() - width) : text.substr(0, width));
    }
    const std::string pad(width - text.size(), padChar);
    return padLeft ? pad + std::string(text) : std::string(text) + pad;
}

std::string extractFilePath(std::string_view path) {
    for (size_t i = path.size(); i > 0; --i)
        if (isSeparator(path[i - 1]))
            return std::string(path.substr(0, i));
    return {};
}

std::string addBackSlash(std::string_view path) {
    std::string out(path);
    if (!out.empty() && !isSeparator(out.back()))
        out.push_back('/');
    return out;
}

std::string changeFileExt(std::string_view path, std::string_view ext) {
    const size_t nameStart = extractFilePath(path).size();
    size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot < nameStart || dot == nameStart)
        dot = path.size();  // no extension; a leading dot names a hidden file
    std::string out(path.substr(0, dot));
    out.push_back('.');
    out.append(ext);
    return out;
}

}  // namespace una

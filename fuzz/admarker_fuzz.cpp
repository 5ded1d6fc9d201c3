// The advertising page's version marker on arbitrary page lines and decimal separators.
// fuzz-sources: app/adMarker.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/adMarker.h"

using namespace una::app;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "marker invariant broken: %s\n", what);
        std::abort();
    }
}

bool plainSeparator(const std::string& separator) {
    for (char c : separator)
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == 'e' || c == 'E')
            return false;
    return !separator.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string separator;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: separator = ","; break;
    case 1: separator = "."; break;
    case 2: separator = "\xd9\xab"; break;
    default: separator = in.ConsumeRandomLengthString(3); break;
    }
    const unsigned whole = in.ConsumeIntegralInRange<unsigned>(0, 9999);
    const unsigned fraction = in.ConsumeIntegralInRange<unsigned>(0, 9999);

    std::vector<std::string> lines;
    const std::string text = in.ConsumeRemainingBytesAsString();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));

    const AdMarker marker = findAdMarker(lines, separator);
    check(std::isfinite(marker.version), "a finite version");
    if (!marker.found) {
        check(marker.version == 0, "no marker, no version");
        for (const std::string& line : lines)
            check(line.find(kAdMarker) == std::string::npos, "a marker was missed");
        return 0;
    }
    check(marker.line < lines.size(), "the line is one of the page's");
    check(lines[marker.line].find(kAdMarker) != std::string::npos, "the line holds the marker");
    for (size_t i = 0; i < marker.line; ++i)
        check(lines[i].find(kAdMarker) == std::string::npos, "an earlier line held it");
    check(marker.text.size() <= 4 * kAdVersionLength, "at most three characters");
    check(marker.text.find('.') == std::string::npos, "every point made a comma");
    check(marker.text.empty() ||
              (static_cast<unsigned char>(marker.text.front()) > ' ' &&
               static_cast<unsigned char>(marker.text.back()) > ' '),
          "trimmed");
    check(marker.version == versionFromText(marker.text, separator), "converted as it reads");

    if (plainSeparator(separator)) {
        const std::string localised =
            std::to_string(whole) + separator + std::to_string(fraction);
        const std::string pointed = std::to_string(whole) + "." + std::to_string(fraction);
        check(versionFromText(localised, separator) == versionFromText(pointed, "."),
              "the separator is the only difference");
        check(versionFromText(localised, separator) >= whole, "the whole part kept");
    }
    return 0;
}

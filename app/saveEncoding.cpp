#include "app/saveEncoding.h"

#include <cctype>
#include <string>

namespace una::app {

namespace {

struct Entry {
    SaveEncoding encoding;
    std::string_view name;
    std::string_view caption;
    uint32_t tag;
};

constexpr Entry kEntries[] = {
    {SaveEncoding::Pcm, "pcm", "PCM", 1},
    {SaveEncoding::ImaAdpcm, "ima-adpcm", "IMA ADPCM (4:1)", 0x11},
    {SaveEncoding::Gsm, "gsm", "GSM 6.10 (8 kHz mono)", 0x31},
    {SaveEncoding::Ulaw, "ulaw", "u-law (2:1)", 7},
    {SaveEncoding::Alaw, "alaw", "A-law (2:1)", 6},
};

const Entry& entryOf(SaveEncoding encoding) {
    for (const Entry& e : kEntries)
        if (e.encoding == encoding)
            return e;
    return kEntries[0];
}

}  // namespace

std::string_view saveEncodingName(SaveEncoding encoding) {
    return entryOf(encoding).name;
}

std::optional<SaveEncoding> parseSaveEncoding(std::string_view name) {
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front())))
        name.remove_prefix(1);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
        name.remove_suffix(1);
    std::string lower(name);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Entry& e : kEntries)
        if (e.name == lower)
            return e.encoding;
    return std::nullopt;
}

std::string_view saveEncodingCaption(SaveEncoding encoding) {
    return entryOf(encoding).caption;
}

uint32_t saveEncodingTag(SaveEncoding encoding) {
    return entryOf(encoding).tag;
}

}  // namespace una::app

#include "stream/stationList.h"

#include <algorithm>
#include <string>

#include "foundation/unaIniFile.h"
#include "foundation/unaText.h"

namespace una::stream {

namespace {
constexpr std::string_view kSection = "stations";
// Far more than anyone keeps; a damaged count cannot make a load walk millions of keys.
constexpr uint32_t kMaxStations = 1000;

bool oneLine(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}
}  // namespace

bool isStationAddress(std::string_view url) {
    std::string_view rest;
    for (std::string_view scheme : {"http://", "https://"}) {
        if (url.size() > scheme.size() &&
            std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            rest = url.substr(scheme.size());
    }
    if (rest.empty() || !oneLine(url) || url.find(' ') != std::string_view::npos)
        return false;
    const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    const size_t at = host.rfind('@');
    return !host.empty() && at != host.size() - 1 && host.front() != ':';
}

std::vector<Station> usableStations(std::span<const Station> stations) {
    std::vector<Station> out;
    for (const Station& station : stations) {
        Station kept{trim(station.name), trim(station.url)};
        if (kept.name.empty() || !oneLine(kept.name) || !isStationAddress(kept.url))
            continue;
        if (std::any_of(out.begin(), out.end(),
                        [&](const Station& s) { return s.name == kept.name; }))
            continue;
        out.push_back(std::move(kept));
        if (out.size() == kMaxStations)
            break;
    }
    return out;
}

std::vector<Station> loadStations(unaIniAbstractStorage& ini) {
    std::string previous;
    std::vector<Station> read;
    if (!ini.enter(kSection, &previous))
        return read;
    const uint32_t count = std::min(ini.getInt("count", 0), kMaxStations);
    for (uint32_t i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        read.push_back({ini.getString("name" + n), ini.getString("url" + n)});
    }
    ini.leave(previous);
    return usableStations(read);
}

void saveStations(unaIniAbstractStorage& ini, std::span<const Station> stations) {
    const std::vector<Station> kept = usableStations(stations);
    std::string text = "count=" + std::to_string(kept.size()) + "\n";
    for (size_t i = 0; i < kept.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        text += "name" + n + "=" + kept[i].name + "\nurl" + n + "=" + kept[i].url + "\n";
    }
    ini.writeSection(kSection, text);
}

}  // namespace una::stream

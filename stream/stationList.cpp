#include "stream/stationList.h"

#include <algorithm>
#include <cctype>
#include <map>
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
    // Longer could not be read back whole from the settings file.
    if (rest.empty() || url.size() > kIniMaxValue || !oneLine(url) ||
        url.find(' ') != std::string_view::npos)
        return false;
    const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    const size_t at = host.rfind('@');
    return !host.empty() && at != host.size() - 1 && host.front() != ':';
}

std::vector<Station> usableStations(std::span<const Station> stations) {
    std::vector<Station> out;
    for (const Station& station : stations) {
        Station kept{trim(station.name), trim(station.url)};
        if (kept.name.empty() || kept.name.size() > kIniMaxValue || !oneLine(kept.name) ||
            !isStationAddress(kept.url))
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
    // The section in one read when it fits the 16 KB a read gives; keys beyond it one by one.
    std::string text;
    ini.readSection(kSection, text);
    std::map<std::string, std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find("\r\n", at), text.size());
        const std::string_view line = std::string_view(text).substr(at, end - at);
        if (const size_t eq = line.find('='); eq != std::string_view::npos) {
            std::string key(trim(line.substr(0, eq)));
            for (char& c : key)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            lines.emplace(std::move(key), trim(line.substr(eq + 1)));
        }
        at = end + 2;
    }
    std::string previous;
    std::vector<Station> read;
    if (!ini.enter(kSection, &previous))
        return read;
    auto value = [&](const std::string& key) {
        const auto found = lines.find(key);
        return found != lines.end() ? found->second : ini.getString(key);
    };
    const uint32_t count = std::min(ini.getInt("count", 0), kMaxStations);
    for (uint32_t i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        read.push_back({value("name" + n), value("url" + n)});
    }
    ini.leave(previous);
    return usableStations(read);
}

bool saveStations(unaIniAbstractStorage& ini, std::span<const Station> stations) {
    const std::vector<Station> kept = usableStations(stations);
    // A section is written 16 KB at most at once: the stations beyond go key by key.
    std::string text = "count=" + std::to_string(kept.size()) + "\n";
    size_t i = 0;
    for (; i < kept.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        const std::string lines =
            "name" + n + "=" + kept[i].name + "\nurl" + n + "=" + kept[i].url + "\n";
        if (text.size() + lines.size() > kIniMaxSection)
            break;
        text += lines;
    }
    if (!ini.writeSection(kSection, text))
        return false;
    if (i == kept.size())
        return true;
    std::string previous;
    if (!ini.enter(kSection, &previous))
        return false;
    bool ok = true;
    for (; ok && i < kept.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        ok = ini.writeValue("name" + n, kept[i].name) && ini.writeValue("url" + n, kept[i].url);
    }
    ini.leave(previous);
    return ok;
}

}  // namespace una::stream

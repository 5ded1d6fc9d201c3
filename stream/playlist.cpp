#include "stream/playlist.h"

#include <algorithm>
#include <cctype>

#include "stream/stationList.h"

namespace una::stream {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// The address's path, lower case, without query and fragment.
std::string pathOf(std::string_view url) {
    const size_t scheme = url.find("://");
    const size_t start = url.find('/', scheme == std::string_view::npos ? 0 : scheme + 3);
    if (start == std::string_view::npos)
        return {};
    std::string_view path = url.substr(start);
    path = path.substr(0, path.find_first_of("?#"));
    return lower(path);
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

bool looksLikePlaylist(std::string_view mimeType, std::string_view url) {
    const std::string type = lower(trimmed(mimeType.substr(0, mimeType.find(';'))));
    if (type == "audio/x-mpegurl" || type == "audio/mpegurl" || type == "audio/x-scpls" ||
        type == "audio/scpls" || type == "application/pls+xml" ||
        type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl")
        return true;
    const std::string path = pathOf(url);
    return endsWith(path, ".m3u") || endsWith(path, ".m3u8") || endsWith(path, ".pls");
}

std::string resolveAddress(std::string_view base, std::string_view entry) {
    if (isStationAddress(entry))
        return std::string(entry);
    if (entry.find("://") != std::string_view::npos || entry.empty() ||
        std::any_of(entry.begin(), entry.end(),
                    [](char c) {
                        return static_cast<unsigned char>(c) <= 0x20 ||
                               std::string_view("<>\"\\{}|^`").find(c) != std::string_view::npos;
                    }) ||
        !isStationAddress(base))
        return {};
    const size_t hostStart = base.find("://") + 3;
    const size_t pathStart = base.find_first_of("/?#", hostStart);
    const std::string_view origin = base.substr(0, pathStart);
    std::string out;
    if (entry.starts_with("//")) {
        out = std::string(base.substr(0, hostStart - 2)) + std::string(entry);
    } else if (entry.front() == '/') {
        out = std::string(origin) + std::string(entry);
    } else {
        std::string_view dir = pathStart == std::string_view::npos ? "/" : base.substr(pathStart);
        dir = dir.substr(0, dir.find_first_of("?#"));
        dir = dir.substr(0, dir.rfind('/') + 1);
        if (dir.empty())
            dir = "/";
        out = std::string(origin) + std::string(dir) + std::string(entry);
    }
    // Whatever the parts were, only a web address comes out.
    return isStationAddress(out) ? out : std::string();
}

Playlist readPlaylist(std::string_view text, std::string_view mimeType, std::string_view url) {
    text = text.substr(0, kPlaylistMaxBytes);
    Playlist out;
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    const std::string_view head = trimmed(text.substr(0, 512));
    const bool extM3u = head.starts_with("#EXTM3U");
    const bool pls = lower(head.substr(0, 10)).starts_with("[playlist]");
    if (extM3u && text.find("#EXT-X-") != std::string_view::npos) {
        out.kind = Playlist::Kind::hls;
        return out;
    }
    // A bare list of addresses counts when the server or the address says it is one; audio
    // that happens to start with a URL-like byte run must not.
    if (!extM3u && !pls && !looksLikePlaylist(mimeType, url))
        return out;
    auto add = [&](std::string_view entry) {
        std::string address = resolveAddress(url, trimmed(entry));
        if (address.empty() || out.entries.size() >= kPlaylistMaxEntries)
            ++out.skipped;
        else
            out.entries.push_back(std::move(address));
    };
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty())
            continue;
        if (pls) {
            // FileN=address
            const size_t eq = line.find('=');
            if (eq != std::string_view::npos && lower(line.substr(0, 4)) == "file")
                add(line.substr(eq + 1));
        } else if (line.front() != '#') {
            add(line);
        }
    }
    // Text that yields no line of its own kind is no playlist after all (an HTML page).
    if (out.entries.empty() && !extM3u && !pls && out.skipped == 0)
        return out;
    out.kind = Playlist::Kind::list;
    return out;
}

}  // namespace una::stream

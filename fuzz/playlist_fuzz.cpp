// Arbitrary bytes as a station's playlist: every address it yields is a web address, bounded
// in number, and the reader never looks past its limit. The same bytes as an HLS media
// playlist: bounded segments, numbered in order, and a clock that never believes nonsense. As
// a master playlist's attributes: only web addresses are opened.
// fuzz-sources: stream/playlist.cpp stream/stationList.cpp stream/senderClock.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "stream/playlist.h"
#include "stream/senderClock.h"
#include "stream/stationList.h"

using namespace una::stream;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "playlist invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string mime = input.ConsumeRandomLengthString(40);
    const std::string base = input.ConsumeRandomLengthString(80);
    const std::string text = input.ConsumeRemainingBytesAsString();
    const Playlist list = readPlaylist(text, mime, base);
    check(list.entries.size() <= kPlaylistMaxEntries, "too many entries");
    check(list.kind == Playlist::Kind::list || list.entries.empty(), "entries of no list");
    for (const std::string& entry : list.entries)
        check(isStationAddress(entry), "an entry that is no web address");
    // Text beyond the limit changes nothing.
    if (text.size() > kPlaylistMaxBytes) {
        const Playlist cut = readPlaylist(text.substr(0, kPlaylistMaxBytes), mime, base);
        check(cut.entries == list.entries && cut.kind == list.kind, "read past the limit");
    }
    const std::string resolved = resolveAddress(base, text.substr(0, 200));
    check(resolved.empty() || isStationAddress(resolved), "resolved to no web address");

    const MediaPlaylist media = readMediaPlaylist(text, base);
    check(media.segments.size() <= kMediaPlaylistKept, "too many segments kept");
    for (size_t i = 1; i < media.segments.size(); ++i)
        check(media.segments[i].sequence == media.segments[i - 1].sequence + 1,
              "segments out of order");
    check(media.variant.empty() || isStationAddress(media.variant), "a variant of no web address");
    // The same bytes as the attributes of a variant and of a rendition of its sound: the
    // stream opened is the variant or a web address the rendition named.
    const std::string attributes = text.substr(0, 4096);
    const MediaPlaylist master = readMediaPlaylist(
        "#EXTM3U\n#EXT-X-STREAM-INF:" + attributes + "\nv.m3u8\n#EXT-X-MEDIA:" + attributes + "\n",
        "http://h/p/master.m3u8");
    check(master.variant.empty() || isStationAddress(master.variant), "a stream of no web address");
    check(!master.variant.empty() || attributes.find('\n') != std::string::npos,
          "a variant lost");
    SenderClock clock;
    clock.heard(media);
    clock.heard(media);
    check(clock.pace() == 0 || (clock.pace() > 0.998 && clock.pace() < 1.002),
          "a pace no clock has");
    return 0;
}

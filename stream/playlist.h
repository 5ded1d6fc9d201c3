#pragma once
// Reading the playlists stations publish (.m3u, .pls) for the address of their stream. HLS
// playlists (.m3u8 with #EXT-X- tags) are recognised and left to the decoder. Pure functions
// of the text; bounded in what they read and keep.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace una::stream {

inline constexpr size_t kPlaylistMaxBytes = 64 * 1024;  // text read of one playlist
inline constexpr size_t kPlaylistMaxEntries = 100;      // addresses kept of one playlist
inline constexpr int kPlaylistMaxDepth = 5;             // playlists followed through playlists

struct Playlist {
    enum class Kind {
        none,  // not a playlist (the stream itself, or something else)
        hls,   // an HLS playlist: the decoder reads it
        list,  // .m3u or .pls: entries are the addresses in it, in order
    } kind = Kind::none;
    std::vector<std::string> entries;  // http(s) addresses only, at most kPlaylistMaxEntries
    size_t skipped = 0;                // entries left out (other schemes, beyond the limit)
};

// Reads the start of a response (at most kPlaylistMaxBytes of it are looked at). `mimeType`
// and `url` help to tell a playlist from a stream; relative entries are resolved against url.
Playlist readPlaylist(std::string_view text, std::string_view mimeType, std::string_view url);

// True when a response of this type or address should be read as a playlist before decoding.
bool looksLikePlaylist(std::string_view mimeType, std::string_view url);

// An entry resolved against the playlist's own address; empty when it cannot be.
std::string resolveAddress(std::string_view base, std::string_view entry);

}  // namespace una::stream

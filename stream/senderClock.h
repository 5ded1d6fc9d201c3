#pragma once
// The sender's own clock, as an HLS station's media playlist shows it: each segment's length
// (EXTINF) and, where the station writes them, the moment on its clock the segment began
// (EXT-X-PROGRAM-DATE-TIME). Stamps taken from the station's clock pin how fast its audio
// runs far sooner than arrivals can, as they carry none of the polling's lateness. Stamps
// that only add up the segments' lengths (FFmpeg's own, for one) say "nominal" whatever the
// sender's pace: as long as they never depart from that sum they are not taken for a clock.
//
// Pure functions of the text, bounded in what they read and keep; SenderClock has one owner.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace una::stream {

inline constexpr size_t kMediaPlaylistMaxBytes = 512 * 1024;  // text read of one poll
inline constexpr size_t kMediaPlaylistKept = 64;               // newest segments kept

struct MediaSegment {
    int64_t sequence = 0;
    double seconds = 0;                  // EXTINF; 0 when missing or unusable
    std::optional<int64_t> startUs;      // its stamp, microseconds since 1970 (UTC)
    bool discontinuity = false;          // the stream starts anew here
};

struct MediaPlaylist {
    std::vector<MediaSegment> segments;  // the newest kMediaPlaylistKept, in order
    double targetSeconds = 0;
    // A master playlist's stream to open, resolved: the variant of the highest bandwidth, or the
    // playlist of its audio where that comes apart from it (EXT-X-MEDIA).
    std::string variant;
};

MediaPlaylist readMediaPlaylist(std::string_view text, std::string_view url);

// "2026-12-10T07:42:24.845+0000", "...Z", "...+01:00": microseconds since 1970 (UTC).
std::optional<int64_t> readDateTime(std::string_view text);

class SenderClock {
  public:
    struct Tuning {
        double spanSeconds = 15;      // stamps spanning less tell nothing yet
        size_t minStamps = 8;
        double significance = 2;      // departure from nominal, in standard errors...
        double sureError = 5e-6;      // ...or a fit this sure is believed as it stands
        double windowSeconds = 600;   // stamps the pace is fitted to
        double maxDeparture = 1e-3;   // a pace beyond this is no clock
        double countedSlack = 1.5e-3;  // stamps never further than this from the summed lengths
    };
    SenderClock();
    explicit SenderClock(const Tuning& tuning) : tuning_(tuning) {}

    // One poll's playlist; segments seen before are skipped.
    void heard(const MediaPlaylist& list);
    // Seconds of audio the sender makes per second of its clock; 0 until the stamps show it.
    double pace() const { return pace_; }

  private:
    struct Point {
        int64_t sequence;
        double media;     // seconds of audio before it since the first point
        double seconds;   // its length
        std::optional<int64_t> startUs;
    };
    void fit();

    const Tuning tuning_;
    std::deque<Point> points_;
    double pace_ = 0;
    bool believed_ = false;  // once the stamps were clear, their fit is followed
};

}  // namespace una::stream

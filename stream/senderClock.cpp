#include "stream/senderClock.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include "stream/playlist.h"

namespace una::stream {

namespace {

bool digits(std::string_view s, size_t at, size_t count, int& out) {
    if (at + count > s.size())
        return false;
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// Far beyond any station's count, and far from overflowing while counting on.
constexpr int64_t kMaxSequence = int64_t{1} << 52;

std::string_view trimmedLine(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

// One attribute of a tag's list, quotes taken off; nullopt when the list has none of the name.
// Attributes are NAME=value, comma-separated; quoted values may hold commas.
std::optional<std::string_view> attributeOf(std::string_view attributes, std::string_view wanted) {
    while (!attributes.empty()) {
        const size_t equals = attributes.find('=');
        if (equals == std::string_view::npos)
            break;
        const std::string_view name = trimmedLine(attributes.substr(0, equals));
        attributes.remove_prefix(equals + 1);
        size_t end = 0;
        bool quoted = false;
        if (!attributes.empty() && attributes.front() == '"') {
            end = attributes.find('"', 1);
            quoted = end != std::string_view::npos;
            end = quoted ? end + 1 : attributes.size();
        }
        end = std::min(attributes.find(',', end), attributes.size());
        std::string_view v = attributes.substr(0, end);
        attributes.remove_prefix(std::min(end + 1, attributes.size()));
        if (name != wanted)
            continue;
        if (quoted)
            return v.substr(1, v.find('"', 1) - 1);
        return v.starts_with('"') ? v.substr(1) : trimmedLine(v);
    }
    return std::nullopt;
}

// A variant's BANDWIDTH attribute (bits per second); -1 when it has none that reads.
int64_t bandwidthOf(std::string_view attributes) {
    const auto v = attributeOf(attributes, "BANDWIDTH");
    int64_t n = 0;
    if (v && std::from_chars(v->data(), v->data() + v->size(), n).ec == std::errc{} && n >= 0)
        return n;
    return -1;
}

// Audio renditions kept of one master playlist; stations list a handful.
constexpr size_t kRenditionsKept = 100;
}  // namespace

std::optional<int64_t> readDateTime(std::string_view s) {
    int year, month, day, hour, minute, second;
    if (!digits(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, month) ||
        s[7] != '-' || !digits(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't' && s[10] != ' ') ||
        !digits(s, 11, 2, hour) || s[13] != ':' || !digits(s, 14, 2, minute) || s[16] != ':' ||
        !digits(s, 17, 2, second))
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    size_t at = 19;
    int64_t micros = 0;
    if (at < s.size() && (s[at] == '.' || s[at] == ',')) {
        ++at;
        int64_t scale = 100'000;
        const size_t first = at;
        for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at) {
            micros += (s[at] - '0') * scale;
            scale /= 10;
        }
        if (at == first)
            return std::nullopt;
    }
    int64_t offsetMinutes = 0;
    if (at < s.size() && (s[at] == 'Z' || s[at] == 'z')) {
        ++at;
    } else if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
        const int sign = s[at] == '-' ? -1 : 1;
        int h, m = 0;
        if (!digits(s, at + 1, 2, h))
            return std::nullopt;
        at += 3;
        if (at < s.size() && s[at] == ':')
            ++at;
        if (at < s.size()) {
            if (!digits(s, at, 2, m))
                return std::nullopt;
            at += 2;
        }
        if (h > 23 || m > 59)
            return std::nullopt;
        offsetMinutes = sign * (h * 60 + m);
    }
    if (at != s.size())
        return std::nullopt;
    const int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
    const int64_t seconds =
        days * 86400 + hour * 3600 + minute * 60 + second - offsetMinutes * 60;
    return seconds * 1'000'000 + micros;
}

MediaPlaylist readMediaPlaylist(std::string_view text, std::string_view url) {
    text = text.substr(0, kMediaPlaylistMaxBytes);
    MediaPlaylist list;
    int64_t sequence = 0;
    bool counting = false;  // a segment was seen
    MediaSegment next;
    bool variantNext = false;
    int64_t bandwidth = -1, bestBandwidth = -1;
    std::string_view audioGroup;  // the AUDIO of the variant being read, and of the chosen
    std::string chosenGroup;
    struct Rendition {
        std::string group, uri;  // uri resolved; empty: the sound is in the variant
        bool preferred;          // DEFAULT=YES
    };
    std::vector<Rendition> renditions;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = trimmedLine(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty())
            continue;
        const auto value = [&](std::string_view tag) {
            return line.substr(tag.size());
        };
        if (line.starts_with("#EXT-X-MEDIA-SEQUENCE:")) {
            // Only before the first segment: the numbers run on from there.
            const std::string_view v = value("#EXT-X-MEDIA-SEQUENCE:");
            int64_t n = 0;
            if (!counting && std::from_chars(v.data(), v.data() + v.size(), n).ec == std::errc{} && n >= 0 &&
                n < kMaxSequence)
                sequence = n;
        } else if (line.starts_with("#EXT-X-TARGETDURATION:")) {
            const std::string_view v = value("#EXT-X-TARGETDURATION:");
            double d = 0;
            if (std::from_chars(v.data(), v.data() + v.size(), d).ec == std::errc{} &&
                d > 0 && d <= 3600)
                list.targetSeconds = d;
        } else if (line.starts_with("#EXTINF:")) {
            const std::string_view v = value("#EXTINF:");
            double d = 0;
            const auto got = std::from_chars(v.data(), v.data() + v.size(), d);
            next.seconds = got.ec == std::errc{} && d > 0 && d <= 3600 ? d : 0;
        } else if (line.starts_with("#EXT-X-PROGRAM-DATE-TIME:")) {
            next.startUs = readDateTime(value("#EXT-X-PROGRAM-DATE-TIME:"));
        } else if (line == "#EXT-X-DISCONTINUITY") {
            next.discontinuity = true;
        } else if (line.starts_with("#EXT-X-STREAM-INF:")) {
            variantNext = true;
            bandwidth = bandwidthOf(value("#EXT-X-STREAM-INF:"));
            audioGroup = attributeOf(value("#EXT-X-STREAM-INF:"), "AUDIO").value_or("");
        } else if (line.starts_with("#EXT-X-MEDIA:")) {
            const std::string_view attributes = value("#EXT-X-MEDIA:");
            if (attributeOf(attributes, "TYPE") != "AUDIO" || renditions.size() >= kRenditionsKept)
                continue;
            // One without a playlist is the variant's own sound; one of an address we do
            // not follow is left out.
            std::string resolved;
            if (const auto uri = attributeOf(attributes, "URI");
                uri && (resolved = resolveAddress(url, *uri)).empty())
                continue;
            renditions.push_back({std::string(attributeOf(attributes, "GROUP-ID").value_or("")),
                                  std::move(resolved),
                                  attributeOf(attributes, "DEFAULT") == "YES"});
        } else if (line.front() != '#') {
            if (variantNext) {
                // The best sound the station offers; the first of equals.
                variantNext = false;
                if (bandwidth > bestBandwidth || list.variant.empty()) {
                    std::string resolved = resolveAddress(url, line);
                    if (!resolved.empty()) {
                        list.variant = std::move(resolved);
                        bestBandwidth = bandwidth;
                        chosenGroup = audioGroup;
                    }
                }
                continue;
            }
            counting = true;
            next.sequence = sequence++;
            list.segments.push_back(next);
            if (list.segments.size() > 2 * kMediaPlaylistKept)
                list.segments.erase(list.segments.begin(),
                                    list.segments.end() - kMediaPlaylistKept);
            next = {};
        }
    }
    if (list.segments.size() > kMediaPlaylistKept)
        list.segments.erase(list.segments.begin(), list.segments.end() - kMediaPlaylistKept);
    // The chosen variant's sound may come as a playlist of its own (beside pictures): the
    // group's default, else its first with a playlist. A default without one is in the variant.
    const Rendition* heard = nullptr;
    for (const Rendition& r : renditions)
        if (!chosenGroup.empty() && r.group == chosenGroup) {
            if (r.preferred) {
                heard = &r;
                break;
            }
            if (!heard && !r.uri.empty())
                heard = &r;
        }
    if (heard && !heard->uri.empty())
        list.variant = heard->uri;
    return list;
}

SenderClock::SenderClock() : SenderClock(Tuning{}) {}

void SenderClock::heard(const MediaPlaylist& list) {
    bool added = false;
    for (const MediaSegment& s : list.segments) {
        if (!points_.empty() && s.sequence <= points_.back().sequence &&
            s.sequence >= points_.front().sequence)
            continue;  // seen before
        // A gap in the numbers, a segment of no length or a new start: the audio before it
        // cannot be counted, so the fit starts again.
        if (points_.empty() || s.sequence != points_.back().sequence + 1 || s.discontinuity ||
            points_.back().seconds <= 0) {
            points_.clear();
            pace_ = 0;
            believed_ = false;
            points_.push_back({s.sequence, 0, s.seconds, s.startUs});
        } else {
            const Point& last = points_.back();
            points_.push_back({s.sequence, last.media + last.seconds, s.seconds, s.startUs});
        }
        added = true;
    }
    if (!added)
        return;
    while (points_.back().media - points_.front().media > tuning_.windowSeconds)
        points_.pop_front();
    fit();
}

void SenderClock::fit() {
    // Audio seconds against stamp seconds: the slope is the sender's pace on its clock.
    size_t n = 0;
    int64_t firstUs = 0;
    double firstMedia = 0, mx = 0, my = 0, counted = 0;
    for (const Point& p : points_) {
        if (!p.startUs)
            continue;
        if (n == 0) {
            firstUs = *p.startUs;
            firstMedia = p.media;
        }
        ++n;
        const double x = static_cast<double>(*p.startUs - firstUs) * 1e-6;
        mx += x;
        my += p.media;
        counted = std::max(counted, std::fabs(x - (p.media - firstMedia)));
    }
    if (n < tuning_.minStamps)
        return;
    if (counted < tuning_.countedSlack) {
        pace_ = 0;
        return;
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double sxx = 0, sxy = 0, least = 1e300, most = -1e300;
    for (const Point& p : points_) {
        if (!p.startUs)
            continue;
        const double x = static_cast<double>(*p.startUs - firstUs) * 1e-6;
        least = std::min(least, x);
        most = std::max(most, x);
        sxx += (x - mx) * (x - mx);
        sxy += (x - mx) * (p.media - my);
    }
    if (most - least < tuning_.spanSeconds || sxx <= 0)
        return;
    const double slope = sxy / sxx;
    double ssr = 0;
    for (const Point& p : points_) {
        if (!p.startUs)
            continue;
        const double x = static_cast<double>(*p.startUs - firstUs) * 1e-6;
        const double r = p.media - my - slope * (x - mx);
        ssr += r * r;
    }
    const double error = std::sqrt(ssr / static_cast<double>(n - 2) / sxx);
    if (!(std::fabs(slope - 1) < tuning_.maxDeparture)) {
        // Stamps that are no clock (a stepped or frozen one): the arrivals decide.
        pace_ = 0;
        believed_ = false;
        return;
    }
    believed_ = believed_ || error < tuning_.sureError ||
                std::fabs(slope - 1) > tuning_.significance * error;
    if (believed_)
        pace_ = slope;
}

}  // namespace una::stream

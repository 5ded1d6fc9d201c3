#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <ctime>

#include "stream/liveEdge.h"
#include "stream/playlist.h"
#include "stream/senderClock.h"

namespace una::stream {
namespace {

constexpr double kRate = 44100;
constexpr int64_t kSecond = 1'000'000'000;

// A sender making audio at its rate, segments of `segment` seconds fetched after a random
// wait of up to `jitter` seconds (an HLS player's polling), for `seconds`. Returns the largest
// wander of the edge (in ms) against the sender's own line after the first 10 s, and the edge.
struct EdgeRun {
    double wanderMs = 0;
    double rate = 0;
    uint32_t moves = 0;
};
EdgeRun run(double senderPpm, double segment, double jitter, double seconds,
        double latencyStepAt = 1e9, double settleSeconds = 10) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> wait(0, jitter);
    const double rate = kRate * (1 + senderPpm * 1e-6);
    LiveEdge edge(kRate);
    edge.setSegmented(segment >= 1);
    double least = 1e9, most = -1e9;
    for (double made = segment; made < seconds; made += segment) {
        const double latency = 0.05 + wait(random) + (made > latencyStepAt ? 3.0 : 0.0);
        const auto ns = static_cast<int64_t>((made + latency) * kSecond);
        edge.arrived(ns, made * rate);
        if (made > settleSeconds + latency) {
            // Where the edge says the sender is, against where it is.
            const double off = (edge.edgeAt(ns) - (made + latency) * rate) / rate * 1000;
            if (made < latencyStepAt || made > latencyStepAt + 200) {
                least = std::min(least, off);
                most = std::max(most, off);
            }
        }
    }
    return {most - least, edge.rate(), edge.moves()};
}

TEST(LiveEdge, HoldsStillUnderJitterAndFollowsTheSendersClock) {
    EXPECT_LT(run(0, 0.026, 0.004, 600).wanderMs, 5.0) << "Icecast";
    EXPECT_LT(run(0, 1.0, 0.5, 600).wanderMs, 5.0) << "HLS, 1 s segments";
    // A few arrivals cannot tell where the edge is: it settles over eight segments.
    const EdgeRun six = run(0, 6.0, 3.0, 600, 1e9, 60);
    EXPECT_LT(six.wanderMs, 5.0) << "HLS, 6 s segments, " << six.rate;
    // Read in chunks, the least late arrivals of the first seconds scatter by tens of ms: a
    // rate fitted to them alone runs up to 1000 ppm off.
    EXPECT_LT(run(0, 0.9, 0.03, 300).wanderMs, 5.0) << "Icecast read in chunks";
    // A sender 600 ppm fast or slow (a null sink's pace) drifts 360 ms in 10 minutes unless
    // its rate is followed once half a minute of arrivals shows it.
    const EdgeRun fast = run(600, 0.026, 0.004, 600, 1e9, 40);
    EXPECT_LT(fast.wanderMs, 5.0);
    EXPECT_NEAR(fast.rate, kRate * 1.0006, kRate * 5e-6);
    EXPECT_LT(run(-600, 0.026, 0.004, 600, 1e9, 40).wanderMs, 5.0);
    // A station's clock a little slow, too little to be told apart within the line's window:
    // the line must not rest on arrivals minutes old.
    EXPECT_LT(run(-80, 0.026, 0.004, 600).wanderMs, 5.0);
    // 100 ppm slow, too little for the line's window: resting on 45 s of arrivals cost 4.8 ms,
    // while arrivals that scatter little need far fewer seconds.
    EXPECT_LT(run(-100, 0.026, 0.03, 600).wanderMs, 2.5);
}

// Chunks 0.9 s apart whose waits are mostly short (10 ms on average, exponentially), with now
// and then a long one (a packet sent again) holding up those behind it, from a sender 100 ppm
// off: the line must neither tilt on one lucky arrival nor drop when the least late one
// leaves its seconds.
TEST(LiveEdge, HoldsStillOnChunksWithOneSidedWaits) {
    double worst = 0, mean = 0;
    for (const double ppm : {-100.0, 100.0})
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            std::mt19937 random(seed);
            std::exponential_distribution<double> near(100);
            std::uniform_real_distribution<double> uniform(0, 1);
            const double rate = kRate * (1 + ppm * 1e-6);
            LiveEdge edge(kRate);
            double least = 1e9, most = -1e9, last = 0;
            for (double made = 4; made < 600; made += 0.9) {
                double wait = std::min(near(random), 0.12);
                if (uniform(random) < 1.0 / 40)
                    wait += 0.05 + 0.35 * uniform(random);
                last = std::max(last, made - 4 + wait);
                const auto ns = static_cast<int64_t>(last * kSecond);
                edge.arrived(ns, made * rate);
                const double off = (edge.edgeAt(ns) - (last + 4) * rate) / rate * 1000;
                if (last > 10) {
                    least = std::min(least, off);
                    most = std::max(most, off);
                }
            }
            worst = std::max(worst, most - least);
            mean += (most - least) / 8;
        }
    // A line tilted by one lucky arrival, or dropped when it leaves, wandered 6.7 ms at worst
    // and 4.7 ms on average here; a streak of unlucky waits still costs a run up to 6 ms.
    EXPECT_LT(worst, 6.5);
    EXPECT_LT(mean, 4.2);
}

// An HLS player polls a little slower than segments come, so each is fetched a little later
// than the one before until a poll brings two: how late a segment comes sweeps the whole
// segment, and only the fresh ones after a double fetch tell where the sender is.
TEST(LiveEdge, FollowsASegmentedSendersClock) {
    std::mt19937 random(3);
    std::uniform_real_distribution<double> pollJitter(0, 0.02);
    const double rate = kRate * (1 + 800e-6), segment = 44032 / rate;
    LiveEdge edge(kRate);
    edge.setSegmented(true);
    double least = 1e9, most = -1e9, made = 0;
    for (double poll = 0.3; poll < 600; poll += 1.012 + pollJitter(random)) {
        while (made + segment + 0.05 <= poll)
            made += segment;
        if (made == 0)
            continue;
        const auto ns = static_cast<int64_t>((poll + 0.03) * kSecond);
        edge.arrived(ns, made * rate);
        if (poll > 300) {
            const double off = (edge.edgeAt(ns) - (poll + 0.03) * rate) / rate * 1000;
            least = std::min(least, off);
            most = std::max(most, off);
        }
    }
    EXPECT_LT(most - least, 5.0);
    EXPECT_NEAR(edge.rate(), rate, kRate * 20e-6);
}

// The same polling with the playlist the player reads: its stamps come from the sender's clock
// (true time, a few ms of scatter, whole ms) unless `cumulative`, where they only add up the
// segments' lengths. Returns the wander after the first 10 s and the final rate.
EdgeRun stampedRun(double senderPpm, bool cumulative, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> pollJitter(0, 0.02), stampJitter(-0.003, 0.003);
    const double rate = kRate * (1 + senderPpm * 1e-6), segment = 44032 / rate;
    const double t0 = 1.8e9;  // the stamps' clock, seconds since 1970
    LiveEdge edge(kRate);
    edge.setSegmented(true);
    SenderClock clock;
    std::vector<double> stamps;
    const auto stamp = [](double seconds) {
        const auto whole = static_cast<time_t>(seconds);
        tm t{};
        gmtime_r(&whole, &t);
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                      t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                      static_cast<int>((seconds - static_cast<double>(whole)) * 1000));
        return std::string(text);
    };
    double least = 1e9, most = -1e9, made = 0;
    for (double poll = 0.3; poll < 600; poll += 1.012 + pollJitter(random)) {
        while (made + segment + 0.05 <= poll) {
            stamps.push_back(t0 + (cumulative ? stamps.size() * 44032 / kRate
                                              : made + stampJitter(random)));
            made += segment;
        }
        if (made == 0)
            continue;
        std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:";
        const size_t first = stamps.size() > 6 ? stamps.size() - 6 : 0;
        text += std::to_string(first) + "\n";
        for (size_t i = first; i < stamps.size(); ++i)
            text += "#EXTINF:0.998458,\n#EXT-X-PROGRAM-DATE-TIME:" + stamp(stamps[i]) +
                    "\nlive" + std::to_string(i) + ".ts\n";
        clock.heard(readMediaPlaylist(text, "http://a/live.m3u8"));
        edge.setStampedRate(clock.pace() * kRate);
        const auto ns = static_cast<int64_t>((poll + 0.03) * kSecond);
        edge.arrived(ns, made * rate);
        if (poll > 10) {
            const double off = (edge.edgeAt(ns) - (poll + 0.03) * rate) / rate * 1000;
            least = std::min(least, off);
            most = std::max(most, off);
        }
    }
    return {most - least, edge.rate(), edge.moves()};
}

// Without stamps a sender 20-100 ppm off wanders 12-42 ms in 10 minutes: the fresh segments
// show so small a rate late or never.
TEST(LiveEdge, FollowsTheSendersStampedClock) {
    for (const double ppm : {-100.0, -20.0, 0.0, 50.0, 100.0})
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            const EdgeRun stamped = stampedRun(ppm, false, seed);
            EXPECT_LT(stamped.wanderMs, 5.0) << ppm << " ppm, seed " << seed;
            EXPECT_NEAR(stamped.rate, kRate * (1 + ppm * 1e-6), kRate * 10e-6) << ppm;
        }
    // Stamps that only add up the lengths say nominal whatever the sender does: the arrivals
    // find the rate as without stamps.
    EXPECT_NEAR(stampedRun(100, true, 2).rate, kRate * 1.0001, kRate * 20e-6);
}

TEST(SenderClock, ReadsStampsOfAnyZoneAndRefusesNonsense) {
    EXPECT_EQ(readDateTime("1970-01-02T00:00:01.5Z"), int64_t{86401'500'000});
    EXPECT_EQ(readDateTime("2026-12-10T08:42:24.845+01:00"),
              readDateTime("2026-12-10T07:42:24.845+0000"));
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-12-10T07:42", "2026-12-10T07:42:24.Z",
                            "2026-12-10T07:42:24+25:00", "2026-12-10T07:42:24Zjunk"})
        EXPECT_FALSE(readDateTime(bad)) << bad;
    // A master playlist: the variant of the best sound, whatever the other attributes say.
    const MediaPlaylist master = readMediaPlaylist(
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2,mp4a.40.5\"\n"
        "audio/low.m3u8\n#EXT-X-STREAM-INF:AVERAGE-BANDWIDTH=900000,BANDWIDTH=128000\n"
        "audio/high.m3u8\n#EXT-X-STREAM-INF:CODECS=\"x,BANDWIDTH=999999\",BANDWIDTH=96000\n"
        "file:///etc/passwd\n#EXT-X-STREAM-INF:BANDWIDTH=128000\nsame.m3u8\n",
        "http://a/b/live.m3u8");
    EXPECT_EQ(master.variant, "http://a/b/audio/high.m3u8");
    EXPECT_TRUE(master.segments.empty());
    // Pictures with their sound apart: the chosen variant's group decides, its default first
    // (listed before or after the variant), else its first with a playlist; a default with
    // none is the variant's own sound.
    const auto heard = [](std::string_view media) {
        return readMediaPlaylist(
                   std::string("#EXTM3U\n") + std::string(media) +
                       "#EXT-X-STREAM-INF:BANDWIDTH=64000,AUDIO=\"lo\"\nsd.m3u8\n"
                       "#EXT-X-STREAM-INF:BANDWIDTH=3000000,CODECS=\"avc1.64001f,mp4a.40.2\","
                       "AUDIO=\"hi\"\nhd.m3u8\n"
                       "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"lo\",DEFAULT=YES,URI=\"lo.m3u8\"\n",
                   "http://a/tv/master.m3u8")
            .variant;
    };
    EXPECT_EQ(heard("#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",NAME=\"Other, 2\",URI=\"x.m3u8\"\n"
                    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",NAME=\"Main, live\",DEFAULT=YES,"
                    "URI=\"radio/a.m3u8\"\n"),
              "http://a/tv/radio/a.m3u8");
    EXPECT_EQ(heard("#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"hi\",DEFAULT=YES,URI=\"s.m3u8\"\n"
                    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",URI=\"file:///etc/passwd\"\n"
                    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",URI=\"b.m3u8\"\n"),
              "http://a/tv/b.m3u8");
    EXPECT_EQ(heard("#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",DEFAULT=YES,NAME=\"a,URI=c.m3u8\"\n"
                    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",URI=\"c.m3u8\"\n"),
              "http://a/tv/hd.m3u8");
    // A sequence number among the segments would number them backwards.
    const MediaPlaylist late = readMediaPlaylist(
        "#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:1,\na.ts\n#EXT-X-MEDIA-SEQUENCE:1\n#EXTINF:x,\nb.ts\n",
        "http://a/live.m3u8");
    ASSERT_EQ(late.segments.size(), 2u);
    EXPECT_EQ(late.segments[1].sequence, 8);
    EXPECT_EQ(late.segments[1].seconds, 0);
}

// A connection lost for 25 s: the arrivals resume where the sender is by then, and the line
// over the gap holds still (blocks of seconds without arrivals tell nothing of the slope).
TEST(LiveEdge, HoldsStillOverAnOutage) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> wait(0, 0.004);
    LiveEdge edge(kRate);
    double least = 1e9, most = -1e9;
    for (double made = 0.026; made < 200; made += 0.026) {
        if (made > 100 && made < 125)
            continue;
        const double at = made + 0.05 + wait(random);
        const auto ns = static_cast<int64_t>(at * kSecond);
        edge.arrived(ns, made * kRate);
        const double off = (edge.edgeAt(ns) - (at - 0.05) * kRate) / kRate * 1000;
        ASSERT_TRUE(std::isfinite(off)) << at;
        if (at > 10) {
            least = std::min(least, off);
            most = std::max(most, off);
        }
    }
    EXPECT_LT(most - least, 5.0);
    EXPECT_NEAR(edge.rate(), kRate, kRate * 20e-6);
}

// Arrivals 3 s later from 200 s on, for good: the edge goes over to the slower path (3 s
// apart from where it was, against the arrivals) and holds still on each.
TEST(LiveEdge, MovesOnceWhenThePathGetsSlowerForGood) {
    const EdgeRun slower = run(0, 0.026, 0.004, 600, 200);
    EXPECT_LE(slower.moves, 1u);
    EXPECT_NEAR(slower.wanderMs, 3000, 5);
}

TEST(Playlist, FindsTheStreamsAndLeavesHlsToTheDecoder) {
    const Playlist m3u = readPlaylist("#EXTM3U\r\n#EXTINF:-1,Radio\r\nlive.mp3\r\n"
                                      "/abs/aac\r\nfile:///etc/passwd\r\nhttps://b.example/x\r\n",
                                      "audio/x-mpegurl", "http://a.example:8000/dir/list.m3u?x=1");
    EXPECT_EQ(m3u.kind, Playlist::Kind::list);
    EXPECT_EQ(m3u.entries, (std::vector<std::string>{"http://a.example:8000/dir/live.mp3",
                                                     "http://a.example:8000/abs/aac",
                                                     "https://b.example/x"}));
    EXPECT_EQ(m3u.skipped, 1u);
    const Playlist pls = readPlaylist("[playlist]\nNumberOfEntries=1\nFile1=http://c.example/s\n",
                                      "text/plain", "http://a.example/p");
    EXPECT_EQ(pls.entries, std::vector<std::string>{"http://c.example/s"});
    EXPECT_EQ(readPlaylist("#EXTM3U\n#EXT-X-TARGETDURATION:6\nseg.ts\n", "", "http://a/x.m3u8")
                  .kind,
              Playlist::Kind::hls);
    // A web page, or audio, under a playlist's name is no list of streams.
    EXPECT_EQ(readPlaylist("<html><body>Radio</body></html>", "text/html", "http://a/b.m3u")
                  .entries.size(),
              0u);
    EXPECT_EQ(readPlaylist("ID3\x03garbage", "audio/mpeg", "http://a/live").kind,
              Playlist::Kind::none);
    std::string many = "[playlist]\n";
    for (int i = 1; i <= 5000; ++i)
        many += "File" + std::to_string(i) + "=http://a/" + std::to_string(i) + "\n";
    EXPECT_EQ(readPlaylist(many, "", "http://a/p.pls").entries.size(), kPlaylistMaxEntries);
}

}  // namespace
}  // namespace una::stream

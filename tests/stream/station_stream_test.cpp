// ctest-labels: threaded
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "stream/stationDecoder.h"
#include "stream/stationSoundCard.h"
#include "support/fakeSoundCard.h"
#include "support/stationServer.h"

namespace una::stream {
namespace {

using namespace std::chrono_literals;
using State = StationStatus::State;
constexpr uint32_t kRate = 44100;
const double kTone = 32768 / 8.0 / std::sqrt(2.0);

// A station opened on the card as the chain opens a recording device, its buffers taken back
// and queued again by the test's thread.
struct Listener {
    explicit Listener(std::string url) : card(std::make_shared<FakeSoundCard>()) {
        card.setStations({{"Test", std::move(url)}});
        platform::WaveFormatEx format{1, 2, kRate, kRate * 4, 4, 16, 0};
        event = std::make_shared<platform::Event>(false, false);
        result = card.open(platform::WaveDirection::input, 1, format, event, 0, stream);
        if (result != platform::kMmNoError)
            return;
        for (auto& b : buffers) {
            b.data.resize(kRate / 25 * 4);
            b.header.data = b.data.data();
            b.header.bufferLength = static_cast<uint32_t>(b.data.size());
            stream->prepare(b.header);
            stream->addBuffer(b.header);
        }
        stream->start();
    }
    // Takes in what came for this long; the audio as mono samples (left channel).
    void listen(std::chrono::milliseconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
            for (auto& b : buffers) {
                if (!b.header.isFlagSet(platform::kWhdrDone))
                    continue;
                const auto* s = reinterpret_cast<const int16_t*>(b.data.data());
                for (uint32_t i = 0; i < b.header.bytesRecorded / 4; ++i)
                    left.push_back(s[2 * i]);
                stream->addBuffer(b.header);
            }
        }
    }
    State state() const { return card.inputStatus().value_or(StationStatus{}).state; }
    std::string message() const { return card.inputStatus().value_or(StationStatus{}).message; }
    // Frames the edge is ahead of what came in buffers.
    double lag() {
        platform::StreamTiming t;
        uint64_t position = 0;
        if (stream->timing(t) != platform::kMmNoError || stream->position(position))
            return 1e9;
        return static_cast<double>(t.frames) - static_cast<double>(position);
    }

    StationSoundCard card;
    platform::EventHandle event;
    platform::MmResult result = platform::kMmError;
    struct Buffer {
        std::vector<uint8_t> data;
        platform::WaveBuffer header;
    };
    std::array<Buffer, 8> buffers;  // outlive the stream that fills them
    std::unique_ptr<platform::WaveStream> stream;
    std::vector<int16_t> left;
};

// Amplitude of the 1 kHz tone in a stretch of the signal.
double toneAmplitude(const std::vector<int16_t>& s, size_t from, size_t count) {
    double c = 0, q = 0;
    for (size_t i = from; i < from + count && i < s.size(); ++i) {
        const double phase = 2 * M_PI * 1000.0 * static_cast<double>(i) / kRate;
        c += s[i] * std::cos(phase);
        q += s[i] * std::sin(phase);
    }
    return 2 * std::hypot(c, q) / static_cast<double>(count);
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    return condition();
}

class StationStream : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sound::StationServer::available())
            GTEST_SKIP() << "icecast2 or ffmpeg missing (scripts/deps.sh test)";
        StationDecoder::setPauseScale(0.2);
    }
};

// The tone comes through at its level, with the station's title, the burst Icecast sends on
// connect is used, and the audio keeps its place on the edge across a cut of the feed: the gap
// becomes silence and what follows is not late.
TEST_F(StationStream, PlaysReconnectsAndFillsTheGapWithSilence) {
    sound::StationServer server(sound::StationServer::Kind::icecast);
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(server.setTitle("Match of the day"));
    // Icecast's burst holds what was fed since the mount came up: let it gather a couple of
    // seconds, so a slow connect on a loaded machine still brings more than it costs.
    std::this_thread::sleep_for(2s);
    Listener l(server.streamUrl());
    ASSERT_EQ(l.result, platform::kMmNoError);
    l.listen(3s);
    ASSERT_EQ(l.state(), State::playing) << l.message();
    EXPECT_EQ(l.card.inputStatus()->title, "Match of the day");
    // 3 s listened, plus what the connection's burst brought at once.
    EXPECT_GT(l.left.size(), kRate * 35 / 10);
    // lavfi's sine is at an eighth of full scale, made stereo at -3 dB.
    EXPECT_NEAR(toneAmplitude(l.left, kRate, kRate), kTone, 300);
    EXPECT_LT(std::fabs(l.lag()), kRate * 1.0);

    ASSERT_TRUE(server.cut());
    EXPECT_TRUE(eventually([&] { l.listen(100ms); return l.state() == State::reconnecting; }, 15s))
        << l.message();
    EXPECT_NE(l.message(), "");
    l.listen(2s);
    const size_t beforeFeed = l.left.size();
    ASSERT_TRUE(server.feed());
    EXPECT_TRUE(eventually([&] { l.listen(100ms); return l.state() == State::playing; }, 20s));
    l.listen(4s);
    // The gap is silence as long as the feed was away, the tone is back after it, and the
    // audio sits on the same edge as before.
    size_t silent = 0, longest = 0;
    for (int16_t s : l.left) {
        silent = std::abs(s) < 30 ? silent + 1 : 0;
        longest = std::max(longest, silent);
    }
    EXPECT_GT(longest, kRate * 2);
    EXPECT_NEAR(toneAmplitude(l.left, l.left.size() - kRate, kRate), kTone, 300);
    EXPECT_GT(l.left.size(), beforeFeed);
    EXPECT_LT(std::fabs(l.lag()), kRate * 1.0);
    l.stream->close();
    EXPECT_FALSE(l.card.inputStatus()) << "a closed station is not open";
}

// A live HLS stream plays segment after segment; its newest audio is at most a segment and a
// poll behind the edge. Named by a master playlist, the variant of the best sound is the one
// decoded and the one whose stamps are polled: the other is never read. Where the variant is
// pictures with its sound apart, the sound's playlist is the one read. How late its newest
// audio comes is measured once the first burst is long in: a segment and a poll at most.
TEST_F(StationStream, PlaysALiveHlsStream) {
    sound::StationServer server(sound::StationServer::Kind::hls);
    ASSERT_TRUE(server.ok());
    const auto asked = [&] {
        std::ifstream log(server.dir() + "/requests.log");
        return std::string{std::istreambuf_iterator<char>(log), {}};
    };
    {
        Listener l(server.base() + "/master.m3u8");
        ASSERT_EQ(l.result, platform::kMmNoError);
        l.listen(5s);
        ASSERT_EQ(l.state(), State::playing) << l.message();
        EXPECT_GT(l.left.size(), kRate * 5);
        EXPECT_NEAR(toneAmplitude(l.left, l.left.size() - kRate, kRate), kTone, 300);
        EXPECT_LT(std::fabs(l.lag()), kRate * 2.5);
        EXPECT_NE(asked().find("/live.m3u8\n/live.m3u8\n"), std::string::npos) << asked();
        EXPECT_EQ(asked().find("/gone.m3u8"), std::string::npos) << asked();
    }
    Listener tv(server.base() + "/tv.m3u8");
    ASSERT_EQ(tv.result, platform::kMmNoError);
    tv.listen(7s);
    EXPECT_EQ(tv.state(), State::playing) << tv.message();
    EXPECT_GT(tv.left.size(), kRate * 6);
    const double lag = tv.card.inputStatus().value_or(StationStatus{}).lagSeconds;
    EXPECT_GT(lag, 0.3);
    EXPECT_LT(lag, 2.5);
    const std::string all = asked();
    EXPECT_NE(all.find("/sound.m3u8\n/sound.m3u8\n"), std::string::npos) << all;
    EXPECT_EQ(all.find("/picture.m3u8"), std::string::npos) << all;
    EXPECT_EQ(all.find("/other.m3u8"), std::string::npos) << all;
}

// Addresses that give no stream say why; the station is not given up on and nothing crashes.
TEST_F(StationStream, FaultsAreToldClearly) {
    sound::StationServer server(sound::StationServer::Kind::icecast);
    ASSERT_TRUE(server.ok());
    // A playlist that names itself; one of thousands of entries, the first the station's.
    sound::StationServer web(sound::StationServer::Kind::web);
    ASSERT_TRUE(web.ok());
    sound::runCommand("cd '" + web.webDir() + "' && echo '" + web.base() + "/loop.m3u' > loop.m3u"
                      " && (echo '[playlist]'; echo 'File1=" + server.streamUrl() + "';"
                      " for i in $(seq 2 5000); do echo File$i=http://127.0.0.1:1/$i.mp3; done)"
                      " > many.pls && echo '<html><body>Radio</body></html>' > index.html");
    const struct {
        std::string url;
        std::string says;
    } cases[] = {
        {server.base() + "/missing.mp3", "404"},
        {"http://127.0.0.1:1/live.mp3", "refused"},
        {web.base() + "/", "web page"},
        {web.base() + "/loop.m3u", "circle"},
    };
    for (const auto& c : cases) {
        Listener l(c.url);
        ASSERT_EQ(l.result, platform::kMmNoError);
        EXPECT_TRUE(eventually([&] { return l.state() == State::failed; }, 15s)) << c.url;
        EXPECT_NE(l.message().find(c.says), std::string::npos) << c.url << ": " << l.message();
    }
    Listener many(web.base() + "/many.pls");
    EXPECT_TRUE(eventually([&] { return many.state() == State::playing; }, 15s)) << many.message();
}

// Streams that go wrong midway or never start, all at once: each says why, the audio that
// came before stays, a new sample rate between programmes plays on without a reconnect, and
// megabytes of titles are cut short.
TEST_F(StationStream, BadStreamsSayWhyAndKeepWhatCameBefore) {
    sound::StationServer server(sound::StationServer::Kind::faulty);
    ASSERT_TRUE(server.ok());
    // The silent server would take the whole 10 s.
    StationDecoder::setConnectTimeout(4);
    struct Restore {
        ~Restore() { StationDecoder::setConnectTimeout(10); }
    } restore;
    Listener rates(server.base() + "/rates"), meta(server.base() + "/meta"),
        cut(server.base() + "/cut"), garbage(server.base() + "/garbage"),
        silent(server.base() + "/silent"),
        // A label longer than 63 characters: the resolver refuses it without asking anyone.
        unresolved("http://" + std::string(70, 'x') + ".invalid/live.mp3");
    Listener* all[] = {&rates, &meta, &cut, &garbage, &silent, &unresolved};
    for (Listener* l : all)
        ASSERT_EQ(l->result, platform::kMmNoError);
    // What the rates' stream brought before its server went quiet (it holds the line open).
    size_t ratesFirst = 0;
    // Failed ones try again at once: each state is caught when it shows.
    bool cutReconnects = false, garbageFailed = false, silentFailed = false, nameFailed = false;
    eventually([&] {
        for (Listener* l : all)
            l->listen(20ms);
        if (ratesFirst == 0 && rates.state() == State::reconnecting)
            ratesFirst = rates.left.size();
        cutReconnects = cutReconnects || cut.state() == State::reconnecting;
        garbageFailed = garbageFailed || garbage.state() == State::failed;
        silentFailed = silentFailed || silent.state() == State::failed;
        nameFailed = nameFailed || unresolved.state() == State::failed;
        return cutReconnects && ratesFirst > 0 && garbageFailed && silentFailed && nameFailed;
    }, 20s);

    // 2 s at 44.1 kHz then 2 s at 22.05 kHz, the tone alike on both sides of the change.
    ASSERT_GE(ratesFirst, kRate * 38 / 10) << rates.message();
    EXPECT_NEAR(toneAmplitude(rates.left, kRate / 2, kRate), kTone, 300);
    EXPECT_NEAR(toneAmplitude(rates.left, kRate * 5 / 2, kRate), kTone, 300);

    EXPECT_EQ(meta.card.inputStatus()->title, std::string(256, 'T'));
    EXPECT_NEAR(toneAmplitude(meta.left, kRate / 2, kRate), kTone, 300);

    // Half a second of tone at least came before the cut, and stays.
    EXPECT_EQ(cut.card.inputStatus()->fault, StationFault::ended) << cut.message();
    ASSERT_GE(cut.left.size(), kRate * 6 / 10);
    EXPECT_NEAR(toneAmplitude(cut.left, kRate / 10, kRate / 2), kTone, 300);

    const StationFault garbled = garbage.card.inputStatus()->fault;
    EXPECT_TRUE(garbled == StationFault::notAStream || garbled == StationFault::undecodable)
        << garbage.message();
    EXPECT_NE(silent.message().find("in time"), std::string::npos) << silent.message();
    EXPECT_NE(unresolved.message().find("host name"), std::string::npos) << unresolved.message();
}

}  // namespace
}  // namespace una::stream

// ctest-labels: threaded sound
// The sound-server backend on the private server (PulseAudio, or PipeWire's pulse service):
// lists by description, both directions complete and in order, its clock readings against
// what a monitor hears, devices and the server going away.
#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulseSoundCard.h"
#include "platform/serverWait.h"
#include "support/audioThread.h"
#include "support/clickRoundTrip.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"

using namespace platform;
namespace snd = una::sound;
using Clock = std::chrono::steady_clock;

namespace {

// PipeWire's null sinks run at 48 kHz float: audio at their own rate passes them bit for bit
// (16-bit samples are exact in float), where 44.1 kHz would come back resampled.
const uint32_t kRate = snd::serverResamples() ? 48000 : 44100;
const uint32_t kChunkFrames = kRate / 25;
const uint32_t kChunkBytes = kChunkFrames * 4;

WaveFormatEx pcm16(uint32_t rate = kRate) {
    WaveFormatEx f{};
    f.formatTag = kWaveFormatPcm;
    f.channels = 2;
    f.samplesPerSec = rate;
    f.bitsPerSample = 16;
    f.blockAlign = 4;
    f.avgBytesPerSec = 4 * rate;
    return f;
}

#define REQUIRE_SERVER()                                                                     \
    do {                                                                                     \
        if (!snd::serverAvailable())                                                         \
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh"; \
    } while (0)

using Buffers = snd::TestBuffers;

std::shared_ptr<PulseSoundCard> connectCard() {
    auto card = PulseSoundCard::connect(2000);
    EXPECT_NE(card, nullptr) << "the server does not answer";
    return card;
}

int32_t idOf(SoundCard& card, WaveDirection dir, const std::string& key) {
    const auto list = card.deviceList(dir);
    for (size_t i = 1; i < list.size(); ++i)
        if (list[i].key == key)
            return static_cast<int32_t>(i - 1);
    return -2;
}

template <class Pred>
bool waitFor(Pred pred, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A null sink of the test's own with this description, unloaded at the end of the scope.
struct ExtraSink {
    ExtraSink(const std::string& name, const std::string& description) : name(name) {
        module = snd::loadModule("module-null-sink " + snd::nullSinkArguments(name, description));
        EXPECT_GE(module, 0);
    }
    ~ExtraSink() { unload(); }
    void unload() {
        if (module >= 0)
            snd::unloadModule(module);
        module = -1;
    }
    std::string name;
    int module = -1;
};

// The description the server holds for a sink, as its own client tool shows it.
std::string serverDescription(const std::string& sink) {
    const std::string list = snd::commandOutput("LC_ALL=C pactl list sinks");
    const size_t at = list.find("\tName: " + sink + "\n");
    const std::string key = "\tDescription: ";
    const size_t from = list.find(key, at);
    if (at == std::string::npos || from == std::string::npos)
        return {};
    const size_t begin = from + key.size();
    return list.substr(begin, list.find('\n', begin) - begin);
}

TEST(PulseSoundCard, ListsDefaultSinksAndMonitorsByTheirWholeDescriptions) {
    REQUIRE_SERVER();
    const std::string longText(300, 'x');
    ExtraSink odd("odd", "Señal «en vivo» & <ñ> 100% \"quoted\" $HOME `x`");
    ExtraSink longName("long", longText);
    ExtraSink twin("twin", "TV speakers");
    auto card = connectCard();
    ASSERT_TRUE(card);
    // The server's own name: which one the user runs shows in the window's device page.
    if (snd::serverResamples()) {
        EXPECT_NE(card->backendName().find("PipeWire"), std::string::npos) << card->backendName();
    } else {
        EXPECT_EQ(card->backendName(), "pulseaudio");
    }

    const auto out = card->deviceList(WaveDirection::output);
    ASSERT_GE(out.size(), 6u);
    EXPECT_EQ(out[0].description, "Default (TV speakers)");
    EXPECT_TRUE(out[0].key.empty());
    auto find = [](const std::vector<DeviceInfo>& list, const std::string& key) {
        return std::find_if(list.begin(), list.end(),
                            [&](const DeviceInfo& d) { return d.key == key; });
    };
    ASSERT_NE(find(out, "radio"), out.end());
    EXPECT_EQ(find(out, "radio")->description, "Radio input");
    EXPECT_EQ(find(out, "tv")->description, "TV speakers");
    // Two devices of the same description stay apart by their keys.
    EXPECT_EQ(find(out, "twin")->description, "TV speakers");
    EXPECT_EQ(find(out, "odd")->description, serverDescription("odd"));
    if (!snd::serverResamples()) {  // PipeWire's property parser keeps the backslashes
        EXPECT_EQ(find(out, "odd")->description, "Señal «en vivo» & <ñ> 100% \"quoted\" $HOME `x`");
    }
    EXPECT_EQ(find(out, "long")->description, longText) << "lists show the whole name";

    const auto in = card->deviceList(WaveDirection::input);
    EXPECT_EQ(in[0].description, "Default (Monitor of Radio input)");
    ASSERT_NE(find(in, "tv.monitor"), in.end());
    EXPECT_TRUE(find(in, "tv.monitor")->monitor);
    EXPECT_EQ(find(in, "tv.monitor")->description, "Monitor of TV speakers");
    EXPECT_EQ(find(in, "radio"), in.end()) << "a sink is no recording device";
    EXPECT_EQ(find(out, "tv.monitor"), out.end()) << "a monitor is no playback device";

    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        const auto list = card->deviceList(dir);
        EXPECT_EQ(card->deviceCount(dir) + 1, list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            WaveCaps caps;
            ASSERT_EQ(card->caps(dir, static_cast<int32_t>(i) - 1, caps), kMmNoError);
            EXPECT_LE(caps.name.size(), kWaveCapsNameMax) << "the caps keep their field";
            EXPECT_FALSE(caps.name.empty());
        }
        WaveCaps caps;
        EXPECT_EQ(card->caps(dir, static_cast<int32_t>(list.size()), caps), kMmBadDeviceId);
        EXPECT_EQ(card->caps(dir, -2, caps), kMmBadDeviceId);
        std::unique_ptr<WaveStream> stream;
        EXPECT_EQ(card->open(dir, static_cast<int32_t>(list.size()), pcm16(), nullptr,
                             kCallbackEvent, stream),
                  kMmBadDeviceId);
    }
    // A stream plays on the device with the 300-character name like on any other.
    std::unique_ptr<WaveStream> stream;
    EXPECT_EQ(card->open(WaveDirection::output, idOf(*card, WaveDirection::output, "long"), pcm16(),
                         nullptr, kCallbackEvent, stream),
              kMmNoError);
}

TEST(PulseSoundCard, RefusesFormatsTheServerCannotTake) {
    REQUIRE_SERVER();
    auto card = connectCard();
    ASSERT_TRUE(card);
    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        std::unique_ptr<WaveStream> stream;
        EXPECT_EQ(card->open(dir, kWaveMapper, pcm16(8000), nullptr, kWaveFormatQuery, stream),
                  kMmNoError);
        EXPECT_EQ(stream, nullptr);
        WaveFormatEx twelveBits = pcm16(), noChannels = pcm16(), mp3 = pcm16(), badAlign = pcm16(),
                     absurdRate = pcm16(50'000'000);
        twelveBits.bitsPerSample = 12;
        noChannels.channels = 0;
        mp3.formatTag = 85;
        badAlign.blockAlign = 3;
        for (const WaveFormatEx& f : {twelveBits, noChannels, mp3, badAlign, absurdRate}) {
            EXPECT_EQ(card->open(dir, kWaveMapper, f, nullptr, kCallbackEvent, stream),
                      kWaveErrBadFormat);
            EXPECT_EQ(stream, nullptr);
        }
    }
    EXPECT_EQ(card->errorText(WaveDirection::input, kPulseResultBase + PA_ERR_ACCESS),
              std::string(pa_strerror(PA_ERR_ACCESS)));
    EXPECT_EQ(card->errorText(WaveDirection::input, kMmError), std::nullopt);
}

// Nothing here asks for timing: the buffers come back by the stream's own readings alone.
void playNumberedSequence(uint32_t chunkMs, uint32_t chunks) {
    const uint32_t chunkFrames = kRate * chunkMs / 1000, chunkBytes = chunkFrames * 4;
    SCOPED_TRACE(testing::Message() << chunks << " chunks of " << chunkMs << " ms");
    auto card = connectCard();
    ASSERT_TRUE(card);
    const std::string file = snd::tempPath("pulse-seq");
    snd::PeerProcess recorder(snd::recordCommand("tv.monitor", kRate, file));
    ASSERT_TRUE(snd::waitRecorderReady(file, "tv")) << "tv.monitor is not recorded";

    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> out;
    ASSERT_EQ(card->open(WaveDirection::output, idOf(*card, WaveDirection::output, "tv"), pcm16(),
                         event, kCallbackEvent, out),
              kMmNoError);
    // Long chunks size the server's buffers and requests anew.
    ASSERT_EQ(out->setChunkTime(chunkMs), kMmNoError);
    constexpr uint32_t kLeadIn = 3;
    Buffers set(4, chunkBytes);
    std::deque<size_t> order;
    uint32_t next = 0, done = 0, early = 0;
    auto fill = [&](size_t i) {
        if (next < kLeadIn)
            std::memset(set.memory[i].data(), 0, chunkBytes);
        else
            std::memcpy(set.memory[i].data(),
                        snd::numberedFrames((next - kLeadIn) * chunkFrames, chunkFrames).data(),
                        chunkBytes);
        ++next;
        ASSERT_EQ(out->write(*set.list[i]), kMmNoError);
        order.push_back(i);
    };
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(out->prepare(*set.list[i]), kMmNoError);
        fill(i);
    }
    // The loop stands in for the playback device's worker, at its priority.
    una::runAsAudioThread([&] {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!order.empty() && Clock::now() < deadline) {
            event->wait(200);
            while (!order.empty() && set.list[order.front()]->isFlagSet(kWhdrDone)) {
                ++done;
                uint64_t position = 0;
                ASSERT_EQ(out->position(position), kMmNoError);
                if (position < done * chunkFrames)
                    ++early;
                const size_t i = order.front();
                order.pop_front();
                if (next < chunks)
                    fill(i);
            }
            for (size_t k = 1; k < order.size(); ++k)
                EXPECT_FALSE(set.list[order[k]]->isFlagSet(kWhdrDone)) << "out of order";
        }
    });
    EXPECT_EQ(done, chunks);
    EXPECT_EQ(early, 0u) << "buffers came back before they were heard";
    EXPECT_EQ(out->xrunCount(), 0u);
    EXPECT_EQ(out->close(), kMmNoError);
    // Every frame is heard, the last ones too: PipeWire's pulse service plays nothing of a
    // cycle in which a stream runs dry (the last 512 of 1024 frames when the audio ends
    // mid-cycle), so the backend has to lead it past the end.
    const uint32_t expected = (chunks - kLeadIn) * chunkFrames;
    snd::waitRecording(file, [&](const std::vector<int16_t>& heard) {
        const snd::SequenceCheck c = snd::checkSequence(heard);
        return c.found && c.firstNumber + c.frames >= expected;
    });
    recorder.stop();
    const auto recorded = snd::readFile(file);
    std::remove(file.c_str());
    const snd::SequenceCheck c = snd::checkSequence(recorded);
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.firstNumber, 0u);
    EXPECT_EQ(c.breaks, 0u);
    EXPECT_LE(c.frames, expected);
    EXPECT_GE(c.frames, expected);
}

TEST(PulseSoundCard, PlaysANumberedSequenceCompleteInOrderAndReturnsBuffersOnceHeard) {
    REQUIRE_SERVER();
    playNumberedSequence(40, 40);
    playNumberedSequence(200, 12);
}

TEST(PulseSoundCard, RecordsAMonitorBitExactAndInOrder) {
    REQUIRE_SERVER();
    auto card = connectCard();
    ASSERT_TRUE(card);
    const std::string file = snd::tempPath("pulse-rec");
    ASSERT_TRUE(snd::writeFile(file, snd::numberedFrames(0, kRate * 3)));
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in;
    ASSERT_EQ(card->open(WaveDirection::input, idOf(*card, WaveDirection::input, "radio.monitor"),
                         pcm16(), event, kCallbackEvent, in),
              kMmNoError);
    Buffers set(5, kChunkBytes);
    std::deque<size_t> order;
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(in->prepare(*set.list[i]), kMmNoError);
        ASSERT_EQ(in->addBuffer(*set.list[i]), kMmNoError);
        order.push_back(i);
    }
    ASSERT_EQ(in->start(), kMmNoError);
    snd::PeerProcess player(
        "exec pacat -p --raw -d radio --format=s16le --rate=" + std::to_string(kRate) +
            " --channels=2 --latency-msec=100 < " + file,
        snd::PeerProcess::Pace::steady);
    std::vector<int16_t> samples;
    // The loop stands in for the recording device's worker, at its priority. It records until
    // all three seconds have come, or for ample time: the player may start late.
    una::runAsAudioThread([&] {
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < until && snd::checkSequence(samples, true).frames < kRate * 3) {
            event->wait(100);
            while (set.list[order.front()]->isFlagSet(kWhdrDone)) {
                WaveBuffer& b = *set.list[order.front()];
                EXPECT_EQ(b.bytesRecorded, kChunkBytes);
                const auto* s = reinterpret_cast<const int16_t*>(b.data);
                samples.insert(samples.end(), s, s + b.bytesRecorded / 2);
                ASSERT_EQ(in->addBuffer(b), kMmNoError);
                order.push_back(order.front());
                order.pop_front();
            }
        }
    });
    player.stop();
    ASSERT_EQ(in->reset(), kMmNoError);
    EXPECT_TRUE(set.allDone());
    uint64_t position = 9;
    EXPECT_EQ(in->position(position), kMmNoError);
    EXPECT_EQ(position, 0u) << "the position starts over";
    // Recording goes on after the reset.
    ASSERT_EQ(in->addBuffer(*set.list[0]), kMmNoError);
    ASSERT_EQ(in->start(), kMmNoError);
    EXPECT_TRUE(waitFor([&] { return set.list[0]->isFlagSet(kWhdrDone); }, 10000));
    EXPECT_EQ(in->close(), kMmNoError);
    EXPECT_EQ(in->close(), kMmInvalidHandle);
    EXPECT_EQ(in->position(position), kMmInvalidHandle);
    std::remove(file.c_str());

    const snd::SequenceCheck c = snd::checkSequence(samples, true);
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.breaks, 0u);
    EXPECT_GE(c.frames, kRate * 2) << "most of the three seconds arrived";
}

// The server's sine source hands over 2 s at a time, like network and virtual sources: far more
// than the five queued buffers hold. What they cannot take must wait for the next ones.
TEST(PulseSoundCard, ASourceThatDeliversInBurstsLosesNothing) {
    REQUIRE_SERVER();
    if (snd::serverResamples())
        GTEST_SKIP() << "PipeWire's pulse service has no sine source module";
    const int module = snd::loadModule("module-sine-source source_name=burst rate=44100");
    ASSERT_GE(module, 0);
    auto card = connectCard();
    ASSERT_TRUE(card);
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in;
    ASSERT_EQ(card->open(WaveDirection::input, idOf(*card, WaveDirection::input, "burst"), pcm16(),
                         event, kCallbackEvent, in),
              kMmNoError);
    Buffers set(5, kChunkBytes);
    std::deque<size_t> order;
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(in->prepare(*set.list[i]), kMmNoError);
        ASSERT_EQ(in->addBuffer(*set.list[i]), kMmNoError);
        order.push_back(i);
    }
    ASSERT_EQ(in->start(), kMmNoError);
    std::vector<int16_t> left;
    una::runAsAudioThread([&] {
        const auto until = Clock::now() + std::chrono::milliseconds(4500);
        while (Clock::now() < until) {
            event->wait(100);
            while (set.list[order.front()]->isFlagSet(kWhdrDone)) {
                WaveBuffer& b = *set.list[order.front()];
                const auto* s = reinterpret_cast<const int16_t*>(b.data);
                for (uint32_t k = 0; k + 1 < b.bytesRecorded / 2; k += 2)
                    left.push_back(s[k]);
                ASSERT_EQ(in->addBuffer(b), kMmNoError);
                order.push_back(order.front());
                order.pop_front();
            }
        }
    });
    EXPECT_EQ(in->xrunCount(), 0u);
    in->close();
    snd::unloadModule(module);

    // At least one whole burst came; five buffers alone would have kept 0.2 s of each.
    EXPECT_GE(left.size(), kRate * 19 / 10);
    // And it came whole: a sine without a seam.
    int peak = 0, step = 0;
    for (size_t k = 1; k < left.size(); ++k) {
        peak = std::max(peak, std::abs(int{left[k]}));
        step = std::max(step, std::abs(int{left[k]} - int{left[k - 1]}));
    }
    EXPECT_GT(peak, 1000);
    EXPECT_LE(step, peak * 2 * M_PI * 440 / kRate * 1.1 + 4);
}

// One clock: a click played into "tv" at output frame m reaches "tv.monitor" at input frame k;
// both streams' readings must place those frames at the same moment.
TEST(PulseSoundCard, ClockReadingsOfBothDirectionsAgreeOnWhenAClickIsHeard) {
    REQUIRE_SERVER();
    // A PipeWire graph that drops a cycle while the clocks are read bends both lines and may
    // leave a stream short for the machine's sake: a probe of the sink tells.
    std::optional<snd::MonitorProbe> graph;
    if (snd::serverResamples()) {
        graph.emplace("tv.monitor", kRate);
        ASSERT_TRUE(graph->start());
    }
    auto card = connectCard();
    ASSERT_TRUE(card);
    auto inEvent = std::make_shared<Event>(false, false);
    auto outEvent = std::make_shared<Event>(false, false);
    snd::ClickRoundTrip run;  // its buffers outlive the streams
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card->open(WaveDirection::input, idOf(*card, WaveDirection::input, "tv.monitor"),
                         pcm16(), inEvent, kCallbackEvent, in),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::output, idOf(*card, WaveDirection::output, "tv"), pcm16(),
                         outEvent, kCallbackEvent, out),
              kMmNoError);
    ASSERT_NO_FATAL_FAILURE(snd::playAndRecordClick(*in, *out, *inEvent, *outEvent, kRate, run));
    if (graph) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the probe's line needs it
        const double lost = graph->timeLost(run.readingsFrom, run.readingsTo);
        if (!(lost <= snd::kGraphStall))
            GTEST_SKIP() << "not judged: the graph lost " << lost * 1000
                         << " ms while the clocks were read";
    }
    EXPECT_EQ(in->xrunCount() + out->xrunCount(), 0u);
    in->close();
    out->close();
    snd::expectClickPlacedAlike(run, kRate);
}

TEST(PulseSoundCard, TheDefaultFollowsTheUserWhileAChosenDeviceIsLostWithIt) {
    REQUIRE_SERVER();
    auto card = connectCard();
    ASSERT_TRUE(card);
    ExtraSink chosen("chosen", "Chosen sink");
    ExtraSink defaultOne("gone", "Default for a while");
    ASSERT_EQ(snd::runCommand("pactl set-default-sink gone"), 0);

    auto chosenEvent = std::make_shared<Event>(false, false);
    auto defaultEvent = std::make_shared<Event>(false, false);
    auto monitorEvent = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> onChosen, onDefault, onMonitor;
    ASSERT_EQ(card->open(WaveDirection::output, idOf(*card, WaveDirection::output, "chosen"),
                         pcm16(), chosenEvent, kCallbackEvent, onChosen),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::input, idOf(*card, WaveDirection::input, "chosen.monitor"),
                         pcm16(), monitorEvent, kCallbackEvent, onMonitor),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::output, kWaveMapper, pcm16(), defaultEvent, kCallbackEvent,
                         onDefault),
              kMmNoError);
    Buffers chosenSet(4, kChunkBytes), defaultSet(4, kChunkBytes), monitorSet(4, kChunkBytes);
    for (size_t i = 0; i < 4; ++i) {
        for (auto* b :
             {chosenSet.list[i].get(), defaultSet.list[i].get(), monitorSet.list[i].get()})
            b->flags = 0;
        ASSERT_EQ(onChosen->prepare(*chosenSet.list[i]), kMmNoError);
        ASSERT_EQ(onDefault->prepare(*defaultSet.list[i]), kMmNoError);
        ASSERT_EQ(onMonitor->prepare(*monitorSet.list[i]), kMmNoError);
        ASSERT_EQ(onChosen->write(*chosenSet.list[i]), kMmNoError);
        ASSERT_EQ(onDefault->write(*defaultSet.list[i]), kMmNoError);
        ASSERT_EQ(onMonitor->addBuffer(*monitorSet.list[i]), kMmNoError);
    }
    ASSERT_EQ(onMonitor->start(), kMmNoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));

    chosen.unload();
    defaultOne.unload();
    EXPECT_TRUE(waitFor([&] { return onChosen->isLost() && onMonitor->isLost(); }, 10000));
    EXPECT_TRUE(chosenSet.allDone());
    EXPECT_TRUE(monitorSet.allDone());
    EXPECT_EQ(onChosen->write(*chosenSet.list[0]), kMmNoDriver);
    EXPECT_EQ(onMonitor->addBuffer(*monitorSet.list[0]), kMmNoDriver);
    EXPECT_EQ(onChosen->start(), kMmNoDriver);
    EXPECT_EQ(onChosen->close(), kMmNoError);

    // The default's stream moved to the server's next default and plays on.
    EXPECT_FALSE(onDefault->isLost());
    EXPECT_TRUE(waitFor([&] { return defaultSet.allDone(); }, 10000));
    ASSERT_EQ(onDefault->write(*defaultSet.list[0]), kMmNoError);
    EXPECT_TRUE(waitFor([&] { return defaultSet.list[0]->isFlagSet(kWhdrDone); }, 10000));
    EXPECT_EQ(onDefault->close(), kMmNoError);
    snd::runCommand("pactl set-default-sink tv");
}

// A server of this test's own, so that it can be killed and started again.
class OwnServer {
  public:
    explicit OwnServer(bool startNow = true) : dir_(snd::tempPath("own-pulse")) {
        std::filesystem::create_directories(dir_);
        if (startNow)
            start();
    }
    ~OwnServer() {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    void start() {
        server_ = std::make_unique<snd::PeerProcess>(
            "XDG_RUNTIME_DIR=" + dir_ + " PULSE_RUNTIME_PATH=" + dir_ +
            " exec pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit "
            "--use-pid-file=no --log-target=stderr --load='module-native-protocol-unix socket=" +
            dir_ + "/native' --load='module-null-sink sink_name=own' 2>/dev/null");
    }
    void kill() {
        if (server_ && server_->pid() > 0)
            ::kill(server_->pid(), SIGKILL);
        server_.reset();
    }
    // A server that stops answering for a while, as one under a heavy load does.
    void pause() { signal(SIGSTOP); }
    void resume() { signal(SIGCONT); }
    std::string address() const { return "unix:" + dir_ + "/native"; }

  private:
    void signal(int number) {
        if (server_ && server_->pid() > 0)
            ::kill(server_->pid(), number);
    }
    std::string dir_;
    std::unique_ptr<snd::PeerProcess> server_;
};

// The server's address for one scope.
class ServerAddress {
  public:
    explicit ServerAddress(const std::string& address) {
        const char* before = std::getenv("PULSE_SERVER");
        had_ = before != nullptr;
        saved_ = before ? before : "";
        setenv("PULSE_SERVER", address.c_str(), 1);
    }
    ~ServerAddress() {
        if (had_)
            setenv("PULSE_SERVER", saved_.c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
    }
    ServerAddress(const ServerAddress&) = delete;
    ServerAddress& operator=(const ServerAddress&) = delete;

  private:
    bool had_ = false;
    std::string saved_;
};

// A server of the test's own, reached for the test's scope, and a card connected to it that
// lists the server's sink.
class PulseSoundCardOwnServer : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SERVER();
        server.emplace();
        address.emplace(server->address());
        ASSERT_TRUE(
            waitFor([&] { return (card = PulseSoundCard::connect(500)) != nullptr; }, 10000));
        ASSERT_NE(idOf(*card, WaveDirection::output, "own"), -2);
    }

    std::optional<OwnServer> server;
    std::optional<ServerAddress> address;
    std::shared_ptr<PulseSoundCard> card;
};

TEST_F(PulseSoundCardOwnServer, AStalledServerFailsTheListAndItsLateAnswersDoNoHarm) {
    server->pause();
    EXPECT_EQ(card->deviceList(WaveDirection::output).size(), 1u) << "only the mapper is left";
    EXPECT_EQ(card->deviceList(WaveDirection::input).size(), 1u);
    // The stalled requests are answered now, into whatever waited for them.
    server->resume();
    int32_t id = -2;
    for (int i = 0; i < 20; ++i) {
        id = idOf(*card, WaveDirection::output, "own");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(id, -2) << "the list is whole again";
    card.reset();
}

// A server still starting answers nothing at first. The program waits a little and then keeps
// it: ALSA's default device would reach it through its plugin, which waits up to 90 s without a
// word. The card says there is no server until it answers.
TEST_F(PulseSoundCardOwnServer, AServerSlowToAnswerAtTheChoiceIsKeptAndFoundOnceItAnswers) {
    const char* forced = std::getenv("UNA_SOUND_BACKEND");
    const std::string forcedBefore = forced ? forced : "";
    unsetenv("UNA_SOUND_BACKEND");
    server->pause();
    setSoundCard(nullptr);
    const std::shared_ptr<SoundCard> chosen = soundCard();
    EXPECT_NE(dynamic_cast<PulseSoundCard*>(chosen.get()), nullptr) << chosen->backendName();
    const auto list = chosen->deviceList(WaveDirection::output);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].description, "Default (no sound server)");
    server->resume();
    EXPECT_TRUE(waitFor([&] { return idOf(*chosen, WaveDirection::output, "own") != -2; }, 10000));
    setSoundCard(nullptr);
    if (forced)
        setenv("UNA_SOUND_BACKEND", forcedBefore.c_str(), 1);
}

// A desktop that starts the program before its sound server: the choice says at once what it
// waits for, and takes the server once it listens instead of falling back to ALSA.
TEST(PulseSoundCardChoice, AServerThatStartsLateIsAwaitedWithANotice) {
    REQUIRE_SERVER();
    const char* forced = std::getenv("UNA_SOUND_BACKEND");
    const std::string forcedBefore = forced ? forced : "";
    unsetenv("UNA_SOUND_BACKEND");
    OwnServer server(false);
    const ServerAddress address(server.address());
    std::vector<ServerWait> told;
    std::mutex toldMutex;
    setServerWaitListener([&](const ServerWaitState& state) {
        std::lock_guard lock(toldMutex);
        told.push_back(state.wait);
        if (state.wait == ServerWait::Waiting)
            server.start();  // a moment after the program, as at a desktop's start
        EXPECT_EQ(state.server, server.address());
    });
    setSoundCard(nullptr);
    const std::shared_ptr<SoundCard> chosen = soundCard();
    setServerWaitListener({});
    EXPECT_NE(dynamic_cast<PulseSoundCard*>(chosen.get()), nullptr) << chosen->backendName();
    EXPECT_TRUE(waitFor([&] { return idOf(*chosen, WaveDirection::output, "own") != -2; }, 10000));
    EXPECT_EQ(told, (std::vector<ServerWait>{ServerWait::Waiting, ServerWait::Answered}));

    // Nothing ever listening there: ALSA after the wait, and said so.
    server.kill();
    told.clear();
    setServerWaitListener([&](const ServerWaitState& state) {
        std::lock_guard lock(toldMutex);
        told.push_back(state.wait);
    });
    setSoundCard(nullptr);
    EXPECT_EQ(dynamic_cast<PulseSoundCard*>(soundCard().get()), nullptr);
    setServerWaitListener({});
    EXPECT_EQ(told, (std::vector<ServerWait>{ServerWait::Waiting, ServerWait::NotThere}));
    setSoundCard(nullptr);
    if (forced)
        setenv("UNA_SOUND_BACKEND", forcedBefore.c_str(), 1);
}

TEST_F(PulseSoundCardOwnServer, AServerKilledWhileRunningLosesItsStreamsAndIsFoundAgainWhenBack) {
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card->open(WaveDirection::input, kWaveMapper, pcm16(), event, kCallbackEvent, in),
              kMmNoError);
    ASSERT_EQ(card->open(WaveDirection::output, kWaveMapper, pcm16(), event, kCallbackEvent, out),
              kMmNoError);
    Buffers inSet(5, kChunkBytes), outSet(4, kChunkBytes);
    for (auto& b : inSet.list) {
        ASSERT_EQ(in->prepare(*b), kMmNoError);
        ASSERT_EQ(in->addBuffer(*b), kMmNoError);
    }
    for (auto& b : outSet.list) {
        ASSERT_EQ(out->prepare(*b), kMmNoError);
        ASSERT_EQ(out->write(*b), kMmNoError);
    }
    ASSERT_EQ(in->start(), kMmNoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    server->kill();
    EXPECT_TRUE(waitFor([&] { return in->isLost() && out->isLost(); }, 10000));
    EXPECT_TRUE(inSet.allDone());
    EXPECT_TRUE(outSet.allDone());
    EXPECT_EQ(out->write(*outSet.list[0]), kMmNoDriver);
    StreamTiming t;
    EXPECT_EQ(out->timing(t), kMmNoDriver);
    EXPECT_EQ(card->deviceList(WaveDirection::output).size(), 1u) << "only the mapper is left";
    std::unique_ptr<WaveStream> none;
    EXPECT_EQ(
        card->open(WaveDirection::output, kWaveMapper, pcm16(), nullptr, kCallbackEvent, none),
        kMmNoDriver);
    EXPECT_EQ(in->close(), kMmNoError);
    EXPECT_EQ(out->close(), kMmNoError);

    server->start();
    EXPECT_TRUE(waitFor([&] { return card->deviceList(WaveDirection::output).size() > 1; }, 10000))
        << "the card connects again";
    std::unique_ptr<WaveStream> again;
    ASSERT_EQ(card->open(WaveDirection::output, kWaveMapper, pcm16(), event, kCallbackEvent, again),
              kMmNoError);
    ASSERT_EQ(again->write(*outSet.list[0]), kMmNoError);
    EXPECT_TRUE(waitFor([&] { return outSet.list[0]->isFlagSet(kWhdrDone); }, 10000));
    again.reset();
    card.reset();
}

}  // namespace

// ctest-labels: threaded sound
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/alsaSoundCard.h"
#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"
#include "support/audioThread.h"
#include "support/soundPeer.h"

using namespace platform;
namespace snd = una::sound;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kChunkFrames = kRate / 25;  // 40 ms
constexpr uint32_t kChunkBytes = kChunkFrames * 4;

WaveFormatEx pcmFormat(uint32_t rate, uint16_t bits, uint16_t channels) {
    WaveFormatEx f{};
    f.formatTag = kWaveFormatPcm;
    f.channels = channels;
    f.samplesPerSec = rate;
    f.bitsPerSample = bits;
    f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.avgBytesPerSec = f.blockAlign * rate;
    return f;
}

#define REQUIRE_SERVER()                                                                     \
    do {                                                                                     \
        if (!snd::serverAvailable())                                                         \
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh"; \
    } while (0)

// Wave buffers with their memory.
struct BufferSet {
    BufferSet(size_t count, uint32_t bytes) : memory(count, std::vector<uint8_t>(bytes)) {
        for (size_t i = 0; i < count; ++i) {
            buffers.push_back(std::make_unique<WaveBuffer>());
            buffers[i]->data = memory[i].data();
            buffers[i]->bufferLength = bytes;
            buffers[i]->user = i;
        }
    }
    std::vector<std::vector<uint8_t>> memory;
    std::vector<std::unique_ptr<WaveBuffer>> buffers;
};

bool allDone(const BufferSet& set) {
    for (const auto& b : set.buffers)
        if (!b->isFlagSet(kWhdrDone) || b->isFlagSet(kWhdrInQueue))
            return false;
    return true;
}

struct CaptureResult {
    std::vector<int16_t> samples;
    uint32_t outOfOrder = 0;
    uint32_t chunks = 0;
    uint32_t xruns = 0;
    double firstSoundMs = -1;  // since start, of the first sample above the threshold
};

// Records with four chunk buffers, each put back as soon as it is done; a buffer that is done
// before the one queued ahead of it counts as out of order. The loop stands in for the
// recording device's worker and runs at its priority.
// Records for up to `seconds`, or until `enoughSamples` have come after the first sound when
// that is not 0: a fresh source may start handing over audio late, and a busy machine makes
// that later still.
CaptureResult captureHere(double seconds, int16_t soundThreshold, size_t enoughSamples);

CaptureResult capture(double seconds, int16_t soundThreshold = 1000, size_t enoughSamples = 0) {
    CaptureResult r;
    una::runAsAudioThread([&] { r = captureHere(seconds, soundThreshold, enoughSamples); });
    return r;
}

CaptureResult captureHere(double seconds, int16_t soundThreshold, size_t enoughSamples) {
    CaptureResult r;
    size_t firstSoundSample = 0;
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> stream;
    AlsaSoundCard card;
    EXPECT_EQ(card.open(WaveDirection::input, kWaveMapper, pcmFormat(kRate, 16, 2), event,
                        kCallbackEvent, stream),
              kMmNoError);
    if (!stream)
        return r;
    BufferSet set(4, kChunkBytes);
    std::deque<size_t> order;
    for (size_t i = 0; i < set.buffers.size(); ++i) {
        EXPECT_EQ(stream->prepare(*set.buffers[i]), kMmNoError);
        EXPECT_EQ(stream->addBuffer(*set.buffers[i]), kMmNoError);
        order.push_back(i);
    }
    const auto started = Clock::now();
    EXPECT_EQ(stream->start(), kMmNoError);
    const auto until = started + std::chrono::duration<double>(seconds);
    while (Clock::now() < until &&
           (enoughSamples == 0 || r.firstSoundMs < 0 ||
            r.samples.size() - firstSoundSample < enoughSamples)) {
        event->wait(200);
        while (!order.empty() && set.buffers[order.front()]->isFlagSet(kWhdrDone)) {
            WaveBuffer& b = *set.buffers[order.front()];
            const auto* s = reinterpret_cast<const int16_t*>(b.data);
            const size_t n = b.bytesRecorded / 2;
            if (r.firstSoundMs < 0)
                for (size_t k = 0; k < n; ++k)
                    if (std::abs(s[k]) > soundThreshold) {
                        firstSoundSample = r.samples.size() + k;
                        r.firstSoundMs =
                            std::chrono::duration<double, std::milli>(Clock::now() - started)
                                .count();
                        break;
                    }
            r.samples.insert(r.samples.end(), s, s + n);
            ++r.chunks;
            EXPECT_EQ(stream->addBuffer(b), kMmNoError);
            order.push_back(order.front());
            order.pop_front();
        }
        for (size_t k = 1; k < order.size(); ++k)
            if (set.buffers[order[k]]->isFlagSet(kWhdrDone) &&
                !set.buffers[order[0]]->isFlagSet(kWhdrDone))
                ++r.outOfOrder;
    }
    EXPECT_EQ(stream->reset(), kMmNoError);
    EXPECT_TRUE(allDone(set));
    r.xruns = stream->xrunCount();
    for (auto& b : set.buffers)
        EXPECT_EQ(stream->unprepare(*b), kMmNoError);
    EXPECT_EQ(stream->close(), kMmNoError);
    return r;
}

struct PlayResult {
    uint32_t chunks = 0;
    uint32_t outOfOrder = 0;
    uint32_t xruns = 0;
};

// The sound server may drop the first milliseconds of a new stream from a monitor (it rewinds
// the sink to mix the stream in early), so numbered audio follows a silent lead-in.
constexpr uint32_t kLeadInChunks = 3;

PlayResult playNumberedHere(uint32_t chunks);

// Plays `chunks` chunks (after the lead-in, numbered frames) with four buffers in flight, then
// lets the card's own buffer run out before closing. The loop stands in for the playback
// device's worker and runs at its priority.
PlayResult playNumbered(uint32_t chunks) {
    PlayResult r;
    una::runAsAudioThread([&] { r = playNumberedHere(chunks); });
    return r;
}

PlayResult playNumberedHere(uint32_t chunks) {
    PlayResult r;
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> stream;
    AlsaSoundCard card;
    EXPECT_EQ(card.open(WaveDirection::output, kWaveMapper, pcmFormat(kRate, 16, 2), event,
                        kCallbackEvent, stream),
              kMmNoError);
    if (!stream)
        return r;
    BufferSet set(4, kChunkBytes);
    std::deque<size_t> order;
    uint32_t next = 0;
    auto fill = [&](size_t i) {
        if (next < kLeadInChunks) {
            std::memset(set.memory[i].data(), 0, kChunkBytes);
        } else {
            auto frames = snd::numberedFrames((next - kLeadInChunks) * kChunkFrames, kChunkFrames);
            std::memcpy(set.memory[i].data(), frames.data(), kChunkBytes);
        }
        ++next;
        EXPECT_EQ(stream->write(*set.buffers[i]), kMmNoError);
        order.push_back(i);
    };
    for (size_t i = 0; i < set.buffers.size(); ++i) {
        EXPECT_EQ(stream->prepare(*set.buffers[i]), kMmNoError);
        fill(i);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!order.empty() && Clock::now() < deadline) {
        event->wait(200);
        while (!order.empty() && set.buffers[order.front()]->isFlagSet(kWhdrDone)) {
            size_t i = order.front();
            order.pop_front();
            ++r.chunks;
            if (next < chunks)
                fill(i);
        }
        for (size_t k = 1; k < order.size(); ++k)
            if (set.buffers[order[k]]->isFlagSet(kWhdrDone))
                ++r.outOfOrder;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    r.xruns = stream->xrunCount();
    EXPECT_EQ(stream->close(), kMmNoError);
    return r;
}

TEST(AlsaSoundCard, ListsDevicesWithReadableNamesAndRefusesUnknownIds) {
    AlsaSoundCard card;
    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        // A box without sound cards and with only ALSA's own plugins lists no device at all.
        const uint32_t count = card.deviceCount(dir);
        EXPECT_EQ(card.deviceCount(dir), count) << "the list is stable";
        for (uint32_t i = 0; i < count; ++i) {
            WaveCaps caps;
            ASSERT_EQ(card.caps(dir, static_cast<int32_t>(i), caps), kMmNoError);
            EXPECT_FALSE(caps.name.empty());
            EXPECT_LE(caps.name.size(), kWaveCapsNameMax);
            EXPECT_EQ(caps.name.find(L'\n'), std::wstring::npos);
        }
        WaveCaps caps;
        EXPECT_EQ(card.caps(dir, kWaveMapper, caps), kMmNoError);
        EXPECT_FALSE(caps.name.empty());
        EXPECT_EQ(card.caps(dir, static_cast<int32_t>(count), caps), kMmBadDeviceId);
        EXPECT_EQ(card.caps(dir, -2, caps), kMmBadDeviceId);
        std::unique_ptr<WaveStream> stream;
        EXPECT_EQ(card.open(dir, static_cast<int32_t>(count), pcmFormat(kRate, 16, 2), nullptr,
                            kCallbackEvent, stream),
                  kMmBadDeviceId);
        EXPECT_EQ(stream, nullptr);
    }
}

TEST(AlsaSoundCard, ErrorTextsCoverOnlyItsOwnCodes) {
    AlsaSoundCard card;
    EXPECT_EQ(card.errorText(WaveDirection::output, kWaveErrBadFormat), "unsupported wave format");
    EXPECT_EQ(card.errorText(WaveDirection::input, kAlsaResultBase + EIO),
              std::string(std::strerror(EIO)));
    EXPECT_EQ(card.errorText(WaveDirection::input, kMmError), std::nullopt);
    EXPECT_EQ(card.errorText(WaveDirection::input, 513), std::nullopt);
}

TEST(AlsaSoundCard, QueryOpenTestsTheFormatWithoutKeepingTheDevice) {
    REQUIRE_SERVER();
    AlsaSoundCard card;
    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        std::unique_ptr<WaveStream> stream;
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(card.open(dir, kWaveMapper, pcmFormat(44100, 16, 2), nullptr,
                                kCallbackEvent | kWaveFormatQuery, stream),
                      kMmNoError);
            EXPECT_EQ(stream, nullptr);
        }
        EXPECT_EQ(
            card.open(dir, kWaveMapper, pcmFormat(8000, 8, 1), nullptr, kWaveFormatQuery, stream),
            kMmNoError);

        WaveFormatEx twelveBits = pcmFormat(44100, 12, 2);
        WaveFormatEx noChannels = pcmFormat(44100, 16, 0);
        WaveFormatEx noRate = pcmFormat(0, 16, 2);
        WaveFormatEx mp3 = pcmFormat(44100, 16, 2);
        mp3.formatTag = 85;
        WaveFormatEx badAlign = pcmFormat(44100, 16, 2);
        badAlign.blockAlign = 3;
        WaveFormatEx absurdRate = pcmFormat(50'000'000, 16, 2);
        for (const WaveFormatEx& f : {twelveBits, noChannels, noRate, mp3, badAlign, absurdRate}) {
            EXPECT_EQ(card.open(dir, kWaveMapper, f, nullptr, kWaveFormatQuery, stream),
                      kWaveErrBadFormat)
                << "tag " << f.formatTag << " rate " << f.samplesPerSec << " bits "
                << f.bitsPerSample << " channels " << f.channels;
            EXPECT_EQ(card.open(dir, kWaveMapper, f, nullptr, kCallbackEvent, stream),
                      kWaveErrBadFormat);
            EXPECT_EQ(stream, nullptr);
        }
    }
}

TEST(AlsaSoundCard, CapturesAToneWithItsFrequencyAndLevel) {
    REQUIRE_SERVER();
    const std::string file = snd::tempPath("tone");
    ASSERT_TRUE(snd::writeFile(file, snd::tone(1000, 16000, kRate, 6)));
    setenv("PULSE_SOURCE", "radio.monitor", 1);
    snd::PeerProcess player(
        "exec pacat -p --raw -d radio --format=s16le --rate=44100 "
        "--channels=2 --latency-msec=250 < " +
            file,
        snd::PeerProcess::Pace::steady);
    ASSERT_TRUE(player.running());
    CaptureResult r = capture(20, 1000, kRate * 2u * 5 / 2);
    player.stop();
    std::remove(file.c_str());

    EXPECT_EQ(r.outOfOrder, 0u);
    ASSERT_GT(r.samples.size(), kRate * 2u) << "chunks recorded: " << r.chunks;
    // The tone may start late (the player connects meanwhile); judge the last second.
    std::vector<int16_t> tail(r.samples.end() - kRate * 2, r.samples.end());
    snd::ToneReading t = snd::measureTone(tail, kRate);
    EXPECT_NEAR(t.hz, 1000, 10);
    EXPECT_NEAR(t.rms, 16000 / std::sqrt(2.0), 16000 * 0.05);
    std::printf("capture: %u chunks, first tone after %.0f ms, %u xruns\n", r.chunks,
                r.firstSoundMs, r.xruns);
}

TEST(AlsaSoundCard, PlaysANumberedSequenceCompleteAndInOrder) {
    REQUIRE_SERVER();
    const std::string file = snd::tempPath("sequence");
    snd::PeerProcess recorder(snd::recordCommand("tv.monitor", kRate, file));
    ASSERT_TRUE(recorder.running());
    ASSERT_TRUE(snd::waitRecorderReady(file, "tv")) << "tv.monitor is not recorded";
    setenv("PULSE_SINK", "tv", 1);
    constexpr uint32_t kChunks = 50;
    PlayResult r = playNumbered(kChunks);
    snd::waitRecording(file, [&](const std::vector<int16_t>& heard) {
        const snd::SequenceCheck c = snd::checkSequence(heard);
        return c.found && c.firstNumber + c.frames >= (kChunks - kLeadInChunks) * kChunkFrames;
    });
    recorder.stop();
    auto recorded = snd::readFile(file);
    std::remove(file.c_str());

    EXPECT_EQ(r.chunks, kChunks);
    EXPECT_EQ(r.outOfOrder, 0u);
    snd::SequenceCheck c = snd::checkSequence(recorded);
    ASSERT_TRUE(c.found) << "nothing reached tv.monitor (" << recorded.size() << " samples)";
    EXPECT_EQ(c.firstNumber, 0u);
    EXPECT_EQ(c.breaks, 0u);
    EXPECT_EQ(c.frames, (kChunks - kLeadInChunks) * kChunkFrames);
    std::printf("playback: %u chunks, %u xruns\n", r.chunks, r.xruns);
}

// What the kernel says of a thread's scheduling: the policy and its real-time priority, or
// the nice value on the normal scheduler.
struct Scheduling {
    int policy = -1;
    int level = 0;
    bool operator==(const Scheduling&) const = default;
};

Scheduling schedulingOf(pid_t tid) {
    Scheduling s;
    s.policy = sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;
    sched_param param{};
    if (s.policy == SCHED_RR || s.policy == SCHED_FIFO) {
        sched_getparam(tid, &param);
        s.level = param.sched_priority;
    } else {
        s.level = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    }
    return s;
}

// The kernel ids of this process's threads, with their names.
std::map<pid_t, std::string> threadsNow() {
    std::map<pid_t, std::string> found;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        found[static_cast<pid_t>(std::stoi(task.path().filename().string()))] = name;
    }
    return found;
}

// Every thread that carries a stream's audio - its own and those the sound server's plugin
// starts - must not wait behind a build on a busy machine while the device that feeds it
// runs at real time: each one left at the normal priority let the card run dry.
TEST(AlsaSoundCard, EveryThreadAStreamBringsRunsAtTheAudioThreadsPriority) {
    REQUIRE_SERVER();
    Scheduling granted;
    std::thread([&] {
        applyThreadPriority(currentThreadId(), 15);
        granted = schedulingOf(static_cast<pid_t>(currentThreadId()));
    }).join();

    const auto before = threadsNow();
    AlsaSoundCard card;
    std::vector<std::unique_ptr<WaveStream>> streams(2);
    ASSERT_EQ(card.open(WaveDirection::input, kWaveMapper, pcmFormat(kRate, 16, 2), nullptr,
                        kCallbackEvent, streams[0]),
              kMmNoError);
    ASSERT_EQ(card.open(WaveDirection::output, kWaveMapper, pcmFormat(kRate, 16, 2), nullptr,
                        kCallbackEvent, streams[1]),
              kMmNoError);
    // A stream posts start to its thread and waits for it, so by then that thread has asked.
    EXPECT_EQ(streams[0]->start(), kMmNoError);
    EXPECT_EQ(streams[1]->start(), kMmNoError);
    size_t ownThreads = 0, brought = 0;
    for (const auto& [tid, name] : threadsNow()) {
        if (before.contains(tid))
            continue;
        ++brought;
        ownThreads += name == "una-alsa";
        const Scheduling got = schedulingOf(tid);
        EXPECT_EQ(got, granted) << "thread \"" << name << "\": policy " << got.policy
                                << " level " << got.level << ", an audio thread gets "
                                << granted.policy << " level " << granted.level;
    }
    EXPECT_EQ(ownThreads, 2u) << brought << " threads came with the streams";
    for (auto& s : streams)
        EXPECT_EQ(s->close(), kMmNoError);
}

// A playback buffer is done when it has been heard, not when ALSA took it: the device keeps
// its queue full by that count, and an early return let the card run dry.
TEST(AlsaSoundCard, PlaybackBuffersComeBackOnlyOncePlayed) {
    REQUIRE_SERVER();
    setenv("PULSE_SINK", "tv", 1);
    AlsaSoundCard card;
    auto event = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> stream;
    ASSERT_EQ(card.open(WaveDirection::output, kWaveMapper, pcmFormat(kRate, 16, 2), event,
                        kCallbackEvent, stream),
              kMmNoError);
    BufferSet set(6, kChunkBytes);
    for (auto& b : set.buffers) {
        ASSERT_EQ(stream->prepare(*b), kMmNoError);
        ASSERT_EQ(stream->write(*b), kMmNoError);
    }
    size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < set.buffers.size() && Clock::now() < deadline) {
        event->wait(100);
        while (done < set.buffers.size() && set.buffers[done]->isFlagSet(kWhdrDone)) {
            uint64_t position = 0;
            ASSERT_EQ(stream->position(position), kMmNoError);
            EXPECT_GE(position, (done + 1) * kChunkFrames)
                << "buffer " << done << " came back early";
            ++done;
        }
    }
    EXPECT_EQ(done, set.buffers.size());
    EXPECT_EQ(stream->close(), kMmNoError);
}

TEST(AlsaSoundCard, ResetReturnsEveryQueuedBufferAndTheStreamGoesOn) {
    REQUIRE_SERVER();
    AlsaSoundCard card;
    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        SCOPED_TRACE(dir == WaveDirection::input ? "input" : "output");
        auto event = std::make_shared<Event>(false, false);
        std::unique_ptr<WaveStream> stream;
        ASSERT_EQ(
            card.open(dir, kWaveMapper, pcmFormat(kRate, 16, 2), event, kCallbackEvent, stream),
            kMmNoError);
        const bool in = dir == WaveDirection::input;
        if (!in) {
            ASSERT_EQ(stream->pause(), kMmNoError);  // keeps everything queued
        }
        BufferSet set(6, kChunkBytes);
        for (auto& b : set.buffers) {
            ASSERT_EQ(stream->prepare(*b), kMmNoError);
            ASSERT_EQ(in ? stream->addBuffer(*b) : stream->write(*b), kMmNoError);
            EXPECT_EQ(in ? stream->addBuffer(*b) : stream->write(*b), kWaveErrStillPlaying);
            EXPECT_EQ(stream->unprepare(*b), kWaveErrStillPlaying);
        }
        if (in) {
            ASSERT_EQ(stream->start(), kMmNoError);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(stream->reset(), kMmNoError);
        EXPECT_TRUE(allDone(set));
        EXPECT_TRUE(event->wait(0)) << "the event tells that buffers came back";
        uint64_t position = 99;
        EXPECT_EQ(stream->position(position), kMmNoError);
        EXPECT_EQ(position, 0u);
        if (in) {
            // Filled in queue order: full buffers, at most one partial one, then empty ones.
            size_t i = 0;
            while (i < set.buffers.size() && set.buffers[i]->bytesRecorded == kChunkBytes)
                ++i;
            if (i < set.buffers.size())
                ++i;
            for (; i < set.buffers.size(); ++i)
                EXPECT_EQ(set.buffers[i]->bytesRecorded, 0u) << "buffer " << i;
        }

        // After the reset the stream still works (output resumes after its pause), in order.
        ASSERT_EQ(stream->start(), kMmNoError);
        for (size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(in ? stream->addBuffer(*set.buffers[i]) : stream->write(*set.buffers[i]),
                      kMmNoError);
        }
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        size_t seen = 0;
        while (seen < 3 && Clock::now() < deadline) {
            event->wait(100);
            while (seen < 3 && set.buffers[seen]->isFlagSet(kWhdrDone)) {
                if (in) {
                    EXPECT_EQ(set.buffers[seen]->bytesRecorded, kChunkBytes);
                }
                ++seen;
            }
            for (size_t k = seen + 1; k < 3; ++k)
                EXPECT_FALSE(set.buffers[k]->isFlagSet(kWhdrDone) &&
                             !set.buffers[seen]->isFlagSet(kWhdrDone))
                    << "buffer " << k << " finished before " << seen;
        }
        EXPECT_EQ(seen, 3u);
        EXPECT_EQ(stream->position(position), kMmNoError);
        EXPECT_GT(position, 0u);
        EXPECT_EQ(stream->close(), kMmNoError);
        EXPECT_EQ(stream->close(), kMmInvalidHandle);
        EXPECT_EQ(stream->position(position), kMmInvalidHandle);
        EXPECT_EQ(in ? stream->addBuffer(*set.buffers[0]) : stream->write(*set.buffers[0]),
                  kMmInvalidHandle);
    }
}

TEST(AlsaSoundCard, ClosingWithBuffersQueuedReturnsThemAll) {
    REQUIRE_SERVER();
    AlsaSoundCard card;
    for (auto dir : {WaveDirection::input, WaveDirection::output}) {
        auto event = std::make_shared<Event>(false, false);
        std::unique_ptr<WaveStream> stream;
        ASSERT_EQ(
            card.open(dir, kWaveMapper, pcmFormat(kRate, 16, 2), event, kCallbackEvent, stream),
            kMmNoError);
        BufferSet set(8, kChunkBytes);
        for (auto& b : set.buffers) {
            ASSERT_EQ(stream->prepare(*b), kMmNoError);
            const bool in = dir == WaveDirection::input;
            ASSERT_EQ(in ? stream->addBuffer(*b) : stream->write(*b), kMmNoError);
        }
        stream->start();
        stream.reset();  // destroying closes
        EXPECT_TRUE(allDone(set));
    }
}

// A sink that vanishes while a stream plays into it, and its monitor while one records.
TEST(AlsaSoundCard, ADeviceThatDisappearsEndsItsStreamCleanly) {
    REQUIRE_SERVER();
    FILE* p = popen("pactl load-module module-null-sink sink_name=gone", "r");
    ASSERT_NE(p, nullptr);
    char line[64] = {};
    if (!std::fgets(line, sizeof line, p))
        line[0] = 0;
    pclose(p);
    const int module = std::atoi(line);
    ASSERT_GT(module, 0) << "could not load a null sink";
    setenv("PULSE_SINK", "gone", 1);
    setenv("PULSE_SOURCE", "gone.monitor", 1);

    AlsaSoundCard card;
    auto inEvent = std::make_shared<Event>(false, false);
    auto outEvent = std::make_shared<Event>(false, false);
    std::unique_ptr<WaveStream> in, out;
    ASSERT_EQ(card.open(WaveDirection::input, kWaveMapper, pcmFormat(kRate, 16, 2), inEvent,
                        kCallbackEvent, in),
              kMmNoError);
    ASSERT_EQ(card.open(WaveDirection::output, kWaveMapper, pcmFormat(kRate, 16, 2), outEvent,
                        kCallbackEvent, out),
              kMmNoError);
    setenv("PULSE_SINK", "tv", 1);
    setenv("PULSE_SOURCE", "radio.monitor", 1);

    BufferSet inSet(4, kChunkBytes), outSet(4, kChunkBytes);
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(in->prepare(*inSet.buffers[i]), kMmNoError);
        ASSERT_EQ(out->prepare(*outSet.buffers[i]), kMmNoError);
        ASSERT_EQ(in->addBuffer(*inSet.buffers[i]), kMmNoError);
        ASSERT_EQ(out->write(*outSet.buffers[i]), kMmNoError);
    }
    ASSERT_EQ(in->start(), kMmNoError);

    // Keep both sides busy across the removal; every accepted buffer must come back.
    const auto removeAt = Clock::now() + std::chrono::milliseconds(300);
    const auto endAt = removeAt + std::chrono::milliseconds(1500);
    bool removed = false;
    uint32_t refused = 0;
    while (Clock::now() < endAt) {
        if (!removed && Clock::now() >= removeAt) {
            ASSERT_EQ(snd::runCommand("pactl unload-module " + std::to_string(module)), 0);
            removed = true;
        }
        inEvent->wait(20);
        for (size_t i = 0; i < 4; ++i) {
            if (inSet.buffers[i]->isFlagSet(kWhdrDone) && in->addBuffer(*inSet.buffers[i]) != 0)
                ++refused;
            if (outSet.buffers[i]->isFlagSet(kWhdrDone) && out->write(*outSet.buffers[i]) != 0)
                ++refused;
        }
    }
    // Whatever the stream decided, nothing may stay queued for long.
    const auto settle = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < settle && !(allDone(inSet) && allDone(outSet)))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    in->reset();
    out->reset();
    EXPECT_TRUE(allDone(inSet));
    EXPECT_TRUE(allDone(outSet));
    EXPECT_EQ(in->close(), kMmNoError);
    EXPECT_EQ(out->close(), kMmNoError);
    std::printf("vanished device: %u buffers refused afterwards\n", refused);
}

}  // namespace

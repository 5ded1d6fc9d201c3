#include "support/clickRoundTrip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>

#include "support/audioThread.h"
#include "support/monitorProbe.h"

namespace una::sound {

using namespace platform;
using Clock = std::chrono::steady_clock;

TestBuffers::TestBuffers(size_t count, uint32_t bytes)
    : memory(count, std::vector<uint8_t>(bytes)) {
    for (size_t i = 0; i < count; ++i) {
        list.push_back(std::make_unique<WaveBuffer>());
        list[i]->data = memory[i].data();
        list[i]->bufferLength = bytes;
    }
}

bool TestBuffers::allDone() const {
    return std::all_of(list.begin(), list.end(), [](const auto& b) {
        return b->isFlagSet(kWhdrDone) && !b->isFlagSet(kWhdrInQueue);
    });
}

namespace {

constexpr uint32_t kClickOffset = 1234;

// The played click is full scale; nothing else in the recording comes near this.
bool isClick(int16_t sample) { return std::abs(sample) > 15000; }

// Least-squares line through the clock readings: the monotonic time of a frame.
struct ClockLine {
    explicit ClockLine(const std::vector<StreamTiming>& r) {
        double st = 0, sf = 0, stt = 0, stf = 0;
        for (const auto& x : r) {
            const double t = x.monotonicNs * 1e-9, f = static_cast<double>(x.frames);
            st += t, sf += f, stt += t * t, stf += t * f;
        }
        const double n = static_cast<double>(r.size());
        rate = (n * stf - st * sf) / (n * stt - st * st);
        offset = (sf - rate * st) / n;
    }
    double secondsOf(double frame) const { return (frame - offset) / rate; }
    double rate = 0, offset = 0;
};

}  // namespace

void playAndRecordClick(WaveStream& in, WaveStream& out, Event& inEvent, Event& outEvent,
                        uint32_t rate, ClickRoundTrip& run) {
    const uint32_t chunkFrames = rate / 25, chunkBytes = chunkFrames * 4;
    run.inBuffers = std::make_unique<TestBuffers>(5, chunkBytes);
    run.outBuffers = std::make_unique<TestBuffers>(4, chunkBytes);
    TestBuffers &inSet = *run.inBuffers, &outSet = *run.outBuffers;
    std::deque<size_t> inOrder, outOrder;
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(in.prepare(*inSet.list[i]), kMmNoError);
        ASSERT_EQ(in.addBuffer(*inSet.list[i]), kMmNoError);
        inOrder.push_back(i);
    }
    ASSERT_EQ(in.start(), kMmNoError);
    constexpr uint32_t kNoClickYet = UINT32_MAX;
    uint32_t clickChunk = kNoClickYet, written = 0;
    auto play = [&](size_t i) {
        std::memset(outSet.memory[i].data(), 0, chunkBytes);
        if (written++ == clickChunk) {
            auto* s = reinterpret_cast<int16_t*>(outSet.memory[i].data());
            s[kClickOffset * 2] = s[kClickOffset * 2 + 1] = 30000;
        }
        ASSERT_EQ(out.write(*outSet.list[i]), kMmNoError);
        outOrder.push_back(i);
    };
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(out.prepare(*outSet.list[i]), kMmNoError);
        play(i);
    }
    una::runAsAudioThread([&] {
        auto nextReading = Clock::now();
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        auto readingsEnd = deadline;
        // A source that hands its audio over late (PipeWire's pulse service, loaded) has not
        // delivered the click when the readings end: the recording goes on until it has.
        bool clickIn = false;
        while (Clock::now() < deadline && (Clock::now() < readingsEnd || !clickIn)) {
            waitAny(std::array<Event*, 2>{&inEvent, &outEvent}, 20);
            while (inSet.list[inOrder.front()]->isFlagSet(kWhdrDone)) {
                WaveBuffer& b = *inSet.list[inOrder.front()];
                const auto* s = reinterpret_cast<const int16_t*>(b.data);
                run.samples.insert(run.samples.end(), s, s + b.bytesRecorded / 2);
                clickIn = clickIn || (clickChunk != kNoClickYet &&
                                      std::any_of(s, s + b.bytesRecorded / 2, isClick));
                ASSERT_EQ(in.addBuffer(b), kMmNoError);
                inOrder.push_back(inOrder.front());
                inOrder.pop_front();
            }
            if (clickChunk == kNoClickYet && run.samples.size() / 2 >= rate / 2) {
                clickChunk = written + 5;
                readingsEnd = Clock::now() + std::chrono::milliseconds(2500);
                nextReading = Clock::now();
                run.readingsFrom = probeNow();
            }
            while (!outOrder.empty() && outSet.list[outOrder.front()]->isFlagSet(kWhdrDone)) {
                const size_t i = outOrder.front();
                outOrder.pop_front();
                play(i);
            }
            if (clickChunk != kNoClickYet && Clock::now() >= nextReading &&
                Clock::now() < readingsEnd) {
                StreamTiming t;
                ASSERT_EQ(in.timing(t), kMmNoError);
                run.inReadings.push_back(t);
                ASSERT_EQ(out.timing(t), kMmNoError);
                run.outReadings.push_back(t);
                nextReading += std::chrono::milliseconds(50);
            }
        }
    });
    run.readingsTo = probeNow();
    if (clickChunk != kNoClickYet)
        run.clickFrame = uint64_t{clickChunk} * chunkFrames + kClickOffset;
}

void expectClickPlacedAlike(const ClickRoundTrip& run, uint32_t rate) {
    ASSERT_NE(run.clickFrame, 0u) << "the monitor handed over no audio";
    size_t heardAt = run.samples.size();
    for (size_t k = 0; k < run.samples.size(); k += 2)
        if (isClick(run.samples[k])) {
            heardAt = k / 2;
            break;
        }
    ASSERT_LT(heardAt, run.samples.size()) << "the click never reached the monitor";
    const ClockLine inLine(run.inReadings), outLine(run.outReadings);
    EXPECT_NEAR(inLine.rate, rate, rate * 0.002);
    EXPECT_NEAR(outLine.rate, rate, rate * 0.002);
    const double differenceMs = (inLine.secondsOf(static_cast<double>(heardAt)) -
                                 outLine.secondsOf(static_cast<double>(run.clickFrame))) *
                                1000;
    std::printf(
        "click: played at output frame %llu, recorded at input frame %zu; the clock "
        "readings differ by %.2f ms\n",
        static_cast<unsigned long long>(run.clickFrame), heardAt, differenceMs);
    EXPECT_NEAR(differenceMs, 0.0, 2.0);
}

}  // namespace una::sound

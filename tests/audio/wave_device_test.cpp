// ctest-labels: threaded
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/unaWaveDevice.h"
#include "foundation/unaTime.h"
#include "support/eventually.h"

using namespace una;
using namespace std::chrono_literals;
using platform::kWhdrDone;
using platform::kWhdrInQueue;
using platform::kWhdrPrepared;

namespace {

struct Call {
    int32_t sequence;  // 0 for no header
    bool deviceEvent;
};

// A wave device whose "platform" keeps the queued headers and completes them when the test
// says so, in any order.
class ScriptedDevice : public unaWaveDevice {
  public:
    ScriptedDevice(bool isInput, bool mapped = false, bool direct = false, int buffers = 3)
        : unaWaveDevice(-1, mapped, direct, isInput, 0), isInput_(isInput), buffers_(buffers) {}

    bool deviceFormatIsSrc() const override { return !isInput_; }

    // Hands the queued header at index back as done, as the platform's thread would.
    void complete(size_t index, uint32_t recorded) {
        unaWaveHeader* h;
        {
            std::lock_guard lock(mutex_);
            h = queued_.at(index);
        }
        h->buffer.bytesRecorded = recorded;
        h->setFlag(kWhdrInQueue, false);
        h->setFlag(kWhdrDone, true);
        deviceEvent.setState(true);
    }
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<int32_t> delivered() {
        std::vector<int32_t> out;
        for (const Call& c : calls())
            if (c.sequence)
                out.push_back(c.sequence);
        return out;
    }
    size_t idleCalls() {
        size_t n = 0;
        for (const Call& c : calls())
            n += (c.sequence == 0 && !c.deviceEvent);
        return n;
    }

    std::atomic<uint32_t> lastFlags{0};
    std::atomic<bool> returnOnStop{true};
    std::atomic<int> throwOnce{0};

  protected:
    MmResult doOpen(uint32_t flags) override {
        lastFlags = flags;
        const MmResult r = unaWaveDevice::doOpen(flags);
        if (!(flags & platform::kWaveFormatQuery))
            handle = 1;
        return r;
    }
    MmResult afterOpen() override {
        const MmResult r = unaWaveDevice::afterOpen();
        for (int i = 0; i < buffers_; ++i) {
            auto header = make<unaWaveHeader>(this, nullptr, chunkSize.load());
            unaWaveHeader* h = header.get();
            addHeader(std::move(header));
            h->prepare();
            h->markQueued();
            if (queueHeader(*h) == 0)
                ++queuedHeaders;
        }
        return r;
    }
    void startOut() override {
        unaWaveDevice::startOut();
        if (!returnOnStop)
            return;
        std::lock_guard lock(mutex_);
        for (unaWaveHeader* h : queued_) {
            h->setFlag(kWhdrInQueue, false);
            h->setFlag(kWhdrDone, true);
        }
    }
    MmResult prepareHeader(unaMsAcmDeviceHeader& header) override {
        header.setFlag(kWhdrPrepared, true);
        return 0;
    }
    MmResult unprepareHeader(unaMsAcmDeviceHeader& header) override {
        header.setFlag(kWhdrPrepared, false);
        // A freed buffer leaves the pretend platform's books.
        std::lock_guard lock(mutex_);
        std::erase(queued_, dynamic_cast<unaWaveHeader*>(&header));
        return 0;
    }
    MmResult queueHeader(unaWaveHeader& header) override {
        header.setFlag(kWhdrDone, false);
        header.setFlag(kWhdrInQueue, true);
        std::lock_guard lock(mutex_);
        queued_.push_back(&header);
        return 0;
    }
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override {
        if (throwOnce.exchange(0))
            throw std::runtime_error("worker step failed");
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({header ? header->sequence : 0, deviceEvent});
        }
        if (header) {
            deliverChunk(header->data(), header->bytesRecorded());
            if (queuedHeaders > 0)
                --queuedHeaders;
        }
        return true;
    }

  private:
    const bool isInput_;
    const int buffers_;
    std::mutex mutex_;
    std::vector<unaWaveHeader*> queued_;
    std::vector<Call> calls_;
};

}  // namespace

TEST(WaveHeader, BufferFlagsAndSequence) {
    auto device = make<ScriptedDevice>(true, false, false, 0);
    {
        auto empty = make<unaWaveHeader>(device.get(), nullptr, 0);
        EXPECT_EQ(empty->data(), nullptr);
        EXPECT_EQ(empty->bufferLength(), 0u);
        EXPECT_TRUE(empty->handled);
        EXPECT_TRUE(empty->numbered);
    }
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    auto h = make<unaWaveHeader>(device.get(), bytes, 5);
    ASSERT_NE(h->data(), nullptr);
    EXPECT_EQ(std::memcmp(h->data(), bytes, 5), 0);
    EXPECT_EQ(h->buffer.user, reinterpret_cast<uintptr_t>(h.get()));

    h->setFlag(kWhdrDone, true);
    EXPECT_FALSE(h->isDone()) << "done but not prepared";
    EXPECT_EQ(h->prepare(), 0u);
    EXPECT_TRUE(h->isDone());
    h->setFlag(kWhdrInQueue, true);
    EXPECT_FALSE(h->isDone()) << "still in the queue";
    EXPECT_TRUE(h->isInQueue());
    EXPECT_TRUE(h->isFlagSet(kWhdrDone | kWhdrPrepared));
    h->setFlag(kWhdrPrepared, false);
    EXPECT_FALSE(h->isInQueue());

    h->buffer.bytesRecorded = 5;
    h->markQueued();
    EXPECT_EQ(h->sequence, 1);
    EXPECT_EQ(h->buffer.bytesRecorded, 0u);
    EXPECT_FALSE(h->handled);
    h->markQueued();
    EXPECT_EQ(h->sequence, 2);
    EXPECT_EQ(device->nextSequence, 2);

    auto orphan = make<unaWaveHeader>(nullptr, nullptr, 8);
    EXPECT_EQ(orphan->prepare(), 6u) << "no device, no driver";
    orphan->markQueued();
    EXPECT_EQ(orphan->sequence, 0);
}

TEST(WaveDevice, FormatsAndOpenFlags) {
    auto in = make<ScriptedDevice>(true, true, true, 0);
    ASSERT_TRUE(in->setPcmFormat(44100, 16, 2));
    EXPECT_EQ(in->chunkSize, 7056u);
    EXPECT_EQ(in->chunksPerSecond, 25u);
    EXPECT_EQ(in->open(true), 0u);
    EXPECT_EQ(in->lastFlags, 0x50000u | 4 | 8 | 1);
    EXPECT_FALSE(in->isOpen()) << "a query opens nothing";
    EXPECT_EQ(in->open(false, 10000, 0x30000), 0u);
    EXPECT_EQ(in->lastFlags, 0x30000u) << "explicit flags pass unchanged";
    EXPECT_EQ(in->close(), 0u);

    auto plain = make<ScriptedDevice>(true, false, false, 0);
    plain->setPcmFormat(unaPcmFormat{8000, 8, 1});
    EXPECT_EQ(plain->open(), 0u);
    EXPECT_EQ(plain->lastFlags, 0x50000u);
    EXPECT_EQ(plain->chunkSize, 320u);
    EXPECT_EQ(plain->deviceId, -1);
}

TEST(WaveDevice, DoneBuffersLeaveInQueueOrder) {
    auto d = make<ScriptedDevice>(true);
    d->setPcmFormat(8000, 8, 1);
    std::vector<uint8_t> outputs;
    std::mutex outputMutex;
    d->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard lock(outputMutex);
        outputs.push_back(static_cast<uint8_t>(data.size()));
    };
    ASSERT_EQ(d->open(), 0u);
    ASSERT_EQ(d->getHeaderCount(), 3u);
    EXPECT_EQ(d->queuedHeaders, 3u);

    d->complete(1, 20);
    ASSERT_TRUE(eventually([&] {
        for (const Call& c : d->calls())
            if (c.sequence == 0 && c.deviceEvent)
                return true;
        return false;
    })) << "the worker woke for the second buffer";
    EXPECT_TRUE(d->delivered().empty()) << "the second buffer waits for the first";

    d->complete(0, 10);
    ASSERT_TRUE(eventually([&] { return d->delivered().size() == 2; }));
    EXPECT_EQ(d->delivered(), (std::vector<int32_t>{1, 2}));
    {
        std::lock_guard lock(outputMutex);
        EXPECT_EQ(outputs, (std::vector<uint8_t>{10, 20}));
    }
    d->complete(2, 30);
    ASSERT_TRUE(eventually([&] { return d->delivered().size() == 3; }));
    EXPECT_EQ(d->delivered().back(), 3);
    EXPECT_EQ(d->lastDoneSequence, 3);

    EXPECT_EQ(d->close(), 0u);
    EXPECT_EQ(d->getHeaderCount(), 0u) << "close frees the returned buffers";
}

TEST(WaveDevice, LoopWakesOnInputAndIdles) {
    auto out = make<ScriptedDevice>(false, false, false, 0);
    out->setPcmFormat(8000, 8, 1);
    ASSERT_EQ(out->open(), 0u);
    ASSERT_TRUE(eventually([&] { return out->idleCalls() >= 2; }))
        << "with nothing queued the loop gives the device a turn on every time-out";
    for (const Call& c : out->calls())
        EXPECT_EQ(c.sequence, 0);

    out->queuedHeaders = 1;  // now time-outs alone must not call the device
    std::this_thread::sleep_for(100ms);
    const size_t before = out->calls().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(out->calls().size(), before);

    const uint8_t bytes[320] = {};
    EXPECT_EQ(out->write(bytes, 320), 320u);
    ASSERT_TRUE(eventually([&] { return out->calls().size() > before; }))
        << "input wakes the worker at once";
    EXPECT_FALSE(out->calls().back().deviceEvent);

    out->throwOnce = 1;
    out->write(bytes, 320);
    ASSERT_TRUE(eventually([&] { return out->throwOnce == 0; }));
    out->write(bytes, 320);
    ASSERT_TRUE(eventually([&] { return out->calls().size() > before + 1; }))
        << "a failing step does not end the worker";
    EXPECT_EQ(out->close(), 0u);
}

TEST(WaveDevice, CloseWithBuffersThePlatformKeeps) {
    auto d = make<ScriptedDevice>(true);
    d->setPcmFormat(8000, 8, 1);
    d->returnOnStop = false;
    ASSERT_EQ(d->open(), 0u);
    const int64_t mark = markTime();
    EXPECT_EQ(d->close(), 0u);
    EXPECT_LT(elapsedMs(mark), 60000) << "close does not wait for ever";
    EXPECT_EQ(d->getHeaderCount(), 3u) << "buffers still with the platform are not freed yet";
    d->returnOnStop = true;
    ASSERT_EQ(d->open(), 0u);
    EXPECT_EQ(d->getHeaderCount(), 3u) << "the old ones were freed at open, three new ones queued";
}

TEST(WorkerWake, WaitAnyTakesTheFirstSignalledEvent) {
    platform::Event a(false, false), b(false, false), manual(true, false);
    std::array<platform::Event*, 3> events{&a, &b, &manual};
    EXPECT_EQ(platform::waitAny(events, 0), -1);
    EXPECT_EQ(platform::waitAny(events, 20), -1);
    b.set();
    a.set();
    EXPECT_EQ(platform::waitAny(events, 0), 0) << "the first in the list wins";
    EXPECT_EQ(platform::waitAny(events, 0), 1) << "and the other stays signalled";
    EXPECT_EQ(platform::waitAny(events, 0), -1) << "auto-reset events are consumed";
    manual.set();
    EXPECT_EQ(platform::waitAny(events, 0), 2);
    EXPECT_EQ(platform::waitAny(events, 0), 2) << "a manual event stays set";
    manual.reset();

    // Signals from other threads wake the waiter; none is lost or counted twice.
    constexpr int kRounds = 200;
    std::atomic<int> taken{0};
    std::thread waiter([&] {
        while (taken < kRounds)
            if (platform::waitAny(std::span<platform::Event* const>(events.data(), 2), 5000) >= 0)
                ++taken;
    });
    for (int i = 0; i < kRounds; ++i) {
        (i % 2 ? a : b).set();
        while (taken <= i)
            std::this_thread::yield();
    }
    waiter.join();
    EXPECT_EQ(taken, kRounds);
    EXPECT_FALSE(a.isSet());
    EXPECT_FALSE(b.isSet());
}

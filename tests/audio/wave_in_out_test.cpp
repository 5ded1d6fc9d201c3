// ctest-labels: threaded
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "foundation/unaStream.h"
#include "support/eventually.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace std::chrono_literals;
using platform::WaveDirection;

namespace {

constexpr uint32_t kChunk = 44100 / 25 * 4;  // 40 ms of 44.1 kHz 16-bit stereo

// What a recorder delivered: the buffer each chunk came from and its bytes.
struct Deliveries {
    void attach(unaMsAcmStreamDevice& device) {
        device.onDataAvailable = [this](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
            std::lock_guard lock(m);
            sources.push_back(data.data());
            bytes.insert(bytes.end(), data.begin(), data.end());
        };
    }
    size_t count() {
        std::lock_guard lock(m);
        return sources.size();
    }
    std::vector<const uint8_t*> from() {
        std::lock_guard lock(m);
        return sources;
    }
    std::vector<uint8_t> all() {
        std::lock_guard lock(m);
        return bytes;
    }
    std::mutex m;
    std::vector<const uint8_t*> sources;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> pattern(size_t chunks, uint8_t seed) {
    std::vector<uint8_t> out(chunks * kChunk);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7 + i / kChunk);
    return out;
}

struct Recorder : ::testing::Test {
    void SetUp() override {
        device = make<unaWaveInDevice>();
        ASSERT_TRUE(device->setPcmFormat(44100, 16, 2));
        ASSERT_EQ(device->chunkSize, kChunk);
        got.attach(*device);
        ASSERT_EQ(device->open(), 0u);
        stream = fake->stream(WaveDirection::input);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (device)
            device->close();
    }
    bool fiveQueued() {
        return stream->waitQueued([](size_t n) { return n == 5; });
    }

    ScopedFakeSoundCard fake;
    unaPtr<unaWaveInDevice> device;
    std::shared_ptr<FakeStreamControl> stream;
    Deliveries got;
};

TEST_F(Recorder, KeepsFiveChunkBuffersQueuedAndDeliversThemInCaptureOrder) {
    EXPECT_EQ(device->caps.name, L"Fake Mapper In") << "caps are read at construction";
    EXPECT_TRUE(stream->isStarted());
    EXPECT_TRUE(stream->openFlags() & platform::kCallbackEvent);
    EXPECT_EQ(stream->queuedLengths(), std::vector<uint32_t>(5, kChunk));

    for (int i = 1; i <= 12; ++i) {
        ASSERT_EQ(stream->complete(1), 1u);
        ASSERT_TRUE(eventually([&] { return got.count() == static_cast<size_t>(i); }));
        ASSERT_TRUE(fiveQueued()) << "after chunk " << i;
    }
    EXPECT_EQ(device->getHeaderCount(), 5u) << "the done buffers themselves go back";
    auto bytes = got.all();
    ASSERT_EQ(bytes.size(), 12u * kChunk);
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], static_cast<uint8_t>(k)) << "byte " << k;
    EXPECT_EQ(device->getPosition(), static_cast<int64_t>(12 * kChunk / 4));
}

TEST_F(Recorder, ADeviceEventWithoutADoneBufferAddsNoSixth) {
    ASSERT_TRUE(fiveQueued());
    const size_t calls = stream->queueCalls();
    for (int i = 0; i < 5; ++i) {
        device->deviceEvent.setState(true);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(stream->queuedCount(), 5u);
    EXPECT_EQ(stream->queueCalls(), calls);
    EXPECT_EQ(got.count(), 0u);
}

TEST_F(Recorder, BuffersCompletedOutOfOrderAreDeliveredInQueueOrder) {
    auto queued = stream->queued();
    ASSERT_EQ(queued.size(), 5u);
    ASSERT_TRUE(stream->completeOutOfOrder({2, 1}));  // the third and second buffers
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(got.count(), 0u) << "nothing goes out before the first buffer";
    ASSERT_EQ(stream->complete(1), 1u);  // the first
    ASSERT_TRUE(eventually([&] { return got.count() == 3; }));
    auto from = got.from();
    EXPECT_EQ(from[0], queued[0]->data);
    EXPECT_EQ(from[1], queued[1]->data);
    EXPECT_EQ(from[2], queued[2]->data);
    EXPECT_TRUE(fiveQueued());
}

TEST_F(Recorder, ARefusedBufferDoesNotStallTheRecording) {
    ASSERT_TRUE(fiveQueued());
    stream->failNextQueue(platform::kMmNoDriver);
    ASSERT_EQ(stream->complete(1), 1u);
    ASSERT_TRUE(eventually([&] { return got.count() == 1; }));
    // The same wake-up's empty pass puts a new buffer in the refused one's place.
    EXPECT_TRUE(fiveQueued());
    for (size_t i = 2; i <= 10; ++i) {
        ASSERT_EQ(stream->complete(1), 1u);
        ASSERT_TRUE(eventually([&] { return got.count() == i; })) << "stalled at chunk " << i;
    }
    EXPECT_TRUE(fiveQueued());
    auto bytes = got.all();
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], static_cast<uint8_t>(k)) << "byte " << k;
}

TEST_F(Recorder, CloseReturnsAllBuffersAndForgetsTheStream) {
    ASSERT_TRUE(fiveQueued());
    EXPECT_EQ(device->close(), 0u);
    EXPECT_TRUE(stream->isClosed());
    EXPECT_GE(stream->calls("reset"), 1u);
    EXPECT_EQ(stream->queuedCount(), 0u);
    EXPECT_EQ(device->getHeaderCount(), 0u);
    EXPECT_EQ(device->getPosition(), 0);
    EXPECT_EQ(got.count(), 0u) << "buffers handed back by the reset are not delivered";

    // A second run starts fresh with five new buffers.
    ASSERT_EQ(device->open(), 0u);
    auto second = fake->stream(WaveDirection::input);
    ASSERT_NE(second, stream);
    EXPECT_TRUE(second->waitQueued([](size_t n) { return n == 5; }));
    second->complete(2);
    EXPECT_TRUE(eventually([&] { return got.count() == 2; }));
}

TEST_F(Recorder, XrunsOfTheCardAreCountedAndKeptAfterClose) {
    EXPECT_EQ(device->xrunCount(), 0u);
    stream->setXruns(3);
    EXPECT_EQ(device->xrunCount(), 3u);
    ASSERT_EQ(device->close(), 0u);
    EXPECT_EQ(device->xrunCount(), 3u) << "still there for the window after stop";
    ASSERT_EQ(device->open(), 0u);
    EXPECT_EQ(device->xrunCount(), 0u) << "a new run counts afresh";
}

TEST_F(Recorder, ACardThatVanishesEndsTheRecordingCleanly) {
    ASSERT_TRUE(fiveQueued());
    ASSERT_EQ(stream->complete(2), 2u);
    ASSERT_TRUE(eventually([&] { return got.count() == 2; }));
    ASSERT_TRUE(fiveQueued());
    stream->vanish();
    // Each returned buffer is offered once and refused; after that the worker stays idle.
    std::this_thread::sleep_for(200ms);
    const size_t attempts = stream->calls("addBuffer");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(stream->calls("addBuffer"), attempts) << "no retrying loop on a dead card";
    EXPECT_EQ(stream->queuedCount(), 0u);
    EXPECT_EQ(got.all().size(), 2 * kChunk) << "the empty buffers deliver nothing";
    EXPECT_EQ(device->close(), 0u);
    EXPECT_EQ(device->getHeaderCount(), 0u);
    EXPECT_TRUE(stream->isClosed());
}

TEST(RecorderOpen, FailuresAndQueriesKeepNoStream) {
    ScopedFakeSoundCard fake;
    auto device = make<unaWaveInDevice>(0, true, false, 0);
    ASSERT_TRUE(device->setPcmFormat(44100, 16, 2));
    fake->failNextOpen(platform::kMmAllocated);
    EXPECT_EQ(device->open(), platform::kMmAllocated);
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(device->getErrorText(platform::kMmAllocated), "4: device already allocated.");

    fake->setFormatFilter([](const platform::WaveFormatEx& f) { return f.channels == 1; });
    EXPECT_EQ(device->open(true), platform::kWaveErrBadFormat);
    EXPECT_EQ(fake->queryCount(WaveDirection::input), 1u);
    ASSERT_TRUE(device->setPcmFormat(8000, 16, 1));
    EXPECT_EQ(device->open(true), 0u);
    EXPECT_FALSE(device->isOpen()) << "a query keeps nothing open";
    EXPECT_EQ(fake->openCount(WaveDirection::input), 0u);

    EXPECT_EQ(device->open(), 0u);
    auto stream = fake->stream(WaveDirection::input);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(stream->openFlags() & platform::kWaveMapped);
    EXPECT_EQ(stream->format().samplesPerSec, 8000u);
    EXPECT_EQ(device->close(), 0u);
}

// An input stream whose reads hand out fewer bytes than asked.
class StingyStream : public unaMemoryStream {
  public:
    explicit StingyStream(uint32_t most) : most_(most) {}
    using unaMemoryStream::read;
    int32_t read(std::span<uint8_t> dest, bool remove = true) override {
        return unaMemoryStream::read(dest.first(std::min<size_t>(dest.size(), most_)), remove);
    }

  private:
    const uint32_t most_;
};

struct Player : ::testing::Test {
    void SetUp() override {
        device = make<unaWaveOutDevice>(platform::kWaveMapper, false, false, 10);
        ASSERT_TRUE(device->setPcmFormat(44100, 16, 2));
        ASSERT_EQ(device->chunkSize, kChunk);
        ASSERT_EQ(device->open(), 0u);
        stream = fake->stream(WaveDirection::output);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (device)
            device->close();
    }
    void feed(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(device->write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
    }

    ScopedFakeSoundCard fake;
    unaPtr<unaWaveOutDevice> device;
    std::shared_ptr<FakeStreamControl> stream;
};

TEST_F(Player, StartsOnTheSecondChunkWithTwoBuffersAtOnce) {
    const auto data = pattern(2, 3);
    feed({data.begin(), data.begin() + kChunk});
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(stream->queueCalls(), 0u) << "one chunk is not enough to start";
    feed({data.begin() + kChunk, data.end()});
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n == 2; }));
    EXPECT_EQ(stream->queuedLengths(), std::vector<uint32_t>(2, kChunk));
    stream->complete(2);
    ASSERT_TRUE(eventually([&] { return stream->played().size() == data.size(); }));
    EXPECT_EQ(stream->played(), data);
}

TEST_F(Player, TenWaitingChunksQueueThreeAtOnceAndNeverMoreThanFour) {
    const auto data = pattern(10, 9);
    feed(data);
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n == 3; }));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(stream->queuedCount(), 3u) << "idle wake-ups with buffers queued add none";
    EXPECT_EQ(device->getDataAvailable(true), 7 * kChunk);

    feed(pattern(1, 50));  // a later wake-up with a chunk waiting
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n == 4; }));
    feed(pattern(1, 60));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(stream->queuedCount(), 4u);

    // Done buffers are refilled one for one, and everything plays in the order written.
    while (stream->played().size() < data.size()) {
        ASSERT_TRUE(stream->waitQueued([](size_t n) { return n > 0; }));
        stream->complete(1);
        ASSERT_LE(stream->queuedCount(), 4u);
    }
    auto played = stream->played();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), played.begin()));
    EXPECT_LE(device->getHeaderCount(), 4u) << "done buffers are used again";
}

TEST_F(Player, CloseDiscardsAllButOneWaitingChunkAndStopsAtOnce) {
    feed(pattern(10, 1));
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n == 3; }));
    EXPECT_EQ(device->close(), 0u);
    EXPECT_GE(stream->calls("pause"), 1u);
    EXPECT_GE(stream->calls("reset"), 1u);
    EXPECT_TRUE(stream->played().empty()) << "queued buffers are not waited for";
    EXPECT_EQ(device->getDataAvailable(true), kChunk);
    EXPECT_EQ(device->getHeaderCount(), 0u);
    EXPECT_FALSE(device->flush(false)) << "a closed device has nothing to flush";
}

TEST_F(Player, ACardThatVanishesWhilePlayingEndsCleanly) {
    feed(pattern(10, 5));
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n == 3; }));
    stream->setXruns(2);
    stream->vanish();
    // The provider goes on writing, as the mixer would; nothing may hang or pile up.
    for (int i = 0; i < 20; ++i) {
        const auto chunk = pattern(1, static_cast<uint8_t>(i));
        device->write(chunk.data(), kChunk);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(stream->queuedCount(), 0u);
    EXPECT_TRUE(stream->played().empty());
    EXPECT_LE(device->getDataAvailable(true), 11 * kChunk);
    EXPECT_EQ(device->close(), 0u);
    EXPECT_EQ(device->getHeaderCount(), 0u);
    EXPECT_EQ(device->xrunCount(), 2u);
}

TEST_F(Player, ARefusedWriteIsRetriedWithoutLosingOrder) {
    stream->failNextQueue(platform::kMmNoMem);
    const auto data = pattern(6, 4);
    feed(data);
    // The first chunk was taken and lost with the refused write; the rest play in order.
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n >= 2; }));
    while (stream->played().size() < 5 * kChunk) {
        ASSERT_TRUE(stream->waitQueued([](size_t n) { return n > 0; }));
        stream->complete(1);
    }
    auto played = stream->played();
    ASSERT_GE(played.size(), 5 * kChunk);
    EXPECT_TRUE(std::equal(data.begin() + kChunk, data.end(), played.begin()));
}

TEST_F(Player, AShortReadPlaysItsTrueLength) {
    device->close();
    device->assignStream(true, make<StingyStream>(1000));
    ASSERT_EQ(device->open(), 0u);
    stream = fake->stream(WaveDirection::output);
    feed(pattern(3, 2));
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n >= 2; }));
    auto lengths = stream->queuedLengths();
    EXPECT_EQ(lengths[0], 1000u);
    EXPECT_EQ(lengths[1], 1000u);
    stream->complete(2);
    ASSERT_TRUE(eventually([&] { return stream->played().size() >= 2000; }));
    auto played = stream->played();
    auto data = pattern(3, 2);
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + 2000, data.begin()));
}

TEST(PlayerOpen, SynchronousCardsGetTheAllowSyncFlag) {
    ScopedFakeSoundCard fake;
    platform::WaveCaps caps;
    caps.name = L"Sync Out";
    caps.support = platform::kWaveCapsSync;
    fake->setMapperCaps(WaveDirection::output, caps);
    auto device = make<unaWaveOutDevice>();
    EXPECT_EQ(device->caps.name, L"Sync Out");
    ASSERT_TRUE(device->setPcmFormat(22050, 8, 1));
    ASSERT_EQ(device->open(), 0u);
    auto stream = fake->stream(WaveDirection::output);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(stream->openFlags() & platform::kWaveAllowSync);
    EXPECT_TRUE(stream->openFlags() & platform::kCallbackEvent);
    fake->setErrorText(platform::kWaveErrBadFormat, "unsupported wave format");
    EXPECT_EQ(device->getErrorText(platform::kWaveErrBadFormat), "32 (unsupported wave format)");
    EXPECT_EQ(device->close(), 0u);
    EXPECT_EQ(device->getPosition(), 0);
}

}  // namespace

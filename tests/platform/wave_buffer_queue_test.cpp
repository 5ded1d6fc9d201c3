#include "platform/waveBufferQueue.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

using namespace platform;

// The server backends' own tests judge whole streams: refused buffers and the count a half
// filled recording comes back with at a reset are judged here, without a server.
TEST(WaveBufferQueue, RefusesBuffersByTheWaveRulesAndReturnsAPartRecordingWithItsCount) {
    auto event = std::make_shared<Event>(true, false);
    WaveBufferQueue q(WaveDirection::input, 4, event);
    std::array<uint8_t, 8> memory{};
    WaveBuffer a, b, tiny;
    a.data = b.data = tiny.data = memory.data();
    a.bufferLength = b.bufferLength = 8;
    tiny.bufferLength = 2;                           // less than a frame
    EXPECT_EQ(q.push(a, true), kWaveErrUnprepared);  // the buffer's own fault comes first
    for (WaveBuffer* w : {&a, &b, &tiny})
        ASSERT_EQ(WaveBufferQueue::prepare(*w), kMmNoError);
    EXPECT_EQ(q.push(a, true), kMmNoDriver);
    EXPECT_FALSE(a.isFlagSet(kWhdrInQueue));
    for (WaveBuffer* w : {&tiny, &a, &b})
        ASSERT_EQ(q.push(*w, false), kMmNoError);
    EXPECT_EQ(q.push(a, false), kWaveErrStillPlaying);
    EXPECT_EQ(WaveBufferQueue::unprepare(a), kWaveErrStillPlaying);

    q.advance(0);
    EXPECT_TRUE(tiny.isFlagSet(kWhdrDone));
    EXPECT_EQ(q.frontRoom().size(), 8u);
    q.advance(4);
    EXPECT_EQ(q.frontRoom().size(), 4u);
    event->reset();
    q.returnAll();
    EXPECT_TRUE(event->isSet());
    EXPECT_TRUE(q.empty());
    for (WaveBuffer* w : {&a, &b})
        EXPECT_EQ(w->flags.load() & (kWhdrDone | kWhdrInQueue), kWhdrDone);
    EXPECT_EQ(a.bytesRecorded, 4u);
    EXPECT_EQ(b.bytesRecorded, 0u);
}

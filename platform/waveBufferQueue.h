#pragma once
// The buffers a sound-server stream holds, in the order the device queued them: those still to
// fill or play (the front one perhaps partly moved) and, on playback, those handed to the
// server whole and waiting to be heard. Both server backends keep theirs here so that result
// codes, flags and the order buffers come back in stay the same between them. Not locked: the
// stream guards it with its own lock.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>

#include "platform/event.h"
#include "platform/soundCard.h"

namespace platform {

// Hands the buffer back to its owner: bytesRecorded (recording only) before the flags, so an
// owner that sees kWhdrDone reads a settled count.
void markDone(WaveBuffer& b, bool input, uint32_t recorded);

class WaveBufferQueue {
  public:
    WaveBufferQueue(WaveDirection dir, uint32_t blockAlign, EventHandle event)
        : dir_(dir), blockAlign_(blockAlign), event_(std::move(event)) {}

    // The flag rules of WaveStream::prepare (after its null-data check) and unprepare.
    static MmResult prepare(WaveBuffer& b);
    static MmResult unprepare(WaveBuffer& b);

    // Marks a prepared buffer not queued yet as queued, for any device's own queue. A lost
    // device refuses it with kMmNoDriver, after the buffer's own faults.
    static MmResult admit(WaveBuffer& b, bool lost);
    // Queues a buffer once admit takes it.
    MmResult push(WaveBuffer& b, bool lost);

    // No buffer left to fill or play.
    bool empty() const { return queue_.empty(); }
    // No buffer held at all, heard or not.
    bool idle() const { return queue_.empty() && sent_.empty(); }
    // Bytes already moved in the front buffer.
    uint32_t frontOffset() const { return offset_; }
    // The whole frames of the front buffer not moved yet; empty when none is queued.
    std::span<uint8_t> frontRoom() const;
    // n more bytes of the front moved. Once less than a frame is left it leaves the queue: a
    // recording comes back done; a playback buffer waits until frame `endFrame` is heard.
    void advance(uint32_t n, uint64_t endFrame = 0);

    // Recording: the front buffer comes back done with what it holds.
    void completeFront();
    // Playback: the buffers heard by frame `heard` come back.
    void retireUpTo(uint64_t heard);
    // The frame at the end of the first buffer waiting to be heard.
    std::optional<uint64_t> firstSentEnd() const;
    // Every buffer comes back, in queue order: the handed-over ones first.
    void returnAll();

  private:
    const WaveDirection dir_;
    const uint32_t blockAlign_;
    const EventHandle event_;
    std::deque<WaveBuffer*> queue_;
    // Playback buffers handed over whole, with the frame count at their end.
    std::deque<std::pair<WaveBuffer*, uint64_t>> sent_;
    uint32_t offset_ = 0;
};

}  // namespace platform

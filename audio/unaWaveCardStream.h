#pragma once
// The sound-card side of a recording or playback device: the open platform stream and the
// calls the device makes on it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/unaWaveDevice.h"
#include "platform/soundCard.h"

namespace una {

// Owns the platform stream of one wave device. The device opens and closes it from the
// application thread (under its openCloseGate); the worker queues and prepares; any thread may
// ask for the position and the xrun count. Every call takes the mutex, so nobody reaches a
// stream that close is taking away. Not copyable.
class unaWaveCardStream {
  public:
    unaWaveCardStream() = default;
    unaWaveCardStream(const unaWaveCardStream&) = delete;
    unaWaveCardStream& operator=(const unaWaveCardStream&) = delete;

    // Opens the device on the process-wide card; the event is signalled for every done buffer.
    // On success (not a query) handle becomes the stream's value; on failure nothing changes
    // and the card's result is returned.
    MmResult open(platform::WaveDirection direction, int32_t deviceId, const WaveFormatEx& format,
                  const unaEvent& event, uint32_t flags, std::atomic<uintptr_t>& handle);
    // The card's close result; 0 when nothing was open.
    MmResult close();

    // Samples recorded or played since open; 0 when closed or the card cannot tell.
    int64_t position();
    // Clears the header's flags, then the card's prepare; kMmInvalidHandle when closed.
    MmResult prepare(unaMsAcmDeviceHeader& header);
    // The card's unprepare; without a stream only the prepared bit is cleared (0).
    MmResult unprepare(unaMsAcmDeviceHeader& header);
    // Records into (input) or plays (output) the header; kMmInvalidHandle when closed.
    MmResult queue(unaWaveHeader& header);

    // The card's commands; kMmInvalidHandle when closed.
    MmResult start();
    MmResult stop();
    MmResult pause();
    MmResult reset();

    // Where the card's converter is on the monotonic clock (see platform::WaveStream::timing);
    // kMmInvalidHandle when closed, kMmNotSupported when the card cannot tell (yet).
    MmResult timing(platform::StreamTiming& out);

    // Tells the open stream the device's chunk length (see platform::WaveStream::setChunkTime);
    // kMmInvalidHandle when closed.
    MmResult setChunkTime(uint32_t ms);

    // Over- and underruns the card recovered from in the open stream, or in the last one after
    // it closed; 0 before the first open.
    uint32_t xrunCount();
    // True when the open stream's device has gone (unplugged, the sound server ended); false
    // when nothing is open.
    bool isLost();
    // What the server did to the open stream's device; neutral when nothing is open.
    platform::DeviceState deviceState();
    // Its count of moves alone; 0 when nothing is open.
    uint32_t moveCount();

  private:
    MmResult command(MmResult (platform::WaveStream::*operation)());

    std::mutex m_;
    std::unique_ptr<platform::WaveStream> stream_;
    uint32_t closedXruns_ = 0;
};

// Done buffers are taken strictly by sequence, so a buffer the card refused must hand its
// number back, or every later buffer would wait for it for ever.
void giveBackSequence(unaMsAcmStreamDevice& device, unaWaveHeader& header);

}  // namespace una

#pragma once
// A click played into a sink by one stream and recorded from its monitor by another of the same
// card: both streams' clock readings, taken for 2.5 s from the click on, must place the frame
// played and the frame recorded at the same moment. Shared by the server backends' tests.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/event.h"
#include "platform/soundCard.h"

namespace una::sound {

// Buffers with memory of their own.
struct TestBuffers {
    TestBuffers(size_t count, uint32_t bytes);
    bool allDone() const;
    std::vector<std::vector<uint8_t>> memory;
    std::vector<std::unique_ptr<platform::WaveBuffer>> list;
};

struct ClickRoundTrip {
    std::vector<int16_t> samples;  // what the input recorded, 16-bit stereo
    std::vector<platform::StreamTiming> inReadings, outReadings;
    uint64_t clickFrame = 0;  // the output frame the click went out in; 0: it never did
    double readingsFrom = 0, readingsTo = 0;  // on the probes' clock
    // The streams hold them until they close: closed before this goes.
    std::unique_ptr<TestBuffers> inBuffers, outBuffers;
};

// Both streams open and stopped, 16-bit stereo at `rate`, and closed before `run` goes. The
// click goes out once the monitor's audio flows (an idle null sink renders ahead and takes the
// streams' short latency up only after that). Runs as an audio thread; a refused call fails
// the test.
void playAndRecordClick(platform::WaveStream& in, platform::WaveStream& out,
                        platform::Event& inEvent, platform::Event& outEvent, uint32_t rate,
                        ClickRoundTrip& run);

// The click found in the recording, and the two lines of readings agreeing on it within 2 ms.
void expectClickPlacedAlike(const ClickRoundTrip& run, uint32_t rate);

}  // namespace una::sound

#pragma once
// One run of the delay chain on the private sound server, measured: a signal (numbered, or
// one the caller makes) goes into "radio", the chain records radio.monitor and plays into "tv", and two probes in this
// process time radio.monitor and tv.monitor on one clock. Shared by the end-to-end test and
// the latency benchmark. Use from one thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/monitorProbe.h"
#include "support/soundPeer.h"

namespace una::sound {

// The two sinks made ready for timing for the scope: "tv" at the rate asked (reloaded when it
// is not the usual 44100 Hz, so the server passes the chain's output through unresampled),
// low-latency streams of silence on both, and both settled to a small latency.
class DelayStage {
  public:
    explicit DelayStage(uint32_t tvRate);
    ~DelayStage();
    DelayStage(const DelayStage&) = delete;
    DelayStage& operator=(const DelayStage&) = delete;

    // False, with a reason, when the sinks could not be prepared.
    bool ready() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    uint32_t tvRate() const { return tvRate_; }

  private:
    const uint32_t tvRate_;
    int tvModule_ = -1;
    std::unique_ptr<PeerProcess> keepRadio_, keepTv_;
    std::string failure_;
};

// A ready stage for a program that is not a test; none, with the reason on stderr, when there
// is no private server or the sinks could not be readied.
std::unique_ptr<DelayStage> readyStage(uint32_t tvRate);

// What the two probes heard of one run of the chain, the probes kept (stopped) for timing.
struct ChainRecording {
    std::string failure;  // empty when the run itself worked
    std::unique_ptr<MonitorProbe> radioProbe, tvProbe;
    std::vector<int16_t> radio, tv;  // radio.monitor at the chain's input rate, tv.monitor at tv's
    double chainStart = 0;           // probeNow() as the chain was made
    uint32_t recorderXruns = 0;
    uint32_t playerXruns = 0;
    uint64_t playerLostBytes = 0;
};

// Runs the chain inRate/16/2 -> stage.tvRate()/16/2 with the delay while `signal` (interleaved
// stereo at inRate) plays into radio, and for a second after; the playback side opens that long
// after the recorder opened, as the window's timer does.
ChainRecording recordDelayChain(const DelayStage& stage, uint32_t inRate, double delaySeconds,
                                const std::vector<int16_t>& signal);

struct DelayRun {
    std::string failure;  // empty when the run itself worked (the checks are separate)
    uint32_t signalFrames = 0;
    SequenceCheck in;        // the signal on radio.monitor
    SequenceCheck out;       // the chain's output on tv.monitor
    double measured = 0;     // seconds from the signal on radio.monitor to it on tv.monitor
    // Time the sinks' graph lost or gained from the chain's start until the signal was heard
    // whole (0 on PulseAudio, whose sinks keep the system clock): audio held before such a
    // stall plays out that much early or late, the chain right.
    double graphLost = 0;
    double radioSpread = 0;  // how far the probes' buffer completions strayed (seconds)
    double tvSpread = 0;
    uint32_t probeXruns = 0;
    uint32_t recorderXruns = 0;
    uint32_t playerXruns = 0;
    uint64_t playerLostBytes = 0;
};

// A numbered signal through recordDelayChain(), its onsets timed by the probes' buffers
// around each (a PipeWire graph that loses a cycle moves a line drawn over the whole recording
// by that much). inRate: PipeWire's sinks pass only their own 48 kHz bit for bit.
DelayRun runDelayChain(const DelayStage& stage, uint32_t inRate, double delaySeconds,
                       double signalSeconds);

}  // namespace una::sound

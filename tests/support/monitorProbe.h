#pragma once
// A recorder of one sound-server source that also tells when each recorded frame was captured,
// on the steady clock. Two probes in one process share that clock, so the time between a frame
// on one source and a frame on another is measured on one time base, whatever the moment each
// probe started.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace una::sound {

// Records 16-bit stereo through ALSA's default device (the sound server's source named at
// start). Its own thread takes the buffers back; start and stop belong to the test's thread.
class MonitorProbe {
  public:
    MonitorProbe(std::string source, uint32_t rate);
    ~MonitorProbe();
    MonitorProbe(const MonitorProbe&) = delete;
    MonitorProbe& operator=(const MonitorProbe&) = delete;

    // Opens the source (PULSE_SOURCE is set for the open and put back) and starts recording;
    // false when the card refused.
    bool start();
    void stop();

    uint32_t rate() const { return rate_; }
    // Everything recorded so far, interleaved stereo.
    std::vector<int16_t> samples() const;
    // Steady-clock seconds at which frame `frame` of the recording was captured. Every buffer
    // comes back some time after its last frame was captured; the shortest such wait over the
    // whole recording stands for the source's own latency, which is alike for all sources of
    // the server, so it cancels between two probes. NaN before the first buffer.
    double frameTime(size_t frame) const;
    // The same from the buffers completed within `spanSeconds` after the frame only: a source
    // that stalls (a graph whose timer driver woke late) counts fewer frames than the clock
    // passed, and this sees each stall where frameTime()'s one line does not. NaN without such
    // buffers.
    double localFrameTime(double frame, double spanSeconds = 3.0) const;
    // How far the source's frames strayed from one line against the steady clock between
    // steady-clock moments `from` and `to` (seconds, largest minus smallest lag): a graph that
    // lost time shows it as a step. 0 without buffers.
    double timeLost(double from, double to) const;
    // The longest minus the shortest wait: how far single buffers strayed (seconds).
    double completionSpread() const;
    uint32_t xruns() const { return xruns_; }
    // How fast the source delivers frames against the steady clock, in ppm off its nominal
    // rate: a least-squares fit of the buffers' completion times. A null sink's frames need not
    // run at the system clock's pace. NaN with less than two seconds of buffers.
    double ratePpm() const;

  private:
    void run();

    const std::string source_;
    const uint32_t rate_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex m_;
    std::vector<int16_t> samples_;
    double earliest_ = 0;  // min over buffers of (completion time - frames so far / rate)
    double latest_ = 0;
    bool any_ = false;
    struct Completion {
        double seconds;
        uint64_t frames;
    };
    std::vector<Completion> completions_;
    uint32_t xruns_ = 0;
};

// A timer-driven PipeWire graph that wakes late on a loaded machine loses that time: its sinks
// count fewer frames than the clock passed. The program's streams lose the same cycles, and it
// holds the delay in the graph's frames across them, so an echo interval near such a stall is
// late in real time by the time lost. A recorder through the pulse service may not see the lost
// cycle, and the interval is then as long in its frames too. These tell when.
//
// For every interval of `heard` (seconds in the sink's frames, from a recording of the probe's
// source begun before the burst): how much time the graph lost or gained from `delay` plus the
// program's correction time before the interval began until it ended (seconds), or 0 on a
// server whose sinks keep the system clock (PulseAudio). More than kGraphStall is a stall (a
// loaded machine's probe wanders by up to 0.7 ms; a stall is whole cycles of 1 to 20 ms).
constexpr double kGraphStall = 0.001;
std::vector<double> graphTimeLost(const MonitorProbe& probe, const std::vector<double>& heard,
                                  double delay);
// The same for a figure read at steady-clock moment `at`.
bool graphStalledBefore(const MonitorProbe& probe, double at, double delay);
// Steady-clock seconds now, on the probe's clock.
double probeNow();

// Index of the first frame that is not all zero, at or after `from`; the size when none.
size_t firstSoundFrame(const std::vector<int16_t>& stereo, size_t from = 0);

}  // namespace una::sound

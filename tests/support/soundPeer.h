#pragma once
// Helpers for tests that meet the private sound server: peer programs (pacat, parec) run in
// the background, raw 16-bit stereo files, a test tone and a numbered frame sequence with
// their checks. Not thread-safe; use from the test's thread.

#include <sys/types.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace una::sound {

// True when the private sound server runs (env UNA_SOUND_SERVER).
bool serverAvailable();
// True when the private server is PipeWire (UNA_SOUND_SERVER_KIND): its null sinks run at
// 48 kHz float, so what passes through them is resampled and no longer bit for bit the same.
// Their frames keep the system clock (a timer drives them), and a monitor hands them over a
// whole cycle at a time, so a pace measured from a monitor there is noise.
bool serverResamples();

// A shell command run in the background until stop() or destruction.
class PeerProcess {
  public:
    // A steady peer stands for a source that never pauses (the radio): it runs at a real-time
    // priority where the system allows, so a busy machine does not leave gaps in what it plays.
    enum class Pace { normal, steady };
    explicit PeerProcess(const std::string& shellCommand, Pace pace = Pace::normal);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool running() const { return pid_ > 0; }
    // The process id (the command's own when it starts with exec); -1 when not running.
    pid_t pid() const { return pid_; }
    // Ends the process (SIGTERM, then SIGKILL after a second) and reaps it.
    void stop();
    // Waits for a normal end; false (and the process is killed) after timeoutMs.
    bool waitExit(uint32_t timeoutMs);

  private:
    pid_t pid_ = -1;
};

// The shell command that records a source of the server as raw 16-bit stereo into file.
std::string recordCommand(const std::string& source, uint32_t rate, const std::string& file);

// Runs a shell command to its end; its exit status, -1 when it could not run.
int runCommand(const std::string& shellCommand);

// Runs a shell command to its end and returns what it printed; empty when it could not run.
std::string commandOutput(const std::string& shellCommand);

// What a tool such as sox printed, error messages included, without the closing line breaks:
// one value compares as it stands.
std::string toolOutput(const std::string& shellCommand);
// The arguments of module-null-sink for a sink with that name and description, quoted for the
// shell that loadModule runs (the description may hold blanks and quotes).
std::string nullSinkArguments(const std::string& name, const std::string& description);
// Loads a module into the sound server ("module-null-sink sink_name=x"); its index, -1 on
// failure.
int loadModule(const std::string& moduleAndArguments);
bool unloadModule(int index);
// Index of the first loaded module of that name whose arguments contain the text; -1 if none.
int findModule(const std::string& module, const std::string& argumentsPart);

// The latency the server reports for a sink, in microseconds; -1 when it does not know it.
int64_t sinkLatencyUs(const std::string& sink);
// Waits until every one of the sinks reports less than maxUs of latency; false after timeoutMs.
// A fresh null sink renders up to 2 s ahead and lets that shrink only once a low-latency
// stream plays into it.
bool waitSinksSettled(const std::vector<std::string>& sinks, int64_t maxUs, uint32_t timeoutMs);

// Waits until a peer that records the monitor of `sink` into `file` has begun to write and the
// sink renders in short blocks; false after timeoutMs. An idle null sink renders up to 2 s
// ahead and shrinks that only once the low-latency recorder is there: audio played before
// then reaches the monitor seconds late or is lost to it.
bool waitRecorderReady(const std::string& file, const std::string& sink,
                       uint32_t timeoutMs = 10000);

// Reads the recording in `file` afresh until `complete` holds for it; false after timeoutMs.
// A peer recorder is a process of its own and may be behind on a busy machine: stopping it at
// once loses what the server still holds for it.
bool waitRecording(const std::string& file,
                   const std::function<bool(const std::vector<int16_t>&)>& complete,
                   uint32_t timeoutMs = 10000);

// A scratch file name, unique in this process.
std::string tempPath(const std::string& stem);
bool writeFile(const std::string& path, const std::vector<int16_t>& samples);
std::vector<int16_t> readFile(const std::string& path);

// Interleaved stereo sine of the frequency and peak amplitude.
std::vector<int16_t> tone(double hz, double amplitude, uint32_t rate, double seconds);

struct ToneReading {
    double hz = 0;
    double rms = 0;
};
// Frequency (by rising zero crossings of the left channel) and RMS of the frames.
ToneReading measureTone(const std::vector<int16_t>& stereo, uint32_t rate);

// Frames whose left sample is the frame number (15 bits, wrapping) and whose right sample is
// the complement; no frame is all zero.
std::vector<int16_t> numberedFrames(uint32_t firstFrame, uint32_t frames);

struct SequenceCheck {
    bool found = false;   // a numbered frame was seen
    uint32_t frames = 0;  // consecutive numbered frames after the first one
    uint32_t breaks = 0;  // places where the numbering did not continue
    uint32_t firstNumber = 0;
};
// Follows the numbering from the first non-silent frame to the last numbered one. With
// skipSilence, all-zero frames in between (a player that ran dry) are passed over; they can
// never be numbered frames, whose right sample is the complement of the left.
SequenceCheck checkSequence(const std::vector<int16_t>& stereo, bool skipSilence = false);

// The same for numbered frames played at a higher rate by repeating frames: from the first
// non-silent frame to the last, every frame must be numbered, each number must follow the one
// before or repeat it, and no number may appear more than maxRepeat times in a row. frames
// counts the distinct numbers, breaks the frames that broke a rule.
SequenceCheck checkStretchedSequence(const std::vector<int16_t>& stereo, uint32_t maxRepeat);

// Whether a status line of the program says a delay heard within 2 ms of `seconds`: after
// `key` ("heard ", or "delay 2.0 s, heard " for a given delay set). The figure is in
// milliseconds, and a line within its tolerance may read 1.999 for 2.0.
inline bool heardNear(const std::string& output, const std::string& key, double seconds) {
    for (size_t at = output.find(key); at != std::string::npos; at = output.find(key, at + 1)) {
        const char* figure = output.c_str() + at + key.size();
        char* end = nullptr;
        const double heard = std::strtod(figure, &end);
        if (end != figure && std::fabs(heard - seconds) <= 0.002)
            return true;
    }
    return false;
}

}  // namespace una::sound

#pragma once
// The delay chain without any widget: recorder -> resampler -> holding stream -> mixer ->
// player, with the WAV writer as the recorder's second consumer. The window (or the headless
// runner) drives it: startIn opens the recording side at once and says how long to wait;
// when that time is up the driver calls openOut, which opens the playback side. The audio that
// piled up in the holding stream meanwhile is the delay.
//
// The chain owns no timer, so it needs no event loop: startIn returns the interval of the
// one-shot delay timer to arm (the window's `Timersegons`, a poll loop in headless use) and
// the driver calls openOut when it fires. A playback start is "pending" from startIn until
// openOut or closeIn; openOut without a pending start (a stale tick after a stop) does nothing.
//
// The delay is counted in audio, not on the clock: the held audio lives in a DelayLine, each
// block tagged with the moment it was captured at the recording card, and the mixer takes it
// out so that it is heard exactly the delay later at the playback card, whatever the timer,
// the sound server's start-up and the two paths' latencies did. The timer only opens the
// playback side; the line places the first audible frame, follows drift between the cards,
// recovers from stalls and splices in changes of the delay made while it runs.
//
// Threading: every operation belongs to the owner's thread (the user-interface thread). The
// device workers move the audio; the resampler's worker writes the holding stream under the
// stream's own lock. Meter and held-audio readings are safe to call while the chain runs.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "audio/delayLine.h"
#include "audio/unaWaveFormat.h"
#include "foundation/unaObject.h"

namespace una {
class unaWaveInDevice;
class unaWaveOutDevice;
class unaWaveMixerDevice;
class unaWaveResampler;
class unaRiffStream;
class unaMemoryStream;
class unaMsAcm;
}  // namespace una

namespace una::app {

// Every open and close of the chain waits this long.
inline constexpr uint32_t kChainTimeoutMs = 10000;
// The player takes at most this many chunks of input; the surplus is dropped.
inline constexpr int32_t kPlaybackInputChunks = 10;
// Chunks of silence the player gets when it opens, ahead of the mixer's first chunk.
inline constexpr uint32_t kPlaybackLeadChunks = 3;
// The playback side opens this long before the delay is up (at once for shorter delays). The
// player's stream, and a sound server's sink that idled, take two seconds and more to start
// (more with a long delay's longer chunks) and their clock a moment more to be known; opened
// only when the delay was up, the first frame came that much late and the audio captured
// meanwhile was skipped. Until the first frame is due the player plays silence.
inline constexpr uint32_t kPlaybackWarmUpMs = 4500;

enum class ChainState {
    Idle,           // nothing open, no playback start pending
    Delaying,       // recorder open, holding stream filling, playback start pending
    Running,        // recorder, mixer and player open
    RecordingOnly,  // recorder (and the WAV writer) open, nothing will play
};
// "Idle", "Delaying", "Running", "Recording only".
std::string_view chainStateName(ChainState state);

// Something that did not go as the user asked. The chain carries on where it can.
struct ChainProblem {
    enum class Kind {
        None,
        RecorderFailed,     // the recorder did not open; the chain is back to Idle
        FileNotCreated,     // the WAV file could not be created; running without it
        NoFileName,         // saving was asked for without a file name; running without it
        HoldStreamMissing,  // the mixer gave no holding stream; nothing will play
        PlaybackFailed,     // the player did not open; the recorder runs on, nothing plays
        EncodingUnavailable,  // the file's encoding cannot be written; running without the file
        MixerFailed,        // the mixer did not open; the recorder runs on, nothing is held
        OutFormatLocked,    // the playback format cannot change while a delay is pending
    };
    Kind kind = Kind::None;
    MmResult code = 0;        // the device's result code, 0 when there is none
    std::string deviceText;   // the device's text for code
    std::string fileName;     // for the file problems; the encoding's caption for an encoding

    explicit operator bool() const { return kind != Kind::None; }
};
// The status bar's sentence for a problem: English for the language code "uk", Spanish
// otherwise. Empty for Kind::None.
std::string chainProblemText(const ChainProblem& problem, std::string_view languageCode = {});

// What the user chose for one start, read from the controls at the moment of the start.
struct ChainStartOptions {
    int32_t inDeviceId = -1;  // the selected recording item's data - 10 (-1: the mapper)
    bool loop2Playback = true;
    bool saveToFile = false;
    std::string inFileName;
    uint32_t saveFormatTag = 1;  // the WAV file's format tag: 1 is PCM as recorded
    std::string saveEncodingCaption;  // for the problem text when the tag cannot be written
    double delaySeconds = 4.0;  // the delay edit's value; the exit rule is applied first
    // A delay found, tapped or from a preset: only the bounds apply, its milliseconds stay.
    bool exactDelay = false;
};

struct ChainStartResult {
    bool recording = false;  // the recorder is open
    bool saving = false;     // the WAV writer is open and chained
    // The one-shot timer's interval in ms: when the playback side opens, kPlaybackWarmUpMs
    // before the delay is up (1 for shorter delays); 0 when no playback start is pending.
    uint32_t playbackDelayMs = 0;
    // The delay after the exit rule: what the edit should show now.
    double delaySeconds = 0.1;
    ChainProblem problem;
};

// Bar positions (0-301) of the four level meters; 0 for a closed side.
struct ChainMeters {
    int32_t outLeft = 0;
    int32_t outRight = 0;
    int32_t inLeft = 0;
    int32_t inRight = 0;
};

// What a recording to a file left behind, read once the file was complete.
struct SavedRecording {
    std::string fileName;
    int64_t bytes = 0;        // sample bytes in the file (over all its files)
    uint32_t files = 0;       // 1, or more when it went on in "name-2.wav"...
    uint32_t lostChunks = 0;  // chunks that never reached the file
};

// The recorded radio before the delay, for listening to the TV: each chunk as the recorder
// delivered it (the recording format), the number of its first frame, and the latest reading
// of the recording card's clock (frames counted alike). Runs on the recorder's worker: copy
// and return.
using RadioTap = std::function<void(std::span<const uint8_t> pcm, uint64_t firstFrame,
                                    const platform::StreamTiming& reading)>;

class DelayChain {
  public:
    DelayChain();
    // Stops a running chain (recorder first) and frees the devices.
    ~DelayChain();
    DelayChain(const DelayChain&) = delete;
    DelayChain& operator=(const DelayChain&) = delete;

    // Creates the three long-lived devices on the wave mapper with these formats: the player
    // (input limited to 10 chunks), the recorder (output only to its consumers) and the
    // real-time mixer padding with silence, whose only consumer is the player. Both devices
    // measure their levels. First of all the compression driver list is made and enumerated
    // (compressed WAV files take their codecs from it). Does nothing when the devices exist.
    void setupDevices(const unaPcmFormat& inFormat, const unaPcmFormat& outFormat);

    // Starts the chain (from Idle): recorder on options.inDeviceId; with loop2Playback a new
    // resampler and holding stream; with saveToFile a WAV writer on options.inFileName, opened
    // before it is chained. When the recorder fails to open everything opened is closed again,
    // nothing is pending, and the result carries the device's error text. A WAV file that
    // cannot be created leaves the chain running without it and says so in the result.
    // With the recorder already open nothing is touched, but a playback start is still made
    // pending when loop2Playback is set and the player is closed.
    ChainStartResult startIn(const ChainStartOptions& options);

    // The delay timer's tick: opens the player on outDeviceId (read now, so a change during
    // the delay counts), gives it kPlaybackLeadChunks of silence and then opens the mixer.
    // False, nothing done, without a pending start or when the player is already open; false
    // with lastProblem() set when the player or the mixer failed to open, in which case the
    // recorder runs on alone and the held audio is dropped.
    bool openOut(int32_t outDeviceId);

    // Stops the whole chain: cancels a pending playback start, closes the recorder, frees the
    // resampler and the WAV writer (completing the file), stops the playback side and drops
    // the held audio. Safe in any state.
    void closeIn();
    // Stops the playback side: mixer, then player; frees a resampler still assigned.
    void closeOut();

    // closeIn if the recorder is open or a start is pending, then closeOut if the player is
    // open, then frees recorder, player, mixer and the compression driver list.
    // setupDevices may create them again.
    void releaseDevices();

    bool hasDevices() const;
    bool isInOpen() const;
    bool isOutOpen() const;
    bool isPlaybackPending() const { return playbackPending_; }
    bool isSaving() const;
    ChainState state() const;

    // The PCM formats the devices get, and the descriptions the window shows.
    const unaPcmFormat& inFormat() const { return inFormat_; }
    const unaPcmFormat& outFormat() const { return outFormat_; }
    // Gives the recorder the format at once (used from its next open and by the next start's
    // resampler); false when a device gate stays busy.
    bool setInFormat(const unaPcmFormat& format);
    // Gives the player and the mixer the format at once; false when a device gate stays busy.
    // Refused (false, lastProblem() says so, nothing changes) while a playback start is
    // pending or the playback side runs: the held audio is in the old format.
    bool setOutFormat(const unaPcmFormat& format);
    // The recorder's own-side description ("PCM: 44,100 Hz; 16 Bit; Stereo"); empty without
    // devices.
    std::string inFormatText() const;
    // The player's.
    std::string outFormatText() const;

    ChainMeters meters() const;
    // Bytes of converted audio held for the delay, and as seconds of the playback format; 0
    // when nothing is held.
    uint64_t heldBytes() const;
    double heldSeconds() const;
    // The delay of the current (or last) start, or of the last change, in ms.
    uint32_t delayMs() const { return delayMs_; }

    // Changes the delay, also while the chain runs (the exit rule's bounds and one decimal
    // apply): a longer delay inserts silence, a shorter one skips held audio, crossfaded,
    // within the next chunk. The WAV recording goes on untouched. Returns the delay now set.
    double setDelay(double seconds);
    // The same for a delay found, tapped or from a preset: held within 0.1-160 s, kept to the
    // millisecond.
    double setDelayExact(double seconds);

    // The delay as it is heard (measured end to end on the cards' clocks) and what the line
    // did to keep it; not measured before the first audible frame or without a holding line.
    DelayLine::Figures delayFigures() const;

    // Chunks the mixer handed the player that its input refused (full, or its lock busy) since
    // the player last opened: audio never heard. 0 without a player.
    uint32_t playbackLostChunks() const;

    // The recording the last closeIn completed; empty (no file name) before any.
    const SavedRecording& lastRecording() const { return lastRecording_; }

    // Hands the recorded radio to `tap` from now on (none: to nobody), while the chain holds
    // a delay. The tap is swapped under a lock of its own, so the worker never calls one that
    // was replaced.
    void setRadioTap(RadioTap tap);

    // The last problem reported by startIn or openOut; cleared by the next startIn.
    const ChainProblem& lastProblem() const { return problem_; }

    // The devices, for format choosing and tests. The recorder and the player are made anew
    // when a start asks for a different device id, so do not keep these across a start.
    unaWaveInDevice* waveIn() const { return waveIn_.get(); }
    unaWaveOutDevice* waveOut() const { return waveOut_.get(); }
    unaWaveMixerDevice* mixer() const { return mixer_.get(); }
    unaWaveResampler* resampler() const { return resampler_.get(); }
    unaRiffStream* riff() const { return riff_.get(); }
    unaMsAcm* acm() const { return acm_.get(); }
    unaMemoryStream* holdStream() const { return holdStream_; }

  private:
    struct HoldFeed;
    struct TapSlot;

    void makeWaveIn(int32_t deviceId);
    void makeWaveOut(int32_t deviceId);
    void stopHolding();
    void dropHoldStream();

    unaPtr<unaMsAcm> acm_;
    unaPtr<unaWaveInDevice> waveIn_;
    unaPtr<unaWaveOutDevice> waveOut_;
    unaPtr<unaWaveMixerDevice> mixer_;
    unaPtr<unaWaveResampler> resampler_;
    unaPtr<unaRiffStream> riff_;
    unaMemoryStream* holdStream_ = nullptr;  // owned by mixer_
    std::shared_ptr<HoldFeed> feed_;         // shared with the resampler's callback
    std::shared_ptr<TapSlot> radioTap_;      // shared with the recorder's callback
    unaPcmFormat inFormat_{44100, 16, 2};
    unaPcmFormat outFormat_{44100, 16, 2};
    bool playbackPending_ = false;
    uint32_t delayMs_ = 0;
    uint32_t chunkRate_ = 25;  // chunks a second of the current start
    ChainProblem problem_;
    SavedRecording lastRecording_;
};

}  // namespace una::app

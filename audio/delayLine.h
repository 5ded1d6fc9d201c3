#pragma once
// The delay itself, counted in audio: the converted recording waits here, each block tagged
// with the moment its first frame was captured at the recording card's converter, and leaves
// for the player so that it is heard exactly the chosen delay after it was captured.
//
// For every chunk the player gets, the line compares the time the chunk's first frame will be
// heard (from the playback card's clock model) with the capture time of the held frame that
// would go into it. The difference minus the delay is the error:
// - a large error (the start, a change of the delay, a stall of the timer or the machine) is
//   spliced away at once: held audio is skipped, or silence is inserted, crossfaded over a few
//   milliseconds so that nothing clicks;
// - a small steady error means the two cards' clocks run apart: the held audio goes through a
//   resampler whose ratio follows the measured drift, nudged by the error;
// - with no drift measured (one clock) the audio passes bit for bit, and a small error left
//   over from the start is trimmed once the clocks have settled.
// It also tells the real-time mixer that feeds the player how many chunks to deliver on each
// tick, so the player's input follows the playback card's clock rather than the system timer's.
//
// Single-threaded and driven by calls, so a simulation can run hours of it in seconds; the
// delay chain calls it from its device workers under one lock of its own.

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "audio/clockModel.h"
#include "audio/driftResampler.h"
#include "platform/soundCard.h"

namespace una {

struct DelayLineFormat {
    uint32_t sourceRate = 44100;  // the recorder's rate: the frames of inputTiming and hold
    uint32_t rate = 44100;        // the held audio's and the player's rate
    uint32_t channels = 2;
    uint32_t bits = 16;           // 8, 16 or 32
    uint32_t chunkFrames = 1764;  // frames of one chunk of the player
};

struct DelayLineTuning {
    int64_t crossfadeNs = 4'000'000;
    // Errors beyond this are spliced away at once (after two chunks agree, so one odd reading
    // cannot cause a splice).
    int64_t spliceNs = 15'000'000;
    // Errors beyond this are trimmed when they have lasted trimAfterNs and no drift is measured.
    int64_t trimNs = 800'000;
    int64_t trimAfterNs = 1'000'000'000;
    // Drift between the cards beyond this (once both rates are known) engages the resampler.
    double driftPpm = 10;
    // The resampler works an error off over about this long.
    double correctionSeconds = 20;
    // Audio the player has been given and not yet played, kept near this.
    int64_t backlogNs = 150'000'000;
    // A skip never leaves less held than this beyond the chunk being made, so the player is
    // never fed what has not arrived yet.
    int64_t minHeldNs = 40'000'000;
    // Playback readings wanted before the first audible frame, so the start is already exact.
    int64_t settleNs = 600'000'000;
    // Held audio beyond this (no player is taking it) is dropped from the front.
    int64_t maxHeldNs = 170'000'000'000;
    ClockModel::Tuning clock;
};

class DelayLine {
  public:
    explicit DelayLine(const DelayLineFormat& format, const DelayLineTuning& tuning = {});
    ~DelayLine();
    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    // From sound in to sound out. A change is spliced in at the next chunk (longer: silence,
    // shorter: held audio skipped).
    void setDelay(int64_t ns);
    int64_t delay() const { return delayNs_; }

    // A reading of the recording card's clock (source frames) and of the playback card's.
    // `fresh`: the readings until now were of another kind (the device's count, while the card
    // could not tell yet); the model starts again from this one, and what is held is tagged
    // again on it.
    void inputTiming(const platform::StreamTiming& reading, bool fresh = false);
    void outputTiming(const platform::StreamTiming& reading, bool fresh = false);

    // One of the streams moved to another device at `atNs` (CLOCK_MONOTONIC): its clock breaks
    // for reasons of its own, so breaks near it are no skip of a clock the two share.
    void deviceMoved(int64_t atNs);

    // Whether the two streams run on one graph's cycles, so that breaks of both clocks alike
    // may be one skip of that graph. Elsewhere each break is its own and is corrected at once.
    void setSharedCycles(bool shared) { sharedCycles_ = shared; }

    // Converted audio whose first frame is source frame `sourceFrame` of the recording; only
    // whole frames count. False (the audio is dropped) before the first input reading.
    bool hold(std::span<const uint8_t> audio, uint64_t sourceFrame);

    // True once the playback card's readings say it is playing.
    bool playbackClockKnown() const { return outModel_.valid(); }

    // The mixer's tick: how many chunks (0, 1 or 2) the player should get now, given that it
    // has been given `outputFrame` frames so far.
    uint32_t chunksForTick(int64_t nowNs, uint64_t outputFrame);
    // Fills one chunk (whole frames) for the player; its first frame becomes output frame
    // `outputFrame` of the playback card. Silence until both clocks are known and the start
    // has been placed.
    void play(std::span<uint8_t> chunk, uint64_t outputFrame);

    struct Figures {
        bool playing = false;      // audible audio is being played
        bool measured = false;     // delayNs is a measurement
        // When the first audible frame is heard (monotonic clock); 0 until it is placed.
        int64_t firstSoundNs = 0;
        int64_t delayNs = 0;       // end to end, averaged over the last second of chunks
        int64_t errorNs = 0;       // delayNs minus the delay asked for
        double driftPpm = 0;       // recording card against playback card
        bool resampling = false;   // the drift resampler is in the path
        double ratio = 1.0;        // its ratio
        uint64_t heldFrames = 0;   // held and not yet played
        uint32_t splices = 0;      // large corrections
        uint32_t trims = 0;        // small ones
        uint64_t dryFrames = 0;    // frames played as silence because nothing was held
        uint64_t droppedFrames = 0;  // held frames dropped because nothing played them
        uint32_t inputBreaks = 0;
        uint32_t outputBreaks = 0;
    };
    Figures figures() const;

    const DelayLineFormat& format() const { return format_; }

  private:
    struct Block {
        std::vector<uint8_t> data;
        uint64_t first = 0;      // held frame index of its first frame
        int64_t captureNs = 0;   // when that frame was captured
        uint64_t sourceFrame = 0;  // the recorder's frame it began with
        // Tagged while the recording card's readings strayed: tagged again if they turn out
        // to be a break.
        bool provisional = false;
        bool nominalTag = false;  // tagged before the recording card's rate was fitted
        uint32_t epoch = 0;       // the recording clock's breaks before it was tagged
        uint64_t end() const;
        uint32_t frameBytes = 0;
    };

    // What the reader is doing besides copying.
    struct Splice {
        uint64_t silence = 0;    // frames of silence still to emit
        uint32_t fadeOut = 0;    // frames still to fade out (then silence, then fade in)
        uint32_t fadeIn = 0;     // frames still to fade in
        uint32_t cross = 0;      // frames still to crossfade from the read position to other
        uint64_t other = 0;      // where the crossfade goes
        bool busy() const { return silence || fadeOut || fadeIn || cross; }
    };

    uint64_t heldFrames() const { return heldEnd_ - readPos_; }
    const Block* blockOf(uint64_t frame) const;
    // Capture time of a held frame still kept (or the last kept one's, extrapolated).
    int64_t captureTimeOf(double frame) const;
    void trimHistory();
    void retagOnNewRates();
    // A clock model broke (`input`: the recording's): pairs it with a break of the other one.
    void onBreak(bool input);
    void retimeShared();
    void dropOverflow();

    // Emits frames of the held stream with the splice applied into out (bytes of the format).
    void emitFrames(uint8_t* out, uint32_t frames);
    void copyFrames(uint8_t* out, uint32_t frames);
    float sampleAt(uint64_t frame, uint32_t channel) const;
    void putSample(uint8_t* out, uint32_t channel, float value) const;

    void decide(uint64_t outputFrame);
    // False when there was nothing to do (nothing held to skip).
    bool startSplice(int64_t errorFrames, bool allowRepeat);
    void playResampled(uint8_t* out, uint32_t frames);
    // The held frame the next output frame comes from; false while that is not clean (a
    // splice is still in the resampler).
    bool sourcePosition(double& position) const;
    // Bookkeeping of what the reader emitted into the resampler's staging.
    void note(uint64_t position, uint32_t frames);
    void feedResampler(uint32_t frames);
    // Makes frames of resampled output (interleaved floats); the number made.
    uint32_t runResampler(float* out, uint32_t frames);
    void engageResampler(double ratio);

    const DelayLineFormat format_;
    const DelayLineTuning tuning_;
    const uint32_t frameBytes_;
    const uint32_t crossFrames_;

    ClockModel inModel_;
    ClockModel outModel_;
    int64_t firstOutputReadingNs_ = 0;
    int64_t firstInputReadingNs_ = 0;
    // The recording's breaks while its line rested on its first readings: those put a line
    // that a sound server's first answers placed wrong right, and lost no audio.
    uint32_t earlyInBreaks_ = 0;
    // The playback line was started again on better readings after the start: the audio is
    // placed again once the line rests on enough of them.
    bool replace_ = false;
    int64_t delayNs_ = 0;
    bool delayChanged_ = false;
    // Blocks were held while the recording card's rate was not fitted yet.
    bool nominalTags_ = false;
    // Breaks of the two clocks since the first of them, not yet found to be one skip of a
    // clock both share. Each side's breaks are summed: after a skip a sound server's answers
    // may place a line wrong at first and the next break puts it right.
    struct BreakGroup {
        int64_t openedNs = 0;          // 0: no group
        uint32_t firstEpoch = 0;       // the recording clock's breaks before the group's first
        std::vector<int64_t> inSteps;  // each recording break's shift, the last one live
        int64_t outDone = 0;           // the playback breaks' shifts but the last
        bool outBroke = false;
    };
    BreakGroup group_;
    int64_t movedAtNs_ = 0;  // the last move of a stream to another device; 0: none
    bool sharedCycles_ = false;
    // Each line's last break's shift as of its last reading.
    int64_t lastInShiftNs_ = 0;
    int64_t lastOutShiftNs_ = 0;
    // Both clocks broke by the same amount: the clock they share (a sound server's graph)
    // skipped, and the audio held from before is timed again on the recording's new line.
    struct SharedShift {
        bool active = false;
        uint32_t epoch = 0;   // blocks of an earlier epoch were tagged on an older line
        int64_t appliedNs = 0;
        int64_t untilNs = 0;  // the new lines are followed until then
    };
    SharedShift shared_;

    std::deque<Block> blocks_;
    std::vector<std::vector<uint8_t>> spare_;
    uint64_t heldEnd_ = 0;
    uint64_t readPos_ = 0;
    uint64_t historyFrames_ = 0;

    Splice splice_;
    bool started_ = false;
    bool dry_ = false;
    int outsideCount_ = 0;   // consecutive chunks with a large error of one sign
    int64_t trimSinceNs_ = 0;

    std::unique_ptr<DriftResampler> resampler_;
    std::vector<float> staging_;  // frames on their way into the resampler
    // Which held frames went into the resampler: frames `stream`.. of its input came from held
    // frames `held`.. (all ones for silence and crossfades).
    struct Run {
        uint64_t stream;
        uint64_t held;
        uint32_t frames;
    };
    std::deque<Run> runs_;
    double lookahead_ = 256;  // input frames the filter wants past the frame it makes
    double targetRatio_ = 1.0;
    double driftTrim_ = 0;
    std::vector<uint8_t> scratch_;
    std::vector<float> floatScratch_;
    bool engaging_ = false;

    Figures figures_;
    double figureNs_ = 0;  // the delay heard as shown, averaged
    bool figureValid_ = false;
};

}  // namespace una

#include "audio/delayLine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "audio/unaWaveSoftwareDevice.h"

namespace una {

namespace {

constexpr double kNsPerSecond = 1e9;
constexpr size_t kSpareBlocks = 8;
constexpr uint64_t kUnknown = UINT64_MAX;
// The resampler's ratio stays within this of 1 and moves at most a step per chunk.
constexpr double kMaxCorrection = 1e-3;
constexpr double kRatioStep = 5e-6;
// The most the error's integral may add to the drift's figure.
constexpr double kMaxDriftTrim = 1e-4;
// Frames of what was just played that start the resampler, and the most it may want to see
// ahead of the frame it makes.
constexpr uint32_t kPrimeFrames = 1024;
constexpr double kMaxLookahead = 16384;
constexpr int64_t kShortestBacklogNs = 80'000'000;
// Corrections up to this size repeat a little of what was just played instead of inserting
// silence: no gap to hear.
constexpr int64_t kRepeatUpToNs = 20'000'000;
// Held audio tagged on a nominal rate is tagged again on the fitted line only this recent:
// older audio would be placed by extrapolating a half-minute rate too far back.
constexpr double kRetagUpToSeconds = 20;
// The delay heard is shown averaged over about this long; a change beyond kFigureJumpNs shows
// at once.
constexpr double kFigureSeconds = 1.0;
constexpr double kFigureJumpNs = 5e6;
// Breaks of the two clocks this close together and this alike are one skip of a clock they
// share. On PipeWire's pulse service the two were declared up to 0.4 s apart, a line placed
// wrong by the first answers after a skip was put right by a second break up to 1.2 s later,
// and the two sides' sums agreed within 1.5 ms, rarely 3. Longer skips are a machine that
// stood still, where the recording lost real time and the delay must follow it.
constexpr int64_t kPairWithinNs = 1'500'000'000;
constexpr int64_t kSameShiftNs = 3'000'000;
constexpr int64_t kLongestSharedShiftNs = 100'000'000;

int64_t framesOf(int64_t ns, uint32_t rate) {
    return static_cast<int64_t>(std::llround(static_cast<double>(ns) * rate / kNsPerSecond));
}

double sampleScale(uint32_t bits) {
    return bits == 32 ? 2147483648.0 : 32768.0;
}

// Raised cosine from 0 to 1 over `length` steps; step i of 0..length-1.
float riseAt(uint32_t i, uint32_t length) {
    return static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * (i + 1.0) / (length + 1.0)));
}

}  // namespace

uint64_t DelayLine::Block::end() const {
    return first + (frameBytes ? data.size() / frameBytes : 0);
}

DelayLine::DelayLine(const DelayLineFormat& format, const DelayLineTuning& tuning)
    : format_(format),
      tuning_(tuning),
      frameBytes_(std::max<uint32_t>(1, format.channels * format.bits / 8)),
      crossFrames_(static_cast<uint32_t>(
          std::max<int64_t>(1, framesOf(tuning.crossfadeNs, format.rate)))),
      inModel_(format.sourceRate, tuning.clock),
      outModel_(format.rate, tuning.clock) {
    // Enough behind the read position for a repeat and for priming the resampler.
    historyFrames_ = static_cast<uint64_t>(framesOf(5 * kRepeatUpToNs, format.rate)) + 4096;
}

DelayLine::~DelayLine() = default;

void DelayLine::setDelay(int64_t ns) {
    if (ns == delayNs_)
        return;
    delayNs_ = ns;
    delayChanged_ = started_;
}

void DelayLine::inputTiming(const platform::StreamTiming& reading, bool fresh) {
    // Until the first frame has passed, a card's count says nothing about its line.
    if (reading.frames == 0)
        return;
    if (fresh && inModel_.valid()) {
        inModel_.reset();
        group_ = {};
        shared_ = {};
        inModel_.add(reading.monotonicNs, reading.frames);
        for (Block& b : blocks_) {
            b.captureNs = inModel_.timeOfFrame(static_cast<double>(b.sourceFrame));
            b.provisional = false;
            b.nominalTag = inModel_.ppm() == 0;
            nominalTags_ = nominalTags_ || b.nominalTag;
        }
        return;
    }
    if (!inModel_.valid())
        firstInputReadingNs_ = reading.monotonicNs;
    const bool broke = inModel_.add(reading.monotonicNs, reading.frames);
    const bool early = reading.monotonicNs - firstInputReadingNs_ < tuning_.settleNs;
    if (broke && !started_ && early)
        earlyInBreaks_ = inModel_.breaks();
    // PipeWire's pulse service stamped a recording's first answer up to 11 ms late now and
    // then. A short delay's start falls due before enough readings can break the line, and
    // placed on that answer it was heard that much late: the readings after it start the
    // line again at once, and what is held is tagged again on it.
    const bool restarted = !started_ && early && inModel_.suspect();
    if (restarted) {
        inModel_.reset();
        inModel_.add(reading.monotonicNs, reading.frames);
    }
    figures_.inputBreaks = inModel_.breaks();
    retagOnNewRates();
    // Blocks tagged since the readings began to stray were tagged on the old line.
    for (auto it = blocks_.rbegin(); it != blocks_.rend() && it->provisional; ++it) {
        if (broke || restarted) {
            it->captureNs = inModel_.timeOfFrame(static_cast<double>(it->sourceFrame));
            it->epoch = inModel_.breaks();
        }
        if (broke || !inModel_.suspect())
            it->provisional = false;
    }
    if (broke)
        onBreak(true);
    else if (shared_.active)
        retimeShared();
    lastInShiftNs_ = inModel_.breakShiftNs();
}

void DelayLine::outputTiming(const platform::StreamTiming& reading, bool fresh) {
    if (reading.frames == 0)
        return;
    if (fresh) {
        outModel_.reset();
        group_ = {};
    }
    if (!outModel_.valid())
        firstOutputReadingNs_ = reading.monotonicNs;
    const bool broke = outModel_.add(reading.monotonicNs, reading.frames);
    // A graph server's first few answers put the playback line a few milliseconds late until
    // better-timed ones come, so while it rests on them a reading that strays starts it again
    // at once: waiting for a break let the first audio of a short delay fall due and be
    // skipped, and a start already placed on them was heard that far off for seconds.
    const bool early = reading.monotonicNs - firstOutputReadingNs_ < tuning_.settleNs;
    if ((!started_ || early) && outModel_.suspect()) {
        replace_ = started_;
        outModel_.reset();
        outModel_.add(reading.monotonicNs, reading.frames);
    }
    figures_.outputBreaks = outModel_.breaks();
    retagOnNewRates();
    if (broke)
        onBreak(false);
    lastOutShiftNs_ = outModel_.breakShiftNs();
}

void DelayLine::deviceMoved(int64_t atNs) {
    movedAtNs_ = atNs;
    group_ = {};
}

void DelayLine::onBreak(bool input) {
    // A graph that skips a cycle takes it from the recording and the playback alike: measured
    // in the graph's frames nothing moved, and trimming the delay now would only have the gap
    // put back when the audio recorded after the skip comes round.
    shared_ = {};
    // Before the start nothing was heard: the start is placed on the lines as they are then.
    // Without a shared graph there is no partner to wait for: PulseAudio under load broke
    // one playback line by 6.5 ms, and waiting out the pair window kept that error for two
    // echoes instead of trimming it after one.
    if (!started_ || !sharedCycles_) {
        group_ = {};
        return;
    }
    const ClockModel& self = input ? inModel_ : outModel_;
    const int64_t at = self.lastBreakNs();
    if (group_.openedNs != 0 && at - group_.openedNs > kPairWithinNs)
        group_ = {};
    if (movedAtNs_ != 0 && std::abs(at - movedAtNs_) <= 2 * kPairWithinNs) {
        group_ = {};
        return;
    }
    // A longer skip is a machine that stood still: the recording lost real time.
    if (std::abs(self.breakShiftNs()) > kLongestSharedShiftNs) {
        group_ = {};
        return;
    }
    if (group_.openedNs == 0) {
        group_.openedNs = at;
        group_.firstEpoch = inModel_.breaks() - (input ? 1 : 0);
    }
    if (input) {
        if (!group_.inSteps.empty())
            group_.inSteps.back() = lastInShiftNs_;
        group_.inSteps.push_back(inModel_.breakShiftNs());
    } else {
        if (group_.outBroke)
            group_.outDone += lastOutShiftNs_;
        group_.outBroke = true;
    }
    if (group_.inSteps.empty() || !group_.outBroke)
        return;
    group_.inSteps.back() = inModel_.breakShiftNs();
    int64_t inSum = 0;
    for (int64_t step : group_.inSteps)
        inSum += step;
    const int64_t outSum = group_.outDone + outModel_.breakShiftNs();
    if (std::abs(inSum - outSum) > kSameShiftNs || std::abs(inSum) > kLongestSharedShiftNs)
        return;
    // The audio held on each line before the group is moved onto the line of now.
    const uint32_t epoch = inModel_.breaks();
    for (Block& b : blocks_) {
        if (b.epoch >= epoch)
            break;
        int64_t shift = 0;
        for (uint32_t k = std::max(b.epoch, group_.firstEpoch) - group_.firstEpoch;
             k < group_.inSteps.size(); ++k)
            shift += group_.inSteps[k];
        b.captureNs += shift;
    }
    shared_.active = true;
    shared_.epoch = epoch;
    shared_.appliedNs = group_.inSteps.back();
    shared_.untilNs = at + tuning_.clock.offsetWindowNs;
    group_ = {};
}

void DelayLine::retimeShared() {
    // The new lines rest on few readings at first: what was held is timed again as they
    // settle, the old audio by the shift of the recording's line, the new on the line itself.
    const int64_t shift = inModel_.breakShiftNs();
    const int64_t change = shift - shared_.appliedNs;
    shared_.appliedNs = shift;
    for (Block& b : blocks_) {
        if (b.epoch < shared_.epoch)
            b.captureNs += change;
        else if (b.epoch == shared_.epoch && !b.provisional)
            b.captureNs = inModel_.timeOfFrame(static_cast<double>(b.sourceFrame));
    }
    if (inModel_.lastReadingNs() >= shared_.untilNs)
        shared_.active = false;
}

void DelayLine::retagOnNewRates() {
    // Until a card's rate is fitted (some seconds of readings) its model counts it at the
    // nominal rate and lags a card that runs off it (a null sink runs hundreds of ppm fast) by
    // up to a millisecond or two. Held audio tagged then, played against a fitted playback
    // model, was that far off, and a change of the delay spliced on it landed so. Once both
    // rates are fitted, the recent audio tagged on the nominal rate is tagged again, once.
    // A rate not fitted yet is exactly the nominal one.
    if (!nominalTags_ || inModel_.ppm() == 0 || outModel_.ppm() == 0)
        return;
    nominalTags_ = false;
    const double newest = blocks_.empty() ? 0.0 : static_cast<double>(blocks_.back().sourceFrame);
    for (Block& b : blocks_) {
        if (b.nominalTag &&
            newest - static_cast<double>(b.sourceFrame) < kRetagUpToSeconds * format_.sourceRate)
            b.captureNs = inModel_.timeOfFrame(static_cast<double>(b.sourceFrame));
        b.nominalTag = false;
    }
}

bool DelayLine::hold(std::span<const uint8_t> audio, uint64_t sourceFrame) {
    if (!inModel_.valid())
        return false;
    const size_t frames = audio.size() / frameBytes_;
    if (frames == 0)
        return true;
    Block block;
    if (!spare_.empty()) {
        block.data = std::move(spare_.back());
        spare_.pop_back();
    }
    block.data.assign(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes_));
    block.frameBytes = frameBytes_;
    block.first = heldEnd_;
    block.captureNs = inModel_.timeOfFrame(static_cast<double>(sourceFrame));
    block.nominalTag = inModel_.ppm() == 0;
    nominalTags_ = nominalTags_ || block.nominalTag;
    block.sourceFrame = sourceFrame;
    block.provisional = inModel_.suspect();
    block.epoch = inModel_.breaks();
    heldEnd_ += frames;
    blocks_.push_back(std::move(block));
    dropOverflow();
    return true;
}

const DelayLine::Block* DelayLine::blockOf(uint64_t frame) const {
    if (blocks_.empty())
        return nullptr;
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), frame,
                               [](uint64_t f, const Block& b) { return f < b.first; });
    if (it == blocks_.begin())
        return nullptr;
    const Block& b = *std::prev(it);
    return frame < b.end() ? &b : nullptr;
}

int64_t DelayLine::captureTimeOf(double frame) const {
    if (blocks_.empty())
        return 0;
    const double clamped = std::max(frame, static_cast<double>(blocks_.front().first));
    const Block* b = blockOf(static_cast<uint64_t>(clamped));
    if (!b)
        b = &blocks_.back();
    return b->captureNs + static_cast<int64_t>(std::llround(
                              (clamped - static_cast<double>(b->first)) * kNsPerSecond /
                              format_.rate));
}

void DelayLine::trimHistory() {
    uint64_t keepFrom = readPos_ > historyFrames_ ? readPos_ - historyFrames_ : 0;
    if (splice_.cross > 0)
        keepFrom = std::min(keepFrom, splice_.other);
    while (!blocks_.empty() && blocks_.front().end() <= keepFrom) {
        if (spare_.size() < kSpareBlocks)
            spare_.push_back(std::move(blocks_.front().data));
        blocks_.pop_front();
    }
}

void DelayLine::dropOverflow() {
    const auto limit = static_cast<uint64_t>(framesOf(tuning_.maxHeldNs, format_.rate));
    if (heldFrames() <= limit)
        return;
    const uint64_t excess = heldFrames() - limit;
    readPos_ += excess;
    figures_.droppedFrames += excess;
    splice_ = {};
    trimHistory();
}

float DelayLine::sampleAt(uint64_t frame, uint32_t channel) const {
    const Block* b = blockOf(frame);
    if (!b)
        return 0.0f;
    const uint32_t bytes = format_.bits / 8;
    const uint8_t* at = b->data.data() + (frame - b->first) * frameBytes_ + channel * bytes;
    return static_cast<float>(readSample(at, format_.bits) / sampleScale(format_.bits));
}

void DelayLine::putSample(uint8_t* out, uint32_t channel, float value) const {
    const double scaled = std::clamp(static_cast<double>(value) * sampleScale(format_.bits),
                                     -2147483648.0, 2147483647.0);
    writeSample(out + channel * (format_.bits / 8), std::llround(scaled), format_.bits);
}

void DelayLine::copyFrames(uint8_t* out, uint32_t frames) {
    while (frames > 0) {
        const Block* b = blockOf(readPos_);
        if (!b)
            break;
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(frames, b->end() - readPos_));
        std::memcpy(out, b->data.data() + (readPos_ - b->first) * frameBytes_,
                    static_cast<size_t>(n) * frameBytes_);
        out += static_cast<size_t>(n) * frameBytes_;
        readPos_ += n;
        frames -= n;
    }
}

void DelayLine::emitFrames(uint8_t* out, uint32_t frames) {
    const uint8_t quiet = silenceByte(format_.bits);
    const uint32_t channels = format_.channels;
    while (frames > 0) {
        if (splice_.fadeOut > 0 && readPos_ < heldEnd_) {
            note(readPos_, 1);
            const float gain = 1.0f - riseAt(crossFrames_ - splice_.fadeOut, crossFrames_);
            for (uint32_t c = 0; c < channels; ++c)
                putSample(out, c, sampleAt(readPos_, c) * gain);
            ++readPos_;
            --splice_.fadeOut;
        } else if (splice_.silence > 0 || splice_.fadeOut > 0) {
            splice_.fadeOut = 0;
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(frames, splice_.silence));
            if (n == 0)
                continue;
            std::memset(out, quiet, static_cast<size_t>(n) * frameBytes_);
            note(kUnknown, n);
            splice_.silence -= n;
            out += static_cast<size_t>(n) * frameBytes_;
            frames -= n;
            continue;
        } else if (readPos_ >= heldEnd_) {
            // Nothing held: the player hears silence, and what arrives next fades in.
            std::memset(out, quiet, static_cast<size_t>(frames) * frameBytes_);
            note(kUnknown, frames);
            figures_.dryFrames += frames;
            dry_ = true;
            splice_.cross = 0;
            return;
        } else if (dry_) {
            dry_ = false;
            splice_.fadeIn = crossFrames_;
            continue;
        } else if (splice_.cross > 0) {
            if (splice_.other >= heldEnd_) {
                splice_.cross = 0;
                continue;
            }
            note(kUnknown, 1);
            const float w = riseAt(crossFrames_ - splice_.cross, crossFrames_);
            for (uint32_t c = 0; c < channels; ++c)
                putSample(out, c,
                          sampleAt(readPos_, c) * (1.0f - w) + sampleAt(splice_.other, c) * w);
            ++readPos_;
            ++splice_.other;
            if (--splice_.cross == 0)
                readPos_ = splice_.other;
        } else if (splice_.fadeIn > 0) {
            note(readPos_, 1);
            const float gain = riseAt(crossFrames_ - splice_.fadeIn, crossFrames_);
            for (uint32_t c = 0; c < channels; ++c)
                putSample(out, c, sampleAt(readPos_, c) * gain);
            ++readPos_;
            --splice_.fadeIn;
        } else {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(frames, heldEnd_ - readPos_));
            note(readPos_, n);
            copyFrames(out, n);
            out += static_cast<size_t>(n) * frameBytes_;
            frames -= n;
            continue;
        }
        out += frameBytes_;
        --frames;
    }
}

void DelayLine::note(uint64_t position, uint32_t frames) {
    if (!resampler_ || frames == 0)
        return;
    if (!runs_.empty()) {
        Run& last = runs_.back();
        const bool known = position != kUnknown && last.held != kUnknown;
        if ((known && last.held + last.frames == position) ||
            (position == kUnknown && last.held == kUnknown)) {
            last.frames += frames;
            return;
        }
    }
    const uint64_t start = runs_.empty() ? 0 : runs_.back().stream + runs_.back().frames;
    runs_.push_back({start, position, frames});
}

bool DelayLine::sourcePosition(double& position) const {
    if (!resampler_) {
        position = static_cast<double>(readPos_);
        return true;
    }
    const double at = resampler_->position();
    for (const Run& run : runs_) {
        if (at < static_cast<double>(run.stream))
            break;
        if (at < static_cast<double>(run.stream + run.frames)) {
            if (run.held == kUnknown)
                return false;
            position = static_cast<double>(run.held) + (at - static_cast<double>(run.stream));
            return true;
        }
    }
    return false;
}

bool DelayLine::startSplice(int64_t errorFrames, bool allowRepeat) {
    if (errorFrames > 0) {
        // What the chunk being made takes, plus the cushion, stays held.
        const uint64_t keep = static_cast<uint64_t>(framesOf(tuning_.minHeldNs, format_.rate)) +
                              format_.chunkFrames + crossFrames_;
        const uint64_t held = heldFrames();
        const uint64_t room = held > keep ? held - keep : 0;
        const uint64_t skip = std::min<uint64_t>(static_cast<uint64_t>(errorFrames), room);
        if (skip == 0)
            return false;
        splice_.cross = crossFrames_;
        splice_.other = readPos_ + skip;
        return true;
    }
    const auto insert = static_cast<uint64_t>(-errorFrames);
    if (insert == 0)
        return false;
    const uint64_t oldest = blocks_.empty() ? readPos_ : blocks_.front().first;
    if (allowRepeat && insert <= readPos_ - oldest &&
        insert <= static_cast<uint64_t>(framesOf(kRepeatUpToNs, format_.rate))) {
        splice_.cross = crossFrames_;
        splice_.other = readPos_ - insert;
        return true;
    }
    splice_.fadeOut = crossFrames_;
    splice_.silence = insert;
    splice_.fadeIn = crossFrames_;
    return true;
}

void DelayLine::decide(uint64_t outputFrame) {
    if (!inModel_.valid() || !outModel_.valid() || readPos_ >= heldEnd_)
        return;
    const bool settling =
        !started_ && outModel_.lastReadingNs() - firstOutputReadingNs_ < tuning_.settleNs;
    double position = 0;
    if (!sourcePosition(position) || outModel_.suspect())
        return;
    // One clock broke: the other may follow as its readings come in, and then nothing is to
    // be corrected.
    if (started_ && group_.openedNs != 0 &&
        std::max(inModel_.lastReadingNs(), outModel_.lastReadingNs()) - group_.openedNs <
            kPairWithinNs)
        return;
    if (const Block* b = blockOf(static_cast<uint64_t>(std::max(0.0, position)));
        b && b->provisional)
        return;
    if (!started_ && inModel_.breaks() == earlyInBreaks_ && inModel_.ppm() == 0) {
        // What was held since the recording began was tagged on the readings of its first
        // moments, which a sound server may give late; placed on those tags, the start was
        // heard up to a millisecond off, too little to be trimmed. All the readings so far
        // place it better, while the line is still the nominal rate's: a rate fitted over a
        // few seconds, carried back over what a long delay holds, would place it worse.
        for (Block& b : blocks_)
            if (!b.provisional) {
                b.captureNs = inModel_.timeOfFrame(static_cast<double>(b.sourceFrame));
                b.epoch = inModel_.breaks();
            }
    }
    // Both ends on the system clock: the delay is real time, what keeps the radio in step
    // with a picture, whatever either card's crystal does.
    const int64_t heardNs = outModel_.timeOfFrame(static_cast<double>(outputFrame));
    const int64_t measured = heardNs - captureTimeOf(position);
    const int64_t error = measured - delayNs_;
    // More readings place the start better, but never at the cost of a late first sound: a
    // short delay, or a player the server started late, has its first frame due before they
    // are in.
    if (settling && static_cast<double>(error) <
                        -static_cast<double>(format_.chunkFrames) * kNsPerSecond / format_.rate)
        return;
    figures_.measured = true;
    // One chunk's measurement carries the clock models' noise, some tenths of a millisecond
    // either way, where the sound itself is steady: the figure is averaged over about a second,
    // and follows a jump (a start, a splice, a change of the delay) at once.
    const double weight = std::min(
        1.0, static_cast<double>(format_.chunkFrames) / format_.rate / kFigureSeconds);
    if (!figureValid_ || std::abs(static_cast<double>(measured) - figureNs_) > kFigureJumpNs)
        figureNs_ = static_cast<double>(measured);
    else
        figureNs_ += (static_cast<double>(measured) - figureNs_) * weight;
    figureValid_ = true;
    figures_.delayNs = std::llround(figureNs_);
    figures_.errorNs = figures_.delayNs - delayNs_;
    const int64_t errorFrames = framesOf(error, format_.rate);
    // Small corrections are sized on the averaged figure: one chunk's noise (more on a loaded
    // machine) put a change of the delay 2 ms off, and kept a trim from ever seeing a second
    // of chunks all beyond its threshold.
    const int64_t steadyError = figures_.errorNs;

    if (!started_ || dry_) {
        // Nothing audible is playing (the start, or the held audio ran out): place the next
        // frame where it belongs and fade it in.
        started_ = true;
        dry_ = false;
        delayChanged_ = false;
        figureValid_ = false;
        if (figures_.firstSoundNs == 0)
            figures_.firstSoundNs = errorFrames > 0 ? heardNs : heardNs - error;
        if (errorFrames > 0) {
            startSplice(errorFrames, false);
            // Nothing was audible before: jump straight to the target and fade in.
            if (splice_.cross > 0)
                readPos_ = splice_.other;
            splice_ = {};
        } else {
            // Too early yet: silence first, and nothing to show until the audio is heard.
            splice_.silence = static_cast<uint64_t>(-errorFrames);
            figures_.measured = false;
        }
        splice_.fadeIn = crossFrames_;
        return;
    }

    if (delayChanged_) {
        delayChanged_ = false;
        figureValid_ = false;
        outsideCount_ = 0;
        trimSinceNs_ = 0;
        int64_t skipNs = steadyError;
        // The audio a shorter delay lands on was tagged on a later state of the recording's
        // clock model than the audio playing now: the skip is sized on its own tags, so that
        // the line, measured on what it lands on, holds the new delay.
        if (const double landing = position + static_cast<double>(framesOf(skipNs, format_.rate));
            skipNs > 0 && landing < static_cast<double>(heldEnd_))
            skipNs -= captureTimeOf(landing) - (captureTimeOf(position) + skipNs);
        if (std::abs(skipNs) > tuning_.trimNs && startSplice(framesOf(skipNs, format_.rate), false))
            ++figures_.splices;
        return;
    }

    // One correction once the playback line rests on enough readings, not one per restart.
    if (replace_ && outModel_.lastReadingNs() - firstOutputReadingNs_ >= tuning_.settleNs) {
        replace_ = false;
        outsideCount_ = 0;
        trimSinceNs_ = 0;
        figureValid_ = false;
        if (std::abs(error) > tuning_.trimNs && startSplice(errorFrames, true))
            ++figures_.splices;
        return;
    }

    if (std::abs(error) > tuning_.spliceNs) {
        const int sign = error > 0 ? 1 : -1;
        outsideCount_ = (outsideCount_ * sign > 0) ? outsideCount_ + sign : sign;
        if (std::abs(outsideCount_) >= 2) {
            outsideCount_ = 0;
            trimSinceNs_ = 0;
            if (startSplice(errorFrames, std::abs(error) <= kRepeatUpToNs))
                ++figures_.splices;
        }
        return;
    }
    outsideCount_ = 0;

    // Only rates known over minutes: a drift read from the readings' wandering would hold the
    // resampler that far off, and the error with it.
    const double drift =
        (1.0 + inModel_.knownPpm() * 1e-6) / (1.0 + outModel_.knownPpm() * 1e-6);
    figures_.driftPpm = (drift - 1.0) * 1e6;
    const double errorSeconds = static_cast<double>(error) / kNsPerSecond;
    if (resampler_) {
        // What the drift's figure misses is learnt from the error that stays.
        const double chunkSeconds = static_cast<double>(format_.chunkFrames) / format_.rate;
        const double integration = 2.0 * tuning_.correctionSeconds;
        driftTrim_ = std::clamp(driftTrim_ + errorSeconds * chunkSeconds /
                                                 (integration * integration),
                                -kMaxDriftTrim, kMaxDriftTrim);
    }
    const double correction = errorSeconds / tuning_.correctionSeconds + driftTrim_;
    const double wanted = std::clamp(drift + correction, 1.0 - kMaxCorrection, 1.0 + kMaxCorrection);
    const bool settled = inModel_.rateKnown() && outModel_.rateKnown();
    if (!resampler_ && settled && std::abs(figures_.driftPpm) >= tuning_.driftPpm) {
        engaging_ = true;
        targetRatio_ = wanted;
    }
    if (resampler_) {
        // Small steps: the filter and the listener both prefer a ratio that glides.
        const double now = resampler_->ratio();
        resampler_->setRatio(std::clamp(wanted, now - kRatioStep, now + kRatioStep));
        figures_.ratio = resampler_->ratio();
        return;
    }

    if (std::abs(steadyError) > tuning_.trimNs) {
        if (trimSinceNs_ == 0) {
            trimSinceNs_ = heardNs;
        } else if (heardNs - trimSinceNs_ >= tuning_.trimAfterNs) {
            trimSinceNs_ = 0;
            if (startSplice(framesOf(steadyError, format_.rate), true)) {
                ++figures_.trims;
                figureNs_ -= static_cast<double>(steadyError);
            }
        }
    } else {
        trimSinceNs_ = 0;
    }
}

void DelayLine::feedResampler(uint32_t frames) {
    const uint32_t channels = format_.channels;
    const uint32_t bytes = format_.bits / 8;
    const double scale = sampleScale(format_.bits);
    scratch_.resize(static_cast<size_t>(frames) * frameBytes_);
    emitFrames(scratch_.data(), frames);
    const size_t at = staging_.size();
    staging_.resize(at + static_cast<size_t>(frames) * channels);
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            staging_[at + f * channels + c] = static_cast<float>(
                readSample(scratch_.data() + f * frameBytes_ + c * bytes, format_.bits) / scale);
}

uint32_t DelayLine::runResampler(float* out, uint32_t frames) {
    const uint32_t channels = format_.channels;
    uint32_t produced = 0;
    for (int rounds = 0; produced < frames && rounds < 16; ++rounds) {
        const double staged = static_cast<double>(staging_.size() / channels);
        // The filter wants to see this far past the frame it makes.
        const double missing = resampler_->position() +
                               static_cast<double>(frames - produced) * resampler_->ratio() +
                               lookahead_ - static_cast<double>(resampler_->fed()) - staged;
        if (missing > 0)
            feedResampler(static_cast<uint32_t>(std::ceil(missing)));
        const auto result = resampler_->process(
            staging_, std::span<float>(out + static_cast<size_t>(produced) * channels,
                                       static_cast<size_t>(frames - produced) * channels));
        staging_.erase(staging_.begin(),
                       staging_.begin() + static_cast<std::ptrdiff_t>(result.used * channels));
        produced += result.made;
        if (result.made == 0 && lookahead_ < kMaxLookahead)
            lookahead_ += 256;
    }
    return produced;
}

void DelayLine::playResampled(uint8_t* out, uint32_t frames) {
    const uint32_t channels = format_.channels;
    floatScratch_.resize(static_cast<size_t>(frames) * channels);
    const uint32_t produced = runResampler(floatScratch_.data(), frames);
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            putSample(out + f * frameBytes_, c,
                      f < produced ? floatScratch_[f * channels + c] : 0.0f);
    // What the filter has finished with needs no bookkeeping any more.
    const double done = resampler_->position() - 2.0 * lookahead_;
    while (runs_.size() > 1 &&
           static_cast<double>(runs_.front().stream + runs_.front().frames) < done)
        runs_.pop_front();
}

void DelayLine::engageResampler(double ratio) {
    resampler_ = std::make_unique<DriftResampler>(format_.channels);
    if (!resampler_->ready()) {
        resampler_.reset();
        return;
    }
    resampler_->setRatio(ratio);
    // The filter starts from silence, so it first gets what was just played and its output
    // for that is thrown away: the first frame kept continues where the copy stopped.
    const uint32_t channels = format_.channels;
    const uint64_t oldest = blocks_.empty() ? readPos_ : blocks_.front().first;
    const auto primeFrames = static_cast<uint32_t>(
        std::min<uint64_t>(readPos_ - oldest, static_cast<uint64_t>(kPrimeFrames)));
    const uint64_t primeFrom = readPos_ - primeFrames;
    runs_.clear();
    runs_.push_back({0, primeFrom, primeFrames});
    staging_.resize(static_cast<size_t>(primeFrames) * channels);
    for (uint32_t f = 0; f < primeFrames; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            staging_[f * channels + c] = sampleAt(primeFrom + f, c);
    const auto discard = static_cast<uint32_t>(std::ceil(primeFrames / resampler_->ratio()));
    std::vector<float> thrown(static_cast<size_t>(discard) * channels);
    runResampler(thrown.data(), discard);
    figures_.resampling = true;
}

void DelayLine::play(std::span<uint8_t> chunk, uint64_t outputFrame) {
    const auto frames = static_cast<uint32_t>(chunk.size() / frameBytes_);
    if (!splice_.busy())
        decide(outputFrame);
    if (!started_) {
        std::memset(chunk.data(), silenceByte(format_.bits), chunk.size());
        return;
    }
    if (engaging_ && !splice_.busy()) {
        engaging_ = false;
        engageResampler(targetRatio_);
    }
    if (resampler_)
        playResampled(chunk.data(), frames);
    else
        emitFrames(chunk.data(), frames);
    trimHistory();
    figures_.heldFrames = heldFrames();
}

uint32_t DelayLine::chunksForTick(int64_t nowNs, uint64_t outputFrame) {
    if (!outModel_.valid())
        return 1;
    const double backlog = static_cast<double>(outputFrame) - outModel_.frameAt(nowNs);
    // A short delay asks for a short path: the player then runs with less to spare. Longer
    // chunks than the shortest (40 ms) ask for as many times more.
    const int64_t scale = std::max<int64_t>(
        1, static_cast<int64_t>(format_.chunkFrames) * 25 / std::max<uint32_t>(1, format_.rate));
    const int64_t wanted = std::clamp<int64_t>(delayNs_ / 2, kShortestBacklogNs * scale,
                                               tuning_.backlogNs * scale);
    const double target = static_cast<double>(framesOf(wanted, format_.rate));
    const double band = format_.chunkFrames;
    if (backlog < target - band)
        return 2;
    if (backlog > target + band)
        return 0;
    return 1;
}

DelayLine::Figures DelayLine::figures() const {
    Figures f = figures_;
    f.playing = started_;
    f.heldFrames = heldFrames();
    return f;
}

}  // namespace una

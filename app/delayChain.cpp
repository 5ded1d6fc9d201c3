#include "app/delayChain.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "app/delayValue.h"
#include "app/texts.h"
#include "audio/unaRiffStream.h"
#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "audio/unaWaveResampler.h"
#include "audio/unaWaveSoftwareDevice.h"
#include "dsp_mixer_codec/unaMsAcm.h"
#include "foundation/unaText.h"
#include "foundation/unaTime.h"

namespace una::app {

std::string_view chainStateName(ChainState state) {
    switch (state) {
        case ChainState::Idle:
            return "Idle";
        case ChainState::Delaying:
            return "Delaying";
        case ChainState::Running:
            return "Running";
        case ChainState::RecordingOnly:
            return "Recording only";
    }
    return "Idle";
}

std::string chainProblemText(const ChainProblem& problem, std::string_view languageCode) {
    const std::string detail = problem.deviceText.empty() ? std::string() : ": " + problem.deviceText;
    switch (problem.kind) {
        case ChainProblem::Kind::None:
            return {};
        case ChainProblem::Kind::RecorderFailed:
            return msg(Msg::RecorderFailed, languageCode, {detail});
        case ChainProblem::Kind::FileNotCreated:
            return msg(Msg::FileNotCreated, languageCode, {problem.fileName});
        case ChainProblem::Kind::NoFileName:
            return msg(Msg::NoFileName, languageCode);
        case ChainProblem::Kind::HoldStreamMissing:
            return msg(Msg::HoldStreamMissing, languageCode);
        case ChainProblem::Kind::PlaybackFailed:
            return msg(Msg::PlaybackFailed, languageCode, {detail});
        case ChainProblem::Kind::EncodingUnavailable:
            return msg(Msg::EncodingUnavailable, languageCode, {problem.fileName});
        case ChainProblem::Kind::MixerFailed:
            return msg(Msg::MixerFailed, languageCode, {detail});
        case ChainProblem::Kind::OutFormatLocked:
            return msg(Msg::OutFormatLocked, languageCode);
    }
    return {};
}

namespace {

// One card's readings for the line: the card's own when it gives them, else the device's frame
// count now (which leaves the path's latency out). A card that starts giving its own after a
// while makes the line start its model again (`fresh`). A card behind the sound server answers
// through a round trip that wakes the server and its device thread, so its readings are taken
// every third chunk: eight a second are plenty for the line's fits.
struct CardClock {
    uint32_t chunksPerReading = 3;
    bool timed = false;
    uint32_t sinceReading = 0;
    uint32_t moves = 0;

    // Whether the stream followed the default to another device since the last call.
    template <class Device>
    bool moved(Device& device) {
        const uint32_t now = device.moveCount();
        return std::exchange(moves, now) != now;
    }

    template <class Device>
    bool read(Device& device, uint64_t fallbackFrames, platform::StreamTiming& out, bool& fresh) {
        fresh = false;
        if (timed && ++sinceReading < chunksPerReading)
            return false;
        sinceReading = 0;
        if (device.timing(out) == kMmResultOk) {
            fresh = !timed;
            timed = true;
            return true;
        }
        if (timed)
            return false;
        out = {markTime(), fallbackFrames};
        return true;
    }
};

// Chunks a second for a delay. A long delay leaves room for long chunks, which wake every
// worker and the sound server a fifth as often: the paths then hold some hundred milliseconds
// more, which the delay line makes up for, and the player opens early enough for its longer
// start. Shorter delays keep the short chunks.
uint32_t chunksPerSecondFor(uint32_t delayMs) {
    return delayMs < 4000 ? 25 : 5;
}

}  // namespace

// The delay line and what the device workers need to feed it. The recorder's worker gives it
// the recording card's readings, the resampler's worker the converted audio, the mixer's
// worker takes the player's chunks out of it; the owner's thread changes the delay and reads
// the figures. `m` guards the line. The devices outlive every call: the recorder and the
// resampler are closed, and the mixer too, before the feed is let go.
struct DelayChain::HoldFeed {
    std::mutex m;
    std::unique_ptr<DelayLine> line;  // under m
    unaWaveInDevice* recorder = nullptr;
    unaMemoryStream* stream = nullptr;  // the mixer's holding stream; none: nothing plays
    std::atomic<unaWaveOutDevice*> player{nullptr};
    std::atomic<bool> holding{true};
    uint32_t inFrameBytes = 1;
    uint32_t outFrameBytes = 1;
    uint32_t sourceChunkFrames = 0;
    CardClock recorderClock;        // recorder's worker only
    platform::StreamTiming lastReading;  // recorder's worker only
    CardClock playerClock;          // mixer's worker only
    std::vector<uint8_t> chunk;     // mixer's worker only

    // On the recorder's worker, for every chunk it delivers.
    void recorded() {
        platform::StreamTiming reading;
        bool fresh = false;
        if (!recorderClock.read(*recorder, recorder->outBytes / inFrameBytes, reading, fresh))
            return;
        lastReading = reading;
        const bool moved = recorderClock.moved(*recorder);
        std::lock_guard lock(m);
        if (moved)
            line->deviceMoved(reading.monotonicNs);
        line->inputTiming(reading, fresh);
    }

    // On the resampler's worker: a converted chunk, whose source frames are counted by all
    // the bytes the recorder offered the resampler before them.
    void converted(unaMsAcmStreamDevice& resampler, std::span<const uint8_t> data) {
        if (!holding)
            return;
        const uint64_t offered =
            (resampler.inBytes + resampler.inLostBytes + resampler.inBusyBytes) / inFrameBytes;
        const uint64_t source = offered > sourceChunkFrames ? offered - sourceChunkFrames : 0;
        std::lock_guard lock(m);
        line->hold(data, source);
    }

    // On the mixer's worker at every tick: readings of the playback card, then as many chunks
    // as the player needs to stay in step with its card, placed in the holding stream.
    uint32_t tick() {
        unaWaveOutDevice* out = player.load();
        if (!out || !stream || !holding)
            return 1;
        const uint64_t given = out->inAcceptedBytes / outFrameBytes;
        const auto played = static_cast<uint64_t>(std::max<int64_t>(0, out->getPosition()));
        platform::StreamTiming reading;
        bool fresh = false;
        const bool read = playerClock.read(*out, played, reading, fresh);
        const bool moved = read && playerClock.moved(*out);
        std::lock_guard lock(m);
        if (moved)
            line->deviceMoved(reading.monotonicNs);
        if (read)
            line->outputTiming(reading, fresh);
        uint32_t chunks = line->chunksForTick(markTime(), given);
        const uint32_t frames = static_cast<uint32_t>(chunk.size() / outFrameBytes);
        // A sound server starts a new stream at its sink's next wake-up, which an idle sink
        // may put off for a second or two. Until the card's clock runs the player keeps what
        // it has: more would be refused and counted as lost though nothing was.
        if (!line->playbackClockKnown() &&
            given >= played + uint64_t{kPlaybackLeadChunks + 2} * frames)
            chunks = 0;
        for (uint32_t i = 0; i < chunks; ++i) {
            line->play(chunk, given + static_cast<uint64_t>(i) * frames);
            stream->write(chunk);
        }
        return chunks;
    }
};

// The radio tap, swapped by the owner while the recorder's worker may be calling it.
struct DelayChain::TapSlot {
    std::mutex m;
    RadioTap tap;

    void deliver(const HoldFeed& feed, std::span<const uint8_t> data) {
        std::lock_guard lock(m);
        if (!tap)
            return;
        const uint64_t frames = feed.recorder->outBytes / feed.inFrameBytes;
        const uint64_t chunk = data.size() / feed.inFrameBytes;
        tap(data, frames - std::min(frames, chunk), feed.lastReading);
    }
};

DelayChain::DelayChain() : radioTap_(std::make_shared<TapSlot>()) {}

void DelayChain::setRadioTap(RadioTap tap) {
    std::lock_guard lock(radioTap_->m);
    radioTap_->tap = std::move(tap);
}

DelayChain::~DelayChain() {
    releaseDevices();
}

void DelayChain::makeWaveIn(int32_t deviceId) {
    waveIn_.reset();
    waveIn_ = make<unaWaveInDevice>(deviceId, false, false, 0);
    waveIn_->setPcmFormat(inFormat_);
    // Its chunks go only to the consumers; an output stream nobody reads would grow forever.
    waveIn_->assignStream(false, nullptr);
    waveIn_->setCalcVolume(true);
}

void DelayChain::makeWaveOut(int32_t deviceId) {
    // Freeing the old player unhooks it from the mixer.
    waveOut_.reset();
    waveOut_ = make<unaWaveOutDevice>(deviceId, false, false, kPlaybackInputChunks);
    waveOut_->setPcmFormat(outFormat_);
    // A player made for another device at the delay's tick takes the mixer's chunks: with the
    // short ones its input limit was two of a long delay's, below the line's backlog, and a
    // chunk was dropped at every tick (the delay heard a chunk or two short, spliced again and
    // again).
    waveOut_->setChunksPerSecond(chunkRate_);
    waveOut_->setCalcVolume(true);
    if (mixer_)
        mixer_->addConsumer(waveOut_.get(), true);
}

void DelayChain::setupDevices(const unaPcmFormat& inFormat, const unaPcmFormat& outFormat) {
    if (hasDevices())
        return;
    inFormat_ = inFormat;
    outFormat_ = outFormat;
    if (!acm_) {
        acm_ = make<unaMsAcm>();
        acm_->enumDrivers(0);
    }
    mixer_.reset();
    makeWaveOut(platform::kWaveMapper);
    makeWaveIn(platform::kWaveMapper);
    mixer_ = make<unaWaveMixerDevice>(true, true, 0);
    mixer_->addConsumer(waveOut_.get(), true);
    mixer_->setPcmFormat(outFormat_);
}

bool DelayChain::hasDevices() const {
    return acm_ && waveIn_ && waveOut_ && mixer_;
}

bool DelayChain::isInOpen() const {
    return waveIn_ && waveIn_->isOpen();
}

bool DelayChain::isOutOpen() const {
    return waveOut_ && waveOut_->isOpen();
}

bool DelayChain::isSaving() const {
    return riff_ && riff_->isOpen();
}

ChainState DelayChain::state() const {
    if (isOutOpen())
        return ChainState::Running;
    if (isInOpen())
        return playbackPending_ ? ChainState::Delaying : ChainState::RecordingOnly;
    return ChainState::Idle;
}

ChainStartResult DelayChain::startIn(const ChainStartOptions& options) {
    ChainStartResult result;
    problem_ = {};
    // The delay edit may still hold a value typed and not confirmed: check it as if the
    // edit had been left, so 0, a negative number or 500 never reach the timer.
    DelayControls delay = delayExitRule(options.delaySeconds);
    if (options.exactDelay)
        delay.seconds = delayWithinBounds(options.delaySeconds);
    result.delaySeconds = delay.seconds;
    if (!hasDevices())
        setupDevices(inFormat_, outFormat_);

    if (!isInOpen()) {
        if (waveIn_->deviceId != options.inDeviceId)
            makeWaveIn(options.inDeviceId);
        const unaWaveFormat fmtIn = makePcmFormat(inFormat_);
        // Without playback nothing waits for the recording: its chunks stay short.
        const uint32_t chunkRate =
            options.loop2Playback ? chunksPerSecondFor(delayMilliseconds(delay.seconds)) : 25;
        waveIn_->setChunksPerSecond(chunkRate);
        chunkRate_ = chunkRate;

        if (options.loop2Playback) {
            const unaWaveFormat fmtOut = makePcmFormat(outFormat_);
            mixer_->setChunksPerSecond(chunkRate);
            waveOut_->setChunksPerSecond(chunkRate);
            resampler_ = make<unaWaveResampler>(false, 0);
            resampler_->setChunksPerSecond(chunkRate);
            resampler_->setFormat(true, fmtIn);
            resampler_->setFormat(false, fmtOut);
            holdStream_ = mixer_->addStream();
            // The callbacks have their own record of what they need, so a worker never reads a
            // field the owner's thread changes; the feed goes only after the devices closed.
            feed_ = std::make_shared<HoldFeed>();
            feed_->recorder = waveIn_.get();
            feed_->stream = holdStream_;
            feed_->inFrameBytes = std::max<uint32_t>(1, fmtIn->blockAlign);
            feed_->outFrameBytes = std::max<uint32_t>(1, fmtOut->blockAlign);
            feed_->sourceChunkFrames = resampler_->chunkSize / feed_->inFrameBytes;
            feed_->chunk.assign(mixer_->chunkSize, 0);
            // Readings every 120 ms for short chunks; each costs a round trip to the sound
            // server, so long chunks (a long delay, which the line settles over seconds) take
            // one every 400 ms.
            const uint32_t chunkMs = 1000 / std::max<uint32_t>(1, waveIn_->chunksPerSecond);
            feed_->recorderClock.chunksPerReading =
                std::max<uint32_t>(1, (chunkMs <= 40 ? 120 : 400) / chunkMs);
            feed_->playerClock.chunksPerReading = feed_->recorderClock.chunksPerReading;
            DelayLineFormat format;
            format.sourceRate = inFormat_.samplesPerSec;
            format.rate = outFormat_.samplesPerSec;
            format.channels = outFormat_.channels;
            format.bits = outFormat_.bitsPerSample;
            format.chunkFrames = mixer_->chunkSize / feed_->outFrameBytes;
            feed_->line = std::make_unique<DelayLine>(format);
            feed_->line->setSharedCycles(
                platform::soundCard()->streamsShareCycles(waveIn_->deviceId));
            feed_->line->setDelay(static_cast<int64_t>(delayMilliseconds(delay.seconds)) * 1'000'000);
            waveIn_->onDataAvailable = [feed = feed_, tap = radioTap_](
                                           unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
                feed->recorded();
                tap->deliver(*feed, data);
            };
            resampler_->onDataAvailable = [feed = feed_](unaMsAcmStreamDevice& device,
                                                         std::span<const uint8_t> data) {
                feed->converted(device, data);
            };
            mixer_->onTick = [feed = feed_](unaWaveMixerDevice&) { return feed->tick(); };
            resampler_->assignStream(false, nullptr);
            waveIn_->addConsumer(resampler_.get(), true);
            if (!holdStream_)
                problem_ = {ChainProblem::Kind::HoldStreamMissing, 0, {}, {}};
            resampler_->open(false, kChainTimeoutMs, 0);
        }

        if (options.saveToFile) {
            const std::string fileName = trim(options.inFileName);
            if (fileName.empty()) {
                problem_ = {ChainProblem::Kind::NoFileName, 0, {}, {}};
            } else {
                riff_ = make<unaRiffStream>(fileName, fmtIn.get(), options.saveFormatTag,
                                            acm_.get());
                const MmResult opened = riff_->open(false, kChainTimeoutMs, 0);
                if (opened == kMmResultOk) {
                    waveIn_->addConsumer(riff_.get(), true);
                } else if (riff_->mode != kRiffModeWriting) {
                    riff_.reset();
                    problem_ = {ChainProblem::Kind::EncodingUnavailable, opened, {},
                                options.saveEncodingCaption};
                } else {
                    riff_.reset();
                    problem_ = {ChainProblem::Kind::FileNotCreated, opened, {}, fileName};
                }
            }
        }

        const MmResult opened = waveIn_->open(false, kChainTimeoutMs, 0);
        if (opened != kMmResultOk || !waveIn_->isOpen()) {
            ChainProblem failure{ChainProblem::Kind::RecorderFailed, opened,
                                 waveIn_->getErrorText(opened), {}};
            closeIn();
            problem_ = std::move(failure);
            result.problem = problem_;
            return result;
        }
    }

    result.recording = true;
    result.saving = isSaving();
    delayMs_ = delayMilliseconds(delay.seconds);
    if (options.loop2Playback && !isOutOpen()) {
        playbackPending_ = true;
        result.playbackDelayMs = std::max<uint32_t>(1, delayMs_ - std::min(delayMs_, kPlaybackWarmUpMs));
    }
    result.problem = problem_;
    return result;
}

bool DelayChain::openOut(int32_t outDeviceId) {
    if (!playbackPending_)
        return false;
    playbackPending_ = false;
    if (!hasDevices() || isOutOpen())
        return false;
    if (waveOut_->deviceId != outDeviceId)
        makeWaveOut(outDeviceId);
    const MmResult opened = waveOut_->open(false, kChainTimeoutMs, 0);
    if (opened != kMmResultOk || !waveOut_->isOpen()) {
        problem_ = {ChainProblem::Kind::PlaybackFailed, opened, waveOut_->getErrorText(opened), {}};
        waveOut_->close(kChainTimeoutMs);
        stopHolding();
        return false;
    }
    // Fed one chunk per tick from the start, the player would run with no more than a chunk to
    // spare, and on a busy machine a late tick then lets the sound server skip audio. A little
    // silence ahead of the mixer's first chunk gives it that margin for the whole run.
    const uint32_t chunk = waveOut_->chunkSize;
    const std::vector<uint8_t> quiet(chunk, silenceByte(outFormat_.bitsPerSample));
    for (uint32_t i = 0; i < kPlaybackLeadChunks && chunk > 0; ++i)
        waveOut_->write(quiet.data(), chunk);
    if (feed_)
        feed_->player = waveOut_.get();
    const MmResult mixed = mixer_->open(false, kChainTimeoutMs, 0);
    if (mixed != kMmResultOk || !mixer_->isOpen()) {
        // Nothing would ever take the held audio out: say so, and stop holding it.
        problem_ = {ChainProblem::Kind::MixerFailed, mixed, mixer_->getErrorText(mixed), {}};
        mixer_->close(kChainTimeoutMs);
        waveOut_->close(kChainTimeoutMs);
        stopHolding();
        return false;
    }
    return true;
}

void DelayChain::stopHolding() {
    // Nobody will ever read the held audio: stop keeping it rather than let it grow.
    resampler_.reset();
    dropHoldStream();
}

void DelayChain::dropHoldStream() {
    if (feed_) {
        feed_->holding = false;
        std::lock_guard lock(feed_->m);
        feed_->line = std::make_unique<DelayLine>(feed_->line->format());
    }
    // The mixer is closed whenever this runs (or never opened), so no tick uses the stream.
    if (mixer_ && !mixer_->isOpen()) {
        mixer_->onTick = nullptr;
        if (holdStream_)
            mixer_->removeStream(holdStream_);
        holdStream_ = nullptr;
        if (feed_)
            feed_->stream = nullptr;
    }
    if (waveIn_ && !waveIn_->isOpen())
        waveIn_->onDataAvailable = nullptr;
    if (!resampler_ && (!waveIn_ || !waveIn_->isOpen()))
        feed_.reset();
}

void DelayChain::closeIn() {
    playbackPending_ = false;
    if (waveIn_)
        waveIn_->close(kChainTimeoutMs);
    resampler_.reset();
    // Closing the writer completes the WAV file; only then do its figures say what it holds.
    if (riff_ && riff_->isOpen()) {
        riff_->close(kChainTimeoutMs);
        lastRecording_ = {riff_->fileName(), riff_->getPosition(), riff_->fileCount(),
                          riff_->lostChunks()};
    }
    riff_.reset();
    closeOut();
    dropHoldStream();
}

void DelayChain::closeOut() {
    if (mixer_)
        mixer_->close(kChainTimeoutMs);
    if (waveOut_)
        waveOut_->close(kChainTimeoutMs);
    resampler_.reset();
}

void DelayChain::releaseDevices() {
    if (isInOpen() || playbackPending_ || resampler_ || riff_ || holdStream_)
        closeIn();
    if (isOutOpen())
        closeOut();
    waveIn_.reset();
    waveOut_.reset();
    mixer_.reset();
    acm_.reset();
}

bool DelayChain::setInFormat(const unaPcmFormat& format) {
    inFormat_ = format;
    if (!waveIn_)
        return true;
    return waveIn_->setDeviceFormat(makePcmFormat(format));
}

bool DelayChain::setOutFormat(const unaPcmFormat& format) {
    if (playbackPending_ || isOutOpen()) {
        // What is held is in the format the start chose; played in another it would be noise.
        problem_ = {ChainProblem::Kind::OutFormatLocked, 0, {}, {}};
        return false;
    }
    outFormat_ = format;
    const unaWaveFormat record = makePcmFormat(format);
    bool done = true;
    if (waveOut_)
        done = waveOut_->setDeviceFormat(record) && done;
    if (mixer_)
        done = mixer_->setDeviceFormat(record) && done;
    return done;
}

std::string DelayChain::inFormatText() const {
    return waveIn_ ? waveIn_->dstFormatText : std::string();
}

std::string DelayChain::outFormatText() const {
    return waveOut_ ? waveOut_->srcFormatText : std::string();
}

ChainMeters DelayChain::meters() const {
    ChainMeters m;
    if (isOutOpen()) {
        m.outLeft = volumeToMeter(waveOut_->getVolume(0));
        m.outRight = volumeToMeter(waveOut_->getVolume(1));
    }
    if (isInOpen()) {
        m.inLeft = volumeToMeter(waveIn_->getVolume(0));
        m.inRight = volumeToMeter(waveIn_->getVolume(1));
    }
    return m;
}

uint64_t DelayChain::heldBytes() const {
    if (!feed_)
        return 0;
    std::lock_guard lock(feed_->m);
    return feed_->line->figures().heldFrames * feed_->outFrameBytes;
}

double DelayChain::setDelay(double seconds) {
    const DelayControls delay = delayExitRule(seconds);
    delayMs_ = delayMilliseconds(delay.seconds);
    if (feed_) {
        std::lock_guard lock(feed_->m);
        feed_->line->setDelay(static_cast<int64_t>(delayMs_) * 1'000'000);
    }
    return delay.seconds;
}

double DelayChain::setDelayExact(double seconds) {
    const double exact = delayWithinBounds(seconds);
    delayMs_ = delayMilliseconds(exact);
    if (feed_) {
        std::lock_guard lock(feed_->m);
        feed_->line->setDelay(static_cast<int64_t>(delayMs_) * 1'000'000);
    }
    return exact;
}

uint32_t DelayChain::playbackLostChunks() const {
    if (!waveOut_ || waveOut_->chunkSize == 0)
        return 0;
    const uint64_t lost = waveOut_->inLostBytes + waveOut_->inBusyBytes;
    return static_cast<uint32_t>((lost + waveOut_->chunkSize - 1) / waveOut_->chunkSize);
}

DelayLine::Figures DelayChain::delayFigures() const {
    if (!feed_)
        return {};
    std::lock_guard lock(feed_->m);
    return feed_->line->figures();
}

double DelayChain::heldSeconds() const {
    const unaWaveFormat format = makePcmFormat(outFormat_);
    const uint32_t rate = format ? format->avgBytesPerSec : 0;
    return rate ? static_cast<double>(heldBytes()) / rate : 0.0;
}

}  // namespace una::app

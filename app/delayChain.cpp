#include "app/delayChain.h"

#include <algorithm>
#include <atomic>
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
    }
    return {};
}

// What the resampler's callback needs to fill the holding stream. The callback runs on the
// resampler's worker; the owner's thread sets openedAtNs once the recorder is open, and the
// recorder outlives the resampler in every run.
struct DelayChain::HoldFeed {
    unaMemoryStream* stream = nullptr;  // none: the audio is dropped
    unaWaveInDevice* recorder = nullptr;
    uint32_t recorderRate = 0;
    int64_t delayNs = 0;
    uint32_t bytesPerSecond = 0;
    uint32_t blockAlign = 1;
    uint8_t silence = 0;
    std::atomic<int64_t> openedAtNs{0};
    bool started = false;  // worker only

    void write(std::span<const uint8_t> data) {
        if (!stream)
            return;
        if (!started) {
            started = true;
            padLateStart(data.size());
        }
        stream->write(data);
    }

    // The first audio was recorded as long ago as the recorder has been capturing (its
    // position, which also counts chunks still on their way here). Silence for the time
    // between the open and that moment keeps the first audio the delay behind its recording;
    // once the playback side runs, only what is left of the delay is needed.
    void padLateStart(size_t chunkBytes) {
        const int64_t opened = openedAtNs.load();
        if (opened == 0 || bytesPerSecond == 0 || chunkBytes == 0)
            return;
        const int64_t sinceOpen = markTime() - opened;
        int64_t capturedNs = static_cast<int64_t>(chunkBytes) * 1'000'000'000 / bytesPerSecond;
        const int64_t position = recorder ? recorder->getPosition() : 0;
        if (position > 0 && recorderRate > 0)
            capturedNs = std::max(capturedNs, position * 1'000'000'000 / recorderRate);
        const int64_t gapNs = sinceOpen - capturedNs - std::max<int64_t>(0, sinceOpen - delayNs);
        if (gapNs <= 0)
            return;
        uint64_t bytes = static_cast<uint64_t>(gapNs) * bytesPerSecond / 1'000'000'000;
        bytes -= bytes % blockAlign;
        const std::vector<uint8_t> piece(chunkBytes, silence);
        while (bytes > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, piece.size()));
            stream->write(std::span<const uint8_t>(piece.data(), n));
            bytes -= n;
        }
    }
};

DelayChain::DelayChain() = default;

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
    const DelayControls delay = delayExitRule(options.delaySeconds);
    result.delaySeconds = delay.seconds;
    if (!hasDevices())
        setupDevices(inFormat_, outFormat_);

    if (!isInOpen()) {
        if (waveIn_->deviceId != options.inDeviceId)
            makeWaveIn(options.inDeviceId);
        const unaWaveFormat fmtIn = makePcmFormat(inFormat_);

        if (options.loop2Playback) {
            const unaWaveFormat fmtOut = makePcmFormat(outFormat_);
            resampler_ = make<unaWaveResampler>(false, 0);
            resampler_->setFormat(true, fmtIn);
            resampler_->setFormat(false, fmtOut);
            holdStream_ = mixer_->addStream();
            // The callback has its own record of the stream, so the worker never reads a field
            // the owner's thread changes; the stream is removed only after the resampler is freed.
            feed_ = std::make_shared<HoldFeed>();
            feed_->stream = holdStream_;
            feed_->recorder = waveIn_.get();
            feed_->recorderRate = inFormat_.samplesPerSec;
            feed_->delayNs = static_cast<int64_t>(delayMilliseconds(delay.seconds)) * 1'000'000;
            feed_->bytesPerSecond = fmtOut->avgBytesPerSec;
            feed_->blockAlign = fmtOut->blockAlign ? fmtOut->blockAlign : 1;
            feed_->silence = silenceByte(fmtOut->bitsPerSample);
            resampler_->onDataAvailable = [feed = feed_](unaMsAcmStreamDevice&,
                                                         std::span<const uint8_t> data) {
                feed->write(data);
            };
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
        // The delay timer starts now.
        if (feed_)
            feed_->openedAtNs = markTime();
    }

    result.recording = true;
    result.saving = isSaving();
    delayMs_ = delayMilliseconds(delay.seconds);
    if (options.loop2Playback && !isOutOpen()) {
        playbackPending_ = true;
        result.playbackDelayMs = delayMs_;
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
        // Nobody will ever read the held audio: stop keeping it rather than let it grow.
        resampler_.reset();
        dropHoldStream();
        return false;
    }
    // Fed one chunk per tick from the start, the player would run with no more than a chunk to
    // spare, and on a busy machine a late tick then lets the sound server skip audio. A little
    // silence ahead of the mixer's first chunk gives it that margin for the whole run.
    const uint32_t chunk = waveOut_->chunkSize;
    const std::vector<uint8_t> quiet(chunk, silenceByte(outFormat_.bitsPerSample));
    for (uint32_t i = 0; i < kPlaybackLeadChunks && chunk > 0; ++i)
        waveOut_->write(quiet.data(), chunk);
    mixer_->open(false, kChainTimeoutMs, 0);
    return true;
}

void DelayChain::dropHoldStream() {
    if (holdStream_ && mixer_)
        mixer_->removeStream(holdStream_);
    holdStream_ = nullptr;
    feed_.reset();
}

void DelayChain::closeIn() {
    playbackPending_ = false;
    if (waveIn_)
        waveIn_->close(kChainTimeoutMs);
    resampler_.reset();
    // Freeing the writer completes the WAV file.
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
    if (!holdStream_)
        return 0;
    const int32_t size = holdStream_->getSize();
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

double DelayChain::heldSeconds() const {
    const unaWaveFormat format = makePcmFormat(outFormat_);
    const uint32_t rate = format ? format->avgBytesPerSec : 0;
    return rate ? static_cast<double>(heldBytes()) / rate : 0.0;
}

}  // namespace una::app

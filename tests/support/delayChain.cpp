#include "support/delayChain.h"

namespace una {

namespace {
constexpr uint32_t kOpenCloseMs = 10000;
}

DelayChain::DelayChain(unaPcmFormat inFormat, unaPcmFormat outFormat)
    : inFormat_(inFormat), outFormat_(outFormat) {
    waveOut = make<unaWaveOutDevice>(platform::kWaveMapper, false, false, 10);
    waveOut->setPcmFormat(outFormat_);
    waveOut->setCalcVolume(true);

    waveIn = make<unaWaveInDevice>(platform::kWaveMapper, false, false, 0);
    waveIn->setPcmFormat(inFormat_);
    waveIn->assignStream(false, nullptr);
    waveIn->setCalcVolume(true);

    mixer_ = make<unaWaveMixerDevice>(true, true, 0);
    mixer_->addConsumer(waveOut.get(), true);
    mixer_->setPcmFormat(outFormat_);
}

DelayChain::~DelayChain() {
    stop();
    waveIn.reset();
    waveOut.reset();
    mixer_.reset();
}

MmResult DelayChain::startRecording() {
    if (waveIn->isOpen())
        return kMmResultOk;
    const unaWaveFormat fmtIn = makePcmFormat(inFormat_);
    const unaWaveFormat fmtOut = makePcmFormat(outFormat_);
    resampler_ = make<unaWaveResampler>(false, 0);
    resampler_->setFormat(true, fmtIn);
    resampler_->setFormat(false, fmtOut);
    resampler_->onDataAvailable = [this](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        if (unaMemoryStream* hold = holdStream.load())
            hold->write(data);
    };
    resampler_->assignStream(false, nullptr);
    waveIn->addConsumer(resampler_.get(), true);
    holdStream = mixer_->addStream();
    resampler_->open(false, kOpenCloseMs, 0);
    return waveIn->open(false, kOpenCloseMs, 0);
}

MmResult DelayChain::startPlayback() {
    if (waveOut->isOpen())
        return kMmResultOk;
    const MmResult out = waveOut->open(false, kOpenCloseMs, 0);
    const MmResult mix = mixer_->open(false, kOpenCloseMs, 0);
    return out != kMmResultOk ? out : mix;
}

void DelayChain::stop() {
    waveIn->close(kOpenCloseMs);
    resampler_.reset();
    mixer_->close(kOpenCloseMs);
    waveOut->close(kOpenCloseMs);
    if (unaMemoryStream* hold = holdStream.exchange(nullptr))
        mixer_->removeStream(hold);
}

uint32_t DelayChain::heldBytes() {
    unaMemoryStream* hold = holdStream.load();
    return hold ? static_cast<uint32_t>(hold->getSize()) : 0;
}

}  // namespace una

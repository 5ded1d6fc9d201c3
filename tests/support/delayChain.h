#pragma once
// The delay chain wired the way the main window wires it, without a window: recorder ->
// resampler -> holding stream (a mixer stream) -> mixer -> player, opened and closed in the
// window's order with 10000 ms each. Use from one thread (the test's, standing in for the
// window's); the devices' workers do the rest.

#include <atomic>

#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "audio/unaWaveResampler.h"
#include "audio/unaWaveSoftwareDevice.h"

namespace una {

class DelayChain {
  public:
    // Creates the three long-lived devices on the card's default devices.
    DelayChain(unaPcmFormat inFormat, unaPcmFormat outFormat);
    // Stops the chain, then frees the devices.
    ~DelayChain();
    DelayChain(const DelayChain&) = delete;
    DelayChain& operator=(const DelayChain&) = delete;

    // The recording side: resampler chained and opened, holding stream made, recorder opened.
    // The recorder's open result.
    MmResult startRecording();
    // The playback side, once the delay has passed: player, then mixer. The first failure.
    MmResult startPlayback();
    // Recorder closed, resampler freed, mixer and player closed, holding stream removed.
    void stop();

    unaWaveInDevice& recorder() { return *waveIn; }
    unaWaveOutDevice& player() { return *waveOut; }
    unaWaveMixerDevice& mixer() { return *mixer_; }
    unaWaveResampler* resampler() { return resampler_.get(); }
    // Bytes waiting in the holding stream; 0 without one.
    uint32_t heldBytes();

  private:
    const unaPcmFormat inFormat_;
    const unaPcmFormat outFormat_;
    unaPtr<unaWaveOutDevice> waveOut;
    unaPtr<unaWaveInDevice> waveIn;
    unaPtr<unaWaveMixerDevice> mixer_;
    unaPtr<unaWaveResampler> resampler_;
    // Written by this thread, read by the resampler's worker.
    std::atomic<unaMemoryStream*> holdStream{nullptr};
};

}  // namespace una

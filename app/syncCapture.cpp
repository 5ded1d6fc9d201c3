#include "app/syncCapture.h"

#include <cmath>

#include "app/delayChain.h"
#include "audio/unaWaveInDevice.h"
#include "finder/pcmToMono.h"
#include "foundation/unaTime.h"

namespace una::app {

MonoBlocks::MonoBlocks(const unaPcmFormat& format)
    : format_(format),
      frameBytes_(std::max<uint32_t>(1, format.channels * ((format.bitsPerSample + 7) / 8))) {}

std::span<const float> MonoBlocks::convert(std::span<const uint8_t> pcm) {
    mono_.clear();
    finder::pcmToMono(pcm, static_cast<int>(format_.bitsPerSample),
                      static_cast<int>(format_.channels), mono_);
    return mono_;
}

int64_t MonoBlocks::captureNs(uint64_t frame, const platform::StreamTiming& reading) const {
    const double rate = format_.samplesPerSec ? format_.samplesPerSec : 1;
    const double offsetFrames = static_cast<double>(frame) - static_cast<double>(reading.frames);
    return reading.monotonicNs + static_cast<int64_t>(std::llround(offsetFrames * 1e9 / rate));
}

// What the TV recorder's worker needs, apart from the owner's fields.
struct TvInput::Feed {
    explicit Feed(const unaPcmFormat& format) : blocks(format) {}
    static constexpr uint32_t kChunksPerReading = 3;
    MonoBlocks blocks;
    MonoBlockFn onBlock;
    unaWaveInDevice* recorder = nullptr;
    platform::StreamTiming reading;
    bool timed = false;
    uint32_t sinceReading = kChunksPerReading;

    void chunk(std::span<const uint8_t> data) {
        const uint64_t frames = recorder->outBytes / blocks.frameBytes();
        const uint64_t first =
            frames - std::min<uint64_t>(frames, data.size() / blocks.frameBytes());
        if (++sinceReading >= kChunksPerReading) {
            sinceReading = 0;
            platform::StreamTiming fresh;
            if (recorder->timing(fresh) == kMmResultOk) {
                reading = fresh;
                timed = true;
            } else if (!timed) {
                // No reading from the card yet: its count now leaves the path's latency out.
                reading = {markTime(), frames};
            }
        }
        onBlock(blocks.convert(data), blocks.rate(), blocks.captureNs(first, reading));
    }
};

TvInput::TvInput() = default;

TvInput::~TvInput() {
    close();
}

bool TvInput::open(int32_t deviceId, const unaPcmFormat& format, MonoBlockFn onBlock,
                   std::string& error) {
    close();
    deviceId_ = deviceId;
    recorder_ = make<unaWaveInDevice>(deviceId, false, false, 0);
    recorder_->setPcmFormat(format);
    recorder_->assignStream(false, nullptr);
    recorder_->setCalcVolume(true);
    feed_ = std::make_shared<Feed>(format);
    feed_->onBlock = std::move(onBlock);
    feed_->recorder = recorder_.get();
    recorder_->onDataAvailable =
        [feed = feed_](unaMsAcmStreamDevice&, std::span<const uint8_t> data) { feed->chunk(data); };
    const MmResult opened = recorder_->open(false, kChainTimeoutMs, 0);
    if (opened != kMmResultOk || !recorder_->isOpen()) {
        error = recorder_->getErrorText(opened);
        close();
        return false;
    }
    return true;
}

void TvInput::close() {
    if (recorder_) {
        recorder_->close(kChainTimeoutMs);
        recorder_->onDataAvailable = nullptr;
    }
    recorder_.reset();
    feed_.reset();
}

bool TvInput::isOpen() const {
    return recorder_ && recorder_->isOpen();
}

bool TvInput::isLost() const {
    return recorder_ && recorder_->isOpen() && recorder_->isDeviceLost();
}

}  // namespace una::app

// The GSM 6.10 driver (tag 0x31) on libgsm: 8 kHz mono speech in 65-byte blocks of two
// frames, the layout WAV files use.
#include <gsm.h>

#include <cstring>

#include "platform/blockCodecDriver.h"

namespace platform {

namespace {

constexpr uint32_t kGsmTag = 0x31;
constexpr uint32_t kGsmRate = 8000;
constexpr uint32_t kGsmBlockBytes = 65;
constexpr uint32_t kGsmBlockFrames = 320;

FormatBytes gsmRecord(uint32_t rate, uint32_t channels) {
    if (rate != kGsmRate || channels != 1)
        return {};
    FormatBytes bytes(20, 0);
    WaveFormatEx& f = asFormat(bytes);
    f.formatTag = kGsmTag;
    f.channels = 1;
    f.samplesPerSec = rate;
    f.avgBytesPerSec = rate * kGsmBlockBytes / kGsmBlockFrames;
    f.blockAlign = kGsmBlockBytes;
    f.bitsPerSample = 0;
    f.extraSize = 2;
    const uint16_t framesPerBlock = kGsmBlockFrames;
    std::memcpy(bytes.data() + 18, &framesPerBlock, 2);
    return bytes;
}

class GsmCodec : public BlockCodec {
  public:
    GsmCodec() { restart(); }
    ~GsmCodec() override {
        if (handle_)
            gsm_destroy(handle_);
    }
    bool ok() const { return handle_ != nullptr; }

    void encode(const int16_t* pcm, uint8_t* block) override {
        gsm_signal in[kGsmBlockFrames];
        std::memcpy(in, pcm, sizeof in);
        // The pair's first frame takes 32 bytes and a half, the second the rest.
        gsm_encode(handle_, in, block);
        gsm_encode(handle_, in + 160, block + 32);
    }
    void decode(const uint8_t* block, int16_t* pcm) override {
        gsm_byte frame[kGsmBlockBytes];
        std::memcpy(frame, block, sizeof frame);
        gsm_signal out[kGsmBlockFrames];
        if (gsm_decode(handle_, frame, out) != 0 || gsm_decode(handle_, frame + 33, out + 160) != 0)
            std::memset(out, 0, sizeof out);
        std::memcpy(pcm, out, sizeof out);
    }
    void restart() override {
        if (handle_)
            gsm_destroy(handle_);
        handle_ = gsm_create();
        if (handle_) {
            int wav49 = 1;
            gsm_option(handle_, GSM_OPT_WAV49, &wav49);
        }
    }

  private:
    gsm handle_ = nullptr;
};

}  // namespace

std::unique_ptr<CompressionDriver> makeGsmDriver() {
    BlockCodecTag tag;
    tag.tag = kGsmTag;
    tag.name = "GSM 6.10";
    tag.standardRates = {kGsmRate};
    tag.standardChannels = {1};
    tag.record = gsmRecord;
    tag.blocks = [](const WaveFormatEx& f, uint32_t& frames, uint32_t& bytes) {
        frames = kGsmBlockFrames;
        bytes = kGsmBlockBytes;
        return f.channels == 1 && f.blockAlign == kGsmBlockBytes && f.samplesPerSec > 0;
    };
    tag.makeCodec = [](const WaveFormatEx&) -> std::unique_ptr<BlockCodec> {
        auto codec = std::make_unique<GsmCodec>();
        return codec->ok() ? std::move(codec) : nullptr;
    };
    BlockCodecInfo info;
    info.mid = 1;
    info.pid = 36;
    info.version = 0x01000000;
    info.shortName = u"GSM 6.10";
    info.longName = u"GSM 6.10 Audio CODEC";
    info.copyright = u"Part of RuzizavuVodideza; libgsm by Jutta Degener and Carsten Bormann";
    info.features = u"Compresses and decompresses GSM 6.10 audio data (8 kHz mono speech).";
    std::vector<BlockCodecTag> tags;
    tags.push_back(std::move(tag));
    return std::make_unique<BlockCodecDriver>(std::move(info), std::move(tags));
}

}  // namespace platform

// The IMA ADPCM driver (tag 0x11): 4 bits a sample, blocks that start from an exact sample.
#include <cstring>

#include "platform/blockCodecDriver.h"
#include "platform/imaAdpcm.h"

namespace platform {

namespace {

constexpr uint32_t kImaTag = 0x11;

FormatBytes imaRecord(uint32_t rate, uint32_t channels) {
    if (rate == 0 || channels == 0 || channels > 2)
        return {};
    FormatBytes bytes(20, 0);
    WaveFormatEx& f = asFormat(bytes);
    f.formatTag = kImaTag;
    f.channels = static_cast<uint16_t>(channels);
    f.samplesPerSec = rate;
    f.blockAlign = static_cast<uint16_t>(imaStandardBlockAlign(rate, channels));
    f.bitsPerSample = 4;
    f.extraSize = 2;
    const auto samplesPerBlock = static_cast<uint16_t>(imaSamplesPerBlock(f.blockAlign, channels));
    std::memcpy(bytes.data() + 18, &samplesPerBlock, 2);
    f.avgBytesPerSec = static_cast<uint32_t>(uint64_t{rate} * f.blockAlign / samplesPerBlock);
    return bytes;
}

class ImaCodec : public BlockCodec {
  public:
    ImaCodec(uint32_t channels, uint32_t blockAlign, uint32_t frames)
        : channels_(channels), blockAlign_(blockAlign), frames_(frames), index_(channels, 0) {}

    void encode(const int16_t* pcm, uint8_t* block) override {
        imaEncodeBlock({pcm, size_t{frames_} * channels_}, channels_, {block, blockAlign_}, index_);
    }
    void decode(const uint8_t* block, int16_t* pcm) override {
        imaDecodeBlock({block, blockAlign_}, channels_, {pcm, size_t{frames_} * channels_});
    }
    void restart() override { std::fill(index_.begin(), index_.end(), 0); }

  private:
    uint32_t channels_;
    uint32_t blockAlign_;
    uint32_t frames_;
    std::vector<int32_t> index_;
};

}  // namespace

std::unique_ptr<CompressionDriver> makeImaAdpcmDriver() {
    BlockCodecTag ima;
    ima.tag = kImaTag;
    ima.name = "IMA ADPCM";
    ima.standardRates = {8000, 11025, 22050, 44100, 48000};
    ima.standardChannels = {1, 2};
    ima.record = imaRecord;
    ima.blocks = [](const WaveFormatEx& f, uint32_t& frames, uint32_t& bytes) {
        if (f.bitsPerSample != 4 || f.channels == 0 || f.channels > 8)
            return false;
        frames = imaSamplesPerBlock(f.blockAlign, f.channels);
        bytes = f.blockAlign;
        return frames != 0;
    };
    ima.makeCodec = [](const WaveFormatEx& f) -> std::unique_ptr<BlockCodec> {
        return std::make_unique<ImaCodec>(f.channels, f.blockAlign,
                                          imaSamplesPerBlock(f.blockAlign, f.channels));
    };
    BlockCodecInfo info;
    info.mid = 1;
    info.pid = 34;
    info.version = 0x01000000;
    info.shortName = u"IMA ADPCM";
    info.longName = u"IMA ADPCM CODEC";
    info.copyright = u"Part of RuzizavuVodideza";
    info.features = u"Compresses and decompresses IMA ADPCM audio data (4 bits a sample).";
    std::vector<BlockCodecTag> tags;
    tags.push_back(std::move(ima));
    return std::make_unique<BlockCodecDriver>(std::move(info), std::move(tags));
}

}  // namespace platform

// The CCITT G.711 driver: A-law (tag 6) and u-law (tag 7), 8 bits a sample.
#include "platform/blockCodecDriver.h"
#include "platform/g711.h"

namespace platform {

namespace {

constexpr uint32_t kAlawTag = 6;
constexpr uint32_t kUlawTag = 7;

FormatBytes lawRecord(uint32_t tag, uint32_t rate, uint32_t channels) {
    if (rate == 0 || channels == 0 || channels > 8)
        return {};
    FormatBytes bytes(18, 0);
    WaveFormatEx& f = asFormat(bytes);
    f.formatTag = static_cast<uint16_t>(tag);
    f.channels = static_cast<uint16_t>(channels);
    f.samplesPerSec = rate;
    f.blockAlign = static_cast<uint16_t>(channels);
    f.avgBytesPerSec = rate * channels;
    f.bitsPerSample = 8;
    return bytes;
}

class LawCodec : public BlockCodec {
  public:
    LawCodec(bool ulaw, uint32_t channels) : ulaw_(ulaw), channels_(channels) {}
    void encode(const int16_t* pcm, uint8_t* block) override {
        for (uint32_t c = 0; c < channels_; ++c)
            block[c] = ulaw_ ? linearToUlaw(pcm[c]) : linearToAlaw(pcm[c]);
    }
    void decode(const uint8_t* block, int16_t* pcm) override {
        for (uint32_t c = 0; c < channels_; ++c)
            pcm[c] = ulaw_ ? ulawToLinear(block[c]) : alawToLinear(block[c]);
    }
    void restart() override {}

  private:
    bool ulaw_;
    uint32_t channels_;
};

BlockCodecTag lawTag(uint32_t tag, const char* name) {
    BlockCodecTag t;
    t.tag = tag;
    t.name = name;
    t.standardRates = {8000, 11025, 22050, 44100, 48000};
    t.standardChannels = {1, 2};
    t.record = [tag](uint32_t rate, uint32_t channels) { return lawRecord(tag, rate, channels); };
    t.blocks = [](const WaveFormatEx& f, uint32_t& frames, uint32_t& bytes) {
        frames = 1;
        bytes = f.channels;
        return f.bitsPerSample == 8 && f.channels > 0 && f.channels <= 8 &&
               f.blockAlign == f.channels;
    };
    t.makeCodec = [tag](const WaveFormatEx& f) -> std::unique_ptr<BlockCodec> {
        return std::make_unique<LawCodec>(tag == kUlawTag, f.channels);
    };
    return t;
}

}  // namespace

std::unique_ptr<CompressionDriver> makeG711Driver() {
    BlockCodecInfo info;
    info.mid = 1;
    info.pid = 37;
    info.version = 0x01000000;
    info.shortName = u"CCITT G.711";
    info.longName = u"CCITT G.711 A-Law and u-Law CODEC";
    info.copyright = u"Part of RuzizavuVodideza";
    info.features = u"Compresses and decompresses CCITT G.711 A-Law and u-Law audio data.";
    std::vector<BlockCodecTag> tags;
    tags.push_back(lawTag(kAlawTag, "CCITT A-Law"));
    tags.push_back(lawTag(kUlawTag, "CCITT u-Law"));
    return std::make_unique<BlockCodecDriver>(std::move(info), std::move(tags));
}

}  // namespace platform

#include "platform/blockCodecDriver.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

class BlockCodecConverter : public CompressionConverter {
  public:
    BlockCodecConverter(std::unique_ptr<BlockCodec> codec, bool encoding, uint32_t frames,
                        uint32_t channels, uint32_t blockBytes)
        : codec_(std::move(codec)),
          encoding_(encoding),
          pcmBytes_(frames * channels * 2),
          frameBytes_(std::max<uint32_t>(channels, 1) * 2),
          blockBytes_(blockBytes),
          samples_(static_cast<size_t>(frames) * channels) {}

    bool size(uint32_t bytes, bool sourceToDestination, uint32_t& out) const override {
        const uint32_t srcBlock = encoding_ ? pcmBytes_ : blockBytes_;
        const uint32_t dstBlock = encoding_ ? blockBytes_ : pcmBytes_;
        uint64_t result;
        if (sourceToDestination)
            result = (uint64_t{bytes} + srcBlock - 1) / srcBlock * dstBlock;
        else
            result = uint64_t{std::max<uint32_t>(bytes / dstBlock, 1)} * srcBlock;
        if (result > 0xFFFFFFFFu)
            return false;
        out = static_cast<uint32_t>(result);
        return true;
    }

    MmResult convert(std::span<const uint8_t> src, std::span<uint8_t> dst, uint32_t flags,
                     uint32_t& srcUsed, uint32_t& dstUsed) override {
        if (flags & kAcmConvertStart)
            codec_->restart();
        const uint32_t srcBlock = encoding_ ? pcmBytes_ : blockBytes_;
        const uint32_t dstBlock = encoding_ ? blockBytes_ : pcmBytes_;
        const size_t blocks = std::min(src.size() / srcBlock, dst.size() / dstBlock);
        for (size_t b = 0; b < blocks; ++b) {
            const uint8_t* in = src.data() + b * srcBlock;
            uint8_t* out = dst.data() + b * dstBlock;
            if (encoding_) {
                std::memcpy(samples_.data(), in, pcmBytes_);
                codec_->encode(samples_.data(), out);
            } else {
                codec_->decode(in, samples_.data());
                std::memcpy(out, samples_.data(), pcmBytes_);
            }
        }
        srcUsed = static_cast<uint32_t>(blocks * srcBlock);
        dstUsed = static_cast<uint32_t>(blocks * dstBlock);
        // The end of the stream: the frames short of a whole block, padded with silence, are
        // the last block rather than lost. Only whole frames count.
        const size_t restFrames = (src.size() - srcUsed) / frameBytes_;
        if (encoding_ && (flags & kAcmConvertEnd) && !(flags & kAcmConvertBlockAlign) &&
            restFrames > 0 && dst.size() - dstUsed >= dstBlock) {
            std::fill(samples_.begin(), samples_.end(), int16_t{0});
            std::memcpy(samples_.data(), src.data() + srcUsed, restFrames * frameBytes_);
            codec_->encode(samples_.data(), dst.data() + dstUsed);
            srcUsed += static_cast<uint32_t>(restFrames * frameBytes_);
            dstUsed += dstBlock;
        }
        return kMmNoError;
    }

    void reset() override { codec_->restart(); }

  private:
    std::unique_ptr<BlockCodec> codec_;
    bool encoding_;
    uint32_t pcmBytes_;
    uint32_t frameBytes_;
    uint32_t blockBytes_;
    std::vector<int16_t> samples_;  // aligned room for one block of samples
};

}  // namespace

BlockCodecDriver::BlockCodecDriver(BlockCodecInfo info, std::vector<BlockCodecTag> tags)
    : info_(std::move(info)), tags_(std::move(tags)) {}

const BlockCodecTag* BlockCodecDriver::findTag(uint32_t tag) const {
    for (const BlockCodecTag& t : tags_)
        if (t.tag == tag)
            return &t;
    return nullptr;
}

void BlockCodecDriver::details(AcmDriverDetailsW& out) const {
    out.type = 0x63647561;  // "audc"
    out.component = 0;
    out.mid = info_.mid;
    out.pid = info_.pid;
    out.acmVersion = kAcmVersion;
    out.driverVersion = info_.version;
    out.support = kAcmDriverSupportCodec;
    out.formatTagCount = static_cast<uint32_t>(tags_.size() + 1);  // PCM is one of its tags
    out.filterTagCount = 0;
    putWide(out.shortName, info_.shortName);
    putWide(out.longName, info_.longName);
    putWide(out.copyright, info_.copyright);
    putWide(out.licensing, info_.licensing);
    putWide(out.features, info_.features);
}

std::vector<AcmFormatTagDetails> BlockCodecDriver::formatTags() const {
    std::vector<AcmFormatTagDetails> result;
    AcmFormatTagDetails pcm;
    pcm.formatTagIndex = 0;
    pcm.formatTag = kWaveFormatPcm;
    pcm.formatSize = kPcmFormatRecordSize;
    pcm.support = kAcmDriverSupportCodec;
    std::strncpy(pcm.name, "PCM", sizeof pcm.name - 1);
    for (const BlockCodecTag& t : tags_)
        pcm.standardFormats += static_cast<uint32_t>(t.standardRates.size() * t.standardChannels.size());
    result.push_back(pcm);
    for (const BlockCodecTag& t : tags_) {
        AcmFormatTagDetails d;
        d.formatTagIndex = static_cast<uint32_t>(result.size());
        d.formatTag = t.tag;
        d.formatSize = static_cast<uint32_t>(maxFormatSize());
        d.support = kAcmDriverSupportCodec;
        d.standardFormats = static_cast<uint32_t>(formats(t.tag).size());
        std::strncpy(d.name, t.name.c_str(), sizeof d.name - 1);
        result.push_back(d);
    }
    return result;
}

std::vector<FormatBytes> BlockCodecDriver::formats(uint32_t tag) const {
    std::vector<FormatBytes> result;
    if (tag == kWaveFormatPcm) {
        // The PCM side of every standard compressed format.
        for (const BlockCodecTag& t : tags_)
            for (uint32_t rate : t.standardRates)
                for (uint32_t channels : t.standardChannels) {
                    FormatBytes pcm = pcmRecord(rate, 16, channels);
                    if (std::find(result.begin(), result.end(), pcm) == result.end())
                        result.push_back(pcm);
                }
        return result;
    }
    if (const BlockCodecTag* t = findTag(tag))
        for (uint32_t rate : t->standardRates)
            for (uint32_t channels : t->standardChannels)
                if (FormatBytes record = t->record(rate, channels); !record.empty())
                    result.push_back(std::move(record));
    return result;
}

uint32_t BlockCodecDriver::maxFormatSize() const {
    uint32_t size = 18;
    for (const BlockCodecTag& t : tags_)
        for (const FormatBytes& f : formats(t.tag))
            size = std::max<uint32_t>(size, recordSize(asFormat(f)));
    return size;
}

MmResult BlockCodecDriver::suggest(const WaveFormatEx& src, const WaveFormatEx& given,
                                   uint32_t flags, FormatBytes& out) const {
    const bool tagGiven = flags & kAcmFormatSuggestWFormatTag;
    const uint32_t rate = flags & kAcmFormatSuggestNSamplesPerSec ? given.samplesPerSec
                                                                  : src.samplesPerSec;
    const uint32_t channels = flags & kAcmFormatSuggestNChannels ? given.channels : src.channels;
    // Neither rate nor channels change here.
    if (rate != src.samplesPerSec || channels != src.channels)
        return kAcmErrNotPossible;
    if (isPcm16(src)) {
        const BlockCodecTag* t = tagGiven ? findTag(given.formatTag) : &tags_.front();
        if (!t)
            return kAcmErrNotPossible;
        FormatBytes record = t->record(rate, channels);
        if (record.empty() || ((flags & kAcmFormatSuggestWBitsPerSample) &&
                               given.bitsPerSample != asFormat(record).bitsPerSample))
            return kAcmErrNotPossible;
        out = std::move(record);
        return kMmNoError;
    }
    const BlockCodecTag* t = findTag(src.formatTag);
    uint32_t frames = 0, bytes = 0;
    if (!t || !t->blocks(src, frames, bytes))
        return kAcmErrNotPossible;
    if ((tagGiven && given.formatTag != kWaveFormatPcm) ||
        ((flags & kAcmFormatSuggestWBitsPerSample) && given.bitsPerSample != 16))
        return kAcmErrNotPossible;
    out = pcmRecord(rate, 16, channels);
    return kMmNoError;
}

MmResult BlockCodecDriver::open(const WaveFormatEx& src, const WaveFormatEx& dst, bool query,
                                std::unique_ptr<CompressionConverter>& out) const {
    const bool encoding = isPcm16(src);
    const WaveFormatEx& pcm = encoding ? src : dst;
    const WaveFormatEx& coded = encoding ? dst : src;
    const BlockCodecTag* t = findTag(coded.formatTag);
    uint32_t frames = 0, bytes = 0;
    if (!isPcm16(pcm) || !t || pcm.samplesPerSec != coded.samplesPerSec ||
        pcm.channels != coded.channels || !t->blocks(coded, frames, bytes))
        return kAcmErrNotPossible;
    if (query)
        return kMmNoError;
    auto codec = t->makeCodec(coded);
    if (!codec)
        return kMmNoMem;
    out = std::make_unique<BlockCodecConverter>(std::move(codec), encoding, frames, pcm.channels,
                                                bytes);
    return kMmNoError;
}

}  // namespace platform

#pragma once
// The common part of the built-in codec drivers: each converts between 16-bit PCM and its
// compressed tags at the same rate and channel count, one block of frames at a time.
// Immutable after construction, any thread; a converter belongs to one stream.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/compressionDriver.h"

namespace platform {

// One direction of one stream: a block of frames to compressed bytes, or back.
class BlockCodec {
  public:
    virtual ~BlockCodec() = default;
    // Encodes framesPerBlock frames into blockBytes bytes.
    virtual void encode(const int16_t* pcm, uint8_t* block) = 0;
    // Decodes blockBytes bytes into framesPerBlock frames.
    virtual void decode(const uint8_t* block, int16_t* pcm) = 0;
    // Forgets everything carried from block to block.
    virtual void restart() = 0;
};

struct BlockCodecTag {
    uint32_t tag = 0;
    std::string name;
    std::vector<uint32_t> standardRates;
    std::vector<uint32_t> standardChannels;
    // The record for a rate and channel count; empty when the tag cannot carry them.
    std::function<FormatBytes(uint32_t rate, uint32_t channels)> record;
    // Frames and bytes of one block of a record of this tag; false for a record it cannot
    // decode (a block size that does not fit the channels, say).
    std::function<bool(const WaveFormatEx& record, uint32_t& frames, uint32_t& bytes)> blocks;
    std::function<std::unique_ptr<BlockCodec>(const WaveFormatEx& record)> makeCodec;
};

struct BlockCodecInfo {
    uint16_t mid = 0;
    uint16_t pid = 0;
    uint32_t version = 0;
    std::u16string shortName;
    std::u16string longName;
    std::u16string copyright;
    std::u16string licensing;
    std::u16string features;
};

class BlockCodecDriver : public CompressionDriver {
  public:
    BlockCodecDriver(BlockCodecInfo info, std::vector<BlockCodecTag> tags);

    void details(AcmDriverDetailsW& out) const override;
    std::vector<AcmFormatTagDetails> formatTags() const override;
    std::vector<FormatBytes> formats(uint32_t tag) const override;
    uint32_t maxFormatSize() const override;
    MmResult suggest(const WaveFormatEx& src, const WaveFormatEx& given, uint32_t flags,
                     FormatBytes& out) const override;
    MmResult open(const WaveFormatEx& src, const WaveFormatEx& dst, bool query,
                  std::unique_ptr<CompressionConverter>& out) const override;

  private:
    const BlockCodecTag* findTag(uint32_t tag) const;

    BlockCodecInfo info_;
    std::vector<BlockCodecTag> tags_;
};

// Copies text into a fixed wide field, cut to fit with its terminating zero.
template <size_t N>
void putWide(char16_t (&field)[N], const std::u16string& text) {
    const size_t n = std::min(text.size(), N - 1);
    for (size_t i = 0; i < n; ++i)
        field[i] = text[i];
    field[n] = 0;
}

}  // namespace platform

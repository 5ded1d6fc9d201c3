// Arbitrary bytes through each decoder of the compression manager, as a file a user hands the
// program would bring them: a format record with any channel count, block size and rate,
// then data of any length. A decoder must refuse what it cannot read with a result code and
// never read or write outside the buffers it was given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/builtinCompression.h"
#include "platform/imaAdpcm.h"

using namespace platform;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "codec invariant broken: %s\n", what);
        std::abort();
    }
}

BuiltinCompression& manager() {
    static BuiltinCompression instance;
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8)
        return 0;
    static constexpr uint16_t kTags[] = {0x11, 7, 6, 0x31, 1};
    const uint16_t tag = kTags[data[0] % 5];
    std::vector<uint8_t> record(20, 0);
    auto& coded = *reinterpret_cast<WaveFormatEx*>(record.data());
    coded.formatTag = tag;
    coded.channels = data[1] % 10;
    coded.blockAlign = static_cast<uint16_t>(data[2] | (data[3] << 8));
    coded.samplesPerSec = 1000u + (static_cast<uint32_t>(data[4]) << 8 | data[5]) * 4;
    coded.bitsPerSample = tag == 0x11 ? 4 : tag == 0x31 ? 0 : tag == 1 ? data[6] % 40 : 8;
    coded.avgBytesPerSec = coded.samplesPerSec * coded.blockAlign;
    coded.extraSize = 2;
    record[18] = data[7];
    const uint8_t* payload = data + 8;
    const size_t length = size - 8;

    // The IMA block decoder on its own, with the block as long as the input.
    std::vector<int16_t> pcm(length * 4 + 16);
    imaDecodeBlock({payload, length}, coded.channels, pcm);

    std::vector<uint8_t> dstRecord(18, 0);
    auto& dst = *reinterpret_cast<WaveFormatEx*>(dstRecord.data());
    dst.formatTag = 1;
    dst.channels = coded.channels;
    dst.samplesPerSec = tag == 1 ? 8000 : coded.samplesPerSec;
    dst.bitsPerSample = 16;
    dst.blockAlign = static_cast<uint16_t>(coded.channels * 2);
    dst.avgBytesPerSec = dst.samplesPerSec * dst.blockAlign;

    AcmId stream = 0;
    if (manager().streamOpen(stream, 0, &coded, &dst, nullptr, 0, 0, 0) != 0)
        return 0;
    uint32_t outSize = 0;
    if (manager().streamSize(stream, static_cast<uint32_t>(length ? length : 1), outSize, 0) != 0 ||
        outSize > (1u << 24))
        outSize = 4096;
    std::vector<uint8_t> source(payload, payload + length);
    std::vector<uint8_t> out(outSize);
    AcmStreamHeader header;
    header.source = source.data();
    header.sourceLength = static_cast<uint32_t>(source.size());
    header.destination = out.data();
    header.destinationLength = static_cast<uint32_t>(out.size());
    if (manager().streamPrepareHeader(stream, header, 0) == 0) {
        for (uint32_t flags :
             {kAcmConvertStart | kAcmConvertBlockAlign, kAcmConvertBlockAlign, kAcmConvertEnd}) {
            manager().streamConvert(stream, header, flags);
            check(header.sourceLengthUsed <= header.sourceLength, "source used within the source");
            check(header.destinationLengthUsed <= header.destinationLength,
                  "output within the destination");
        }
        manager().streamUnprepareHeader(stream, header, 0);
    }
    manager().streamClose(stream, 0);
    return 0;
}

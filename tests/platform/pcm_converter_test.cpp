// The built-in PCM converter through the manager's streams: sample sizes and channels, rate
// changes that keep what the lower rate can carry and drop what it cannot, and conversion in
// pieces equal to conversion in one go.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/builtinCompression.h"
#include "platform/g711.h"

using namespace platform;

namespace {

// Converts input through one stream in pieces of piece bytes (0: all at once), carrying
// what the converter leaves over as the codec device does.
std::vector<uint8_t> convert(const FormatBytes& from, const FormatBytes& to,
                             const std::vector<uint8_t>& input, size_t piece = 0) {
    BuiltinCompression acm;
    AcmId stream = 0;
    EXPECT_EQ(acm.streamOpen(stream, 0, &asFormat(from), &asFormat(to), nullptr, 0, 0, 0), 0u);
    std::vector<uint8_t> output, pending;
    uint32_t flags = kAcmConvertStart | kAcmConvertBlockAlign;
    size_t at = 0;
    while (at < input.size()) {
        const size_t n = piece ? std::min(piece, input.size() - at) : input.size();
        pending.insert(pending.end(), input.begin() + at, input.begin() + at + n);
        at += n;
        uint32_t room = 0;
        acm.streamSize(stream, static_cast<uint32_t>(pending.size()), room, 0);
        std::vector<uint8_t> dst(room + 64);
        AcmStreamHeader header;
        header.source = pending.data();
        header.sourceLength = static_cast<uint32_t>(pending.size());
        header.destination = dst.data();
        header.destinationLength = static_cast<uint32_t>(dst.size());
        EXPECT_EQ(acm.streamPrepareHeader(stream, header, 0), 0u);
        EXPECT_EQ(acm.streamConvert(stream, header, flags), 0u);
        flags = kAcmConvertBlockAlign;
        output.insert(output.end(), dst.begin(), dst.begin() + header.destinationLengthUsed);
        pending.erase(pending.begin(), pending.begin() + header.sourceLengthUsed);
        acm.streamUnprepareHeader(stream, header, 0);
    }
    acm.streamClose(stream, 0);
    return output;
}

std::vector<uint8_t> toneBytes(double hz, uint32_t rate, double seconds, double amplitude) {
    const size_t n = static_cast<size_t>(rate * seconds);
    std::vector<uint8_t> out(n * 2);
    for (size_t i = 0; i < n; ++i) {
        const auto v = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * i / rate));
        std::memcpy(out.data() + 2 * i, &v, 2);
    }
    return out;
}

double rmsOf(const std::vector<uint8_t>& bytes, size_t skip) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = skip * 2; i + 1 < bytes.size(); i += 2, ++n) {
        int16_t v;
        std::memcpy(&v, bytes.data() + i, 2);
        sum += double(v) * v;
    }
    return n ? std::sqrt(sum / n) : 0;
}

}  // namespace

TEST(PcmConverter, SampleSizesAndChannels) {
    // Stereo 16-bit into mono 8-bit: the mean of the pair, rounded to the 8-bit step.
    std::vector<uint8_t> stereo(8);
    const int16_t frames[4] = {1000, 3000, -32768, -32768};
    std::memcpy(stereo.data(), frames, 8);
    const auto mono8 = convert(pcmRecord(8000, 16, 2), pcmRecord(8000, 8, 1), stereo);
    ASSERT_EQ(mono8.size(), 2u);
    EXPECT_EQ(mono8[0], 136);
    EXPECT_EQ(mono8[1], 0);
    // Mono 8-bit into stereo 24-bit: the sample in both channels.
    const auto wide = convert(pcmRecord(8000, 8, 1), pcmRecord(8000, 24, 2), {255, 128});
    ASSERT_EQ(wide.size(), 12u);
    EXPECT_EQ(wide[2], 0x7F) << "255 is the top of the 8-bit range";
    EXPECT_EQ(wide[5], 0x7F);
    EXPECT_EQ(wide[8], 0);
    EXPECT_EQ(wide[11], 0);
}

TEST(PcmConverter, GoingDownInRateKeepsTheBandAndDropsWhatWouldFoldBack) {
    const auto from = pcmRecord(44100, 16, 1), to = pcmRecord(8000, 16, 1);
    const auto low = convert(from, to, toneBytes(1000, 44100, 1.0, 10000));
    const auto high = convert(from, to, toneBytes(6000, 44100, 1.0, 10000));
    EXPECT_NEAR(low.size() / 2.0, 8000, 8);
    const double pass = rmsOf(low, 100), stop = rmsOf(high, 100);
    EXPECT_NEAR(20 * std::log10(pass / (10000 / std::sqrt(2.0))), 0.0, 1.0);
    EXPECT_LT(20 * std::log10(stop / (10000 / std::sqrt(2.0))), -40.0)
        << "6 kHz has no place at 8 kHz and must not come back as 2 kHz";
}

TEST(PcmConverter, PiecesGiveWhatOneGoGives) {
    const auto input = toneBytes(700, 44100, 0.5, 12000);
    for (const auto& [rate, bits] : {std::pair{8000u, 16u}, std::pair{48000u, 16u}}) {
        const auto whole = convert(pcmRecord(44100, 16, 1), pcmRecord(rate, bits, 1), input);
        const auto pieces =
            convert(pcmRecord(44100, 16, 1), pcmRecord(rate, bits, 1), input, 7056 / 2);
        EXPECT_EQ(whole, pieces) << rate;
    }
}

TEST(G711, KnownCodesAndTheirRoundTrip) {
    EXPECT_EQ(linearToUlaw(0), 0xFF);
    EXPECT_EQ(linearToAlaw(0), 0xD5);
    EXPECT_EQ(ulawToLinear(0xFF), 0);
    EXPECT_EQ(ulawToLinear(0x00), -32124);
    EXPECT_EQ(alawToLinear(0x55), -8);
    EXPECT_EQ(alawToLinear(0x2A), -32256);
    // Every code decodes to a value that encodes back to it (u-law's two zeros aside).
    for (int code = 0; code < 256; ++code) {
        if (code != 0x7F) {
            EXPECT_EQ(linearToUlaw(ulawToLinear(static_cast<uint8_t>(code))), code) << code;
        }
        EXPECT_EQ(linearToAlaw(alawToLinear(static_cast<uint8_t>(code))), code) << code;
    }
}

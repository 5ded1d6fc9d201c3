#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "audio/unaWaveDevices.h"
#include "audio/unaWaveFormat.h"
#include "foundation/unaConvert.h"
#include "support/fakeSoundCard.h"

using namespace una;

namespace {

std::string withSeparator(std::string text) {
    for (char& c : text)
        if (c == ',')
            c = thousandSeparator();
    return text;
}

}  // namespace

TEST(WaveFormat, FillPcmComputesAlignmentAndRate) {
    WaveFormatEx r{};
    r.extraSize = 7;
    fillPcmFormat(r, 44100, 16, 2);
    EXPECT_EQ(r.formatTag, 1);
    EXPECT_EQ(r.blockAlign, 4);
    EXPECT_EQ(r.avgBytesPerSec, 44100u * 4);
    EXPECT_EQ(r.extraSize, 7) << "a PCM record has no extra size to touch";
    fillPcmFormat(r, 8000, 8, 1);
    EXPECT_EQ(r.blockAlign, 1);
    EXPECT_EQ(r.avgBytesPerSec, 8000u);

    unaWaveFormat owned = makePcmFormat(22050, 16, 1);
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned.size(), 16u);
    EXPECT_EQ(owned->extraSize, 0) << "storage past a PCM record reads as zero";
    EXPECT_EQ(owned->avgBytesPerSec, 44100u);
}

TEST(WaveFormat, DuplicateCopiesRecordSizeAndFixesExtraSize) {
    unaWaveFormat copy;
    EXPECT_EQ(duplicateFormat(nullptr, copy), 0u);
    EXPECT_FALSE(copy);

    WaveFormatEx pcm{};
    fillPcmFormat(pcm, 44100, 16, 2);
    pcm.extraSize = 999;  // garbage after a PCM record must not count
    EXPECT_EQ(duplicateFormat(&pcm, copy), 16u);
    EXPECT_EQ(copy.size(), 16u);
    EXPECT_EQ(std::memcmp(copy.get(), &pcm, 16), 0);
    EXPECT_EQ(copy->extraSize, 0);

    alignas(4) uint8_t raw[50];
    for (size_t i = 0; i < sizeof raw; ++i)
        raw[i] = static_cast<uint8_t>(i);
    auto* adpcm = reinterpret_cast<WaveFormatEx*>(raw);
    adpcm->formatTag = 2;
    adpcm->extraSize = 32;
    EXPECT_EQ(duplicateFormat(adpcm, copy), 50u);
    EXPECT_EQ(std::memcmp(copy.bytes().data(), raw, 50), 0) << "extra bytes come along";

    unaWaveFormat deep = copy;
    deep->channels = 9;
    EXPECT_NE(copy->channels, 9) << "copies do not share storage";

    freeFormat(copy);
    EXPECT_FALSE(copy);
    freeFormat(copy);  // none is allowed
}

TEST(WaveFormat, TextsDescribeFormats) {
    EXPECT_EQ(formatToText(makePcmFormat(44100, 16, 2)),
              withSeparator("PCM: 44,100 Hz; 16 Bit; Stereo"));
    EXPECT_EQ(formatToText(makePcmFormat(8000, 8, 1)), withSeparator("PCM: 8,000 Hz; 8 Bit; Mono"));
    EXPECT_EQ(formatToText(makePcmFormat(96000, 16, 6).get(), '.'),
              "PCM: 96.000 Hz; 16 Bit; 6 channels");
    EXPECT_EQ(formatToText(makePcmFormat(192000, 8, 0).get(), ','),
              "PCM: 192,000 Hz; 8 Bit; 0 channels");
    EXPECT_EQ(formatToText(makePcmFormat(800, 8, 1).get(), ','), "PCM: 800 Hz; 8 Bit; Mono");
    EXPECT_EQ(formatToText(static_cast<const WaveFormatEx*>(nullptr)), "");

    EXPECT_EQ(formatTagName(85), "MP3");
    EXPECT_EQ(formatTagName(113), "VOXW");
    EXPECT_EQ(formatTagName(111), "#111");
    EXPECT_EQ(formatTagName(116), "#116");
    EXPECT_EQ(formatTagName(304), "ACELP");
    EXPECT_EQ(formatTagName(306), "ACELP");
    EXPECT_EQ(formatTagName(307), "#307");
    EXPECT_EQ(formatTagName(9), "#9");
    EXPECT_EQ(formatTagName(34), "DSP.TS");
    EXPECT_EQ(formatTagName(66), "G.723");

    EXPECT_EQ(mmErrorText(0), "0: unknown error code.");
    EXPECT_EQ(mmErrorText(2), "2: device ID out of range.");
    EXPECT_EQ(mmErrorText(8), "8: function isn't supported.");
    EXPECT_EQ(mmErrorText(12),
              "12: handle being used simultaneously on another thread (eg callback).");
    EXPECT_EQ(mmErrorText(20), "20: driver does not call DriverCallback.");
    EXPECT_EQ(mmErrorText(21), "21: unknown error code.");
    EXPECT_EQ(mmErrorText(513), "513: BUSY.");
    EXPECT_EQ(mmErrorText(515), "515: CANCELED.");
    EXPECT_EQ(mmErrorText(516), "516: unknown error code.");
}

TEST(WaveFormat, ChooserDefaultRecordAndInstalledDialog) {
    setFormatChooser({});
    setMaxFormatSizeQuery({});

    unaWaveFormat none;
    EXPECT_NE(formatChooser(none, "t", 0, 0), 0u) << "no dialog installed";
    EXPECT_FALSE(none) << "without style 0x40 no default record is made";

    EXPECT_NE(formatChooser(none, "t", kFormatChooseInitToWfx, 0), 0u);
    ASSERT_TRUE(none);
    EXPECT_EQ(none.size(), 18u) << "a failing size query falls back to 18 bytes";
    EXPECT_EQ(none->samplesPerSec, 44100u);
    EXPECT_EQ(none->extraSize, 0);

    setMaxFormatSizeQuery([] { return 50u; });
    uint32_t seenSize = 0;
    std::string seenTitle;
    uint32_t seenFlags = 0;
    setFormatChooser([&](unaWaveFormat& f, uint32_t size, std::string_view title, uint32_t,
                         uint32_t flags) -> MmResult {
        seenSize = size;
        seenTitle = title;
        seenFlags = flags;
        fillPcmFormat(*f.get(), 8000, 8, 1);
        return 0;
    });
    unaWaveFormat chosen;
    EXPECT_EQ(formatChooser(chosen, "Choose playback format", kFormatChooseInitToWfx,
                            kFormatEnumOutput | kFormatEnumHardware),
              0u);
    EXPECT_EQ(seenSize, 50u);
    EXPECT_EQ(chosen.size(), 50u);
    EXPECT_EQ(seenTitle, "Choose playback format");
    EXPECT_EQ(seenFlags, 0x1400000u);
    EXPECT_EQ(chosen->samplesPerSec, 8000u);

    unaWaveFormat existing = makePcmFormat(22050, 16, 2);
    EXPECT_EQ(
        formatChooser(existing, "", kFormatChooseInitToWfx, kFormatEnumInput | kFormatEnumHardware),
        0u);
    EXPECT_EQ(seenSize, 16u) << "an existing record is offered with its own size";
    EXPECT_EQ(seenFlags, 0xC00000u);
    setFormatChooser({});
    setMaxFormatSizeQuery({});
}

TEST(WaveDevices, CountsCapsAndErrorTextsFromTheCard) {
    ScopedFakeSoundCard card;
    platform::WaveCaps longName;
    longName.name = L"A recording device whose name runs past thirty-one characters";
    longName.channels = 2;
    card->setDevices(platform::WaveDirection::input, {longName, platform::WaveCaps{}});
    EXPECT_EQ(getInDeviceCount(), 2u);
    EXPECT_EQ(getOutDeviceCount(), 1u);

    unaWaveCaps caps;
    ASSERT_TRUE(getInDeviceCaps(0, caps));
    EXPECT_EQ(caps.name, longName.name.substr(0, 31)) << "the name field holds 31 characters";
    EXPECT_EQ(caps.channels, 2);
    caps.channels = 77;
    EXPECT_FALSE(getInDeviceCaps(5, caps));
    EXPECT_EQ(caps.channels, 77) << "a refused query leaves the record alone";
    EXPECT_TRUE(getOutDeviceCaps(platform::kWaveMapper, caps));

    card->setErrorText(32, "unsupported wave format");
    EXPECT_EQ(getInErrorText(32), "unsupported wave format");
    EXPECT_EQ(getOutErrorText(32), "32 (unsupported wave format)");
    card->setErrorText(33, std::string(200, 'x'));
    EXPECT_EQ(getInErrorText(33).size(), 128u) << "the card's text buffer holds 128 characters";
    EXPECT_EQ(getInErrorText(4), "4: device already allocated.") << "unknown to the card";
    EXPECT_EQ(getOutErrorText(4), "4: device already allocated.");
}

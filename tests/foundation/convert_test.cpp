#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/unaBase64.h"
#include "foundation/unaConvert.h"
#include "foundation/unaLocale.h"

using namespace una;

TEST(Int2Str, GroupsFromTheRightWithTheSignFirst) {
    EXPECT_EQ(int2str(-1234567, 10, 3, '.'), "-1.234.567");
    EXPECT_EQ(int2str(44100, 10, 3, ','), "44,100");
    EXPECT_EQ(int2str(123456, 10, 3, ','), "123,456") << "no separator before the first group";
    EXPECT_EQ(int2str(-123, 10, 3, ','), "-123");
    EXPECT_EQ(uint2str(123, 10, 1, '_'), "1_2_3");
    EXPECT_EQ(int2str(1234567), "1234567") << "no grouping by default";
    const std::string expected = std::string("44") + thousandSeparator() + "100";
    EXPECT_EQ(int2str(44100, 10, 3, ' '), expected) << "a space means the locale's separator";
}

TEST(Int2Str, BasesAndExtremes) {
    for (uint32_t base : {0u, 1u, 2u, 10u, 16u, 68u, 69u, 1000u})
        EXPECT_EQ(int2str(0, base), "0") << "base " << base;
    EXPECT_EQ(int2str(5, 1), "");
    EXPECT_EQ(int2str(5, 69), "");
    EXPECT_EQ(int2str(255, 16), "FF");
    EXPECT_EQ(int2str(5, 2), "101");
    EXPECT_EQ(int2str(67, 68), "$") << "the highest digit of base 68";
    EXPECT_EQ(int2str(68, 68), "10");
    EXPECT_EQ(int2str(61, 62), "z");
    EXPECT_EQ(int2str(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(uint2str(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(uint2str(UINT64_MAX, 16), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(bool2str(true), "true");
    EXPECT_EQ(bool2str(false), "false");
}

TEST(Str2Int, PrefixesSuffixesAndSigns) {
    EXPECT_EQ(str2int64("-0x1F"), -31);
    EXPECT_EQ(str2int64("1Fh"), 31);
    EXPECT_EQ(str2int64("1fH"), 31);
    EXPECT_EQ(str2int64("$ff"), 255);
    EXPECT_EQ(str2int64("X10"), 16);
    EXPECT_EQ(str2int64("007"), 7);
    EXPECT_EQ(str2int64("+5"), 5);
    EXPECT_EQ(str2int64("-12"), -12);
    EXPECT_EQ(str2int64("0"), 0);
    EXPECT_EQ(str2int64("000", 10, false, 9), 0);
    EXPECT_EQ(str2int64(" \t640 \r\n"), 640);
    EXPECT_EQ(str2int64("101", 2), 5);
    EXPECT_EQ(str2int64("ff", 16), 255);
    EXPECT_EQ(str2int64("x10", 8), 8) << "the prefix switches only base 10";
}

TEST(Str2Int, InvalidTextGivesTheDefault) {
    for (const char* text : {"12.5", "1 2", "", "   ", "abc", "1F", "5-", "-", "0x", "h", "--",
                             "1,000", "yes", "0.5", "2", "\x01"}) {
        const uint32_t base = std::string(text) == "2" ? 2 : 10;
        EXPECT_EQ(str2int64(text, base, false, 77), 77) << '"' << text << '"';
    }
    EXPECT_EQ(str2int64("12", 1, false, 77), 77);
    EXPECT_EQ(str2int64("12", 257, false, 77), 77);
    EXPECT_EQ(str2int64("1 2", 10, true, 77), 12) << "skipped, not counted as a position";
    EXPECT_EQ(str2int64("1F", 10, true, 77), 1);
    EXPECT_EQ(str2int64("q5", 10, true, 77), 77) << "the prefix is never forgiven";
}

TEST(Str2Int, WidthsAndWrapping) {
    EXPECT_EQ(str2uint("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(str2int("4294967295"), -1);
    EXPECT_EQ(str2int("4294967296"), 0);
    EXPECT_EQ(str2int("-1"), -1);
    EXPECT_EQ(str2uint("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(str2int("junk", 10, false, -5), -5);
    EXPECT_EQ(str2uint("junk", 10, false, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(str2int64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(str2int64("9223372036854775808"), INT64_MIN) << "wraps in 64 bits";
    EXPECT_EQ(str2int64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(str2int64("18446744073709551617"), 1) << "wraps, never traps";
    EXPECT_TRUE(str2bool("-1"));
    EXPECT_TRUE(str2bool("1"));
    EXPECT_FALSE(str2bool("0", 10, false, true));
    EXPECT_TRUE(str2bool("yes", 10, false, true));
    EXPECT_FALSE(str2bool("yes"));
    EXPECT_TRUE(str2bool("4294967296")) << "all 64 bits count";
}

TEST(Arithmetic, PercentRoundsHalvesToEven) {
    EXPECT_EQ(percent(1, 3), 33);
    EXPECT_EQ(percent(2, 3), 67);
    EXPECT_EQ(percent(5, 0), 0);
    EXPECT_EQ(percent(0, 5), 0);
    EXPECT_EQ(percent(-1, 5), 0);
    EXPECT_EQ(percent(5, -1), 0);
    EXPECT_EQ(percent(1, 8), 12) << "12.5";
    EXPECT_EQ(percent(3, 8), 38) << "37.5";
    EXPECT_EQ(percent(1, 200), 0) << "0.5";
    EXPECT_EQ(percent(3, 200), 2) << "1.5";
    EXPECT_EQ(percent(7, 7), 100);
    EXPECT_EQ(percent(INT64_MAX / 2, INT64_MAX), 50) << "no overflow in part * 100";
    EXPECT_EQ(percent(INT64_MAX, 1), INT64_MAX) << "too large: saturates";
}

TEST(Arithmetic, GcdAndChoose) {
    EXPECT_EQ(gcd(0, 5), 1u);
    EXPECT_EQ(gcd(5, 0), 1u);
    EXPECT_EQ(gcd(12, 18), 6u);
    EXPECT_EQ(gcd(44100, 48000), 300u);
    EXPECT_EQ(gcd(7, 13), 1u);
    EXPECT_EQ(gcd(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(choose(true, 1, 2), 1);
    EXPECT_EQ(choose(false, std::string_view("a"), std::string_view("b")), "b");
    int x = 0, y = 0;
    EXPECT_EQ(choose(false, &x, &y), &y);
}

TEST(Locale, SeparatorCharacter) {
    EXPECT_EQ(thousandSeparatorFrom(""), ',');
    EXPECT_EQ(thousandSeparatorFrom("."), '.');
    EXPECT_EQ(thousandSeparatorFrom("'x"), '\'');
    EXPECT_EQ(thousandSeparatorFrom("\xE2\x80\xAF"), ' ') << "no lone UTF-8 lead byte";
    EXPECT_EQ(thousandSeparator(), thousandSeparatorFrom(userLocaleThousandSeparator()));
}

TEST(Base64, KnownVectorsAndRoundTrip) {
    EXPECT_EQ(base64Encode(std::string_view("")), "");
    EXPECT_EQ(base64Encode(std::string_view("f")), "Zg==");
    EXPECT_EQ(base64Encode(std::string_view("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(std::string_view("foo")), "Zm9v");
    EXPECT_EQ(base64Encode(std::string_view("foobar")), "Zm9vYmFy");
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<uint8_t>(255 - i));
    for (size_t n = 0; n <= all.size(); n += 1 + n / 3) {
        const std::vector<uint8_t> part(all.begin(), all.begin() + static_cast<long>(n));
        EXPECT_EQ(base64Decode(base64Encode(part)), part) << n << " bytes";
    }
    const std::vector<uint8_t> foobar{'f', 'o', 'o', 'b', 'a', 'r'};
    EXPECT_EQ(base64Decode("Zm9v\r\nYmFy"), foobar) << "line breaks are skipped";
    const std::vector<uint8_t> fo{'f', 'o'};
    EXPECT_EQ(base64Decode("Zm8="), fo);
    EXPECT_EQ(base64Decode("Zm8=Zm9v"), fo) << "stops at the padding";
    EXPECT_TRUE(base64Decode("Z").empty()) << "a lone group holds no byte";
    EXPECT_TRUE(base64Decode("!!**").empty());
}

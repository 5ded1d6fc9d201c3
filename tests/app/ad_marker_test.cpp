// The version marker of the advertising page and the conversion of its version text under a
// comma locale and a point locale.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/adMarker.h"

using namespace una::app;

namespace {

AdMarker scan(std::vector<std::string> lines, const char* separator = ",") {
    return findAdMarker(lines, separator);
}

}  // namespace

TEST(AdMarker, VersionTextsUnderACommaAndAPointLocale) {
    struct Case {
        const char* line;
        const char* separator;
        const char* text;
        double version;
    };
    const Case cases[] = {
        // Both ways of writing it read 1.1 where the comma is the decimal separator.
        {"Oferta Sorvalen_1,1", ",", "1,1", 1.1},
        {"Oferta Sorvalen_1.1", ",", "1,1", 1.1},
        {"Sorvalen_1.0 y más", ",", "1,0", 1.0},
        // Where the point is, the "." made "," is no number any more.
        {"Sorvalen_1.1", ".", "1,1", 0.0},
        {"Sorvalen_1,1", ".", "1,1", 0.0},
        {"Sorvalen_2", ".", "2", 2.0},
        {"Sorvalen_abc", ",", "abc", 0.0},
        // Three characters only, trimmed: " 2 " and "1.25" cut to "1.2".
        {"Sorvalen_ 2 tail", ",", "2", 2.0},
        {"Sorvalen_1.25", ",", "1,2", 1.2},
        {"Sorvalen_\t1\t", ",", "1", 1.0},
        {"Sorvalen_", ",", "", 0.0},
        {"Sorvalen_-1.", ",", "-1,", -1.0},
        {"Sorvalen_1E2", ",", "1E2", 100.0},
        // A character of several bytes counts as one.
        {"Sorvalen_ñ12", ",", "ñ12", 0.0},
        {"Sorvalen_12€x", ",", "12€", 0.0},
        // Stray continuation bytes are characters of their own.
        {"Sorvalen_\x98\x98\x98\x98\x98", ",", "\x98\x98\x98", 0.0},
        {"Sorvalen_\xe2\x82", ",", "\xe2\x82", 0.0},
    };
    for (const Case& c : cases) {
        const AdMarker marker = scan({c.line}, c.separator);
        EXPECT_TRUE(marker.found) << c.line;
        EXPECT_EQ(marker.text, c.text) << c.line;
        EXPECT_DOUBLE_EQ(marker.version, c.version) << c.line << " under '" << c.separator << "'";
    }
}

TEST(AdMarker, ConversionAcceptsOnlyWholeNumbers) {
    EXPECT_DOUBLE_EQ(versionFromText("1,5", ","), 1.5);
    EXPECT_DOUBLE_EQ(versionFromText(",5", ","), 0.5);
    EXPECT_DOUBLE_EQ(versionFromText("3,", ","), 3.0);
    EXPECT_DOUBLE_EQ(versionFromText("+2", ","), 2.0);
    EXPECT_DOUBLE_EQ(versionFromText("1\xd9\xab" "5", "\xd9\xab"), 1.5);  // Arabic separator
    EXPECT_DOUBLE_EQ(versionFromText("1.5", ""), 1.5);  // no separator known: the point
    for (const char* text : {"", ",", "+", "-", "1,2,3", "1 2", "1e", "1e+", "e5", "0x1",
                             "inf", "nan", "1,5 ", " 1", "1.000,5", "1e999"})
        EXPECT_EQ(versionFromText(text, ","), 0.0) << '"' << text << '"';
}

TEST(AdMarker, FirstLineWithTheMarkerDecides) {
    // Address, title, text: the title's marker wins over one further down.
    AdMarker marker = scan({"https://example.test/publicidad.htm", "Publicidad Sorvalen_1.0",
                            "Sorvalen_2.0"});
    EXPECT_TRUE(marker.found);
    EXPECT_EQ(marker.line, 1u);
    EXPECT_DOUBLE_EQ(marker.version, 1.0);
    EXPECT_FALSE(announcesUpdate(marker, 1.0));

    // A line whose version does not convert still stops the search.
    marker = scan({"Sorvalen_abc", "Sorvalen_2.0"});
    EXPECT_EQ(marker.line, 0u);
    EXPECT_FALSE(announcesUpdate(marker, 1.0));

    // Only the first marker of a line counts.
    marker = scan({"Sorvalen_xyz Sorvalen_2.0"});
    EXPECT_DOUBLE_EQ(marker.version, 0.0);

    marker = scan({"sorvalen_2.0", "Sorvalen 2.0", "Sorvalen-2.0", ""});
    EXPECT_FALSE(marker.found);
    EXPECT_FALSE(announcesUpdate(marker, 1.0));
    EXPECT_FALSE(scan({}).found);
}

TEST(AdMarker, UpdateOnlyForAnotherVersionAboveZero) {
    EXPECT_TRUE(announcesUpdate(scan({"Sorvalen_1.1"}), 1.0));
    EXPECT_TRUE(announcesUpdate(scan({"Sorvalen_0.9"}), 1.0));  // another, even if older
    EXPECT_FALSE(announcesUpdate(scan({"Sorvalen_1.0"}), 1.0));
    EXPECT_FALSE(announcesUpdate(scan({"Sorvalen_0"}), 1.0));
    EXPECT_FALSE(announcesUpdate(scan({"Sorvalen_-2"}), 1.0));
    EXPECT_FALSE(announcesUpdate(scan({"Sorvalen_1.1"}, "."), 1.0));
}

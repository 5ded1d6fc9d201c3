#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "foundation/unaIniFile.h"
#include "stream/stationList.h"
#include "stream/stationSoundCard.h"

namespace una::stream {
namespace {

TEST(StationList, OnlyWebAddressesCount) {
    EXPECT_TRUE(isStationAddress("http://radio.example/live.mp3"));
    EXPECT_TRUE(isStationAddress("HTTPS://radio.example:8443"));
    for (const char* bad : {"file:///etc/passwd", "http://", "ftp://x/y", "http:///path",
                            "http://a b", "http://x/\nfile:///", "rtmp://x", "radio.example"})
        EXPECT_FALSE(isStationAddress(bad)) << bad;
}

TEST(StationList, KeptInTheirOwnSectionTrimmedAndUnique) {
    const auto file = std::filesystem::temp_directory_path() / "una_station_list_test.ini";
    std::filesystem::remove(file);
    unaIniFile ini(file.string(), false, 1000, "waveIn");
    ini.setString("deviceName", "kept");
    const std::vector<Station> given = {{" Uno ", "http://a/1"}, {"Uno", "http://a/2"},
                                        {"", "http://a/3"},      {"Dos", "file:///x"},
                                        {"Tres", "https://b/"}};
    saveStations(ini, given);
    const std::vector<Station> back = loadStations(ini);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].name, "Uno");
    EXPECT_EQ(back[0].url, "http://a/1");
    EXPECT_EQ(back[1].name, "Tres");
    EXPECT_EQ(ini.getSection(), "waveIn");
    EXPECT_EQ(ini.getString("deviceName"), "kept");
    std::filesystem::remove(file);
}

// Far more stations than a section's 16 KB hold, all kept, in the file's own format.
TEST(StationList, ManyStationsAllComeBack) {
    const auto file = std::filesystem::temp_directory_path() / "una_station_many_test.ini";
    std::filesystem::remove(file);
    unaIniFile ini(file.string(), false, 1000, "settings");
    std::vector<Station> given;
    for (int i = 1; i <= 200; ++i)
        given.push_back({"Radio " + std::to_string(i),
                         "https://stream.example/" + std::string(80, 'a') + std::to_string(i)});
    ASSERT_TRUE(saveStations(ini, given));
    EXPECT_EQ(ini.getSection(), "settings");
    EXPECT_EQ(loadStations(ini), given);
    ini.selectSection("stations");
    EXPECT_EQ(ini.getString("url200"), given.back().url);
    // An address too long to be read back whole is no station.
    EXPECT_FALSE(isStationAddress("http://x/" + std::string(kIniMaxValue, 'a')));
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace una::stream

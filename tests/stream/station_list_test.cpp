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

}  // namespace
}  // namespace una::stream

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/delayValue.h"
#include "app/mainSettings.h"
#include "foundation/unaIniFile.h"

using namespace una;
using namespace una::app;

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path = "/tmp/una-settings-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }

    std::string text() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string& content) const {
        std::ofstream(path, std::ios::binary) << content;
    }
    MainSettings load() const {
        unaIniFile ini(path, true, 1000, "settings");
        MainSettings s;
        s.load(ini);
        return s;
    }

    std::string path;
};

TEST_F(SettingsFile, FirstRunStartsOnTheMapperWithCdFormatAndATenthOfASecond) {
    const MainSettings s = load();
    EXPECT_EQ(s.outDeviceId, -1);
    EXPECT_EQ(s.inDeviceId, -1);
    for (const unaPcmFormat& f : {s.outFormat, s.inFormat}) {
        EXPECT_EQ(f.samplesPerSec, 44100u);
        EXPECT_EQ(f.bitsPerSample, 16u);
        EXPECT_EQ(f.channels, 2u);
    }
    EXPECT_EQ(s.inFileName, "");
    EXPECT_FALSE(s.saveToFile);
    EXPECT_EQ(s.delayMs, 4);
    // 4 ms shows as 0.0 s, which the exit rule turns into 0.1 s.
    EXPECT_DOUBLE_EQ(delayEditReadBack(s.delaySeconds()), 0.0);
    EXPECT_DOUBLE_EQ(delayExitRule(s.delaySeconds()).seconds, 0.1);
    EXPECT_FALSE(s.widthApplies());
    EXPECT_FALSE(s.heightApplies());
    EXPECT_EQ(s.left, 4);
    EXPECT_EQ(s.top, 4);
    EXPECT_EQ(s.initialSaveDir, ".\\");
    EXPECT_EQ(s.skin, "");
    EXPECT_EQ(s.language, "");
    // Loading writes nothing.
    EXPECT_EQ(text(), "");
}

TEST_F(SettingsFile, RoundTripKeepsEveryValueInItsStoredForm) {
    MainSettings s;
    s.outDeviceId = -1;
    s.inDeviceId = 1;
    s.outFormat = {48000, 16, 2};
    s.inFormat = {22050, 8, 1};
    s.outFileName = "out.wav";
    s.inFileName = "/home/u/radio.wav";
    s.saveToFile = true;
    s.delayMs = MainSettings::delayMsFromSeconds(12.5);
    s.language = "uk";
    s.width = 640;
    s.height = static_cast<uint32_t>(-20);
    s.left = -8;
    s.top = 30;
    s.skin = "/skins/blue.skn";
    {
        unaIniFile ini(path, true, 1000, "settings");
        s.save(ini);
    }
    const std::string stored = text();
    // The mapper is stored unsigned in both device sections that hold it.
    EXPECT_NE(stored.find("[waveOut]\r\ndeviceId=4294967295\r\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("[waveIn]\r\ndeviceId=1\r\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("saveToFile=-1"), std::string::npos);
    EXPECT_NE(stored.find("delaysec=12500"), std::string::npos);
    EXPECT_NE(stored.find("height=-20"), std::string::npos);
    EXPECT_NE(stored.find("left=-8"), std::string::npos);
    // Sections in the saving order; "main" is not written at close.
    const size_t out = stored.find("[waveOut]"), in = stored.find("[waveIn]"),
                 delay = stored.find("[delay]"), form = stored.find("[form]"),
                 skin = stored.find("[skin]");
    EXPECT_LT(out, in);
    EXPECT_LT(in, delay);
    EXPECT_LT(delay, form);
    EXPECT_LT(form, skin);
    EXPECT_EQ(stored.find("[main]"), std::string::npos);

    const MainSettings r = load();
    EXPECT_EQ(r.outDeviceId, -1);
    EXPECT_EQ(r.inDeviceId, 1);
    EXPECT_EQ(r.outFormat.samplesPerSec, 48000u);
    EXPECT_EQ(r.inFormat.samplesPerSec, 22050u);
    EXPECT_EQ(r.inFormat.bitsPerSample, 8u);
    EXPECT_EQ(r.inFormat.channels, 1u);
    EXPECT_EQ(r.outFileName, "out.wav");
    EXPECT_EQ(r.inFileName, "/home/u/radio.wav");
    EXPECT_TRUE(r.saveToFile);
    EXPECT_EQ(r.delayMs, 12500);
    const DelayControls d = delayExitRule(r.delaySeconds());
    EXPECT_DOUBLE_EQ(d.seconds, 12.5);
    EXPECT_EQ(d.sliderMax, 120);
    EXPECT_EQ(r.language, "uk");
    EXPECT_TRUE(r.widthApplies());
    // A negative height compares as large and is applied.
    EXPECT_TRUE(r.heightApplies());
    EXPECT_EQ(r.left, -8);
    EXPECT_EQ(r.top, 30);
    EXPECT_EQ(r.skin, "/skins/blue.skn");

    {
        unaIniFile ini(path, true, 1000, "settings");
        MainSettings::saveInitialSaveDir(ini, "/home/u/");
    }
    EXPECT_EQ(load().initialSaveDir, "/home/u/");
}

TEST_F(SettingsFile, BoundsBelowTheDesignSizeAreIgnored) {
    write("[form]\r\nwidth=599\r\nheight=459\r\n");
    MainSettings s = load();
    EXPECT_FALSE(s.widthApplies());
    EXPECT_FALSE(s.heightApplies());
    write("[form]\r\nwidth=600\r\nheight=460\r\n");
    s = load();
    EXPECT_TRUE(s.widthApplies());
    EXPECT_TRUE(s.heightApplies());
    EXPECT_EQ(s.width, 600u);
    EXPECT_EQ(s.height, 460u);
}

TEST_F(SettingsFile, UnreadableValuesFallBackToTheirDefaults) {
    write("[delay]\r\ndelaysec=12.5\r\n[waveIn]\r\ndeviceId=two\r\nfileName=  a b.wav  \r\n"
          "saveToFile=yes\r\npcmSamplesPerSecond=4410O\r\n[skin]\r\nskin=  \r\n");
    MainSettings s = load();
    EXPECT_EQ(s.delayMs, 4);
    EXPECT_EQ(s.inDeviceId, -1);
    EXPECT_EQ(s.inFileName, "a b.wav");
    EXPECT_FALSE(s.saveToFile);
    EXPECT_EQ(s.inFormat.samplesPerSec, 44100u);
    EXPECT_EQ(s.skin, "");

    // A negative delay is read as stored and then caught by the exit rule.
    write("[delay]\r\ndelaysec=-5000\r\n[waveIn]\r\nsaveToFile=7\r\n");
    s = load();
    EXPECT_EQ(s.delayMs, -5000);
    EXPECT_DOUBLE_EQ(delayExitRule(s.delaySeconds()).seconds, 0.1);
    EXPECT_TRUE(s.saveToFile);
}

TEST(DelayStoredForm, EditValuesBecomeWholeMilliseconds) {
    EXPECT_EQ(MainSettings::delayMsFromSeconds(0.1), 100);
    EXPECT_EQ(MainSettings::delayMsFromSeconds(0.3), 300);
    EXPECT_EQ(MainSettings::delayMsFromSeconds(160), 160000);
    EXPECT_EQ(MainSettings::delayMsFromSeconds(std::nan("")), 0);
}

}  // namespace

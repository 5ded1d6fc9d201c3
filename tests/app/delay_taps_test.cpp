#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/delayAdjust.h"
#include "app/delayPresets.h"
#include "app/delaySteering.h"
#include "support/iniText.h"
#include "app/delayTaps.h"
#include "app/delayValue.h"
#include "app/mainSettings.h"
#include "foundation/unaIniFile.h"

using namespace una;
using namespace una::app;

namespace {

constexpr int64_t kSecond = 1'000'000'000;

TEST(DelayTaps, EitherOrderGivesTvMinusRadioWithinTheBoundsAndUndoesOnce) {
    DelayTaps taps;
    // Radio first: the TV is 2.345 s later than the delay makes up for.
    EXPECT_FALSE(taps.press(TapSide::Radio, 100 * kSecond, 5000));
    EXPECT_EQ(taps.waiting(101 * kSecond), TapSide::Radio);
    auto change = taps.press(TapSide::Tv, 100 * kSecond + 2'345'400'000, 5000);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->toMs, 7345u);
    EXPECT_FALSE(taps.waiting(103 * kSecond));
    // TV first: the radio comes later, so the delay is too long.
    EXPECT_FALSE(taps.press(TapSide::Tv, 200 * kSecond, 7345));
    change = taps.press(TapSide::Radio, 200 * kSecond + 500'000'000, 7345);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->measuredMs, -500);
    EXPECT_EQ(change->toMs, 6845u);
    // Undo goes back one change, once.
    EXPECT_EQ(taps.undo(), 7345u);
    EXPECT_FALSE(taps.undo());

    // At the bounds the change is cut, and says so.
    taps.press(TapSide::Radio, 300 * kSecond, 159'000);
    change = taps.press(TapSide::Tv, 305 * kSecond, 159'000);
    EXPECT_EQ(change->toMs, 160'000u);
    EXPECT_EQ(change->appliedMs(), 1000);
    EXPECT_EQ(change->measuredMs, 5000);
    taps.press(TapSide::Tv, 400 * kSecond, 300);
    EXPECT_EQ(taps.press(TapSide::Radio, 401 * kSecond, 300)->toMs, 100u);
}

TEST(DelayTaps, ALonePressIsReplacedByANewerOneAndForgottenAfterAMinute) {
    DelayTaps taps;
    taps.press(TapSide::Radio, 10 * kSecond, 5000);
    // Pressed again: the newer radio moment counts.
    taps.press(TapSide::Radio, 12 * kSecond, 5000);
    EXPECT_EQ(taps.press(TapSide::Tv, 13 * kSecond, 5000)->measuredMs, 1000);

    taps.press(TapSide::Radio, 20 * kSecond, 5000);
    EXPECT_EQ(taps.waiting(80 * kSecond), TapSide::Radio);
    EXPECT_FALSE(taps.waiting(80 * kSecond + 1));
    // Forgotten: the TV press starts a new pair instead of moving the delay by a minute.
    EXPECT_FALSE(taps.press(TapSide::Tv, 80 * kSecond + 1, 5000));
    EXPECT_EQ(taps.waiting(81 * kSecond), TapSide::Tv);
    // A clock going backwards is no pair either.
    EXPECT_FALSE(taps.press(TapSide::Radio, 70 * kSecond, 5000));
}

// Every way of steering goes through one DelaySteering; the fake chain records what it got.
struct FakeChain {
    std::vector<std::pair<double, bool>> calls;
    DelaySteering::Apply apply() {
        return [this](double seconds, bool exact) {
            calls.emplace_back(seconds, exact);
            return delayMilliseconds(exact ? delayWithinBounds(seconds)
                                           : delayExitRule(seconds).seconds);
        };
    }
};

DelayCommand make(DelayCommand::Kind kind, int steps = 0, std::string text = {}) {
    DelayCommand c;
    c.kind = kind;
    c.steps = steps;
    c.text = std::move(text);
    return c;
}

TEST(DelaySteering, TappedDelaysKeepTheirMillisecondsWhenSteppedAndPresetsApply) {
    FakeChain chain;
    DelaySteering steering(5000, chain.apply());
    steering.handle(make(DelayCommand::Kind::TapTv), 50 * kSecond, "uk");
    const std::string said =
        steering.handle(make(DelayCommand::Kind::TapRadio), 51'234'000'000, "uk");
    EXPECT_EQ(said, "Delay changed by -1.234 s, now 3.766 s");
    // The phone's page may speak another language than the terminal.
    EXPECT_EQ(steering.said("es"), "Retraso cambiado en -1.234 s, ahora 3.766 s");
    EXPECT_EQ(steering.delayMs(), 3766u);
    EXPECT_TRUE(chain.calls.back().second);

    EXPECT_EQ(steering.handle(make(DelayCommand::Kind::Step, 1), 52 * kSecond, "uk"),
              "Delay set to 3.866 s");
    EXPECT_TRUE(chain.calls.back().second);
    // A change made otherwise means the tapped one can no longer be taken back.
    EXPECT_EQ(steering.handle(make(DelayCommand::Kind::Undo), 53 * kSecond, "uk"),
              "There is no change to undo");
    EXPECT_EQ(steering.handle(make(DelayCommand::Kind::Step, -1), 53 * kSecond, "es"),
              "Retraso puesto en 3.766 s");

    steering.setPresets({{"Cable", 12'345}});
    EXPECT_EQ(steering.handle(make(DelayCommand::Kind::Preset, 0, "cable"), 54 * kSecond, "uk"),
              "Delay \"Cable\": 12.345 s");
    EXPECT_EQ(steering.delayMs(), 12'345u);
    const size_t calls = chain.calls.size();
    steering.handle(make(DelayCommand::Kind::Preset, 0, "Satellite"), 55 * kSecond, "uk");
    EXPECT_EQ(chain.calls.size(), calls);
    // From a whole tenth, a typed delay and its steps follow the edit's rules.
    steering.handle(make(DelayCommand::Kind::Set, 0), 56 * kSecond, "uk");
    EXPECT_FALSE(chain.calls.back().second);
    EXPECT_EQ(steering.delayMs(), 100u);
}

TEST(DelayCommands, TapsAsLinesAndAsATerminalsSingleKeys) {
    DelayCommandReader lines;
    auto commands = lines.feed("radio\ntv\nundo\npreset  Laptop stream \nrt\n");
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0].kind, DelayCommand::Kind::TapRadio);
    EXPECT_EQ(commands[1].kind, DelayCommand::Kind::TapTv);
    EXPECT_EQ(commands[2].kind, DelayCommand::Kind::Undo);
    EXPECT_EQ(commands[3].kind, DelayCommand::Kind::Preset);
    EXPECT_EQ(commands[3].text, "Laptop stream");
    EXPECT_EQ(commands[4].kind, DelayCommand::Kind::Bad);

    // On a terminal r and t act at once, with no Enter between them; "radio" typed out is one
    // press, and a delay line still works.
    DelayCommandReader keys(true);
    commands = keys.feed("rt+radio\ntvdelay 3\n");
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[0].kind, DelayCommand::Kind::TapRadio);
    EXPECT_EQ(commands[1].kind, DelayCommand::Kind::TapTv);
    EXPECT_EQ(commands[2].kind, DelayCommand::Kind::Step);
    EXPECT_EQ(commands[3].kind, DelayCommand::Kind::TapRadio);
    EXPECT_EQ(commands[4].kind, DelayCommand::Kind::TapTv);
    EXPECT_EQ(commands[5].kind, DelayCommand::Kind::Set);
    EXPECT_DOUBLE_EQ(commands[5].seconds, 3.0);
}

class PresetsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path = "/tmp/una-presets-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string text() const { return test::readText(path); }
    std::string path;
};

TEST_F(PresetsFile, KeptReplacedAndForgottenInTheirOwnSection) {
    unaIniFile ini(path, true, 1000, "settings");
    EXPECT_TRUE(loadDelayPresets(ini).empty());
    EXPECT_EQ(text(), "");
    EXPECT_TRUE(keepDelayPreset(ini, " Cable ", 12'345));
    EXPECT_TRUE(keepDelayPreset(ini, "Laptop stream", 41'000));
    EXPECT_TRUE(keepDelayPreset(ini, "CABLE", 12'400));  // same name, case aside
    EXPECT_FALSE(keepDelayPreset(ini, "a=b", 5000));
    EXPECT_FALSE(keepDelayPreset(ini, "[delay]", 5000));
    EXPECT_FALSE(keepDelayPreset(ini, "Too long", 160'001));
    EXPECT_EQ(text(), "[presets]\r\nCABLE=12400\r\nLaptop stream=41000\r\n");
    EXPECT_TRUE(forgetDelayPreset(ini, "laptop stream"));
    EXPECT_FALSE(forgetDelayPreset(ini, "laptop stream"));
    const auto presets = loadDelayPresets(ini);
    ASSERT_EQ(presets.size(), 1u);
    EXPECT_EQ(presets[0].ms, 12'400u);

    // Lines written by hand: the unusable ones are skipped, the first of two names counts.
    const auto parsed =
        parseDelayPresets("A=5000\r\nB=\r\nC=99\r\nD=5.5\r\n=300\r\na=7000\r\nE = 800 \r\nno line");
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].name, "A");
    EXPECT_EQ(parsed[1].name, "E");
    EXPECT_EQ(parsed[1].ms, 800u);
}

TEST_F(PresetsFile, AMillisecondDelaySurvivesTheSettingsUnlessDelaysecWasChangedSince) {
    MainSettings s;
    s.delayMs = MainSettings::delayMsFromSeconds(delayEditReadBack(12.345));
    s.exactDelayMs = 12'345;
    s.syncDeviceName = "alsa_input.usb-mic";
    s.syncFollow = true;
    {
        unaIniFile ini(path, true, 1000, "settings");
        s.save(ini);
    }
    EXPECT_NE(text().find("delaysec=12300\r\ndelayms=12345\r\n"), std::string::npos) << text();
    MainSettings r;
    {
        unaIniFile ini(path, true, 1000, "settings");
        r.load(ini);
    }
    EXPECT_EQ(r.exactDelayMs, 12'345u);
    EXPECT_EQ(r.delayMs, 12'300);
    EXPECT_EQ(r.syncDeviceName, "alsa_input.usb-mic");
    EXPECT_TRUE(r.syncFollow);

    // Back to a whole tenth: the finer key follows, so an old value cannot come back.
    r.exactDelayMs = 0;
    r.delayMs = 12'300;
    {
        unaIniFile ini(path, true, 1000, "settings");
        r.save(ini);
        r.load(ini);
    }
    EXPECT_EQ(r.exactDelayMs, 0u);

    // "delaysec" set by hand (or by an older version) wins over a finer value it disagrees with.
    std::ofstream(path, std::ios::binary) << "[delay]\r\ndelaysec=20000\r\ndelayms=12345\r\n";
    unaIniFile ini(path, true, 1000, "settings");
    r.load(ini);
    EXPECT_EQ(r.exactDelayMs, 0u);
    EXPECT_EQ(r.delayMs, 20'000);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/delayValue.h"
#include "app/deviceList.h"
#include "app/headless.h"
#include "app/meters.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace una::app;
using platform::WaveDirection;

namespace {

// --- the delay edit and slider ---

TEST(DelayExitRule, SliderFollowsTheEditAsTheDesignCasesSay) {
    struct Case {
        double typed;
        double seconds;
        int32_t max;
        int32_t position;
    };
    const std::vector<Case> cases = {
        {12.5, 12.5, 120, 121}, {3.0, 3.0, 160, 30},   {3.4, 3.4, 160, 31},
        {8.0, 8.0, 160, 80},    {8.1, 8.1, 80, 81},    {200, 160, 1600, 1600},
        {160, 160, 1600, 1600}, {0.1, 0.1, 160, 1},    {0.05, 0.1, 160, 1},
    };
    for (const Case& c : cases) {
        const DelayControls d = delayExitRule(c.typed);
        EXPECT_DOUBLE_EQ(d.seconds, c.seconds) << c.typed;
        EXPECT_EQ(d.sliderMax, c.max) << c.typed;
        EXPECT_EQ(d.sliderPosition, c.position) << c.typed;
    }
}

TEST(DelayExitRule, NothingBelowATenthReachesTheTimer) {
    // 0, what reads back as 0, negative numbers and not-a-number all become 0.1 s.
    for (double typed : {0.0, 0.004, -0.0, -3.0, -500.0, std::nan("")}) {
        const DelayControls d = delayExitRule(typed);
        EXPECT_DOUBLE_EQ(d.seconds, 0.1) << typed;
        EXPECT_EQ(delayMilliseconds(d.seconds), 100u) << typed;
        EXPECT_EQ(d.sliderPosition, 1) << typed;
    }
    EXPECT_EQ(delayMilliseconds(delayExitRule(500).seconds), 160000u);
}

TEST(DelayEdit, ReadsBackOneDecimalAndTheTimerGetsWholeMilliseconds) {
    EXPECT_DOUBLE_EQ(delayEditReadBack(0.004), 0.0);
    EXPECT_DOUBLE_EQ(delayEditReadBack(0.05), 0.1);
    EXPECT_DOUBLE_EQ(delayEditReadBack(2.25), 2.3);
    EXPECT_DOUBLE_EQ(delayEditReadBack(12.54), 12.5);
    // Products that are not whole in binary still give the intended milliseconds.
    EXPECT_EQ(delayMilliseconds(0.1), 100u);
    EXPECT_EQ(delayMilliseconds(0.3), 300u);
    EXPECT_EQ(delayMilliseconds(12.5), 12500u);
    EXPECT_EQ(delayMilliseconds(159.9), 159900u);
    EXPECT_DOUBLE_EQ(delayFromSlider(121), 12.1);
}

// --- meters and status bar ---

TEST(MeterTexts, MemoryPanelGroupsKibibytesWithTheSeparator) {
    EXPECT_EQ(memoryPanelText(1234567ull << 10, '.'), "Mem: 1.234.567 KB");
    EXPECT_EQ(memoryPanelText((1234567ull << 10) + 1023, ','), "Mem: 1,234,567 KB");
    EXPECT_EQ(memoryPanelText(999ull << 10, '.'), "Mem: 999 KB");
    EXPECT_EQ(memoryPanelText(1023, '.'), "Mem: 0 KB");
    EXPECT_EQ(memoryPanelText(1000ull << 10, ' '), "Mem: 1 000 KB");
    EXPECT_GT(heapBytesInUse(), 0u);
    EXPECT_EQ(versionPanelText(1.0), "V.1");
    EXPECT_EQ(versionPanelText(1.11), "V.1.11");
}

TEST(MeterTexts, BannerChangesEvery42Or43TicksAndWrapsCleanly) {
    uint32_t phase = 0;
    std::vector<uint32_t> lines;
    for (int tick = 0; tick < 8 * 43 + 10; ++tick)
        lines.push_back(nextBannerLine(phase));
    EXPECT_EQ(lines.front(), 0u);
    // 128 / 3: the first change comes on tick 43 (phase 129).
    EXPECT_EQ(lines[41], 0u);
    EXPECT_EQ(lines[42], 1u);
    std::vector<uint32_t> order;
    for (uint32_t l : lines)
        if (order.empty() || order.back() != l)
            order.push_back(l);
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 0}));

    phase = 0xFFFFFFFFu - 1;  // wraps to 1 on the next tick
    EXPECT_EQ(nextBannerLine(phase), 0u);
    EXPECT_EQ(phase, 1u);
}

TEST(MeterTexts, ClosedDeviceShowsZero) {
    EXPECT_EQ(meterPosition(-1), 0);
    EXPECT_EQ(meterPosition(320), 100);
    EXPECT_EQ(meterPosition(40000), 300);
}

// --- device lists ---

platform::WaveCaps named(const wchar_t* name) {
    platform::WaveCaps caps;
    caps.name = name;
    return caps;
}

TEST(DeviceLists, MapperFirstThenEveryDeviceWithIdPlusTen) {
    ScopedFakeSoundCard card;
    card->setMapperCaps(WaveDirection::output, named(L"Default"));
    card->setDevices(WaveDirection::output, {named(L"Speakers"), named(L"Kopfhörer")});
    card->setDevices(WaveDirection::input, {});
    const auto out = deviceEntries(WaveDirection::output);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].name, "Default");
    EXPECT_EQ(out[0].data, 9);
    EXPECT_EQ(out[1].name, "Speakers");
    EXPECT_EQ(out[1].data, 10);
    EXPECT_EQ(out[2].name, "Kopfh\xC3\xB6rer");
    EXPECT_EQ(deviceIdFromData(out[2].data), 1);
    // Choosing the third item stores device 1.
    EXPECT_EQ(deviceIdFromIndex(2), 1);

    // No recording devices: the mapper is still there.
    const auto in = deviceEntries(WaveDirection::input);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].data, 9);
}

TEST(DeviceLists, DeviceWithoutCapsStillGetsAnItem) {
    const auto entries = deviceEntries(2, [](int32_t id, unaWaveCaps& caps) {
        if (id == 0)
            return false;
        caps.name = L"";
        return true;
    });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "Wave mapper");
    EXPECT_EQ(entries[1].name, "Device 0");
    EXPECT_EQ(entries[2].name, "Device 1");
}

TEST(DeviceLists, StoredIdSelectsItsItemOrTheLast) {
    EXPECT_EQ(selectionIndex(-1, 3), 0);
    EXPECT_EQ(selectionIndex(0, 3), 1);
    EXPECT_EQ(selectionIndex(1, 3), 2);
    EXPECT_EQ(selectionIndex(7, 3), 2);  // beyond the two devices: the last one
    EXPECT_EQ(selectionIndex(7, 1), 0);  // only the mapper
    EXPECT_EQ(selectionIndex(0x7FFFFFFF, 3), 2);
    EXPECT_EQ(selectionIndex(-5, 3), 0);
    EXPECT_EQ(selectionIndex(3, 0), 0);
}

// --- command line ---

CommandLine parse(std::vector<std::string_view> args) {
    return parseCommandLine(args);
}

TEST(CommandLineParsing, HeadlessOverrides) {
    const CommandLine line = parse({"--headless", "--delay", "2,5", "--in=3", "--out", "-1",
                                    "--save", " rec.wav ", "--duration", "10",
                                    "--settings", "x.ini"});
    ASSERT_EQ(line.action, CommandLine::Action::Headless) << line.error;
    EXPECT_DOUBLE_EQ(*line.delaySeconds, 2.5);
    EXPECT_EQ(*line.inDeviceId, 3);
    EXPECT_EQ(*line.outDeviceId, -1);
    EXPECT_EQ(*line.saveFile, "rec.wav");
    EXPECT_DOUBLE_EQ(*line.durationSeconds, 10);
    EXPECT_EQ(*line.settingsFile, "x.ini");
    EXPECT_EQ(*parse({"--headless", "--no-save"}).saveFile, "");
    EXPECT_EQ(parse({}).action, CommandLine::Action::Window);
    EXPECT_EQ(parse({"--list-devices"}).action, CommandLine::Action::ListDevices);
    EXPECT_EQ(parse({"--headless", "--help"}).action, CommandLine::Action::Help);
    EXPECT_EQ(parse({"-h"}).action, CommandLine::Action::Help);
    EXPECT_EQ(parse({"--version"}).action, CommandLine::Action::Version);
    EXPECT_EQ(*parse({"--headless", "--preset", " Laptop stream "}).presetName, "Laptop stream");
}

TEST(CommandLineParsing, FindDelayTakesTwoFilesAndNothingElse) {
    const CommandLine line = parse({"--find-delay", "radio.wav", "tv.wav"});
    ASSERT_EQ(line.action, CommandLine::Action::FindDelay) << line.error;
    EXPECT_EQ(line.findDelayRadio, "radio.wav");
    EXPECT_EQ(line.findDelayTv, "tv.wav");
    EXPECT_EQ(parse({"--find-delay", "radio.wav"}).action, CommandLine::Action::Error);
    EXPECT_EQ(parse({"--find-delay", "a.wav", "b.wav", "--headless"}).action,
              CommandLine::Action::Error);
    EXPECT_EQ(parse({"--find-delay", "a.wav", "b.wav", "--delay", "3"}).action,
              CommandLine::Action::Error);
}

TEST(CommandLineParsing, BadArgumentsGiveAMessageNotAnAction) {
    const std::vector<std::vector<std::string_view>> bad = {
        {"--headless", "--delay"},
        {"--headless", "--delay", "abc"},
        {"--headless", "--delay", "0"},
        {"--headless", "--delay", "-2"},
        {"--headless", "--delay", "161"},
        {"--headless", "--delay", "2s"},
        {"--headless", "--delay", "nan"},
        {"--headless", "--delay", "inf"},
        {"--headless", "--in", "-2"},
        {"--headless", "--duration", "0"},
        {"--headless", "--duration", "1e400"},
        {"--headless", "--save"},
        {"--headless", "--save", "  "},
        {"--headless", "--bogus"},
        {"--headless", "stray"},
        {"--headless=1"},
        {"--delay", "3"},
        {"--list-devices", "--in", "1"},
        {"--list-devices", "--headless"},
        {"--headless", "--preset"},
        {"--headless", "--preset", "a=b"},
        {"--headless", "--preset", "Cable", "--delay", "3"},
        {"--preset", "Cable"},
    };
    for (const auto& args : bad) {
        const CommandLine line = parse(args);
        std::string joined;
        for (auto a : args)
            joined += std::string(a) + " ";
        EXPECT_EQ(line.action, CommandLine::Action::Error) << joined;
        EXPECT_FALSE(line.error.empty()) << joined;
    }
}

TEST(CommandLineParsing, OnlyDoubleDashOptionsLeaveTheWindow) {
    std::string a0 = "prog", a1 = "-platform", a2 = "offscreen", a3 = "--headless";
    char* qtArgs[] = {a0.data(), a1.data(), a2.data(), nullptr};
    EXPECT_FALSE(isCommandLineInvocation(3, qtArgs));
    EXPECT_FALSE(isCommandLineInvocation(1, qtArgs));
    char* ours[] = {a0.data(), a3.data(), nullptr};
    EXPECT_TRUE(isCommandLineInvocation(2, ours));
}

}  // namespace

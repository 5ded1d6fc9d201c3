#include <gtest/gtest.h>

#include "app/delayAdjust.h"

using namespace una;
using namespace una::app;

TEST(DelayAdjust, StepsAreWholeTenthsWithinTheBounds) {
    EXPECT_DOUBLE_EQ(delayStepped(5.0, 1), 5.1);
    EXPECT_DOUBLE_EQ(delayStepped(5.0, -1), 4.9);
    // Three steps from 0.1 land on 0.4, not next to it.
    EXPECT_DOUBLE_EQ(delayStepped(delayStepped(delayStepped(0.1, 1), 1), 1), 0.4);
    EXPECT_DOUBLE_EQ(delayStepped(0.1, -1), 0.1);
    EXPECT_DOUBLE_EQ(delayStepped(160.0, 1), 160.0);
    EXPECT_DOUBLE_EQ(delayStepped(159.95, 1), 160.0);
    // A value typed with more decimals is read back as the edit shows it first.
    EXPECT_DOUBLE_EQ(delayStepped(12.34, 1), 12.4);
}

TEST(DelayAdjust, HeardDelayIsShownToTheMillisecondOnceMeasured) {
    DelayLine::Figures figures;
    EXPECT_EQ(delayHeardSeconds(figures), "-");
    figures.measured = true;
    figures.delayNs = 5'000'400'000;
    EXPECT_EQ(delayHeardSeconds(figures), "5.000");
    figures.delayNs = 12'345'600'000;
    EXPECT_EQ(delayHeardSeconds(figures), "12.346");
}

TEST(DelayAdjust, StandardInputGivesKeysAndLines) {
    DelayCommandReader reader;
    // Single keys from a terminal in raw mode act at once.
    auto commands = reader.feed("+-+");
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].kind, DelayCommand::Kind::Step);
    EXPECT_EQ(commands[0].steps, 1);
    EXPECT_EQ(commands[1].steps, -1);

    // A line may arrive in pieces; a comma is a decimal point; "-" inside a line is part of it.
    EXPECT_TRUE(reader.feed("delay 5,").empty());
    commands = reader.feed("3\n  delay 12.5  \r\n\n-\n");
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].kind, DelayCommand::Kind::Set);
    EXPECT_DOUBLE_EQ(commands[0].seconds, 5.3);
    EXPECT_DOUBLE_EQ(commands[1].seconds, 12.5);
    EXPECT_EQ(commands[2].kind, DelayCommand::Kind::Step);
    EXPECT_EQ(commands[2].steps, -1);

    commands = reader.feed("delay soon\nfaster\ndelay -2\n");
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].kind, DelayCommand::Kind::Bad);
    EXPECT_EQ(commands[0].text, "delay soon");
    EXPECT_EQ(commands[1].kind, DelayCommand::Kind::Bad);
    // A negative number is a number: the exit rule turns it into the shortest delay.
    EXPECT_EQ(commands[2].kind, DelayCommand::Kind::Set);
    EXPECT_DOUBLE_EQ(commands[2].seconds, -2);

    // An endless line is cut, not kept for ever.
    std::string flood(10000, 'x');
    EXPECT_TRUE(reader.feed(flood).empty());
    commands = reader.feed("\n");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].kind, DelayCommand::Kind::Bad);
    EXPECT_LE(commands[0].text.size(), 256u);
}

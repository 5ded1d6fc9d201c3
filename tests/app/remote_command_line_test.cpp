#include <gtest/gtest.h>

#include "app/headless.h"

using namespace una::app;

namespace {

CommandLine parse(std::initializer_list<std::string_view> args) {
    return parseCommandLine(std::vector<std::string_view>(args));
}

std::optional<uint16_t> windowPort(std::vector<const char*> args) {
    args.insert(args.begin(), "ruzizavuvodideza");
    return windowRemotePort(int(args.size()), const_cast<char**>(args.data()));
}

}  // namespace

TEST(RemoteCommandLine, ThePortIsOptionalAndChecked) {
    EXPECT_EQ(parse({"--headless", "--remote"}).remotePort, 0);
    EXPECT_EQ(parse({"--remote", "9000", "--headless"}).remotePort, 9000);
    EXPECT_EQ(parse({"--headless", "--remote=8080", "--remote-home"}).remotePort, 8080);
    EXPECT_TRUE(parse({"--headless", "--remote-home"}).remoteHome);
    // A word after it is not its port.
    EXPECT_EQ(parse({"--remote", "--headless"}).action, CommandLine::Action::Headless);
    for (auto bad : {"--remote=0", "--remote=65536", "--remote=http", "--remote=-1"})
        EXPECT_EQ(parse({"--headless", bad}).action, CommandLine::Action::Error) << bad;
    EXPECT_EQ(parse({"--remote"}).action, CommandLine::Action::Error);
}

TEST(RemoteCommandLine, OnlyARemoteAloneGoesToTheWindow) {
    EXPECT_EQ(windowPort({"--remote"}), 0);
    EXPECT_EQ(windowPort({"-platform", "offscreen", "--remote", "9000"}), 9000);
    EXPECT_EQ(windowPort({"--remote=9001"}), 9001);
    EXPECT_FALSE(windowPort({"--remote", "--headless"}));
    EXPECT_FALSE(windowPort({"--remote=99999"}));
    EXPECT_FALSE(windowPort({"--help"}));
    EXPECT_FALSE(windowPort({"-platform", "offscreen"}));
}

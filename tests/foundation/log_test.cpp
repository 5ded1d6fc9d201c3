// ctest-labels: threaded
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/unaConvert.h"
#include "foundation/unaLog.h"
#include "foundation/unaText.h"
#include "platform/programPath.h"

using namespace una;
using namespace std::chrono;

namespace {

std::string contents(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> messagesOf(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            out.push_back("<unterminated>" + text.substr(at));
            break;
        }
        const std::string line = text.substr(at, end - at);
        out.push_back(line.size() > 24 ? line.substr(24) : "<short>" + line);
        at = end + 2;
    }
    return out;
}

std::vector<std::string> seen;
void collect(std::string_view message) {
    seen.emplace_back(message);
}

}  // namespace

TEST(Log, LineFormatIsUtcWithLeadingZeros) {
    const sys_days day = year{2024} / 3 / 5;
    const auto when = day + hours{7} + minutes{8} + seconds{9} + milliseconds{12};
    EXPECT_EQ(formatLogLine(when, "started"), "05.03.2024 07:08:09.012 started\r\n");
    EXPECT_EQ(formatLogLine(system_clock::time_point{}, ""), "01.01.1970 00:00:00.000 \r\n");
    const auto late =
        sys_days{year{1999} / 12 / 31} + hours{23} + minutes{59} + seconds{59} + milliseconds{999};
    EXPECT_EQ(formatLogLine(late, "x"), "31.12.1999 23:59:59.999 x\r\n");
}

// The cases share the process-wide log, so they run as one sequence.
TEST(Log, ModesAndHeader) {
    const unaLogMode initial = infoMessageMode();
    EXPECT_FALSE(initial.toFile) << "the program writes no log";
    EXPECT_FALSE(initial.toScreen);
    EXPECT_TRUE(initial.fileName.empty());
    EXPECT_FALSE(infoMessage("nowhere"));

    const std::string name = "/tmp/una_log_" + std::to_string(::getpid()) + ".log";
    std::filesystem::remove(name);
    setInfoMessageMode(name, false, true);
    EXPECT_TRUE(infoMessage("hello"));
    const std::vector<std::string> expected{"-- setInfoMessageMode() ---------",
                                            "LOGFILE    =" + name,
                                            "LOGTOSCREEN=false",
                                            "LOGTOFILE  =true",
                                            "LOGPROC    =0",
                                            "--",
                                            "hello"};
    EXPECT_EQ(messagesOf(contents(name)), expected);

    seen.clear();
    setInfoMessageMode("<>", false, true, &collect);
    EXPECT_EQ(infoMessageMode().fileName, name) << "<> keeps the file";
    ASSERT_EQ(seen.size(), 6u) << "the header reaches the callback too";
    EXPECT_EQ(seen[4], "LOGPROC    =" + uint2str(reinterpret_cast<uintptr_t>(&collect), 16));
    const std::string text = contents(name);
    EXPECT_EQ(messagesOf(text).size(), 13u) << "appended, never truncated";

    setInfoMessageMode("<None>", false, true);
    EXPECT_TRUE(infoMessageMode().fileName.empty());
    EXPECT_FALSE(infoMessage("dropped"));
    EXPECT_EQ(contents(name), text);

    setInfoMessageMode("", false, false);
    EXPECT_EQ(infoMessageMode().fileName, changeFileExt(platform::executablePath(), "log"));

    setInfoMessageMode("/nonexistent-dir/x.log", false, true);
    EXPECT_FALSE(infoMessage("cannot be written"));

    setInfoMessageMode("<none>", false, false);
    std::filesystem::remove(name);
}

TEST(Log, LinesFromManyThreadsStayWhole) {
    const std::string name = "/tmp/una_log_mt_" + std::to_string(::getpid()) + ".log";
    std::filesystem::remove(name);
    setInfoMessageMode(name, false, true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                infoMessage("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    for (auto& thread : threads)
        thread.join();
    setInfoMessageMode("<none>", false, false);

    const std::vector<std::string> lines = messagesOf(contents(name));
    ASSERT_EQ(lines.size(), 6u + 200u);
    for (size_t i = 6; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind("thread ", 0), 0u) << lines[i];
    std::filesystem::remove(name);
}

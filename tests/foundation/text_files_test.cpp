#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/unaFiles.h"
#include "foundation/unaText.h"
#include "platform/fileHandle.h"
#include "platform/programPath.h"

using namespace una;
namespace fs = std::filesystem;

namespace {

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/una_files_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    static std::string contents(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir;
};

}  // namespace

TEST(Text, TrimRemovesControlCodesAndBlanksOnly) {
    const std::string raw("\0\t x y\x1F \x7F", 9);
    EXPECT_EQ(trim(raw), "x y\x1F \x7F") << "127 is no blank";
    EXPECT_EQ(trim(std::string_view("  a  "), true, false), "a  ");
    EXPECT_EQ(trim(std::string_view("  a  "), false, true), "  a");
    EXPECT_EQ(trim(std::string_view(" \r\n ")), "");
    EXPECT_EQ(trim(std::wstring_view(L"\t\u00e9x\u00a0 ")), L"\u00e9x\u00a0");
}

TEST(Text, CaseRulesAreAsciiOnly) {
    EXPECT_EQ(upCase('a'), 'A');
    EXPECT_EQ(upCase('z'), 'Z');
    EXPECT_EQ(upCase('{'), '{');
    EXPECT_EQ(upCase('`'), '`');
    EXPECT_EQ(upCase(static_cast<char>(0xE9)), static_cast<char>(0xE9));
    EXPECT_EQ(upCase(L'q'), L'Q');
    EXPECT_EQ(upCase(std::string_view("waveOut-1")), "WAVEOUT-1");
    EXPECT_TRUE(sameString("  WaveOut ", "waveout"));
    EXPECT_FALSE(sameString("  WaveOut ", "waveout", false));
    EXPECT_FALSE(sameString("wave", "waves"));
    EXPECT_FALSE(sameString("[", "{")) << "only letters fold";
}

TEST(Text, PadStr) {
    EXPECT_EQ(padStr("12", 5, '0'), "00012");
    EXPECT_EQ(padStr("12", 5, '.', false, false), "12...");
    EXPECT_EQ(padStr("abcdef", 3), "abcdef") << "no cut without truncate";
    EXPECT_EQ(padStr("abcdef", 3, ' ', true, true), "def");
    EXPECT_EQ(padStr("abcdef", 3, ' ', true, false), "abc");
    EXPECT_EQ(padStr("", 0, 'x', true), "");
}

TEST(Text, PathPieces) {
    EXPECT_EQ(extractFilePath("C:\\a\\b.txt"), "C:\\a\\");
    EXPECT_EQ(extractFilePath("/usr/bin/delay"), "/usr/bin/");
    EXPECT_EQ(extractFilePath("C:b"), "C:");
    EXPECT_EQ(extractFilePath("name.ini"), "");
    EXPECT_EQ(addBackSlash(""), "");
    EXPECT_EQ(addBackSlash("/tmp"), "/tmp/");
    EXPECT_EQ(addBackSlash("/tmp/"), "/tmp/");
    EXPECT_EQ(addBackSlash("C:"), "C:");
    EXPECT_EQ(addBackSlash("a\\"), "a\\");
    EXPECT_EQ(changeFileExt("C:\\apps\\delay.exe", "ini"), "C:\\apps\\delay.ini");
    EXPECT_EQ(changeFileExt("/opt/app.v2/delay", "ini"), "/opt/app.v2/delay.ini")
        << "a dot in a folder is no extension";
    EXPECT_EQ(changeFileExt("/home/u/.profile", "log"), "/home/u/.profile.log");
    EXPECT_EQ(changeFileExt("a.b.c", "d"), "a.b.d");
}

TEST_F(TempDir, ExistenceAndForceDirectories) {
    EXPECT_TRUE(directoryExists(dir));
    EXPECT_FALSE(fileExists(dir)) << "a folder is no file";
    EXPECT_FALSE(fileExists(path("none")));
    EXPECT_FALSE(fileExists(""));
    EXPECT_EQ(fileSize(path("none")), -1);
    EXPECT_EQ(fileSize(dir), -1);

    EXPECT_TRUE(forceDirectories(path("a/b/c/")));
    EXPECT_TRUE(directoryExists(path("a/b/c")));
    EXPECT_TRUE(forceDirectories(path("a/b")));
    EXPECT_TRUE(forceDirectories("ab")) << "short names count as done";

    ASSERT_EQ(writeToFile(path("plain"), "x", 1), kFileOk);
    EXPECT_FALSE(forceDirectories(path("plain/sub"))) << "a file is in the way";
    EXPECT_FALSE(directoryExists(path("plain/sub")));
}

TEST_F(TempDir, WriteToFileNeverTruncates) {
    const std::string name = path("data.bin");
    EXPECT_EQ(writeToFile("", "x", 1), kFileNoName);
    EXPECT_EQ(writeToFile(path("missing/data.bin"), "x", 1), kFileCannotOpen);
    ASSERT_EQ(writeToFile(name, "hello world", 11), kFileOk);
    ASSERT_EQ(writeToFile(name, "HE", 2), kFileOk);
    EXPECT_EQ(contents(name), "HEllo world");
    ASSERT_EQ(writeToFile(name, "!", 1, SeekOrigin::end, 0), kFileOk);
    ASSERT_EQ(writeToFile(name, "W", 1, SeekOrigin::end, -6), kFileOk);
    EXPECT_EQ(contents(name), "HEllo World!");
    EXPECT_EQ(fileSize(name), 12);
    EXPECT_EQ(writeToFile(name, "x", 1, SeekOrigin::begin, -1), kFileCallFailed);
    EXPECT_EQ(contents(name), "HEllo World!");
}

TEST_F(TempDir, HandleReadWriteCodes) {
    platform::FileHandle closed;
    char buffer[16] = {};
    uint32_t len = 4;
    EXPECT_EQ(fileWrite(closed, "abc", 3), kFileBadHandle);
    EXPECT_EQ(fileRead(closed, buffer, len), kFileBadHandle);
    EXPECT_EQ(fileWrite(closed, "abc", 0), kFileOk) << "nothing to do succeeds";
    EXPECT_EQ(fileWrite(closed, nullptr, 3), kFileOk);
    EXPECT_EQ(fileSize(closed), -1);
    EXPECT_FALSE(fileTruncate(closed, 0));

    const std::string name = path("h.bin");
    platform::FileHandle file = platform::FileHandle::openFile(
        name, platform::FileAccess::readWrite, platform::FileCreation::createIfMissing);
    ASSERT_TRUE(file.isOpen());
    ASSERT_EQ(fileWrite(file, "0123456789", 10), kFileOk);
    EXPECT_EQ(fileSize(file), 10);

    len = 4;
    EXPECT_EQ(fileRead(file, buffer, len, SeekOrigin::begin, 2), kFileOk);
    EXPECT_EQ(std::string(buffer, 4), "2345");
    EXPECT_EQ(file.position(), 6);
    len = 8;
    EXPECT_EQ(fileRead(file, buffer, len, SeekOrigin::end, -3), kFileShortTransfer);
    EXPECT_EQ(len, 3u) << "the count actually read";
    EXPECT_EQ(std::string(buffer, 3), "789");
    len = 1;
    EXPECT_EQ(fileRead(file, buffer, len, SeekOrigin::current, -100), kFileCallFailed);

    EXPECT_TRUE(fileTruncate(file, 4));
    EXPECT_EQ(file.position(), 4);
    EXPECT_EQ(fileSize(name), 4);
    EXPECT_FALSE(file.truncate(-1));

    platform::FileHandle moved = std::move(file);
    EXPECT_FALSE(file.isOpen());
    EXPECT_TRUE(moved.isOpen());
    moved.close();
    moved.close();

    platform::FileHandle readOnly = platform::FileHandle::openFile(
        name, platform::FileAccess::read, platform::FileCreation::existing);
    ASSERT_TRUE(readOnly.isOpen());
    EXPECT_EQ(fileWrite(readOnly, "x", 1), kFileCallFailed);
    EXPECT_NE(readOnly.error(), 0);
}

TEST_F(TempDir, OpeningRules) {
    platform::FileHandle file;
    EXPECT_FALSE(
        file.open(path("absent"), platform::FileAccess::read, platform::FileCreation::existing));
    EXPECT_EQ(file.error(), ENOENT);
    EXPECT_FALSE(fileExists(path("absent"))) << "opening an existing file creates nothing";
    EXPECT_FALSE(file.open(dir, platform::FileAccess::read, platform::FileCreation::existing))
        << "a folder is not opened as a file";
}

TEST(ProgramPath, ExecutableAndCurrentDirectory) {
    const std::string exe = platform::executablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), '/');
    EXPECT_NE(exe.find("text_files_test"), std::string::npos) << exe;
    EXPECT_TRUE(fileExists(exe));
    EXPECT_EQ(platform::currentDirectory(), fs::current_path().string());
}

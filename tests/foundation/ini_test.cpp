// ctest-labels: threaded
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "foundation/unaIniFile.h"
#include "foundation/unaText.h"
#include "platform/programPath.h"

using namespace una;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

std::string contents(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

class IniDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/una_ini_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        name = dir + "/settings.ini";
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
    std::string name;
};

}  // namespace

TEST(IniText, LookupRules) {
    const std::string text =
        "top=before any section\r\n"
        "; comment=not a key\r\n"
        "[WaveOut]\r\n"
        "  DeviceId =  7  \r\n"
        "deviceid=8\r\n"
        "no equals sign here\r\n"
        "empty=\r\n"
        "; name=commented\r\n"
        "[delay]\n"
        "ms=1500\r"
        "[unclosed\n"
        "k=v";
    EXPECT_EQ(iniReadValue(text, "waveout", "DEVICEID"), "7") << "trimmed, first of two";
    EXPECT_EQ(iniReadValue(text, " WAVEOUT ", " deviceId "), "7");
    EXPECT_EQ(iniReadValue(text, "waveOut", "empty"), "") << "present but empty";
    EXPECT_EQ(iniReadValue(text, "waveOut", "name"), std::nullopt);
    EXPECT_EQ(iniReadValue(text, "waveOut", "ms"), std::nullopt) << "other section";
    EXPECT_EQ(iniReadValue(text, "waveOut", "top"), std::nullopt);
    EXPECT_EQ(iniReadValue(text, "delay", "ms"), "1500") << "LF and CR breaks";
    EXPECT_EQ(iniReadValue(text, "unclosed", "k"), "v");
    EXPECT_EQ(iniReadValue(text, "missing", "k"), std::nullopt);
    EXPECT_EQ(iniReadValue(text, "waveOut", ""), std::nullopt);
    EXPECT_EQ(iniReadSection(text, "WAVEOUT"), "DeviceId=7\r\ndeviceid=8\r\nempty=\r\n");
    EXPECT_EQ(iniReadSection(text, "missing"), "");
}

TEST(IniText, HostileInputGivesNeutralResults) {
    const std::string nul = "[a\0b]\r\nk\0=v\0x\r\n[s]\r\nkey=va\0lue\r\n"s;
    EXPECT_EQ(iniReadValue(nul, "s", "key"), "va\0lue"s);
    EXPECT_EQ(iniReadValue(nul, "a", "k"), std::nullopt);

    const std::string longValue(100000, 'x');
    const std::string big = "[s]\r\nk=" + longValue + "\r\n";
    EXPECT_EQ(iniReadValue(big, "s", "k")->size(), kIniMaxValue);
    EXPECT_LE(iniReadSection(big, "s").size(), kIniMaxSection) << "whole lines only";

    for (const std::string& junk : {"["s, "]"s, "="s, "[]"s, "[s"s, "\r\r\n\n"s, "\0"s})
        EXPECT_EQ(iniReadValue(junk, "s", "k"), std::nullopt) << junk;
    EXPECT_EQ(iniReadValue("[]\r\n=x\r\n", " ", "="), std::nullopt);
}

TEST(IniText, WritesKeepEveryOtherLine) {
    const std::string before =
        "; keep me\n"
        "[main]\n"
        "Width = 640\n"
        "weird line\n"
        "\n"
        "[Other]\r\n"
        "x=1";
    std::string text = before;
    ASSERT_TRUE(iniWriteValue(text, "MAIN", "width", "800"));
    EXPECT_EQ(text, "; keep me\n[main]\nwidth=800\nweird line\n\n[Other]\r\nx=1")
        << "only the key's line changes, its break kept";

    ASSERT_TRUE(iniWriteValue(text, "main", "height", "600"));
    EXPECT_EQ(text, "; keep me\n[main]\nwidth=800\nweird line\nheight=600\r\n\n[Other]\r\nx=1")
        << "added after the section's last line, before the blank separator";

    ASSERT_TRUE(iniWriteValue(text, "other", "y", "2"));
    EXPECT_EQ(text.substr(text.size() - 19), "[Other]\r\nx=1\r\ny=2\r\n");

    ASSERT_TRUE(iniWriteValue(text, "new", "k", "v"));
    EXPECT_EQ(text.substr(text.size() - 12), "[new]\r\nk=v\r\n");
    EXPECT_EQ(iniReadValue(text, "main", "width"), "800");
    EXPECT_EQ(iniReadValue(text, "other", "x"), "1");

    std::string empty;
    ASSERT_TRUE(iniWriteValue(empty, " ", "k", "v"));
    EXPECT_EQ(empty, "[ ]\r\nk=v\r\n");
    std::string headerOnly = "[s]";
    ASSERT_TRUE(iniWriteValue(headerOnly, "s", "k", "v"));
    EXPECT_EQ(headerOnly, "[s]\r\nk=v\r\n");
}

TEST(IniText, UnsafeWritesAreRefusedOrDefused) {
    std::string text = "[s]\r\nk=1\r\n";
    const std::string before = text;
    for (const char* key : {"", "  ", "a=b", "[t]", "a\nb", "a\rb", ";c"})
        EXPECT_FALSE(iniWriteValue(text, "s", key, "v")) << '"' << key << '"';
    EXPECT_FALSE(iniWriteValue(text, "a]b", "k", "v"));
    EXPECT_FALSE(iniWriteValue(text, "a\r\nb", "k", "v"));
    EXPECT_EQ(text, before);

    ASSERT_TRUE(iniWriteValue(text, "s", "k", "x\r\n[evil]\r\nk=2"));
    EXPECT_EQ(iniReadValue(text, "s", "k"), "x  [evil]  k=2") << "no line smuggled in";
    EXPECT_EQ(iniReadValue(text, "evil", "k"), std::nullopt);
}

TEST(IniText, WriteSectionReplacesTheBody) {
    std::string text = "[a]\r\nold=1\r\n;c\r\n\r\n[b]\r\nkeep=1\r\n";
    ASSERT_TRUE(iniWriteSection(text, "A", "x=1\ny=2\r\n\r\n[b]\r\nz=3"));
    EXPECT_EQ(text, "[a]\r\nx=1\r\ny=2\r\nz=3\r\n\r\n[b]\r\nkeep=1\r\n");
    EXPECT_EQ(iniReadSection(text, "a"), "x=1\r\ny=2\r\nz=3\r\n");
    ASSERT_TRUE(iniWriteSection(text, "c", "q=9"));
    EXPECT_EQ(iniReadValue(text, "c", "q"), "9");
    ASSERT_TRUE(iniWriteSection(text, "b", ""));
    EXPECT_EQ(iniReadSection(text, "b"), "");
    EXPECT_EQ(iniReadValue(text, "a", "y"), "2");
    EXPECT_FALSE(iniWriteSection(text, "x]", "a=1"));
}

TEST(IniPlacement, BesideTheProgramOrInTheConfigFolder) {
    unaIniLocation at;
    at.executablePath = "/opt/apps/delay.exe";
    at.programFolderWritable = true;
    at.home = "/home/ana";
    EXPECT_EQ(chooseIniFile(at).fileName, "/opt/apps/delay.ini");
    EXPECT_FALSE(chooseIniFile(at).createFolder);

    at.executablePath = "/opt/app.v2/delay";
    EXPECT_EQ(chooseIniFile(at).fileName, "/opt/app.v2/delay.ini");

    at.programFolderWritable = false;
    at.fileBesideProgramExists = true;
    EXPECT_EQ(chooseIniFile(at).fileName, "/opt/app.v2/delay.ini") << "an existing file wins";

    at.fileBesideProgramExists = false;
    EXPECT_EQ(chooseIniFile(at).fileName, "/home/ana/.config/delay/delay.ini");
    EXPECT_TRUE(chooseIniFile(at).createFolder);
    at.xdgConfigHome = "/cfg/";
    EXPECT_EQ(chooseIniFile(at).fileName, "/cfg/delay/delay.ini");
    at.xdgConfigHome = "relative/cfg";
    EXPECT_EQ(chooseIniFile(at).fileName, "/home/ana/.config/delay/delay.ini")
        << "a relative config home is ignored";
    at.executablePath = "/usr/bin/delay.bin";
    EXPECT_EQ(chooseIniFile(at).fileName, "/home/ana/.config/delay/delay.ini");
    at.home.clear();
    at.xdgConfigHome.clear();
    EXPECT_EQ(chooseIniFile(at).fileName, "/usr/bin/delay.ini") << "nowhere better";
}

TEST_F(IniDir, TypedValuesThroughTheFile) {
    auto ini = make<unaIniFile>(name, true, 1000, "settings");
    EXPECT_EQ(ini->fileName(), name);
    EXPECT_EQ(ini->getSection(), "settings");
    EXPECT_EQ(ini->getInt("width", 3), 3u);
    EXPECT_EQ(ini->getString("fileName", "dflt"), "dflt");
    EXPECT_FALSE(fs::exists(name)) << "reads create nothing";

    ini->setUInt("deviceId", 0xFFFFFFFFu);
    EXPECT_EQ(ini->getInt("deviceId", 0), 0xFFFFFFFFu);
    ini->setInt("signed", -1);
    EXPECT_EQ(ini->getString("signed"), "-1");
    EXPECT_EQ(ini->getInt64("signed", 0), -1);
    ini->setBool("saveToFile", true);
    ini->setBool("mute", false);
    EXPECT_TRUE(ini->getBool("saveToFile", false));
    EXPECT_FALSE(ini->getBool("mute", true));
    EXPECT_EQ(contents(name),
              "[settings]\r\ndeviceId=4294967295\r\nsigned=-1\r\n"
              "saveToFile=-1\r\nmute=0\r\n");

    put(name,
        "[settings]\nwidth=abc\nheight= 640 \nfileName=\ndelay=5000\nhalf=5000.5\nflag=yes\n");
    EXPECT_EQ(ini->getInt("width", 3), 3u);
    EXPECT_EQ(ini->getInt("height", 3), 640u);
    EXPECT_EQ(ini->getString("fileName", "dflt"), "") << "an empty text is no missing key";
    EXPECT_EQ(ini->getInt("fileName", 9), 9u);
    EXPECT_EQ(ini->getInt64("delay", 4), 5000);
    EXPECT_EQ(ini->getInt64("half", 4), 4);
    EXPECT_TRUE(ini->getBool("flag", true));
    EXPECT_FALSE(ini->getBool("flag", false));
    ini->setInt64("big", -5000000000);
    EXPECT_EQ(ini->getInt64("big", 0), -5000000000);
}

TEST_F(IniDir, SectionsAndFileNames) {
    auto ini = make<unaIniFile>(name);
    EXPECT_TRUE(ini->selectSection(""));
    EXPECT_EQ(ini->getSection(), " ");
    ini->setString("k", "blank section");
    EXPECT_TRUE(ini->selectSection("WaveIn"));
    ini->setString("k", "in");
    EXPECT_TRUE(ini->selectSection("wavein"));
    EXPECT_EQ(ini->getString("K"), "in");
    EXPECT_TRUE(ini->selectSection(" "));
    EXPECT_EQ(ini->getString("k"), "blank section");

    std::string text;
    EXPECT_TRUE(ini->writeSection("delay", "ms=100\r\nloop=0\r\n"));
    EXPECT_TRUE(ini->readSection("DELAY", text));
    EXPECT_EQ(text, "ms=100\r\nloop=0\r\n");

    const fs::path old = fs::current_path();
    fs::current_path(dir);
    EXPECT_EQ(make<unaIniFile>("plain.ini")->fileName(), dir + "/plain.ini");
    EXPECT_EQ(make<unaIniFile>("plain.ini", false)->fileName(), "plain.ini");
    EXPECT_EQ(make<unaIniFile>("sub/x.ini")->fileName(), "sub/x.ini");
    fs::current_path(old);
    EXPECT_EQ(make<unaIniFile>("  ")->fileName(), chooseIniFile(currentIniLocation()).fileName);
    EXPECT_EQ(chooseIniFile(currentIniLocation()).fileName,
              changeFileExt(platform::executablePath(), "ini"))
        << "the build folder is writable";
}

TEST_F(IniDir, WritesPreserveTheFileAndFailSilently) {
    put(name, "; hand-written\n[settings]\nA=1\n\n[z]\nb=2");
    ::chmod(name.c_str(), 0640);
    fs::create_symlink(name, dir + "/link.ini");
    auto ini = make<unaIniFile>(dir + "/link.ini");
    ini->setString("a", "3");
    EXPECT_TRUE(fs::is_symlink(dir + "/link.ini"));
    EXPECT_EQ(contents(name), "; hand-written\n[settings]\na=3\n\n[z]\nb=2");
    EXPECT_EQ(fs::status(name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().filename().string().rfind("settings.ini.", 0), 0u)
            << "temporary file left: " << entry.path();

    auto nowhere = make<unaIniFile>(dir + "/missing/x.ini");
    nowhere->setString("k", "v");
    EXPECT_FALSE(fs::exists(dir + "/missing"));
    EXPECT_EQ(nowhere->getString("k", "d"), "d");

    auto placed = make<unaIniFile>(unaIniChoice{dir + "/cfg/prog/prog.ini", true});
    placed->setString("k", "v");
    EXPECT_EQ(contents(dir + "/cfg/prog/prog.ini"), "[settings]\r\nk=v\r\n");

    auto onFolder = make<unaIniFile>(dir);
    onFolder->setString("k", "v");
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(onFolder->getString("k", "d"), "d");
}

// Two copies of the program share one settings file and no gate: whatever the order, the file
// is one copy's whole text, also when both create it, and new files get the usual mode.
TEST_F(IniDir, TwoWritersAtOnceLeaveOneWholeFile) {
    const std::string longText = "[settings]\r\nk=" + std::string(3000, 'L') + "\r\n";
    const std::string shortText = "[settings]\r\nk=s\r\n";
    for (int round = 0; round < 300; ++round) {
        fs::remove(name);
        auto first = make<unaIniFile>(name);
        auto second = make<unaIniFile>(name);
        std::atomic<int> ready{0};
        auto writer = [&](unaIniFile& ini, const std::string& value) {
            for (++ready; ready < 2;) {
            }
            ini.setString("k", value);
        };
        std::thread one(writer, std::ref(*first), std::string(3000, 'L'));
        std::thread two(writer, std::ref(*second), "s"s);
        one.join();
        two.join();
        const std::string text = contents(name);
        ASSERT_TRUE(text == longText || text == shortText) << "round " << round << ": " << text;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(name).permissions() & fs::perms::all), 0666 & ~mask);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path(), name) << "temporary file left";
}

TEST_F(IniDir, BusyGateGivesNeutralResults) {
    auto ini = make<unaIniFile>(name, true, 50, "settings");
    ini->setString("k", "v");
    std::string previous;
    ASSERT_TRUE(ini->enter("other", &previous));
    EXPECT_EQ(previous, "settings");
    std::atomic<bool> selected{true};
    std::string seenValue = "unset", seenSection = "unset";
    uint32_t seenInt = 0;
    std::thread other([&] {
        selected = ini->selectSection("third");
        seenValue = ini->getString("k", "d");
        seenInt = ini->getInt("k", 42);
        seenSection = ini->getSection();
        ini->setString("k", "from other");
    });
    other.join();
    EXPECT_FALSE(selected);
    EXPECT_EQ(seenValue, "") << "a busy gate reads empty text, not the default";
    EXPECT_EQ(seenInt, 42u);
    EXPECT_EQ(seenSection, "");
    EXPECT_EQ(ini->getSection(), "other");
    ini->leave(previous);
    EXPECT_EQ(ini->getSection(), "settings");
    EXPECT_EQ(ini->getString("k"), "v") << "the write on a busy gate was dropped";
    ASSERT_TRUE(ini->enter("x"));
    ini->leave();
    EXPECT_EQ(ini->getSection(), "x") << "nothing to restore: the section stays";
    std::thread([&] {
        EXPECT_TRUE(ini->enter({}, nullptr, 100)) << "the gate is free again";
        ini->leave("ignored");
    }).join();
    EXPECT_EQ(ini->getSection(), "ignored") << "the holder restores on leave";
}

// The files around the program: the manual page against --help, and the desktop entry and
// AppStream description through the distribution's own checkers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::string kProgram = UNA_BINARY_DIR "/app/ruzizavuvodideza";
const std::string kManual = UNA_BINARY_DIR "/desktop/ruzizavuvodideza.1";
const std::string kDesktop = UNA_SOURCE_DIR "/desktop/";

// Standard output and error of a shell command, and whether it exited with 0.
std::string run(const std::string& command, bool* ok = nullptr) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        text.append(buffer, n);
    const int status = pipe ? ::pclose(pipe.release()) : -1;
    if (ok)
        *ok = status == 0;
    return text;
}

bool have(const std::string& tool) {
    return run("command -v " + tool).find('/') == 0;
}

std::set<std::string> options(const std::string& text) {
    std::set<std::string> found;
    const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        found.insert(it->str());
    return found;
}

TEST(ManualPage, NamesTheOptionsOfHelpWithTheirValuesAndTheVersion) {
    std::ifstream in(kManual);
    if (!in || ::access(kProgram.c_str(), X_OK) != 0)
        GTEST_SKIP() << "a build without the program (UNA_BUILD_APP=OFF)";
    std::stringstream page;
    page << in.rdbuf();
    // Read as a person reads it: troff's "\-" is a hyphen.
    const std::string manual = std::regex_replace(page.str(), std::regex(R"(\\-)"), "-");
    bool ok = false;
    const std::string help = run("'" + kProgram + "' --help", &ok);
    ASSERT_TRUE(ok) << help;

    const size_t from = manual.find(".SH OPTIONS");
    ASSERT_NE(from, std::string::npos);
    EXPECT_EQ(options(help), options(manual.substr(from, manual.find(".SH", from + 1) - from)));
    // "  --delay SECONDS   ..." in the help is ".BI --delay " SECONDS"" in the page.
    const std::regex withValue(R"(\n  (--[a-z-]+) ([A-Z]+))");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), withValue);
         it != std::sregex_iterator(); ++it)
        EXPECT_NE(manual.find(".BI " + (*it)[1].str() + " \" " + (*it)[2].str() + "\""),
                  std::string::npos)
            << (*it)[0];
    const std::string title = run("'" + kProgram + "' --version");
    const std::string version = title.substr(title.find(" v.") + 3);
    EXPECT_NE(manual.find("\"RuzizavuVodideza " + version.substr(0, version.size() - 1) + "\""),
              std::string::npos)
        << title;
    // "RuzizavuVodideza v.1.11 - delays live sound by 0.1 to 160 seconds."
    const std::string summary = help.substr(0, help.find(".\n"));
    EXPECT_NE(manual.find(summary.substr(summary.find(" - "))), std::string::npos) << summary;

    if (!have("man"))
        GTEST_SKIP() << "man is not installed";
    EXPECT_EQ(run("LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -l '" + kManual + "' >/dev/null"),
              "");
}

TEST(DesktopFiles, PassTheDistributionsCheckers) {
    if (!have("desktop-file-validate") || !have("appstreamcli"))
        GTEST_SKIP() << "desktop-file-utils or appstream is not installed";
    bool ok = false;
    const std::string entry =
        run("desktop-file-validate '" + kDesktop + "com.sorvalen.ruzizavuvodideza.desktop'", &ok);
    EXPECT_TRUE(ok && entry.empty()) << entry;
    const std::string meta = run("appstreamcli validate --no-net --explain '" + kDesktop +
                                     "com.sorvalen.ruzizavuvodideza.metainfo.xml'",
                                 &ok);
    EXPECT_TRUE(ok) << meta;
}

}  // namespace

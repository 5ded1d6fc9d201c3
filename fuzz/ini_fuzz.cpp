// Arbitrary bytes as an ini file: lookups, key and section writes, and what a write must keep.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/unaIniFile.h"
#include "foundation/unaObject.h"
#include "foundation/unaText.h"

using namespace una;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "ini invariant broken: %s\n", what);
        std::abort();
    }
}

std::string expectedValue(std::string_view value) {
    std::string clean(value);
    for (char& c : clean)
        if (c == '\r' || c == '\n')
            c = ' ';
    return std::string(trimView(clean).substr(0, kIniMaxValue));
}

void throughFile(const std::string& content, const std::string& section, const std::string& key,
                 const std::string& value) {
    static const std::string name = "/tmp/una_ini_fuzz_" + std::to_string(::getpid()) + ".ini";
    if (FILE* f = std::fopen(name.c_str(), "wb")) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    auto ini = make<unaIniFile>(name, false, 1000, section);
    ini->getInt(key, 3);
    ini->getBool(key, true);
    ini->setString(key, value);
    std::string text;
    ini->readSection(section, text);
    ini->writeSection(section, text);
    ::unlink(name.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t mode = in.ConsumeIntegral<uint8_t>();
    const std::string section = in.ConsumeRandomLengthString(24);
    const std::string key = in.ConsumeRandomLengthString(24);
    const std::string value = in.ConsumeRandomLengthString(64);
    const std::string otherSection = in.ConsumeRandomLengthString(24);
    const std::string otherKey = in.ConsumeRandomLengthString(24);
    const std::string content = in.ConsumeRemainingBytesAsString();

    iniReadSection(content, section);
    const auto otherBefore = iniReadValue(content, otherSection, otherKey);

    std::string written = content;
    if (iniWriteValue(written, section, key, value)) {
        const auto readBack = iniReadValue(written, section, key);
        check(readBack.has_value(), "a written key is found");
        check(*readBack == expectedValue(value), "a written key reads back its value");
        if (!sameString(otherSection, section))
            check(iniReadValue(written, otherSection, otherKey) == otherBefore,
                  "a key of another section is untouched");
    } else {
        check(written == content, "a refused write changes nothing");
    }

    std::string replaced = content;
    if (iniWriteSection(replaced, section, value + "\r\n" + key + "=" + value)) {
        check(iniReadSection(replaced, section).size() <= kIniMaxSection, "section cap");
        if (!sameString(otherSection, section))
            check(iniReadValue(replaced, otherSection, otherKey) == otherBefore,
                  "another section survives a section write");
    }

    if ((mode & 0x0F) == 0)
        throughFile(content, section, key, value);
    return 0;
}

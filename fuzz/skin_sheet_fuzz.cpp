// fuzz-sources: app/skinSheet.cpp
// Arbitrary bytes as a skin file: the check must not crash, and what it accepts must stay
// accepted with blanks or itself appended and refused with a stray closing brace.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/skinSheet.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "skin sheet invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!una::app::isUsableSkinSheet(text))
        return 0;
    check(una::app::isUsableSkinSheet(text + " \n"), "trailing blanks refused");
    check(!una::app::isUsableSkinSheet(text + "}"), "stray brace accepted");
    if (2 * text.size() <= una::app::kMaxSkinBytes)
        check(una::app::isUsableSkinSheet(text + text), "a sheet twice refused");
    return 0;
}

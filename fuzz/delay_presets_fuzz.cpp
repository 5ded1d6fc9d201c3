// Arbitrary text as the settings file's section of kept delays (written by hand, or by another
// version): every preset read has a name that can be written back as one line, a delay within
// 0.1 and 160 s, and a name no other preset has; there are never more than the list holds.
// fuzz-sources: app/delayPresets.cpp app/delayValue.cpp
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/delayPresets.h"
#include "foundation/unaText.h"

using namespace una;
using namespace una::app;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "delay preset invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto presets = parseDelayPresets(text);
    check(presets.size() <= kMaxPresets, "the list is bounded");
    for (size_t i = 0; i < presets.size(); ++i) {
        check(presetName(presets[i].name) == presets[i].name, "the name can be written back");
        check(presets[i].ms >= 100 && presets[i].ms <= 160'000, "the delay is within bounds");
        for (size_t j = 0; j < i; ++j)
            check(!sameString(presets[i].name, presets[j].name), "names are unique");
    }
    return 0;
}

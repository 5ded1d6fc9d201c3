#pragma once
// Delays kept under a name ("Cable", "Laptop stream") to be picked again, in the window and
// with --preset. They live in the settings file's section "presets", one line each,
// "name=milliseconds", in the order they were first kept; a new user's file has no such
// section. Names are matched without regard to case, as the ini file matches its keys. Pure
// functions over the ini storage: whoever calls owns it (one thread at a time).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace una {
class unaIniAbstractStorage;
}

namespace una::app {

inline constexpr std::string_view kPresetsSection = "presets";
inline constexpr size_t kMaxPresetNameLength = 40;
inline constexpr size_t kMaxPresets = 50;

struct DelayPreset {
    std::string name;
    uint32_t ms = 0;  // 100 to 160000
};

// The name as it will be kept (blanks trimmed at both ends), or none when it cannot be a
// preset's name: empty, longer than kMaxPresetNameLength, or holding a character that would
// break its line ("=", "[", "]", ";", "#" at the start, control characters).
std::optional<std::string> presetName(std::string_view typed);

// The presets in the section's text (lines "name=milliseconds"). Lines that are not a valid
// name with a whole number of milliseconds within 0.1-160 s are skipped, as is a name seen
// before; at most kMaxPresets are read.
std::vector<DelayPreset> parseDelayPresets(std::string_view sectionText);

// The presets kept in the file; none when the section is missing or the gate is busy.
std::vector<DelayPreset> loadDelayPresets(unaIniAbstractStorage& ini);

// The preset of that name (case aside), or null.
const DelayPreset* findDelayPreset(std::span<const DelayPreset> presets, std::string_view name);

// Keeps ms under the name at once: replaces a preset of that name, or adds one at the end.
// False, nothing written, for a name presetName refuses, a delay outside 0.1-160 s, a full
// list (kMaxPresets) or a file that cannot be written.
bool keepDelayPreset(unaIniAbstractStorage& ini, std::string_view name, uint32_t ms);

// Forgets the preset of that name at once; false when there is none or the write failed.
bool forgetDelayPreset(unaIniAbstractStorage& ini, std::string_view name);

}  // namespace una::app

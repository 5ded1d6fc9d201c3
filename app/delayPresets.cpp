#include "app/delayPresets.h"

#include <charconv>

#include "app/delayValue.h"
#include "foundation/unaIniFile.h"
#include "foundation/unaText.h"

namespace una::app {

namespace {

bool delayKept(int64_t ms) {
    return ms >= delayMilliseconds(kMinDelaySeconds) && ms <= delayMilliseconds(kMaxDelaySeconds);
}

std::string sectionText(std::span<const DelayPreset> presets) {
    std::string text;
    for (const DelayPreset& preset : presets)
        text += preset.name + "=" + std::to_string(preset.ms) + "\r\n";
    return text;
}

}  // namespace

std::optional<std::string> presetName(std::string_view typed) {
    const std::string_view name = trimView(typed);
    if (name.empty() || name.size() > kMaxPresetNameLength || name.front() == ';' ||
        name.front() == '#')
        return std::nullopt;
    for (const char c : name)
        if (c == '=' || c == '[' || c == ']' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return std::nullopt;
    return std::string(name);
}

std::vector<DelayPreset> parseDelayPresets(std::string_view text) {
    std::vector<DelayPreset> presets;
    while (!text.empty() && presets.size() < kMaxPresets) {
        const size_t end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const auto name = presetName(line.substr(0, eq));
        const std::string_view digits = trimView(line.substr(eq + 1));
        int64_t ms = 0;
        const auto [stop, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), ms);
        if (!name || digits.empty() || error != std::errc() ||
            stop != digits.data() + digits.size() || !delayKept(ms) ||
            findDelayPreset(presets, *name))
            continue;
        presets.push_back({*name, static_cast<uint32_t>(ms)});
    }
    return presets;
}

std::vector<DelayPreset> loadDelayPresets(unaIniAbstractStorage& ini) {
    std::string text;
    if (!ini.readSection(kPresetsSection, text))
        return {};
    return parseDelayPresets(text);
}

const DelayPreset* findDelayPreset(std::span<const DelayPreset> presets, std::string_view name) {
    for (const DelayPreset& preset : presets)
        if (sameString(preset.name, name))
            return &preset;
    return nullptr;
}

bool keepDelayPreset(unaIniAbstractStorage& ini, std::string_view typed, uint32_t ms) {
    const auto name = presetName(typed);
    if (!name || !delayKept(ms))
        return false;
    std::vector<DelayPreset> presets = loadDelayPresets(ini);
    bool replaced = false;
    for (DelayPreset& preset : presets)
        if (sameString(preset.name, *name)) {
            preset = {*name, ms};
            replaced = true;
        }
    if (!replaced) {
        if (presets.size() >= kMaxPresets)
            return false;
        presets.push_back({*name, ms});
    }
    return ini.writeSection(kPresetsSection, sectionText(presets));
}

bool forgetDelayPreset(unaIniAbstractStorage& ini, std::string_view name) {
    std::vector<DelayPreset> presets = loadDelayPresets(ini);
    const auto gone =
        std::erase_if(presets, [&](const DelayPreset& p) { return sameString(p.name, name); });
    return gone > 0 && ini.writeSection(kPresetsSection, sectionText(presets));
}

}  // namespace una::app

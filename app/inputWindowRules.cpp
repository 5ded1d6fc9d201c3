#include "app/inputWindowRules.h"

#include "app/inputWindowTexts.h"

namespace una::app {

bool barStandsFor(const BarBinding& binding, bool barEnabled, int64_t controlId) {
    return barEnabled && controlId >= 0 && binding.controlId >= 0 &&
           controlId == binding.controlId;
}

std::wstring recordingSourceItem(const std::wstring& lineName) {
    if (!lineName.empty())
        return lineName;
    const std::string_view untitled = inputTexts::kUntitledLine;
    return std::wstring(untitled.begin(), untitled.end());
}

const char* waveInProblemText(int32_t waveDeviceIndex) {
    switch (waveDeviceIndex) {
        case -3:
            return inputTexts::kNoWaveInDevice;
        case -2:
            return inputTexts::kNoMixerSelected;
        default:
            return nullptr;
    }
}

std::optional<ProgramCommand> mixerPanelCommand(
    const std::function<std::string(std::string_view)>& findExecutable) {
    // Tab 4 of pavucontrol is "Input Devices": the sources' volumes and mutes.
    if (std::string panel = findExecutable("pavucontrol"); !panel.empty())
        return ProgramCommand{std::move(panel), {"--tab=4"}};
    std::string alsamixer = findExecutable("alsamixer");
    std::string terminal = findExecutable("x-terminal-emulator");
    if (!alsamixer.empty() && !terminal.empty())
        return ProgramCommand{std::move(terminal), {"-e", alsamixer, "-V", "capture"}};
    return std::nullopt;
}

}  // namespace una::app

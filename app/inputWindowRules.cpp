#include "app/inputWindowRules.h"


namespace una::app {

bool barStandsFor(const BarBinding& binding, bool barEnabled, int64_t controlId) {
    return barEnabled && controlId >= 0 && binding.controlId >= 0 &&
           controlId == binding.controlId;
}

std::optional<Msg> waveInProblem(int32_t waveDeviceIndex) {
    switch (waveDeviceIndex) {
        case -3:
            return Msg::NoWaveInDevice;
        case -2:
            return Msg::NoMixerSelected;
        default:
            return std::nullopt;
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

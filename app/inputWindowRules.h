#pragma once
// The input-selection window's rules that need no widgets: what a volume bar stands for, the
// message for a mixer without a recording device, and which program opens the desktop's
// recording-volume panel. Pure functions, any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/texts.h"

namespace una::app {

// What one of the four volume bars stands for on the current mixer.
struct BarBinding {
    int32_t dest = 0;
    int32_t conn = -1;  // -1: the destination line itself
    int32_t controlId = -1;  // the volume control; -1 none
    bool live = false;  // the bar's moves are written to the mixer
};

// Whether a change of controlId concerns the bar: only an enabled bar with a volume control
// stands for one, so a bar left disabled never takes another bar's (or no control's) change.
bool barStandsFor(const BarBinding& binding, bool barEnabled, int64_t controlId);

// The message for getWaveDeviceIndex's result; none for a device index and for -1.
std::optional<Msg> waveInProblem(int32_t waveDeviceIndex);

struct ProgramCommand {
    std::string program;  // the full path found
    std::vector<std::string> arguments;
};

// The desktop's recording-volume panel: pavucontrol on its input devices tab, else alsamixer's
// capture view in the desktop's terminal; none when neither is installed. findExecutable gives
// a program's full path, empty when it is not installed.
std::optional<ProgramCommand> mixerPanelCommand(
    const std::function<std::string(std::string_view)>& findExecutable);

}  // namespace una::app

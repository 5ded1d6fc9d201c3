#pragma once
// The program's command line. Without arguments the program is its window; with one of the
// options below it runs without any window:
//   --headless [--delay SECONDS | --preset NAME] [--in ID] [--out ID] [--save FILE | --no-save]
//              [--save-codec pcm|ima-adpcm|gsm|ulaw|alaw] [--duration SECONDS] [--settings FILE]
//              [--sync-from ID [--follow]]
//   --list-devices, --help (-h), --version
//   --find-delay RADIO.wav TV.wav
// The window's main() asks isCommandLineInvocation first and, when it says yes, returns
// runCommandLine's exit code without creating the Qt application.
//
// Threading: call from the program's main thread only; runCommandLine installs handlers for
// SIGINT and SIGTERM for as long as it runs.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/saveEncoding.h"

namespace una::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // the chain could not run (e.g. the recorder failed)
inline constexpr int kExitBadUsage = 2;  // bad arguments

// The application title and version, as the window shows them.
inline constexpr std::string_view kApplicationTitle = "RuzizavuVodideza v.1.11";

struct CommandLine {
    enum class Action { Window, Headless, ListDevices, Help, Version, FindDelay, Error };
    Action action = Action::Window;
    std::optional<double> delaySeconds;
    std::optional<std::string> presetName;  // a delay kept under this name in the settings
    std::optional<int32_t> syncFromId;      // the input that hears the TV
    bool follow = false;                    // keep measuring and following the TV
    std::optional<int32_t> inDeviceId;
    std::optional<int32_t> outDeviceId;
    std::optional<std::string> saveFile;  // empty text: --no-save
    std::optional<SaveEncoding> saveEncoding;
    std::optional<double> durationSeconds;
    std::optional<std::string> settingsFile;
    std::string findDelayRadio, findDelayTv;  // for Action::FindDelay
    std::string error;  // for Action::Error: what was wrong, one line
};

// Parses the arguments after the program name. Never throws; anything it does not accept
// gives Action::Error with a message.
CommandLine parseCommandLine(std::span<const std::string_view> args);

// True when main() should hand over to runCommandLine: some argument starts with "--" or is
// "-h". Single-dash arguments are left to Qt (-platform, -style ...).
bool isCommandLineInvocation(int argc, char** argv);

// Runs the command line's action, printing to standard output (errors to standard error);
// the process exit code. Action::Window gives kExitBadUsage with a hint.
int runCommandLine(int argc, char** argv);

// The parts runCommandLine is made of, for tests.
void printUsage(std::ostream& out);
void printDeviceLists(std::ostream& out);
int runHeadless(const CommandLine& options, std::ostream& out, std::ostream& err);

}  // namespace una::app

#pragma once
// The program's command line. Without arguments the program is its window; with one of the
// options below it runs without any window:
//   --headless [--delay SECONDS | --preset NAME] [--in DEVICE] [--out DEVICE]
//              [--save FILE | --no-save] [--save-codec pcm|ima-adpcm|gsm|ulaw|alaw]
//              [--duration SECONDS] [--settings FILE] [--status-every SECONDS]
//              [--sync-from DEVICE [--follow]] [--remote [PORT]] [--remote-home]
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
#include <vector>

#include "app/saveEncoding.h"

namespace una::app {

struct DeviceEntry;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // the chain could not run (e.g. the recorder failed)
inline constexpr int kExitBadUsage = 2;  // bad arguments

// The application title and version, as the window shows them. UNA_VERSION is the project's
// version, set by the build.
inline constexpr std::string_view kApplicationTitle = "RuzizavuVodideza v." UNA_VERSION;

struct CommandLine {
    enum class Action { Window, Headless, ListDevices, Help, Version, FindDelay, Error };
    Action action = Action::Window;
    std::optional<double> delaySeconds;
    std::optional<std::string> presetName;  // a delay kept under this name in the settings
    std::optional<int32_t> syncFromId;      // the input that hears the TV
    bool follow = false;                    // keep measuring and following the TV
    std::optional<int32_t> inDeviceId;
    std::optional<int32_t> outDeviceId;
    // --in/--out given as a device's name or description instead of an id.
    std::optional<std::string> inDeviceName;
    std::optional<std::string> outDeviceName;
    std::optional<std::string> saveFile;  // empty text: --no-save
    std::optional<SaveEncoding> saveEncoding;
    std::optional<double> durationSeconds;
    std::optional<std::string> settingsFile;
    std::optional<int32_t> statusEverySeconds;  // 0: no status lines
    std::string findDelayRadio, findDelayTv;  // for Action::FindDelay
    std::optional<uint16_t> remotePort;  // --remote: 0 for the port in the settings
    bool remoteHome = false;             // --remote-home: the home network may reach it
    std::string error;  // for Action::Error: what was wrong, one line
};

// Parses the arguments after the program name. Never throws; anything it does not accept
// gives Action::Error with a message.
CommandLine parseCommandLine(std::span<const std::string_view> args);

// True when main() should hand over to runCommandLine: some argument starts with "--" or is
// "-h". Single-dash arguments are left to Qt (-platform, -style ...).
bool isCommandLineInvocation(int argc, char** argv);

// The port of a command line that is only --remote [PORT] (0: the stored one), which the
// window takes; none for any other command line.
std::optional<uint16_t> windowRemotePort(int argc, char** argv);

// Runs the command line's action, printing to standard output (errors to standard error);
// the process exit code. Action::Window gives kExitBadUsage with a hint.
int runCommandLine(int argc, char** argv);

// The parts runCommandLine is made of, for tests.
void printUsage(std::ostream& out);
void printDeviceLists(std::ostream& out);
int runHeadless(const CommandLine& options, std::ostream& out, std::ostream& err);

// The device --in/--out NAME stands for: the entry whose key (the sound system's own name) or
// list name is the text, compared exactly and then ignoring case, else the only entry whose
// list name contains it. None, with a sentence in error, when nothing or several match.
std::optional<int32_t> deviceIdByName(const std::vector<DeviceEntry>& entries,
                                      std::string_view text, std::string_view what,
                                      std::string& error);

}  // namespace una::app

#include "app/headless.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "app/delayAdjust.h"
#include "app/delayChain.h"
#include "app/delayPresets.h"
#include "app/delaySteering.h"
#include "app/delaySync.h"
#include "app/delayValue.h"
#include "app/deviceList.h"
#include "app/deviceWatch.h"
#include "app/mainSettings.h"
#include "app/remoteLink.h"
#include "app/remoteServer.h"
#include "app/stationTexts.h"
#include "app/texts.h"
#include "audio/unaRiffStream.h"
#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "finder/findDelayCommand.h"
#include "foundation/unaIniFile.h"
#include "foundation/unaText.h"
#include "foundation/unaTime.h"
#include "platform/threadPriority.h"
#include "remote/remoteQr.h"
#include "remote/remoteSettings.h"
#include "stream/stationList.h"
#include "stream/stationSoundCard.h"

namespace una::app {

namespace {

constexpr std::string_view kProgramName = "ruzizavuvodideza";
// Longer runs than this are surely a typing mistake, and keep the deadline arithmetic sane.
constexpr double kMaxDurationSeconds = 1e9;
constexpr int32_t kMaxStatusEverySeconds = 86400;

std::optional<double> parseSeconds(std::string_view text) {
    std::string number(trim(text));
    // Users of a decimal-comma locale type "2,5".
    for (char& c : number)
        if (c == ',')
            c = '.';
    if (number.empty() || number.front() == '+')
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                              std::chars_format::fixed);
    if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int32_t> parseId(std::string_view text) {
    const std::string number(trim(text));
    int32_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || error != std::errc() || end != number.data() + number.size())
        return std::nullopt;
    return value;
}

CommandLine failure(std::string message) {
    CommandLine line;
    line.action = CommandLine::Action::Error;
    line.error = std::move(message);
    return line;
}

std::string secondsText(double seconds) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << seconds;
    return text.str();
}

// The write end of the pipe the signal handler wakes the run loop with.
volatile sig_atomic_t signalPipeWrite = -1;
volatile sig_atomic_t signalNumber = 0;

extern "C" void onStopSignal(int signo) {
    const int savedErrno = errno;
    signalNumber = signo;
    const int fd = signalPipeWrite;
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

// SIGINT and SIGTERM wake the loop through a pipe for the object's lifetime; SIGPIPE is
// ignored so a closed standard output cannot end the program before the WAV file is complete.
class StopSignals {
  public:
    StopSignals() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        readFd_ = fds[0];
        writeFd_ = fds[1];
        signalPipeWrite = writeFd_;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &oldInt_);
        ::sigaction(SIGTERM, &action, &oldTerm_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &oldPipe_);
        installed_ = true;
    }
    ~StopSignals() {
        if (installed_) {
            ::sigaction(SIGINT, &oldInt_, nullptr);
            ::sigaction(SIGTERM, &oldTerm_, nullptr);
            ::sigaction(SIGPIPE, &oldPipe_, nullptr);
        }
        signalPipeWrite = -1;
        if (readFd_ >= 0)
            ::close(readFd_);
        if (writeFd_ >= 0)
            ::close(writeFd_);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool ok() const { return installed_; }
    // Waits up to timeoutMs for a stop signal or for input on `inputFd` (none: -1); true when
    // a stop signal came. `inputReady` tells whether the input has something (or has ended).
    // `otherFd` (none: -1) only wakes the wait.
    bool wait(int timeoutMs, int inputFd, bool& inputReady, int otherFd = -1) {
        pollfd entries[3] = {{readFd_, POLLIN, 0}, {inputFd, POLLIN, 0}, {otherFd, POLLIN, 0}};
        const int ready = ::poll(entries, 3, timeoutMs);
        inputReady = ready > 0 && inputFd >= 0 && entries[1].revents != 0;
        if (ready <= 0 || entries[0].revents == 0)
            return false;
        char bytes[16];
        while (::read(readFd_, bytes, sizeof bytes) > 0) {
        }
        return true;
    }

  private:
    int readFd_ = -1;
    int writeFd_ = -1;
    bool installed_ = false;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    struct sigaction oldPipe_ {};
};

// A terminal on standard input sends single keys (no echo) for the run's length, so + and -
// act at once; the terminal's settings come back at the end.
class KeysFromTerminal {
  public:
    KeysFromTerminal() {
        if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~KeysFromTerminal() {
        if (active_)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    KeysFromTerminal(const KeysFromTerminal&) = delete;
    KeysFromTerminal& operator=(const KeysFromTerminal&) = delete;

    bool active() const { return active_; }

  private:
    termios saved_{};
    bool active_ = false;
};

void printList(std::ostream& out, std::string_view title, const std::vector<DeviceEntry>& entries) {
    out << title << '\n';
    for (const DeviceEntry& entry : entries)
        out << "  " << std::setw(3) << deviceIdFromData(entry.data) << "  " << entry.name
            << (entry.key.empty() ? "" : "  [" + entry.key + "]") << '\n';
}

// The device id for an explicit --in/--out or, without one, the stored choice: by its key,
// else by the list's selection rule. Empty with a message in error when the explicit id names
// no device; a stored device that is missing gives the default and a sentence in notice.
std::optional<int32_t> chooseDevice(std::optional<int32_t> requested, int32_t stored,
                                    const std::string& storedKey,
                                    const std::vector<DeviceEntry>& entries, std::string_view what,
                                    std::string& error, std::string& notice) {
    const int32_t count = static_cast<int32_t>(entries.size());
    if (requested) {
        if (*requested < -1 || *requested >= count - 1) {
            error = "there is no " + std::string(what) + " device " + std::to_string(*requested) +
                    " (ids -1 to " + std::to_string(count - 2) + "; see --list-devices)";
            return std::nullopt;
        }
        return *requested;
    }
    const StoredChoice choice = chooseStored(entries, storedKey, stored);
    if (choice.missing)
        notice = msg(what == "playback" ? Msg::SavedOutMissing : Msg::SavedInMissing, "uk",
                     {storedKey});
    return count > 0 ? deviceIdFromData(entries[static_cast<size_t>(choice.index)].data) : -1;
}

// The list's name of a device id, for messages.
std::string deviceName(const std::vector<DeviceEntry>& entries, int32_t deviceId) {
    for (const DeviceEntry& entry : entries)
        if (deviceIdFromData(entry.data) == deviceId)
            return entry.name;
    return "device " + std::to_string(deviceId);
}

// The delay to start with: --delay, else a --preset, else the settings' (to the millisecond
// when they kept one).
struct StartDelay {
    double seconds = 0.1;
    bool exact = false;
    std::string error;
};

StartDelay chooseStartDelay(const CommandLine& options, const MainSettings& settings,
                            std::span<const DelayPreset> presets) {
    if (options.delaySeconds)
        return {*options.delaySeconds, false, {}};
    if (options.presetName) {
        if (const DelayPreset* preset = findDelayPreset(presets, *options.presetName))
            return {preset->ms / 1000.0, true, {}};
        std::string kept;
        for (const DelayPreset& preset : presets)
            kept += (kept.empty() ? "" : ", ") + preset.name;
        return {0, false,
                "there is no delay kept under the name \"" + *options.presetName + "\" (" +
                    (kept.empty() ? std::string("none is kept yet") : "kept: " + kept) + ")"};
    }
    if (settings.exactDelayMs)
        return {settings.exactDelayMs / 1000.0, true, {}};
    return {settings.delaySeconds(), false, {}};
}

// Listening to the TV on --sync-from, with --follow; none when not asked for or when the
// input cannot listen (said on err; the delay runs on without it).
std::unique_ptr<DelaySync> startSync(const CommandLine& options, DelayChain& chain,
                                     const std::vector<DeviceEntry>& inEntries, std::ostream& out,
                                     std::ostream& err) {
    if (!options.syncFromId)
        return nullptr;
    auto sync = std::make_unique<DelaySync>(chain);
    sync->setFollow(options.follow);
    std::string said;
    if (!sync->start(*options.syncFromId, deviceName(inEntries, *options.syncFromId), "uk", said)) {
        err << kProgramName << ": " << said << std::endl;
        return nullptr;
    }
    out << said << (options.follow ? ", following" : "") << std::endl;
    return sync;
}

// The status line's part about the TV: the last measurement and whether it follows.
std::string syncStatus(const DelaySync* sync) {
    if (!sync)
        return {};
    return "; TV: " + sync->lastText("uk") + ", " +
           msg(sync->follow() ? Msg::SyncFollowOn : Msg::SyncFollowOff, "uk");
}

std::string statusLine(const DelayChain& chain, double elapsed) {
    const ChainMeters m = chain.meters();
    const DelayLine::Figures figures = chain.delayFigures();
    std::ostringstream line;
    line << "[" << std::setw(6) << secondsText(elapsed) << " s] " << chainStateName(chain.state())
         << ", delay " << delaySetText(chain.delayMs()) << " s, heard "
         << delayHeardSeconds(figures.playing ? figures : DelayLine::Figures{}) << " s, held "
         << secondsText(chain.heldSeconds()) << " s, in " << m.inLeft << "/" << m.inRight
         << ", out " << m.outLeft << "/" << m.outRight;
    return line.str();
}

// The state stays a word scripts can look for; why it fails is said in the user's language.
std::string stationStateText(const stream::StationStatus& status, std::string_view language) {
    using State = stream::StationStatus::State;
    std::string text = status.state == State::connecting     ? "connecting"
                       : status.state == State::playing      ? "playing"
                       : status.state == State::reconnecting ? "reconnecting"
                                                             : "failed";
    if (!status.message.empty())
        text += " (" + stationFaultSaid(status, language) + ")";
    if (!status.title.empty())
        text += ", \"" + status.title + "\"";
    return text;
}

// The status line's part about a station: its state and title.
std::string stationStatus(const std::optional<stream::StationStatus>& status,
                          std::string_view language) {
    return status ? "; station " + stationStateText(*status, language) : std::string();
}

}  // namespace

std::optional<int32_t> deviceIdByName(const std::vector<DeviceEntry>& entries,
                                      std::string_view text, std::string_view what,
                                      std::string& error) {
    auto lower = [](std::string_view in) {
        std::string out(in);
        for (char& c : out)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    const std::string wanted = lower(text);
    auto pick = [&](auto&& matches) -> std::optional<int32_t> {
        std::optional<int32_t> found;
        for (const DeviceEntry& entry : entries) {
            if (entry.key.empty() || !matches(entry))  // the default device has no name
                continue;
            if (found) {
                error = "more than one " + std::string(what) + " device matches \"" +
                        std::string(text) + "\"; give the whole name (see --list-devices)";
                return std::nullopt;
            }
            found = deviceIdFromData(entry.data);
        }
        return found;
    };
    const std::function<bool(const DeviceEntry&)> rules[] = {
        [&](const DeviceEntry& e) { return e.key == text; },
        [&](const DeviceEntry& e) { return e.name == text; },
        [&](const DeviceEntry& e) { return lower(e.key) == wanted || lower(e.name) == wanted; },
        [&](const DeviceEntry& e) { return lower(e.name).find(wanted) != std::string::npos; },
    };
    for (const auto& rule : rules) {
        const std::optional<int32_t> found = pick(rule);
        if (found || !error.empty())
            return found;
    }
    error = "there is no " + std::string(what) + " device named \"" + std::string(text) +
            "\" (see --list-devices)";
    return std::nullopt;
}

CommandLine parseCommandLine(std::span<const std::string_view> args) {
    CommandLine line;
    bool help = false, version = false, list = false, headless = false, findDelay = false;
    std::vector<std::string> overrides;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string_view> inlineValue;
        if (arg.starts_with("--")) {
            if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            }
        }
        auto takesNoValue = [&]() { return !inlineValue.has_value(); };
        // The option's value: after "=" or the next argument.
        auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };

        if (arg == "--help" || arg == "-h") {
            if (!takesNoValue())
                return failure(std::string(arg) + " takes no value");
            help = true;
        } else if (arg == "--version") {
            if (!takesNoValue())
                return failure("--version takes no value");
            version = true;
        } else if (arg == "--list-devices") {
            if (!takesNoValue())
                return failure("--list-devices takes no value");
            list = true;
        } else if (arg == "--headless") {
            if (!takesNoValue())
                return failure("--headless takes no value");
            headless = true;
        } else if (arg == "--delay") {
            const auto text = value();
            if (!text)
                return failure("--delay needs a number of seconds");
            const auto seconds = parseSeconds(*text);
            if (!seconds)
                return failure("--delay: \"" + std::string(*text) + "\" is not a number of seconds");
            if (*seconds < kMinDelaySeconds || *seconds > kMaxDelaySeconds)
                return failure("--delay must lie between 0.1 and 160 seconds, not " +
                               std::string(*text));
            line.delaySeconds = *seconds;
            overrides.emplace_back(arg);
        } else if (arg == "--preset") {
            const auto text = value();
            if (!text || !presetName(*text))
                return failure("--preset needs the name of a kept delay");
            line.presetName = *presetName(*text);
            overrides.emplace_back(arg);
        } else if (arg == "--sync-from") {
            const auto text = value();
            const auto id = text ? parseId(*text) : std::nullopt;
            if (!id || *id < -1)
                return failure("--sync-from needs the id of the input that hears the TV "
                               "(see --list-devices)");
            line.syncFromId = *id;
            overrides.emplace_back(arg);
        } else if (arg == "--follow") {
            if (!takesNoValue())
                return failure("--follow takes no value");
            line.follow = true;
            overrides.emplace_back(arg);
        } else if (arg == "--in" || arg == "--out") {
            const auto text = value();
            if (!text || trim(*text).empty())
                return failure(std::string(arg) +
                               " needs a device id or name (see --list-devices)");
            // Numbers are ids; anything else names the device, which outlives a renumbering.
            const auto id = parseId(*text);
            if (id && *id < -1)
                return failure(std::string(arg) + ": \"" + std::string(*text) +
                               "\" is not a device id (-1 for the default, see --list-devices)");
            if (id)
                (arg == "--in" ? line.inDeviceId : line.outDeviceId) = *id;
            else
                (arg == "--in" ? line.inDeviceName : line.outDeviceName) = std::string(trim(*text));
            overrides.emplace_back(arg);
        } else if (arg == "--save") {
            const auto text = value();
            if (!text || trim(*text).empty())
                return failure("--save needs a file name");
            line.saveFile = trim(*text);
            overrides.emplace_back(arg);
        } else if (arg == "--save-codec") {
            const auto text = value();
            const auto encoding = text ? parseSaveEncoding(*text) : std::nullopt;
            if (!encoding)
                return failure("--save-codec needs one of pcm, ima-adpcm, gsm, ulaw, alaw");
            line.saveEncoding = *encoding;
            overrides.emplace_back(arg);
        } else if (arg == "--no-save") {
            if (!takesNoValue())
                return failure("--no-save takes no value");
            line.saveFile = std::string();
            overrides.emplace_back(arg);
        } else if (arg == "--duration") {
            const auto text = value();
            if (!text)
                return failure("--duration needs a number of seconds");
            const auto seconds = parseSeconds(*text);
            if (!seconds || *seconds <= 0 || *seconds > kMaxDurationSeconds)
                return failure("--duration: \"" + std::string(*text) +
                               "\" is not a positive number of seconds");
            line.durationSeconds = *seconds;
            overrides.emplace_back(arg);
        } else if (arg == "--status-every") {
            const auto text = value();
            const auto seconds = text ? parseId(*text) : std::nullopt;
            if (!seconds || *seconds < 0 || *seconds > kMaxStatusEverySeconds)
                return failure("--status-every needs a whole number of seconds, 0 to 86400");
            line.statusEverySeconds = *seconds;
            overrides.emplace_back(arg);
        } else if (arg == "--settings") {
            const auto text = value();
            if (!text || text->empty())
                return failure("--settings needs a file name");
            line.settingsFile = std::string(*text);
            overrides.emplace_back(arg);
        } else if (arg == "--find-delay") {
            if (inlineValue || i + 2 >= args.size())
                return failure("--find-delay needs two WAV files: the radio's and the TV's");
            line.findDelayRadio = std::string(args[++i]);
            line.findDelayTv = std::string(args[++i]);
            findDelay = true;
        } else if (arg == "--remote") {
            // The port is optional: only a number after it is taken as one.
            std::optional<std::string_view> text = inlineValue;
            if (!text && i + 1 < args.size() && !args[i + 1].empty() &&
                args[i + 1].find_first_not_of("0123456789") == std::string_view::npos)
                text = args[++i];
            line.remotePort = 0;
            if (text) {
                const auto port = parseId(*text);
                if (!port || *port < 1 || *port > 65535)
                    return failure("--remote: \"" + std::string(*text) +
                                   "\" is not a port (1 to 65535)");
                line.remotePort = static_cast<uint16_t>(*port);
            }
            overrides.emplace_back(arg);
        } else if (arg == "--remote-home") {
            if (!takesNoValue())
                return failure("--remote-home takes no value");
            line.remoteHome = true;
            overrides.emplace_back(arg);
        } else if (arg.starts_with("-")) {
            return failure("unknown option " + std::string(args[i]));
        } else {
            return failure("unexpected argument \"" + std::string(arg) + "\"");
        }
    }

    if (line.presetName && line.delaySeconds)
        return failure("--preset and --delay cannot be combined");
    if (line.follow && !line.syncFromId)
        return failure("--follow needs --sync-from ID, the input that hears the TV");

    if (help)
        line.action = CommandLine::Action::Help;
    else if (version)
        line.action = CommandLine::Action::Version;
    else if (findDelay && (list || headless || !overrides.empty()))
        return failure("--find-delay cannot be combined with other options");
    else if (findDelay)
        line.action = CommandLine::Action::FindDelay;
    else if (list && headless)
        return failure("--list-devices and --headless cannot be combined");
    else if (list)
        line.action = CommandLine::Action::ListDevices;
    else if (headless)
        line.action = CommandLine::Action::Headless;
    else if (!overrides.empty())
        return failure(overrides.front() + " works only together with --headless");
    else
        line.action = CommandLine::Action::Window;

    if (line.action == CommandLine::Action::ListDevices && !overrides.empty())
        return failure(overrides.front() + " works only together with --headless");
    return line;
}

bool isCommandLineInvocation(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!argv[i])
            continue;
        const std::string_view arg = argv[i];
        if (arg.starts_with("--") || arg == "-h")
            return true;
    }
    return false;
}

void printUsage(std::ostream& out) {
    out << kApplicationTitle << " - delays live sound by 0.1 to 160 seconds.\n"
        << "\n"
        << "Usage:\n"
        << "  " << kProgramName << "                 the window\n"
        << "  " << kProgramName << " --headless [options]\n"
        << "  " << kProgramName << " --list-devices | --help | --version\n"
        << "  " << kProgramName << " --find-delay RADIO.wav TV.wav\n"
        << "\n"
        << "Without a window, --headless runs the delay from the window's settings file,\n"
        << "printing one status line a second, until SIGINT (Ctrl-C) or SIGTERM:\n"
        << "  --delay SECONDS     delay, 0.1 to 160 (one decimal place is kept)\n"
        << "  --preset NAME       the delay kept under this name in the window\n"
        << "  --in DEVICE         recording device: its id (-1: the default), or its name or\n"
        << "                      description as --list-devices shows them, or an internet\n"
        << "                      station: its name or its http:// or https:// address\n"
        << "  --out DEVICE        playback device, the same way\n"
        << "  --save FILE         also record into this WAV file\n"
        << "  --no-save           do not record into a file, whatever the settings say\n"
        << "  --save-codec NAME   the file's encoding: pcm (the default), ima-adpcm (a quarter\n"
        << "                      of the size), gsm (8 kHz mono speech), ulaw or alaw (half)\n"
        << "  --duration SECONDS  stop after this long\n"
        << "  --settings FILE     read this settings file instead of the window's\n"
        << "  --status-every SECONDS\n"
        << "                      one status line every SECONDS instead of every second\n"
        << "                      (0: none), e.g. 60 for a service's log\n"
        << "  --sync-from ID      listen to the TV on this recording device and set the delay\n"
        << "                      from what is heard, to the millisecond, once sure enough\n"
        << "  --follow            with --sync-from: measure again every half minute and\n"
        << "                      follow the TV when its lag moves\n"
        << "  --remote [PORT]     a page for a phone to steer the delay (port 8765 unless\n"
        << "                      the settings say otherwise); its address is printed\n"
        << "  --remote-home       let the home network reach it, not only this computer\n"
        << "While it runs, the keys + and - (or lines \"+\", \"-\") on standard input make\n"
        << "the delay 0.1 s longer or shorter, and a line such as \"delay 5.3\" sets it;\n"
        << "\"step -1\" makes it a second shorter, \"stop\" and \"start\" stop and restart it.\n"
        << "For one moment of play (a whistle, a goal), press r (or a line \"radio\") when\n"
        << "you hear it on the radio and t (\"tv\") when you see it on the TV, in either\n"
        << "order: the delay moves by the time between them, to the millisecond; u (\"undo\")\n"
        << "takes that back. A line \"preset NAME\" picks a kept delay; with --sync-from,\n"
        << "\"follow on\" and \"follow off\" switch following the TV.\n"
        << "Each status line shows the delay set and the delay heard.\n"
        << "\n"
        << "--find-delay compares a radio and a TV recording that started together and\n"
        << "prints how late the TV is, e.g. \"lag 12.345 s, confidence 0.87\"; exit status 3\n"
        << "when no lag can be trusted, 1 when a file cannot be read.\n"
        << "\n"
        << "Exit status: 0 when the run ended normally, 1 when the delay could not run,\n"
        << "2 for bad arguments.\n";
}

void printDeviceLists(std::ostream& out) {
    {
        unaIniFile ini;
        stream::installStationSoundCard(ini);
    }
    printList(out, "Playback devices (--out ID or name):",
              deviceEntries(platform::WaveDirection::output));
    printList(
        out, "Recording devices (--in ID or name):", deviceEntries(platform::WaveDirection::input));
}

int runHeadless(const CommandLine& options, std::ostream& out, std::ostream& err) {
    using Clock = std::chrono::steady_clock;

    MainSettings settings;
    remote::RemoteSettings remoteSettings;
    std::vector<DelayPreset> presets;
    std::shared_ptr<stream::StationSoundCard> stations;
    {
        unaIniFile ini(options.settingsFile ? std::string_view(*options.settingsFile)
                                            : std::string_view(),
                       true, 1000, "settings");
        settings.load(ini);
        remoteSettings.load(ini);
        if (options.remotePort) {
            remoteSettings.enabled = true;
            if (*options.remotePort != 0)
                remoteSettings.port = *options.remotePort;
        }
        remoteSettings.homeNetwork = remoteSettings.homeNetwork || options.remoteHome;
        if (remoteSettings.enabled && remoteSettings.ensureToken())
            remoteSettings.saveToken(ini);
        presets = loadDelayPresets(ini);
        stations = stream::installStationSoundCard(ini);
        out << "Settings: " << ini.fileName() << '\n';
    }
    const StartDelay startDelay = chooseStartDelay(options, settings, presets);
    if (!startDelay.error.empty()) {
        err << kProgramName << ": " << startDelay.error << '\n';
        return kExitBadUsage;
    }

    std::string error, outNotice, inNotice;
    const auto outEntries = deviceEntries(platform::WaveDirection::output);
    std::optional<int32_t> outRequested = options.outDeviceId;
    std::optional<int32_t> inRequested = options.inDeviceId;
    // An address given for --in is a station for this run, under its address as its name.
    if (options.inDeviceName && stream::isStationAddress(*options.inDeviceName)) {
        std::vector<stream::Station> list = stations->stations();
        if (std::none_of(list.begin(), list.end(), [&](const stream::Station& s) {
                return s.url == *options.inDeviceName || s.name == *options.inDeviceName;
            })) {
            list.push_back({*options.inDeviceName, *options.inDeviceName});
            stations->setStations(std::move(list));
        }
    }
    const auto inEntries = deviceEntries(platform::WaveDirection::input);
    if (options.outDeviceName)
        outRequested = deviceIdByName(outEntries, *options.outDeviceName, "playback", error);
    if (error.empty() && options.inDeviceName)
        inRequested = deviceIdByName(inEntries, *options.inDeviceName, "recording", error);
    if (!error.empty()) {
        err << kProgramName << ": " << error << '\n';
        return kExitBadUsage;
    }
    const auto outId = chooseDevice(outRequested, settings.outDeviceId, settings.outDeviceName,
                                    outEntries, "playback", error, outNotice);
    const auto inId = error.empty()
                          ? chooseDevice(inRequested, settings.inDeviceId, settings.inDeviceName,
                                         inEntries, "recording", error, inNotice)
                          : std::nullopt;
    if (outId && inId && options.syncFromId) {
        std::string notice;
        if (!chooseDevice(options.syncFromId, -1, {}, inEntries, "recording", error, notice))
            error = "--sync-from: " + error;
    }
    if (!outId || !inId || !error.empty()) {
        err << kProgramName << ": " << error << '\n';
        return kExitBadUsage;
    }
    for (const std::string& notice : {outNotice, inNotice})
        if (!notice.empty())
            out << notice << '\n';

    ChainStartOptions start;
    start.inDeviceId = *inId;
    start.loop2Playback = true;
    start.delaySeconds = startDelay.seconds;
    start.exactDelay = startDelay.exact;
    if (options.saveFile) {
        start.saveToFile = !options.saveFile->empty();
        start.inFileName = *options.saveFile;
    } else {
        start.saveToFile = settings.saveToFile;
        start.inFileName = settings.inFileName;
    }
    const SaveEncoding encoding = options.saveEncoding.value_or(
        parseSaveEncoding(settings.saveEncoding).value_or(SaveEncoding::Pcm));
    start.saveFormatTag = saveEncodingTag(encoding);
    start.saveEncodingCaption = saveEncodingCaption(encoding);

    StopSignals signals;
    if (!signals.ok()) {
        err << kProgramName << ": cannot watch for SIGINT and SIGTERM\n";
        return kExitFailed;
    }

    DelayChain chain;
    chain.setupDevices(settings.inFormat, settings.outFormat);
    const ChainStartResult started = chain.startIn(start);
    if (started.problem)
        err << kProgramName << ": " << chainProblemText(started.problem, "uk") << '\n';
    if (!started.recording) {
        chain.releaseDevices();
        return kExitFailed;
    }
    out << "Recording from device " << *inId << " (" << chain.inFormatText() << "), delay "
        << delaySetText(chain.delayMs()) << " s, playing on device " << *outId << " ("
        << chain.outFormatText() << ")";
    if (started.saving)
        out << ", saving to " << chain.riff()->fileName() << " ("
            << saveEncodingCaption(encoding) << ")";
    out << '\n'
        << "Sound system: " << platform::soundCard()->backendName() << "; audio threads: "
        << platform::audioSchedulingText(platform::audioScheduling()) << std::endl;

    const Clock::time_point begin = Clock::now();
    const Clock::time_point never = Clock::time_point::max();
    Clock::time_point playbackAt =
        started.playbackDelayMs ? begin + std::chrono::milliseconds(started.playbackDelayMs) : never;
    const Clock::time_point endAt =
        options.durationSeconds
            ? begin + std::chrono::milliseconds(std::llround(*options.durationSeconds * 1000.0))
            : never;
    const std::chrono::seconds statusEvery(options.statusEverySeconds.value_or(1));
    Clock::time_point nextStatus = statusEvery.count() > 0 ? begin + statusEvery : never;
    auto elapsed = [&]() { return std::chrono::duration<double>(Clock::now() - begin).count(); };

    // The phone remote runs beside the delay; when it cannot, the delay goes on without it.
    RemoteServer remoteServer;
    const std::string language = settings.language;
    if (remoteSettings.enabled) {
        std::string problem;
        const auto host = remoteListenHost(remoteSettings.homeNetwork, problem);
        if (host && remoteServer.start({*host, remoteSettings.port, remoteSettings.token,
                                        remotePageHtml()},
                                       problem)) {
            const std::string address = remoteServer.pageAddress();
            out << "Phone remote: " << address << '\n'
                << remote::qrTerminalText(remote::qrModules(address)) << std::flush;
        } else {
            err << kProgramName << ": " << msg(Msg::RemoteNotStarted, "uk", {problem})
                << std::endl;
        }
    }

    KeysFromTerminal keys;
    DelayCommandReader commands(keys.active());
    int inputFd = STDIN_FILENO;
    DelaySteering steering(chain.delayMs(), [&chain](double seconds, bool exact) {
        return delayMilliseconds(exact ? chain.setDelayExact(seconds) : chain.setDelay(seconds));
    });
    steering.setPresets(presets);
    std::unique_ptr<DelaySync> sync = startSync(options, chain, inEntries, out, err);
    const DelaySync::Apply applyFound = [&chain, &steering](double seconds) {
        const uint32_t ms = delayMilliseconds(chain.setDelayExact(seconds));
        steering.set(ms);
        return ms;
    };
    bool signalled = false;
    bool lost = false;
    DeviceWatch devices;
    bool awaitingSound = false;
    std::string stationSaid;  // the station's state as last printed
    bool lagSaid = false;     // a delay shorter than the station's lag is told once
    std::string lastSaid;  // what the steering said last, for the phone's page in its language
    // Standard input and the phone speak the same commands and get the same answers.
    auto perform = [&](const DelayCommand& command) {
        switch (command.kind) {
            case DelayCommand::Kind::Bad:
                err << kProgramName << ": \"" << command.text
                    << "\" is not understood; type + or -, r or t (radio, tv), or a line "
                       "like: delay 5.3" << std::endl;
                return;
            case DelayCommand::Kind::Stop:
                if (chain.isInOpen() || chain.isOutOpen()) {
                    chain.closeIn();
                    chain.closeOut();
                    awaitingSound = false;
                    out << "Delay stopped" << std::endl;
                }
                return;
            case DelayCommand::Kind::Start: {
                if (chain.isInOpen())
                    return;
                // Again with the delay as it stood, milliseconds and all.
                start.delaySeconds = chain.delayMs() / 1000.0;
                start.exactDelay = true;
                const ChainStartResult again = chain.startIn(start);
                if (again.problem)
                    err << kProgramName << ": " << chainProblemText(again.problem, "uk")
                        << std::endl;
                playbackAt = again.playbackDelayMs
                                 ? Clock::now() + std::chrono::milliseconds(again.playbackDelayMs)
                                 : never;
                if (again.recording)
                    out << "Delay started" << std::endl;
                return;
            }
            case DelayCommand::Kind::FollowOn:
            case DelayCommand::Kind::FollowOff: {
                const bool on = command.kind == DelayCommand::Kind::FollowOn;
                const Msg said = !sync ? Msg::SyncNotListening
                                 : on  ? Msg::SyncFollowOn
                                       : Msg::SyncFollowOff;
                if (sync) {
                    sync->setFollow(on);
                    out << msg(said, "uk") << std::endl;
                } else {
                    err << kProgramName << ": " << msg(said, "uk") << std::endl;
                }
                lastSaid = msg(said, language);
                return;
            }
            default:
                break;
        }
        // A press from the phone counts from when it arrived: the loop may reach it later.
        const int64_t nowNs = command.receivedNs
                                  ? command.receivedNs
                                  : std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        Clock::now().time_since_epoch()).count();
        out << steering.handle(command, nowNs, "uk") << std::endl;
        lastSaid = steering.said(language);
    };
    for (;;) {
        // A device (or the server) that went away ends the run: nothing more can be delayed.
        // A suspended device or a stream following a new default is said and runs on.
        bool deviceGone = false;
        for (const std::string& said : devices.poll(
                 {chain.isInOpen(), chain.isInOpen() && chain.waveIn()->isDeviceLost(),
                  chain.isInOpen() ? chain.waveIn()->deviceState() : platform::DeviceState{},
                  deviceName(inEntries, *inId)},
                 {chain.isOutOpen(), chain.isOutOpen() && chain.waveOut()->isDeviceLost(),
                  chain.isOutOpen() ? chain.waveOut()->deviceState() : platform::DeviceState{},
                  deviceName(outEntries, *outId)},
                 "uk", deviceGone))
            err << kProgramName << ": " << said << std::endl;
        if (deviceGone) {
            lost = true;
            break;
        }
        if (sync)
            for (const std::string& said : sync->poll(markTime(), "uk", applyFound)) {
                out << said << std::endl;
                lastSaid = said;
            }
        Clock::time_point now = Clock::now();
        if (chain.isPlaybackPending() && now >= playbackAt) {
            if (chain.openOut(*outId))
                awaitingSound = true;
            else if (chain.lastProblem())
                err << kProgramName << ": " << chainProblemText(chain.lastProblem(), "uk")
                    << std::endl;
        }
        // The player opens ahead of the delay and plays silence until the first frame is due:
        // playback starts, for the listener, when that frame is heard.
        Clock::time_point soundAt = never;
        if (awaitingSound) {
            const int64_t firstSoundNs = chain.delayFigures().firstSoundNs;
            soundAt = firstSoundNs ? Clock::time_point(std::chrono::nanoseconds(firstSoundNs))
                                   : now + std::chrono::milliseconds(50);
            if (firstSoundNs && now >= soundAt) {
                awaitingSound = false;
                soundAt = never;
                out << "Playback started after "
                    << secondsText(std::chrono::duration<double>(
                                       Clock::time_point(std::chrono::nanoseconds(firstSoundNs)) -
                                       begin)
                                       .count())
                    << " s" << std::endl;
            }
        }
        // A station's connecting, faults and titles are said when they change.
        if (const auto station = stations->inputStatus()) {
            const std::string said = stationStateText(*station, language);
            if (said != stationSaid)
                out << "Station: " << said << std::endl;
            stationSaid = said;
            if (const std::string lag =
                    stationLagWarning(*station, chain.delayMs() / 1000.0, language);
                !lag.empty() && !lagSaid) {
                out << "Station: " << lag << std::endl;
                lagSaid = true;
            }
        }
        if (now >= endAt)
            break;
        if (now >= nextStatus) {
            out << statusLine(chain, elapsed()) << syncStatus(sync.get())
                << stationStatus(stations->inputStatus(), language) << std::endl;
            while (nextStatus <= now)
                nextStatus += statusEvery;
        }
        for (const DelayCommand& command : remoteServer.takeCommands())
            perform(command);
        remoteServer.publish(remoteStateOf(chain, chain.delayMs() / 1000.0, language,
                                           {&steering, sync.get(), lastSaid}));
        Clock::time_point wakeAt = std::min(
            {nextStatus, endAt, soundAt, chain.isPlaybackPending() ? playbackAt : never});
        // The pages show the delay heard as it settles.
        if (remoteServer.isRunning())
            wakeAt = std::min(wakeAt, Clock::now() + std::chrono::milliseconds(250));
        now = Clock::now();
        const auto waitMs =
            wakeAt > now
                ? std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count()
                : 0;
        bool inputReady = false;
        if (signals.wait(static_cast<int>(std::min<int64_t>(waitMs, 1000)), inputFd, inputReady,
                         remoteServer.isRunning() ? remoteServer.wakeFd() : -1)) {
            signalled = true;
            break;
        }
        if (inputReady) {
            char bytes[256];
            const ssize_t n = ::read(inputFd, bytes, sizeof bytes);
            // An ended (or unreadable) input is no reason to stop delaying.
            if (n <= 0) {
                inputFd = -1;
                continue;
            }
            for (const DelayCommand& command : commands.feed(std::string_view(bytes, static_cast<size_t>(n))))
                perform(command);
        }
    }

    remoteServer.stop();
    out << (signalled ? "Signal received, stopping" : "Stopping") << " after "
        << secondsText(elapsed()) << " s" << std::endl;
    const bool wasSaving = chain.isSaving();
    // The recorder closes first, then the writer completes the file, then the playback side.
    sync.reset();
    chain.closeIn();
    // What was lost while it ran: audio the recorder could not take in time, gaps the
    // player's card had to fill and chunks its input refused, and chunks that never reached
    // the file.
    out << "Dropouts: recording " << (chain.waveIn() ? chain.waveIn()->xrunCount() : 0)
        << ", playback "
        << (chain.waveOut() ? chain.waveOut()->xrunCount() : 0) + chain.playbackLostChunks();
    if (wasSaving)
        out << ", saving " << chain.lastRecording().lostChunks;
    out << std::endl;
    chain.releaseDevices();
    if (wasSaving) {
        const SavedRecording& saved = chain.lastRecording();
        out << "Saved " << saved.bytes << " bytes of audio to " << saved.fileName;
        if (saved.files > 1)
            out << " and on to " << wavContinuationName(saved.fileName, saved.files);
        out << std::endl;
    }
    out << "Stopped" << std::endl;
    return lost ? kExitFailed : kExitOk;
}

std::optional<uint16_t> windowRemotePort(int argc, char** argv) {
    // Single-dash arguments (and their values) belong to Qt and are passed over.
    std::optional<uint16_t> port;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg != "--remote" && !arg.starts_with("--remote=")) {
            if (arg.starts_with("--") || arg == "-h")
                return std::nullopt;
            continue;
        }
        std::optional<std::string_view> text;
        if (arg.starts_with("--remote="))
            text = arg.substr(9);
        else if (i + 1 < argc && argv[i + 1] && *argv[i + 1] &&
                 std::string_view(argv[i + 1]).find_first_not_of("0123456789") ==
                     std::string_view::npos)
            text = argv[++i];
        port = 0;
        if (text) {
            const auto number = parseId(*text);
            if (!number || *number < 1 || *number > 65535)
                return std::nullopt;  // runCommandLine says what is wrong
            port = static_cast<uint16_t>(*number);
        }
    }
    return port;
}

int runCommandLine(int argc, char** argv) {
    try {
        std::vector<std::string_view> args;
        for (int i = 1; i < argc; ++i)
            if (argv[i])
                args.emplace_back(argv[i]);
        const CommandLine line = parseCommandLine(args);
        // A slow sound server is said at once, not after the wait.
        platform::setServerWaitListener([](const platform::ServerWaitState& state) {
            std::cerr << kProgramName << ": " << serverWaitMessage(state, "uk") << std::endl;
        });
        switch (line.action) {
            case CommandLine::Action::Help:
                printUsage(std::cout);
                return kExitOk;
            case CommandLine::Action::Version:
                std::cout << kApplicationTitle << '\n';
                return kExitOk;
            case CommandLine::Action::ListDevices:
                printDeviceLists(std::cout);
                return kExitOk;
            case CommandLine::Action::Headless:
                return runHeadless(line, std::cout, std::cerr);
            case CommandLine::Action::FindDelay:
                return finder::runFindDelay(line.findDelayRadio, line.findDelayTv, std::cout,
                                            std::cerr);
            case CommandLine::Action::Window:
                std::cerr << kProgramName << ": no command-line action given; run without "
                          << "arguments for the window, or see --help\n";
                return kExitBadUsage;
            case CommandLine::Action::Error:
                break;
        }
        std::cerr << kProgramName << ": " << line.error << "\nTry '" << kProgramName
                  << " --help' for more information.\n";
        return kExitBadUsage;
    } catch (const std::exception& e) {
        std::cerr << kProgramName << ": " << e.what() << '\n';
    } catch (...) {
        std::cerr << kProgramName << ": unexpected failure\n";
    }
    return kExitFailed;
}

}  // namespace una::app

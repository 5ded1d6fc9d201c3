#pragma once
// The library's diagnostic log: time-stamped lines appended to a text file, the screen (standard
// error) and/or a callback. Off until setInfoMessageMode turns it on. Safe from any thread: one
// process-wide lock serialises mode changes and lines.

#include <chrono>
#include <string>
#include <string_view>

namespace una {

// Receives each message (without time stamp) while it is set.
using unaLogProc = void (*)(std::string_view message);

struct unaLogMode {
    std::string fileName;  // empty: no file
    bool toScreen = false;
    bool toFile = false;
    unaLogProc proc = nullptr;
};

// Sets where lines go and writes the mode header there. logName: empty means the program's path
// with the extension "log", "<NONE>" (any case) no file, "<>" the current file.
void setInfoMessageMode(std::string_view logName, bool toScreen, bool toFile,
                        unaLogProc proc = nullptr);
unaLogMode infoMessageMode();

// Logs one line. False when it went nowhere (log off) or the file could not be written.
bool infoMessage(std::string_view message);

// "dd.mm.yyyy hh:mm:ss.mmm message" and CR LF, the time in UTC.
std::string formatLogLine(std::chrono::system_clock::time_point when, std::string_view message);

}  // namespace una

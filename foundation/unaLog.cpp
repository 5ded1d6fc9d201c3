#include "foundation/unaLog.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "foundation/unaConvert.h"
#include "foundation/unaText.h"
#include "platform/fileHandle.h"
#include "platform/programPath.h"

namespace una {

namespace {

std::mutex& logLock() {
    static std::mutex lock;
    return lock;
}

unaLogMode& mode() {
    static unaLogMode current;  // "<none>", nothing on: the program writes no log
    return current;
}

std::string twoDigits(int v) {
    return padStr(int2str(v), 2, '0', false, true);
}

// Caller holds logLock.
bool writeLine(const unaLogMode& m, std::string_view message) {
    bool reached = false;
    if (m.proc != nullptr) {
        m.proc(message);
        reached = true;
    }
    const bool toFile = m.toFile && !m.fileName.empty();
    if (!m.toScreen && !toFile)
        return reached;
    const std::string line = formatLogLine(std::chrono::system_clock::now(), message);
    if (m.toScreen) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        reached = true;
    }
    if (toFile) {
        platform::FileHandle file;
        if (!file.open(m.fileName, platform::FileAccess::readWrite,
                       platform::FileCreation::createIfMissing) ||
            file.seek(0, platform::SeekOrigin::end) < 0 ||
            file.write(line.data(), line.size()) != static_cast<int64_t>(line.size()))
            return false;
        reached = true;
    }
    return reached;
}

}  // namespace

std::string formatLogLine(std::chrono::system_clock::time_point when, std::string_view message) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int millis = static_cast<int>(ms - seconds * 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    std::string line = twoDigits(utc.tm_mday) + "." + twoDigits(utc.tm_mon + 1) + "." +
                       int2str(utc.tm_year + 1900) + " " + twoDigits(utc.tm_hour) + ":" +
                       twoDigits(utc.tm_min) + ":" + twoDigits(utc.tm_sec) + "." +
                       padStr(int2str(millis), 3, '0', false, true) + " ";
    line.append(message);
    line.append("\r\n");
    return line;
}

void setInfoMessageMode(std::string_view logName, bool toScreen, bool toFile, unaLogProc proc) {
    std::lock_guard guard(logLock());
    unaLogMode& m = mode();
    if (logName.empty()) {
        const std::string program = platform::executablePath();
        m.fileName = program.empty() ? std::string() : changeFileExt(program, "log");
    } else if (sameString(logName, "<NONE>", false))
        m.fileName.clear();
    else if (logName != "<>")
        m.fileName = std::string(logName);
    m.toScreen = toScreen;
    m.toFile = toFile;
    m.proc = proc;

    writeLine(m, "-- setInfoMessageMode() ---------");
    writeLine(m, "LOGFILE    =" + m.fileName);
    writeLine(m, "LOGTOSCREEN=" + bool2str(toScreen));
    writeLine(m, "LOGTOFILE  =" + bool2str(toFile));
    writeLine(m, "LOGPROC    =" + uint2str(reinterpret_cast<uintptr_t>(proc), 16));
    writeLine(m, "--");
}

unaLogMode infoMessageMode() {
    std::lock_guard guard(logLock());
    return mode();
}

bool infoMessage(std::string_view message) {
    std::lock_guard guard(logLock());
    return writeLine(mode(), message);
}

}  // namespace una

#include "foundation/unaIniFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "foundation/unaConvert.h"
#include "foundation/unaFiles.h"
#include "foundation/unaText.h"
#include "platform/fileHandle.h"
#include "platform/programPath.h"
#include "platform/threadIdentity.h"

namespace una {

namespace {

enum class LineKind { blank, section, comment, key, other };

struct Line {
    size_t start = 0;
    size_t textEnd = 0;  // before the line break
    size_t end = 0;      // after it
    LineKind kind = LineKind::blank;
    std::string_view name;   // section or key, trimmed
    std::string_view value;  // trimmed
};

std::vector<Line> splitLines(std::string_view content) {
    std::vector<Line> lines;
    size_t at = 0;
    while (at < content.size()) {
        Line line;
        line.start = at;
        size_t end = at;
        while (end < content.size() && content[end] != '\r' && content[end] != '\n')
            ++end;
        line.textEnd = end;
        if (end < content.size()) {
            end += (content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n')
                       ? 2
                       : 1;
        }
        line.end = end;
        const std::string_view text = trimView(content.substr(at, line.textEnd - at));
        if (text.empty()) {
            line.kind = LineKind::blank;
        } else if (text.front() == '[') {
            line.kind = LineKind::section;
            const size_t close = text.find(']');
            // An unclosed bracket still opens a section: the rest of the line names it.
            line.name =
                trimView(text.substr(1, close == std::string_view::npos ? text.npos : close - 1));
        } else if (text.front() == ';') {
            line.kind = LineKind::comment;
        } else if (const size_t eq = text.find('='); eq != std::string_view::npos) {
            line.kind = LineKind::key;
            line.name = trimView(text.substr(0, eq));
            line.value = trimView(text.substr(eq + 1));
        } else {
            line.kind = LineKind::other;
        }
        lines.push_back(line);
        at = end;
    }
    return lines;
}

// Index of the header of section, lines.size() when there is none.
size_t findSection(const std::vector<Line>& lines, std::string_view section) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].kind == LineKind::section && sameString(lines[i].name, section))
            return i;
    return lines.size();
}

// One past the last line of the section whose header is at index header.
size_t sectionEnd(const std::vector<Line>& lines, size_t header) {
    size_t i = header + 1;
    while (i < lines.size() && lines[i].kind != LineKind::section)
        ++i;
    return i;
}

// One past the last non-blank line of the section: where its new lines go, so the blank lines
// that set it off from the next section stay where they are.
size_t sectionBodyEnd(const std::vector<Line>& lines, size_t header) {
    size_t end = sectionEnd(lines, header);
    while (end > header + 1 && lines[end - 1].kind == LineKind::blank)
        --end;
    return end;
}

bool hasBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

bool usableSection(std::string_view section) {
    return !hasBreak(section) && section.find(']') == std::string_view::npos;
}

bool usableKey(std::string_view key) {
    return !key.empty() && !hasBreak(key) && key.find('=') == std::string_view::npos &&
           key.front() != '[' && key.front() != ';';
}

// Inserts text (whole lines ending in CR LF) after the line at index, or at the start.
void insertAfter(std::string& content, const std::vector<Line>& lines, size_t count,
                 std::string_view text) {
    if (count == 0) {
        content.insert(0, text);
        return;
    }
    const Line& last = lines[count - 1];
    if (last.end == last.textEnd) {  // the file's last line has no break yet
        std::string withBreak = "\r\n";
        withBreak.append(text);
        content.insert(last.end, withBreak);
    } else {
        content.insert(last.end, text);
    }
}

void appendSection(std::string& content, std::string_view section, std::string_view body) {
    if (!content.empty() && content.back() != '\n' && content.back() != '\r')
        content.append("\r\n");
    content.append("[");
    content.append(section);
    content.append("]\r\n");
    content.append(body);
}

bool isAbsolute(std::string_view path) {
    return !path.empty() && path.front() == '/';
}

std::string programName(std::string_view executablePath) {
    std::string name(executablePath.substr(extractFilePath(executablePath).size()));
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name.empty() ? std::string("una") : name;
}

std::string envOr(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::optional<std::string> iniReadValue(std::string_view content, std::string_view section,
                                        std::string_view key) {
    key = trimView(key);
    if (key.empty())
        return std::nullopt;
    const std::vector<Line> lines = splitLines(content);
    const size_t header = findSection(lines, section);
    if (header == lines.size())
        return std::nullopt;
    const size_t end = sectionEnd(lines, header);
    for (size_t i = header + 1; i < end; ++i)
        if (lines[i].kind == LineKind::key && sameString(lines[i].name, key, false))
            return std::string(lines[i].value.substr(0, kIniMaxValue));
    return std::nullopt;
}

std::string iniReadSection(std::string_view content, std::string_view section) {
    std::string out;
    const std::vector<Line> lines = splitLines(content);
    const size_t header = findSection(lines, section);
    if (header == lines.size())
        return out;
    const size_t end = sectionEnd(lines, header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines[i].kind != LineKind::key)
            continue;
        const size_t size = lines[i].name.size() + 1 + lines[i].value.size() + 2;
        if (out.size() + size > kIniMaxSection)
            break;
        out.append(lines[i].name);
        out.push_back('=');
        out.append(lines[i].value);
        out.append("\r\n");
    }
    return out;
}

bool iniWriteValue(std::string& content, std::string_view section, std::string_view key,
                   std::string_view value) {
    key = trimView(key);
    if (!usableKey(key) || !usableSection(section))
        return false;
    std::string line(key);
    line.push_back('=');
    for (const char c : value)
        line.push_back(c == '\r' || c == '\n' ? ' ' : c);

    const std::vector<Line> lines = splitLines(content);
    const size_t header = findSection(lines, section);
    if (header == lines.size()) {
        appendSection(content, section, line + "\r\n");
        return true;
    }
    const size_t end = sectionEnd(lines, header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines[i].kind == LineKind::key && sameString(lines[i].name, key, false)) {
            content.replace(lines[i].start, lines[i].textEnd - lines[i].start, line);
            return true;
        }
    }
    insertAfter(content, lines, sectionBodyEnd(lines, header), line + "\r\n");
    return true;
}

bool iniWriteSection(std::string& content, std::string_view section, std::string_view text) {
    if (!usableSection(section))
        return false;
    std::string body;
    for (const Line& line : splitLines(text.substr(0, kIniMaxSection))) {
        const std::string_view raw = text.substr(line.start, line.textEnd - line.start);
        if (line.kind == LineKind::blank || line.kind == LineKind::section)
            continue;
        body.append(raw);
        body.append("\r\n");
    }
    const std::vector<Line> lines = splitLines(content);
    const size_t header = findSection(lines, section);
    if (header == lines.size()) {
        appendSection(content, section, body);
        return true;
    }
    const size_t bodyEnd = sectionBodyEnd(lines, header);
    const size_t from = lines[header].end;
    const size_t to = lines[bodyEnd - 1].end;
    if (lines[header].end == lines[header].textEnd && !body.empty())
        body.insert(0, "\r\n");
    content.replace(from, to - from, body);
    return true;
}

unaIniChoice chooseIniFile(const unaIniLocation& location) {
    const std::string beside = changeFileExt(location.executablePath, "ini");
    const bool haveProgram = !location.executablePath.empty();
    if (haveProgram && (location.fileBesideProgramExists || location.programFolderWritable))
        return {beside, false};
    std::string base;
    if (isAbsolute(location.xdgConfigHome))
        base = location.xdgConfigHome;
    else if (isAbsolute(location.home))
        base = addBackSlash(location.home) + ".config";
    if (base.empty())
        return {haveProgram ? beside : std::string(), false};
    const std::string name = programName(location.executablePath);
    return {addBackSlash(base) + name + "/" + name + ".ini", true};
}

unaIniLocation currentIniLocation() {
    unaIniLocation location;
    location.executablePath = platform::executablePath();
    location.xdgConfigHome = envOr("XDG_CONFIG_HOME");
    location.home = envOr("HOME");
    if (!location.executablePath.empty()) {
        const std::string folder = extractFilePath(location.executablePath);
        location.programFolderWritable = !folder.empty() && ::access(folder.c_str(), W_OK) == 0;
        location.fileBesideProgramExists =
            fileExists(changeFileExt(location.executablePath, "ini"));
    }
    return location;
}

// --- unaIniAbstractStorage ---

unaIniAbstractStorage::unaIniAbstractStorage(std::string_view section, uint32_t lockTimeout)
    : lockTimeout(lockTimeout),
      section(section.empty() ? std::string(" ") : std::string(section)) {}

bool unaIniAbstractStorage::selectSection(std::string_view name) {
    unaGateGuard guard(gate, lockTimeout);
    if (!guard)
        return false;
    section = name.empty() ? std::string(" ") : std::string(name);
    return true;
}

std::string unaIniAbstractStorage::getSection() {
    unaGateGuard guard(gate, lockTimeout);
    return guard ? section : std::string();
}

bool unaIniAbstractStorage::enter(std::string_view sectionName, std::string* previousSection,
                                  uint32_t timeoutMs) {
    if (!gate.enter(timeoutMs == 0 ? lockTimeout : timeoutMs))
        return false;
    if (!sectionName.empty()) {
        if (previousSection != nullptr)
            *previousSection = section;
        section = std::string(sectionName);
    }
    return true;
}

void unaIniAbstractStorage::leave(std::string_view restoreSection) {
    if (!restoreSection.empty() && gate.owningThread() == platform::currentThreadId())
        section = std::string(restoreSection);
    gate.leave();
}

std::string unaIniAbstractStorage::getString(std::string_view key, std::string_view defaultValue) {
    std::string value;
    readValue(key, defaultValue, value);
    return value;
}

uint32_t unaIniAbstractStorage::getInt(std::string_view key, uint32_t defaultValue) {
    return static_cast<uint32_t>(getInt64(key, defaultValue));
}

int64_t unaIniAbstractStorage::getInt64(std::string_view key, int64_t defaultValue) {
    const std::string text = getString(key);
    return text.empty() ? defaultValue : str2int64(text, 10, false, defaultValue);
}

bool unaIniAbstractStorage::getBool(std::string_view key, bool defaultValue) {
    return static_cast<uint32_t>(getInt64(key, defaultValue ? 1 : 0)) != 0;
}

void unaIniAbstractStorage::setString(std::string_view key, std::string_view value) {
    writeValue(key, value);
}

void unaIniAbstractStorage::setInt(std::string_view key, int32_t value) {
    writeValue(key, int2str(value));
}

void unaIniAbstractStorage::setUInt(std::string_view key, uint32_t value) {
    writeValue(key, uint2str(value));
}

void unaIniAbstractStorage::setInt64(std::string_view key, int64_t value) {
    writeValue(key, int2str(value));
}

void unaIniAbstractStorage::setBool(std::string_view key, bool value) {
    writeValue(key, value ? "-1" : "0");
}

// --- unaIniFile ---

unaIniFile::unaIniFile(std::string_view fileName, bool resolveRelative, uint32_t lockTimeout,
                       std::string_view section)
    : unaIniAbstractStorage(section, lockTimeout) {
    // Trimmed first, so a blank name means the program's file rather than the current folder.
    std::string name = trim(fileName);
    if (resolveRelative && !name.empty() && name.find_first_of(":\\/") == std::string::npos)
        name = addBackSlash(platform::currentDirectory()) + name;
    if (name.empty()) {
        const unaIniChoice choice = chooseIniFile(currentIniLocation());
        name = choice.fileName;
        createFolder_ = choice.createFolder;
    }
    fileName_ = std::move(name);
}

unaIniFile::unaIniFile(const unaIniChoice& choice, uint32_t lockTimeout, std::string_view section)
    : unaIniAbstractStorage(section, lockTimeout),
      fileName_(choice.fileName),
      createFolder_(choice.createFolder) {}

std::optional<std::string> unaIniFile::load() const {
    platform::FileHandle file;
    if (fileName_.empty() ||
        !file.open(fileName_, platform::FileAccess::read, platform::FileCreation::existing))
        return std::nullopt;
    std::string content;
    char buffer[16384];
    for (;;) {
        const int64_t got = file.read(buffer, sizeof buffer);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        content.append(buffer, static_cast<size_t>(got));
    }
    return content;
}

namespace {

// Writes content to the open temporary file fd and renames it over target; the temporary
// file is gone afterwards either way. False when any step failed.
bool replaceThroughTemporary(int fd, const std::string& temp, const std::string& target,
                             const std::string& content) {
    bool ok = true;
    size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), target.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

}  // namespace

// The file is replaced through a temporary file and a rename, so a crash halfway leaves the
// old settings whole, and two copies of the program writing at once leave one copy's whole
// file, never a mix; where no temporary file can be made, it is written in place.
bool unaIniFile::store(const std::string& content) const {
    if (fileName_.empty())
        return false;
    struct stat info {};
    if (::stat(fileName_.c_str(), &info) != 0) {
        if (createFolder_)
            forceDirectories(extractFilePath(fileName_));
        // Created with the usual permissions (0666 less the umask), as a plain create would.
        static std::atomic<uint32_t> counter{0};
        const std::string temp = fileName_ + "." + std::to_string(::getpid()) + "." +
                                 std::to_string(counter.fetch_add(1)) + ".new";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return replaceThroughTemporary(fd, temp, fileName_, content);
        return writeToFile(fileName_, content.data(), static_cast<uint32_t>(content.size())) ==
               kFileOk;
    }
    if (!S_ISREG(info.st_mode))
        return false;

    std::string target = fileName_;
    if (char* real = ::realpath(fileName_.c_str(), nullptr)) {
        target = real;  // keep a symbolic link a link
        std::free(real);
    }
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd >= 0) {
        if (::fchmod(fd, info.st_mode & 07777) != 0) {
            ::close(fd);
            ::unlink(temp.c_str());
        } else if (replaceThroughTemporary(fd, temp, target, content)) {
            return true;
        }
    }

    platform::FileHandle file;
    return file.open(target, platform::FileAccess::readWrite, platform::FileCreation::existing) &&
           file.write(content.data(), content.size()) == static_cast<int64_t>(content.size()) &&
           file.truncate(static_cast<int64_t>(content.size()));
}

bool unaIniFile::readValue(std::string_view key, std::string_view defaultValue,
                           std::string& value) {
    value.clear();
    unaGateGuard guard(gate, lockTimeout);
    if (!guard)
        return false;
    const std::optional<std::string> content = load();
    std::optional<std::string> found;
    if (content)
        found = iniReadValue(*content, section, key);
    value = found ? std::move(*found) : std::string(defaultValue);
    return true;
}

// Takes the gate as well: the read-modify-write of the file and the current section must not
// interleave with another thread's.
bool unaIniFile::writeValue(std::string_view key, std::string_view value) {
    unaGateGuard guard(gate, lockTimeout);
    if (!guard)
        return false;
    std::string content = load().value_or(std::string());
    return iniWriteValue(content, section, key, value) && store(content);
}

bool unaIniFile::readSection(std::string_view sectionName, std::string& text) {
    text.clear();
    unaGateGuard guard(gate, lockTimeout);
    if (!guard)
        return false;
    if (const std::optional<std::string> content = load())
        text = iniReadSection(*content, sectionName);
    return true;
}

bool unaIniFile::writeSection(std::string_view sectionName, std::string_view text) {
    unaGateGuard guard(gate, lockTimeout);
    if (!guard)
        return false;
    std::string content = load().value_or(std::string());
    return iniWriteSection(content, sectionName, text) && store(content);
}

}  // namespace una

#pragma once
// Named values in ini-format text: "[section]" lines opening sections, "key=value" lines, names
// matched without regard to case. unaIniAbstractStorage keeps the current section and the typed
// conversions; unaIniFile reads and writes a file on every call, nothing cached.
//
// Threading: any thread may call. The gate (lockTimeout, 1000 ms by default) serialises section
// changes, reads and writes; a caller that needs several keys of one section while others use
// the storage brackets them with enter/leave.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/unaGate.h"
#include "foundation/unaObject.h"

namespace una {

inline constexpr size_t kIniMaxValue = 16383;    // characters of one value read
inline constexpr size_t kIniMaxSection = 16384;  // bytes of a section read or written at once

// --- Operations on ini text in memory (what unaIniFile does to its file's contents) ---

// The trimmed value of key in section; none when either is missing. At most 16383 characters.
std::optional<std::string> iniReadValue(std::string_view content, std::string_view section,
                                        std::string_view key);
// The key=value lines of section, each followed by CR LF, whole lines up to 16384 bytes; empty
// when the section is missing or has none.
std::string iniReadSection(std::string_view content, std::string_view section);
// Sets key in section, replacing the key's line or adding it (and the section) with CR LF;
// every other line stays byte for byte. Line breaks in value become spaces. False, content
// unchanged, for a key or section that cannot be written as one line.
bool iniWriteValue(std::string& content, std::string_view section, std::string_view key,
                   std::string_view value);
// Replaces the lines of section with the non-blank lines of text (at most 16384 bytes of it),
// each ending in CR LF; a line that would open a section is left out. False for an unusable
// section name.
bool iniWriteSection(std::string& content, std::string_view section, std::string_view text);

// --- Where the program's own settings file lives ---

// The facts the choice of the default settings file depends on.
struct unaIniLocation {
    std::string executablePath;
    std::string xdgConfigHome;  // $XDG_CONFIG_HOME, may be empty
    std::string home;           // $HOME, may be empty
    bool programFolderWritable = false;
    bool fileBesideProgramExists = false;
};

struct unaIniChoice {
    std::string fileName;
    bool createFolder = false;  // the folder may be missing: make it on the first write
};

// Beside the program (its path with the extension "ini") when that folder is writable or the
// file is already there; otherwise <config home>/<program>/<program>.ini, the config home being
// an absolute $XDG_CONFIG_HOME or else $HOME/.config.
unaIniChoice chooseIniFile(const unaIniLocation& location);
// The facts for the running program.
unaIniLocation currentIniLocation();

// --- Storage ---

class unaIniAbstractStorage : public unaObject {
  public:
    explicit unaIniAbstractStorage(std::string_view section = "settings",
                                   uint32_t lockTimeout = 1000);

    // Makes name (" " for empty) the current section; false, section kept, when the gate is busy.
    bool selectSection(std::string_view name);
    // The current section; empty when the gate is busy.
    std::string getSection();

    // Takes the gate (timeoutMs 0: lockTimeout) and, for a non-empty sectionName, reports the
    // current section and selects the new one. False, nothing changed, when the gate is busy.
    bool enter(std::string_view sectionName = {}, std::string* previousSection = nullptr,
               uint32_t timeoutMs = 0);
    // Selects restoreSection when not empty and releases the gate.
    void leave(std::string_view restoreSection = {});

    // The key's text; defaultValue when it is missing, empty text when the gate is busy.
    std::string getString(std::string_view key, std::string_view defaultValue = {});
    // The key's number in base 10, low 32 bits; defaultValue when missing or not a number.
    uint32_t getInt(std::string_view key, uint32_t defaultValue = 0);
    int64_t getInt64(std::string_view key, int64_t defaultValue = 0);
    // True for a number other than 0; defaultValue when missing or not a number.
    bool getBool(std::string_view key, bool defaultValue = false);

    // Writes at once; a failed write is silent.
    void setString(std::string_view key, std::string_view value);
    void setInt(std::string_view key, int32_t value);
    void setUInt(std::string_view key, uint32_t value);
    void setInt64(std::string_view key, int64_t value);
    void setBool(std::string_view key, bool value);  // "-1" or "0"

    // Under the gate; false when it is busy (value then empty).
    virtual bool readValue(std::string_view key, std::string_view defaultValue,
                           std::string& value) = 0;
    // The key in the current section, written at once; false when it could not be written.
    virtual bool writeValue(std::string_view key, std::string_view value) = 0;
    // False when the gate is busy (text then empty).
    virtual bool readSection(std::string_view sectionName, std::string& text) = 0;
    // False when it could not be written.
    virtual bool writeSection(std::string_view sectionName, std::string_view text) = 0;

    uint32_t lockTimeout;

  protected:
    unaInProcessGate gate;
    std::string section;  // guarded by gate
};

class unaIniFile : public unaIniAbstractStorage {
  public:
    // A relative plain name (no ":", "\" or "/") is put in the current folder when
    // resolveRelative is set; an empty name means the program's own settings file.
    explicit unaIniFile(std::string_view fileName = {}, bool resolveRelative = true,
                        uint32_t lockTimeout = 1000, std::string_view section = "settings");

    // A file placed by chooseIniFile.
    unaIniFile(const unaIniChoice& choice, uint32_t lockTimeout = 1000,
               std::string_view section = "settings");

    const std::string& fileName() const { return fileName_; }

    bool readValue(std::string_view key, std::string_view defaultValue,
                   std::string& value) override;
    bool writeValue(std::string_view key, std::string_view value) override;
    bool readSection(std::string_view sectionName, std::string& text) override;
    bool writeSection(std::string_view sectionName, std::string_view text) override;

  private:
    std::optional<std::string> load() const;
    bool store(const std::string& content) const;

    std::string fileName_;
    bool createFolder_ = false;
};

}  // namespace una

#pragma once
// The main window's choices kept between runs, with their sections, keys, defaults and stored
// forms. The window fills its widgets from a loaded MainSettings and gathers them back before
// saving; the headless mode reads the same file. Not thread-safe: one owner at a time (the
// ini file itself serialises its reads and writes).

#include <cstdint>
#include <string>
#include <string_view>

#include "audio/unaWaveFormat.h"

namespace una {
class unaIniAbstractStorage;
}

namespace una::app {

// The window's design size; stored bounds smaller than this are not applied.
inline constexpr uint32_t kMinStoredWidth = 600;
inline constexpr uint32_t kMinStoredHeight = 460;

struct MainSettings {
    // "waveOut"
    int32_t outDeviceId = -1;
    std::string outDeviceName;  // the device's stable key; empty: none stored
    unaPcmFormat outFormat{44100, 16, 2};
    std::string outFileName;  // kept only to be written back as read
    // "waveIn"
    int32_t inDeviceId = -1;
    std::string inDeviceName;
    unaPcmFormat inFormat{44100, 16, 2};
    std::string inFileName;
    bool saveToFile = false;
    std::string saveEncoding = "pcm";  // "saveEncoding": see saveEncoding.h; others read as PCM
    // "delay": "delaysec" holds milliseconds despite its name.
    int64_t delayMs = 4;
    // "delayms": a found, tapped or preset delay kept to the millisecond, which "delaysec"
    // (read back to the edit's tenth) would lose; 0 for none. Loaded only while it agrees with
    // "delaysec", so a "delaysec" changed by hand or by an older version wins.
    uint32_t exactDelayMs = 0;
    // "form"
    std::string language;
    uint32_t width = 3;  // raw stored values; see widthApplies/heightApplies
    uint32_t height = 3;
    int32_t left = 4;
    int32_t top = 4;
    // "main"
    std::string initialSaveDir = ".\\";
    std::string site;  // the web site's address; read, never written
    // "skin"
    std::string skin;
    // "sync": the input that hears the TV (its stable key) and whether to follow it; the
    // section is written only once such an input was chosen.
    std::string syncDeviceName;
    bool syncFollow = false;

    // Compared unsigned, so a negative stored size counts as large and is applied.
    bool widthApplies() const { return width >= kMinStoredWidth; }
    bool heightApplies() const { return height >= kMinStoredHeight; }
    // What the delay edit gets before its exit rule runs: the stored milliseconds / 1000.
    double delaySeconds() const { return static_cast<double>(delayMs) / 1000.0; }
    // The stored form of an edit value: seconds times 1000 as a whole number.
    static int64_t delayMsFromSeconds(double seconds);

    // Reads every key in the window's order ("waveOut", "waveIn", "delay", "form", "main",
    // "skin"); a missing key or an unreadable number gives the default above. A busy ini gate
    // gives empty texts and defaults.
    void load(unaIniAbstractStorage& ini);
    // Writes "waveOut", "waveIn" (then "saveToFile"), "delay", "form" and "skin" in that order.
    // "main" is not written here: it changes only when a file is chosen (saveInitialSaveDir).
    // Failed writes are silent.
    void save(unaIniAbstractStorage& ini) const;

    // The one immediate write: "initialSaveDir" in "main" when the user has chosen a file.
    static void saveInitialSaveDir(unaIniAbstractStorage& ini, std::string_view folder);
};

}  // namespace una::app

#pragma once
// The texts and counters of the main window's 200 ms tick: the memory panel, the version panel,
// the banner line index and the four level bars. Pure functions except heapBytesInUse and the
// locale overload of memoryPanelText, which read process state; all are safe from any thread.

#include <cstdint>
#include <string>

namespace una::app {

inline constexpr uint32_t kBannerLines = 8;
inline constexpr int32_t kMeterMax = 300;

// Bytes the program's heap has handed out and not taken back (glibc's mallinfo2: in-use arena
// bytes plus memory-mapped blocks); 0 when the C library cannot tell.
uint64_t heapBytesInUse();

// "Mem: " + (bytes >> 10) with its digits grouped in threes by separator + " KB".
std::string memoryPanelText(uint64_t heapBytes, char thousandSeparator);
// The same for the program right now, grouped by the user locale's thousands separator.
std::string memoryPanelText();

// "V." followed by the version in its shortest decimal form: 1.0 gives "V.1".
std::string versionPanelText(double programVersion);

// Adds 3 to captionPhase (wrapping at 2^32) and returns the banner line to show now,
// (captionPhase >> 7) & 7.
uint32_t nextBannerLine(uint32_t& captionPhase);

// The bar position for a device's measured volume (0 for a closed device's -1, 0-301).
int32_t meterPosition(int32_t volume);

}  // namespace una::app

#pragma once
// Counting and describing the sound card's recording and playback devices, over the
// process-wide sound card. Safe from any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/unaWaveFormat.h"
#include "platform/soundCard.h"

namespace una {

using unaWaveCaps = platform::WaveCaps;

// 0 when the card has none.
uint32_t getInDeviceCount();
uint32_t getOutDeviceCount();

// Capabilities of a device (kWaveMapper, -1, is the preferred one); false when the card
// refuses, caps then unchanged.
bool getInDeviceCaps(int32_t deviceId, unaWaveCaps& caps);
bool getOutDeviceCaps(int32_t deviceId, unaWaveCaps& caps);

// The mapper's entry, then devices 0..n-1 (entry i is device i - 1), with their whole names
// and stable keys, read in one go.
std::vector<platform::DeviceInfo> getInDeviceList();
std::vector<platform::DeviceInfo> getOutDeviceList();

// The card's recording text for code; mmErrorText when the card has none.
std::string getInErrorText(MmResult code);
// "<code> (<card's playback text>)"; mmErrorText when the card has none.
std::string getOutErrorText(MmResult code);

}  // namespace una

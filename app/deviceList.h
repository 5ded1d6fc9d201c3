#pragma once
// The entries of the two device lists and the rules that pick their selected item. Item i
// names platform device i - 1, so item 0 is always the wave mapper, and each item carries the
// device number plus 10 as its data. Safe from any thread; the device functions read the
// process-wide sound card afresh on every call.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/unaWaveDevices.h"
#include "platform/serverWait.h"
#include "platform/soundCard.h"

namespace una::app {

inline constexpr int32_t kDeviceDataOffset = 10;

struct DeviceEntry {
    std::string name;  // the whole name; a made-up "Device N" when the card gives none
    int32_t data = 0;  // device id + 10 (the mapper carries 9)
    std::string key;   // stable between runs ("deviceName" in the settings); empty: the mapper
    bool monitor = false;
};

// Reads the capabilities of one device id; false when the card refused.
using DeviceCapsFn = std::function<bool(int32_t deviceId, unaWaveCaps& caps)>;

// The mapper and then devices 0 .. count - 1, each with its product name (wide text turned
// into UTF-8). With count 0 the list still holds the mapper.
std::vector<DeviceEntry> deviceEntries(uint32_t count, const DeviceCapsFn& readCaps);
// The list for one direction from the sound card, read afresh: whole names and keys.
std::vector<DeviceEntry> deviceEntries(platform::WaveDirection direction);
std::vector<DeviceEntry> deviceEntries(const std::vector<platform::DeviceInfo>& devices);

// What to tell the user about the sound server the card's choice waits or waited for, in the
// language given ("es", "uk"); empty for ServerWait::None.
std::string serverWaitMessage(const platform::ServerWaitState& state, std::string_view language);

// The item of the device with that key; -1 when none has it (or the key is empty).
int32_t indexOfKey(const std::vector<DeviceEntry>& entries, const std::string& key);

// The item a stored choice selects at start: by its key when one was stored and is present,
// by the id rule of selectionIndex when no key was stored (settings of older versions). A
// stored key that is missing selects the mapper and sets missing, so the user can be told;
// the stored values themselves stay until the user chooses.
struct StoredChoice {
    int32_t index = 0;
    bool missing = false;
};
StoredChoice chooseStored(const std::vector<DeviceEntry>& entries, const std::string& storedKey,
                          int32_t storedId);

// The item to select for a stored id: item 0 for -1, else min(id + 1, itemCount - 1), so an id
// beyond the present devices selects the last one. 0 for an empty list or an id below -1.
int32_t selectionIndex(int32_t storedId, int32_t itemCount);

// The stored id for a chosen item (index - 1), and the device id an item's data stands for.
inline int32_t deviceIdFromIndex(int32_t index) { return index - 1; }
inline int32_t deviceIdFromData(int32_t data) { return data - kDeviceDataOffset; }

// Wide product names (at most 31 characters) as UTF-8.
std::string productNameText(const std::wstring& name);

}  // namespace una::app

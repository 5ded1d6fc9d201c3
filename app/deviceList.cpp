#include "app/deviceList.h"

#include <algorithm>

#include "app/texts.h"
#include "foundation/unaConvert.h"

namespace una::app {

std::string serverWaitMessage(const platform::ServerWaitState& state, std::string_view language) {
    switch (state.wait) {
        case platform::ServerWait::None:
            break;
        case platform::ServerWait::Waiting:
            return msg(Msg::ServerWaiting, language,
                       {state.server, std::to_string(platform::kServerWaitMs / 1000)});
        case platform::ServerWait::Answered:
            return msg(Msg::ServerAnswered, language);
        case platform::ServerWait::NotAnswering:
            return msg(Msg::ServerNotAnswering, language, {state.server});
        case platform::ServerWait::NotThere:
            return msg(Msg::ServerNotThere, language, {state.server});
    }
    return {};
}

std::string productNameText(const std::wstring& name) {
    std::string text;
    for (const wchar_t wc : name) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::vector<DeviceEntry> deviceEntries(uint32_t count, const DeviceCapsFn& readCaps) {
    std::vector<DeviceEntry> entries;
    entries.reserve(static_cast<size_t>(count) + 1);
    for (int64_t id = -1; id < static_cast<int64_t>(count); ++id) {
        const int32_t deviceId = static_cast<int32_t>(id);
        unaWaveCaps caps;
        DeviceEntry entry;
        if (readCaps && readCaps(deviceId, caps))
            entry.name = productNameText(caps.name);
        // A device without a readable name still needs something the user can tell apart.
        if (entry.name.empty())
            entry.name = deviceId < 0 ? "Wave mapper" : "Device " + int2str(deviceId);
        entry.data = deviceId + kDeviceDataOffset;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<DeviceEntry> deviceEntries(const std::vector<platform::DeviceInfo>& devices) {
    std::vector<DeviceEntry> entries;
    entries.reserve(std::max<size_t>(devices.size(), 1));
    for (size_t i = 0; i < devices.size(); ++i) {
        const int32_t deviceId = static_cast<int32_t>(i) - 1;
        DeviceEntry entry{devices[i].description, deviceId + kDeviceDataOffset, devices[i].key,
                          devices[i].monitor};
        if (entry.name.empty())
            entry.name = deviceId < 0 ? "Wave mapper" : "Device " + int2str(deviceId);
        entries.push_back(std::move(entry));
    }
    if (entries.empty())
        entries.push_back({"Wave mapper", platform::kWaveMapper + kDeviceDataOffset, {}, false});
    return entries;
}

std::vector<DeviceEntry> deviceEntries(platform::WaveDirection direction) {
    return deviceEntries(direction == platform::WaveDirection::output ? getOutDeviceList()
                                                                      : getInDeviceList());
}

int32_t indexOfKey(const std::vector<DeviceEntry>& entries, const std::string& key) {
    if (key.empty())
        return -1;
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].key == key)
            return static_cast<int32_t>(i);
    return -1;
}

StoredChoice chooseStored(const std::vector<DeviceEntry>& entries, const std::string& storedKey,
                          int32_t storedId) {
    const auto count = static_cast<int32_t>(entries.size());
    if (storedKey.empty())
        return {selectionIndex(storedId, count), false};
    const int32_t found = indexOfKey(entries, storedKey);
    if (found >= 0)
        return {found, false};
    return {0, true};
}

int32_t selectionIndex(int32_t storedId, int32_t itemCount) {
    if (itemCount <= 0 || storedId < 0)
        return 0;
    return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(storedId) + 1, itemCount - 1));
}

}  // namespace una::app

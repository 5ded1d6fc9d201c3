#include "audio/unaWaveDevices.h"

namespace una {

namespace {

using platform::WaveDirection;

bool readCaps(WaveDirection direction, int32_t deviceId, unaWaveCaps& caps) {
    unaWaveCaps got;
    if (platform::soundCard()->caps(direction, deviceId, got) != kMmResultOk)
        return false;
    // The device name field holds 31 characters and the terminator.
    if (got.name.size() > platform::kWaveCapsNameMax)
        got.name.resize(platform::kWaveCapsNameMax);
    caps = std::move(got);
    return true;
}

// The card's texts come from a 129-character buffer: at most 128 characters survive.
constexpr size_t kErrorTextMax = 128;

std::optional<std::string> cardText(WaveDirection direction, MmResult code) {
    auto text = platform::soundCard()->errorText(direction, code);
    if (text && text->size() > kErrorTextMax)
        text->resize(kErrorTextMax);
    return text;
}

}  // namespace

uint32_t getInDeviceCount() {
    return platform::soundCard()->deviceCount(WaveDirection::input);
}

uint32_t getOutDeviceCount() {
    return platform::soundCard()->deviceCount(WaveDirection::output);
}

bool getInDeviceCaps(int32_t deviceId, unaWaveCaps& caps) {
    return readCaps(WaveDirection::input, deviceId, caps);
}

bool getOutDeviceCaps(int32_t deviceId, unaWaveCaps& caps) {
    return readCaps(WaveDirection::output, deviceId, caps);
}

std::vector<platform::DeviceInfo> getInDeviceList() {
    return platform::soundCard()->deviceList(WaveDirection::input);
}

std::vector<platform::DeviceInfo> getOutDeviceList() {
    return platform::soundCard()->deviceList(WaveDirection::output);
}

std::string getInErrorText(MmResult code) {
    if (auto text = cardText(WaveDirection::input, code))
        return *text;
    return mmErrorText(code);
}

std::string getOutErrorText(MmResult code) {
    if (auto text = cardText(WaveDirection::output, code))
        return std::to_string(code) + " (" + *text + ")";
    return mmErrorText(code);
}

}  // namespace una

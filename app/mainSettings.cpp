#include "app/mainSettings.h"

#include <cmath>

#include "app/delayValue.h"
#include "app/site.h"
#include "foundation/unaConvert.h"
#include "foundation/unaIniFile.h"
#include "foundation/unaText.h"

namespace una::app {

namespace {

constexpr std::string_view kExactDelayKey = "delayms";

void loadSide(unaIniAbstractStorage& ini, int32_t& deviceId, std::string& deviceName,
              unaPcmFormat& format, std::string& fileName) {
    deviceId = static_cast<int32_t>(ini.getInt("deviceId", static_cast<uint32_t>(-1)));
    deviceName = ini.getString("deviceName", "");
    format.samplesPerSec = ini.getInt("pcmSamplesPerSecond", 44100);
    format.bitsPerSample = ini.getInt("pcmBitsPerSample", 16);
    format.channels = ini.getInt("pcmNumChannels", 2);
    fileName = trim(ini.getString("fileName", ""));
}

void saveSide(unaIniAbstractStorage& ini, int32_t deviceId, const std::string& deviceName,
              const unaPcmFormat& format, const std::string& fileName) {
    ini.setUInt("deviceId", static_cast<uint32_t>(deviceId));
    // A line break would end the value early and start a line of its own in the file.
    ini.setString("deviceName", deviceName.find_first_of("\r\n") == std::string::npos
                                    ? std::string_view(deviceName)
                                    : std::string_view());
    ini.setUInt("pcmSamplesPerSecond", format.samplesPerSec);
    ini.setUInt("pcmBitsPerSample", format.bitsPerSample);
    ini.setUInt("pcmNumChannels", format.channels);
    ini.setString("fileName", fileName);
}

}  // namespace

int64_t MainSettings::delayMsFromSeconds(double seconds) {
    if (!std::isfinite(seconds))
        return 0;
    return static_cast<int64_t>(std::llround(seconds * 1000.0));
}

void MainSettings::load(unaIniAbstractStorage& ini) {
    ini.selectSection("waveOut");
    loadSide(ini, outDeviceId, outDeviceName, outFormat, outFileName);

    ini.selectSection("waveIn");
    loadSide(ini, inDeviceId, inDeviceName, inFormat, inFileName);
    saveToFile = ini.getBool("saveToFile", false);
    saveEncoding = ini.getString("saveEncoding", "pcm");

    ini.selectSection("delay");
    delayMs = ini.getInt64("delaysec", 4);
    const int64_t exact = ini.getInt64(kExactDelayKey, 0);
    exactDelayMs = 0;
    if (exact >= delayMilliseconds(kMinDelaySeconds) && exact <= delayMilliseconds(kMaxDelaySeconds) &&
        !isWholeTenths(static_cast<uint32_t>(exact)) &&
        delayMilliseconds(delayExitRule(static_cast<double>(exact) / 1000.0).seconds) ==
            delayMilliseconds(delayExitRule(delaySeconds()).seconds))
        exactDelayMs = static_cast<uint32_t>(exact);

    ini.selectSection("form");
    language = ini.getString("language", "");
    width = ini.getInt("width", 3);
    height = ini.getInt("height", 3);
    left = static_cast<int32_t>(ini.getInt("left", 4));
    top = static_cast<int32_t>(ini.getInt("top", 4));

    ini.selectSection("main");
    initialSaveDir = ini.getString("initialSaveDir", ".\\");
    site = trim(ini.getString(kSiteSettingsKey, ""));

    ini.selectSection("skin");
    skin = trim(ini.getString("skin", ""));

    ini.selectSection("sync");
    syncDeviceName = ini.getString("deviceName", "");
    syncFollow = ini.getBool("follow", false);
}

void MainSettings::save(unaIniAbstractStorage& ini) const {
    ini.selectSection("waveOut");
    saveSide(ini, outDeviceId, outDeviceName, outFormat, outFileName);

    ini.selectSection("waveIn");
    saveSide(ini, inDeviceId, inDeviceName, inFormat, inFileName);
    ini.setBool("saveToFile", saveToFile);
    ini.setString("saveEncoding", saveEncoding);

    ini.selectSection("delay");
    ini.setString("delaysec", int2str(delayMs));
    // Written once there is something the tenth would lose, and from then on, so an old
    // value never outlives the delay it belonged to.
    if (exactDelayMs != 0 || !ini.getString(kExactDelayKey, "").empty())
        ini.setString(kExactDelayKey, int2str(exactDelayMs != 0 ? exactDelayMs : delayMs));

    ini.selectSection("form");
    ini.setString("language", language);
    ini.setInt("width", static_cast<int32_t>(width));
    ini.setInt("height", static_cast<int32_t>(height));
    ini.setInt("left", left);
    ini.setInt("top", top);

    ini.selectSection("skin");
    ini.setString("skin", skin);

    if (!syncDeviceName.empty() && syncDeviceName.find_first_of("\r\n") == std::string::npos) {
        ini.selectSection("sync");
        ini.setString("deviceName", syncDeviceName);
        ini.setBool("follow", syncFollow);
    }
}

void MainSettings::saveInitialSaveDir(unaIniAbstractStorage& ini, std::string_view folder) {
    ini.selectSection("main");
    ini.setString("initialSaveDir", folder);
}

}  // namespace una::app

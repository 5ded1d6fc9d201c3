#include "remote/remoteSettings.h"

#include "foundation/unaIniFile.h"
#include "remote/remoteAccess.h"

namespace una::remote {

void RemoteSettings::load(unaIniAbstractStorage& ini) {
    ini.selectSection("remote");
    enabled = ini.getBool("enabled", false);
    const uint32_t stored = ini.getInt("port", kDefaultRemotePort);
    port = stored >= 1 && stored <= 65535 ? static_cast<uint16_t>(stored) : kDefaultRemotePort;
    homeNetwork = ini.getBool("homeNetwork", false);
    token = ini.getString("token", "");
}

void RemoteSettings::save(unaIniAbstractStorage& ini) const {
    ini.selectSection("remote");
    ini.setBool("enabled", enabled);
    ini.setUInt("port", port);
    ini.setBool("homeNetwork", homeNetwork);
    ini.setString("token", token);
}

void RemoteSettings::saveToken(unaIniAbstractStorage& ini) const {
    ini.selectSection("remote");
    ini.setString("token", token);
}

bool RemoteSettings::ensureToken() {
    if (isRemoteToken(token))
        return false;
    token = makeRemoteToken();
    return !token.empty();
}

}  // namespace una::remote

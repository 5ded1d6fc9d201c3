#pragma once
// The phone remote's choices kept in the settings file, section "remote": whether it runs, its
// port, whether the home network may reach it, and its key. Not thread-safe: one owner.

#include <cstdint>
#include <string>

namespace una {
class unaIniAbstractStorage;
}

namespace una::remote {

inline constexpr uint16_t kDefaultRemotePort = 8765;

struct RemoteSettings {
    bool enabled = false;       // "enabled": off until the user turns it on
    uint16_t port = kDefaultRemotePort;  // "port"; 0 or out of range reads as the default
    bool homeNetwork = false;   // "homeNetwork": listen on the home network, not only 127.0.0.1
    std::string token;          // "token": 32 hex digits, made on first use

    // Missing or unreadable keys give the defaults above.
    void load(unaIniAbstractStorage& ini);
    void save(unaIniAbstractStorage& ini) const;
    // Only the key: a run turned on from the command line leaves the other choices alone.
    void saveToken(unaIniAbstractStorage& ini) const;

    // Makes a key when there is none (or the stored one is not a key this program makes);
    // true when it did, so the caller saves. False, with the key empty, when the system's
    // random source gave nothing.
    bool ensureToken();
};

}  // namespace una::remote

#include "remote/remoteAccess.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <array>
#include <cstdio>

namespace una::remote {

std::string makeRemoteToken() {
    std::array<unsigned char, 16> bytes{};
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0)
            return {};
        got += static_cast<size_t>(n);
    }
    std::string token;
    for (unsigned char byte : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        token += hex;
    }
    return token;
}

bool isRemoteToken(const std::string& text) {
    if (text.size() != 32)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool isHomeNetworkAddress(uint32_t address) {
    return (address >> 24) == 10 || (address >> 20) == ((172u << 4) | 1u) ||
           (address >> 16) == ((192u << 8) | 168u);
}

std::optional<std::string> homeNetworkAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<std::string> found;
    for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET ||
            !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (!isHomeNetworkAddress(ntohl(address.s_addr)))
            continue;
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &address, text, sizeof text))
            found = text;
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace una::remote

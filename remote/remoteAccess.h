#pragma once
// Who may reach the phone remote: the key in its address, and the address it listens on.
// Pure functions apart from the system's random source and interface list; any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace una::remote {

// 128 random bits from the kernel as 32 lowercase hex digits; empty when the kernel gives
// none (then the remote must stay off rather than run with a guessable key).
std::string makeRemoteToken();

// True for a token this program could have made: 32 lowercase hex digits. A stored value that
// is not is replaced, so a hand-edited "1234" cannot become the key.
bool isRemoteToken(const std::string& text);

// True for an IPv4 address (host order) of a home network: 10/8, 172.16/12, 192.168/16.
bool isHomeNetworkAddress(uint32_t address);

// The first home network address of an interface that is up, dotted ("192.168.1.20"); none
// when the computer has none.
std::optional<std::string> homeNetworkAddress();

}  // namespace una::remote

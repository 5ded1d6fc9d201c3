#pragma once
// Memory figures of this process from the kernel's own account.

#include <cstring>
#include <fstream>
#include <string>

// A size line of /proc/self/status ("VmRSS:", "VmHWM:") in bytes; -1 when it is not there.
inline long long statusBytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(status, line))
        if (line.compare(0, keyLength, key) == 0)
            return std::stoll(line.substr(keyLength + 1)) * 1024;
    return -1;
}

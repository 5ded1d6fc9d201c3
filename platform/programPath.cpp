#include "platform/programPath.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

std::string executablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(n));
        if (buffer.size() >= 65536)
            return {};
        buffer.resize(buffer.size() * 2);  // the link may have been cut short
    }
}

std::string currentDirectory() {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr)
            return std::string(buffer.data());
        if (errno != ERANGE || buffer.size() >= 65536)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform

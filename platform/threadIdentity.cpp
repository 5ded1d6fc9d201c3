#include "platform/threadIdentity.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace platform {

uint32_t currentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

void nameCurrentThread(const char* name) {
    char cut[16] = {};
    std::snprintf(cut, sizeof cut, "%s", name);
    pthread_setname_np(pthread_self(), cut);
}

void nameCurrentThreadAfter(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    if (const size_t colon = name.rfind("::"); colon != std::string::npos)
        name.erase(0, colon + 2);
    if (name.rfind("una", 0) == 0 && name.size() > 3)
        name.erase(0, 3);
    nameCurrentThread(name.c_str());
}

}  // namespace platform

#pragma once
// Waiting in tests for what another thread makes true.

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace una {

// Polls the condition every millisecond; false when it is still not true after ms.
inline bool eventually(const std::function<bool()>& condition, int64_t ms = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace una

#pragma once
// The library's millisecond clock: a monotonic high-resolution mark and the time since it.

#include <chrono>
#include <cstdint>

namespace una {

// A point on the monotonic clock, in its own units (nanoseconds here).
inline int64_t markTime() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Whole milliseconds since a mark taken with markTime.
inline int64_t elapsedMs(int64_t mark) {
    return (markTime() - mark) / 1'000'000;
}

}  // namespace una

#pragma once
// Small facts about the calling thread that the standard library does not give as numbers.

#include <cstdint>

namespace platform {

// The kernel's id of the calling thread; never 0.
uint32_t currentThreadId();

}  // namespace platform

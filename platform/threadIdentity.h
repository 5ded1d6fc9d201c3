#pragma once
// Small facts about the calling thread that the standard library does not give as numbers.

#include <cstdint>
#include <typeinfo>

namespace platform {

// The kernel's id of the calling thread; never 0.
uint32_t currentThreadId();

// Names the calling thread (the kernel keeps 15 characters).
void nameCurrentThread(const char* name);

// Names the calling thread after a class ("una::unaWaveInDevice" -> "WaveInDevice", cut to the
// kernel's 15 characters), so `top -H` and the benchmarks tell the workers apart.
void nameCurrentThreadAfter(const std::type_info& type);

}  // namespace platform

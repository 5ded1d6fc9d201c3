#pragma once
// Thread priorities on the system scheduler. The values are the library's: 15 time-critical,
// 2 highest, 1 above normal, 0 normal, -1 below normal, -2 lowest, -15 idle; values in
// between go to the nearest of those below them in strength.

#include <cstdint>

namespace platform {

// Applies a priority to the live thread with the given kernel id. Time-critical asks for the
// real-time round-robin scheduler and falls back to the strongest nice value; the others use
// the normal scheduler with a nice value. False when the system refuses (or no such thread).
bool applyThreadPriority(uint32_t threadId, int32_t priority);

// The nice value a priority maps to on the normal scheduler (-20 strongest, 19 weakest).
int niceValueFor(int32_t priority);

}  // namespace platform

#pragma once
// RealtimeKit (org.freedesktop.RealtimeKit1 on the system bus), the desktop's broker that
// gives an ordinary user's threads real-time scheduling or a strong nice value within its
// limits, as PulseAudio and PipeWire ask it. Spoken to with sd-bus. Safe from any thread: each
// call opens its own short connection (the requests are rare: once per audio thread start).

#include <cstdint>
#include <string>

namespace platform {

// Makes a thread of this process (kernel id) real-time round-robin at the priority, capped at
// the broker's maximum; the priority granted goes to *granted. Lowers this process's
// RLIMIT_RTTIME to the broker's limit first, as the broker demands. False when there is no
// broker or it refuses; *error then says why.
bool realtimeKitMakeRealtime(uint32_t threadId, int32_t priority, int32_t* granted,
                             std::string* error = nullptr);

// Gives a thread of this process the nice value, or the broker's strongest when that is
// weaker; the value granted goes to *granted. False when there is no broker or it refuses.
bool realtimeKitMakeHighPriority(uint32_t threadId, int32_t nice, int32_t* granted,
                                 std::string* error = nullptr);

}  // namespace platform

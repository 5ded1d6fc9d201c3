#pragma once
// Thread priorities on the system scheduler. The values are the library's: 15 time-critical,
// 2 highest, 1 above normal, 0 normal, -1 below normal, -2 lowest, -15 idle; values in
// between go to the nearest of those below them in strength.

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Applies a priority to the live thread with the given kernel id. Time-critical asks for the
// real-time round-robin scheduler; when the system refuses (an ordinary user), RealtimeKit is
// asked for it, then the strongest nice value is tried directly and through RealtimeKit. The
// others use the normal scheduler with a nice value. False when everything was refused (or
// there is no such thread).
bool applyThreadPriority(uint32_t threadId, int32_t priority);

// Runs `work` on a short-lived thread at time-critical priority that the threads it starts
// keep, and waits for it. For opening a device whose driver starts a thread of its own to move
// the audio (ALSA's plugin for the sound server does): that thread is an audio thread too.
// Where the system refuses real time, the strongest nice value it grants is kept instead.
void runWithInheritedTimeCritical(const std::function<void()>& work);

// The nice value a priority maps to on the normal scheduler (-20 strongest, 19 weakest).
int niceValueFor(int32_t priority);

// What the latest time-critical request got; safe from any thread.
struct AudioScheduling {
    enum class Kind {
        NotAsked,          // no thread asked for time-critical yet
        RealTime,          // the system granted the real-time scheduler directly
        RealTimeKit,       // RealtimeKit granted it
        Nice,              // real-time refused; a nice value was granted
        Normal,            // everything refused: the normal scheduler at the default nice
    };
    Kind kind = Kind::NotAsked;
    int32_t value = 0;        // the real-time priority or the nice value granted
    std::string refusal;      // why real-time was refused, when it was
};
AudioScheduling audioScheduling();
// One line for people: "real-time (round-robin, priority 3)", "real-time through RealtimeKit
// (round-robin, priority 3)", "nice -11 through RealtimeKit (real-time refused: ...)", ...
std::string audioSchedulingText(const AudioScheduling& scheduling);

}  // namespace platform

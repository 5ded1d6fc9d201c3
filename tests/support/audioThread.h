#pragma once
// Test code that stands in for one of the program's audio threads (a device's worker, the
// mixing device's timer) runs at the priority those threads ask for. Left at the normal
// priority, it would lose the processor to a build beside it where the program's thread
// would not, and the card would run dry for the test's sake alone.

#include <functional>
#include <thread>

#include "foundation/unaThread.h"
#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"

namespace una {

// Runs work on a thread of its own at time-critical priority and waits for it to end. Where
// the system refuses real time, work runs all the same at what it grants.
inline void runAsAudioThread(const std::function<void()>& work) {
    std::thread thread([&] {
        platform::applyThreadPriority(platform::currentThreadId(), kPriorityTimeCritical);
        work();
    });
    thread.join();
}

}  // namespace una

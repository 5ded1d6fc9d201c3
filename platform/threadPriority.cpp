#include "platform/threadPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cerrno>

namespace platform {

namespace {

constexpr int32_t kTimeCritical = 15;
// Low in the real-time range: above every normal thread, below the system's own helpers.
constexpr int kRealTimePriority = 10;

bool setNice(pid_t tid, int nice) {
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

}  // namespace

int niceValueFor(int32_t priority) {
    if (priority >= kTimeCritical)
        return -20;
    if (priority >= 2)
        return -10;
    if (priority == 1)
        return -5;
    if (priority == 0)
        return 0;
    if (priority == -1)
        return 5;
    if (priority > -15)
        return 10;
    return 19;
}

bool applyThreadPriority(uint32_t threadId, int32_t priority) {
    if (threadId == 0)
        return false;
    const auto tid = static_cast<pid_t>(threadId);
    if (priority >= kTimeCritical) {
        sched_param param{};
        param.sched_priority = kRealTimePriority;
        if (::sched_setscheduler(tid, SCHED_RR, &param) == 0)
            return true;
        if (errno == ESRCH)
            return false;
        return setNice(tid, niceValueFor(priority));
    }
    // Leave real-time scheduling first; a thread may come down from time-critical.
    sched_param param{};
    if (::sched_getscheduler(tid) != SCHED_OTHER &&
        ::sched_setscheduler(tid, SCHED_OTHER, &param) != 0)
        return false;
    return setNice(tid, niceValueFor(priority));
}

}  // namespace platform

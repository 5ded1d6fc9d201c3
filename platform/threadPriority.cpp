#include "platform/threadPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/realtimeKit.h"
#include "platform/threadIdentity.h"

namespace platform {

namespace {

constexpr int32_t kTimeCritical = 15;
// Low in the real-time range: above every normal thread, below the sound server's own
// threads (PulseAudio asks for 5, PipeWire's graph for more). A client above its server makes
// every stream's audio late, its own too: delay chains at 10 beside their servers' sinks at 5
// on two busy cores threw the sinks' timing answers 5-13 ms off.
constexpr int kRealTimePriority = 3;

std::mutex reportMutex;
AudioScheduling lastReport;

void report(AudioScheduling::Kind kind, int32_t value, std::string refusal) {
    std::lock_guard lock(reportMutex);
    lastReport = {kind, value, std::move(refusal)};
}

bool setNice(pid_t tid, int nice) {
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

bool applyTimeCritical(pid_t tid) {
    sched_param param{};
    param.sched_priority = kRealTimePriority;
    // Threads made by an audio thread must not inherit real time.
    if (::sched_setscheduler(tid, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) {
        report(AudioScheduling::Kind::RealTime, kRealTimePriority, {});
        return true;
    }
    if (errno == ESRCH)
        return false;
    std::string refusal = std::string("the system: ") + std::strerror(errno);
    int32_t granted = 0;
    std::string brokerError;
    if (realtimeKitMakeRealtime(static_cast<uint32_t>(tid), kRealTimePriority, &granted,
                                &brokerError)) {
        report(AudioScheduling::Kind::RealTimeKit, granted, {});
        return true;
    }
    refusal += "; RealtimeKit: " + brokerError;
    const int nice = niceValueFor(kTimeCritical);
    if (setNice(tid, nice)) {
        report(AudioScheduling::Kind::Nice, nice, refusal);
        return true;
    }
    if (realtimeKitMakeHighPriority(static_cast<uint32_t>(tid), nice, &granted, nullptr)) {
        report(AudioScheduling::Kind::Nice, granted, refusal + " (nice through RealtimeKit)");
        return true;
    }
    report(AudioScheduling::Kind::Normal, 0, refusal);
    return false;
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
    if (priority >= kTimeCritical)
        return applyTimeCritical(tid);
    // Leave real-time scheduling first; a thread may come down from time-critical.
    sched_param param{};
    if (::sched_getscheduler(tid) != SCHED_OTHER &&
        ::sched_setscheduler(tid, SCHED_OTHER, &param) != 0)
        return false;
    return setNice(tid, niceValueFor(priority));
}

void runWithInheritedTimeCritical(const std::function<void()>& work) {
    std::thread thread([&] {
        sched_param param{};
        param.sched_priority = kRealTimePriority;
        // RealtimeKit grants real time only with reset-on-fork, so it is no use here.
        if (::sched_setscheduler(0, SCHED_RR, &param) != 0)
            setNice(static_cast<pid_t>(currentThreadId()), niceValueFor(kTimeCritical));
        work();
    });
    thread.join();
}

AudioScheduling audioScheduling() {
    std::lock_guard lock(reportMutex);
    return lastReport;
}

std::string audioSchedulingText(const AudioScheduling& s) {
    const std::string why = s.refusal.empty() ? "" : " (real-time refused by " + s.refusal + ")";
    switch (s.kind) {
        case AudioScheduling::Kind::NotAsked:
            return "not asked for yet";
        case AudioScheduling::Kind::RealTime:
            return "real-time (round-robin, priority " + std::to_string(s.value) + ")";
        case AudioScheduling::Kind::RealTimeKit:
            return "real-time through RealtimeKit (round-robin, priority " +
                   std::to_string(s.value) + ")";
        case AudioScheduling::Kind::Nice:
            return "normal scheduler at nice " + std::to_string(s.value) + why;
        case AudioScheduling::Kind::Normal:
            return "normal scheduler, default nice" + why;
    }
    return {};
}

}  // namespace platform

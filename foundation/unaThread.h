#pragma once
// Restartable worker threads. One unaThread object may be started and stopped many times;
// each start creates one OS thread that runs `execute` until it returns.
//
// Threading: `start`, `stop` and destruction are the owner's and run under the thread's gate;
// `execute`, `startIn` and `startOut` run on the worker, which reaches the object only through
// its slot in a process-wide table (acquire/release under the table's own gate), so a destroyed
// object is never called. `wakeUp`, `setPriority` and the getters are safe from any thread.
//
// Destruction stops the worker with the default stop time-out and then waits for it without
// limit, so an `execute` that ignores `shouldStop` delays destruction rather than outliving the
// members it uses. Only a worker that destroys its own object is left to finish on its own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "foundation/unaEvent.h"
#include "foundation/unaGate.h"
#include "foundation/unaObject.h"

namespace una {

// Thread priorities, in the values the rest of the library stores.
inline constexpr int32_t kPriorityIdle = -15;
inline constexpr int32_t kPriorityLowest = -2;
inline constexpr int32_t kPriorityBelowNormal = -1;
inline constexpr int32_t kPriorityNormal = 0;
inline constexpr int32_t kPriorityAboveNormal = 1;
inline constexpr int32_t kPriorityHighest = 2;
inline constexpr int32_t kPriorityTimeCritical = 15;

// Thread status values.
inline constexpr int32_t kThreadStopped = 0;
inline constexpr int32_t kThreadStopping = 1;
inline constexpr int32_t kThreadRunning = 3;
inline constexpr int32_t kThreadStarting = 4;

inline constexpr uint32_t kThreadSlotCount = 1025;

class unaThread : public unaObject {
  public:
    // Claims a free slot; raises unaAbort when all 1025 are in use or the slot table's gate
    // stays busy for 1000 ms.
    explicit unaThread(bool createActive = false, int32_t priority = kPriorityNormal);
    ~unaThread() override;

    void afterConstruction() override;  // start (10000) when createActive
    void beforeDestruction()
        override;  // stop (-1), then keeps the worker's state alive until it ends

    // True when the status afterwards is running or starting; false when the gate stayed busy.
    bool start(uint32_t timeoutMs = 10000);
    // True when the status afterwards is stopped or stopping; -1 means defaultStopTimeout.
    // Never kills the worker. From inside `execute` it only posts the request.
    bool stop(uint32_t timeoutMs = kInfinite, bool force = false);

    int32_t getStatus() const;
    bool shouldStop() const;
    uint32_t getThreadId() const;  // 0 while no worker exists
    // What the last finished worker returned: execute's result, -1 when it raised; 0 before.
    int32_t getExitCode() const;
    int32_t getPriority() const;
    // While running, applied to the live thread first; when the system refuses, the stored
    // value stays as it was.
    void setPriority(int32_t priority);

    bool enter(uint32_t timeoutMs) { return gate_.enter(timeoutMs); }
    void leave() { gate_.leave(); }

    // For the worker: waits on the wake event; true when woken, false on time-out.
    bool sleepThis(uint32_t timeoutMs);
    // Wakes one waiting sleepThis.
    void wakeUp();

    virtual bool isPaused() const { return getStatus() == 2; }
    virtual bool isRunning() const { return getStatus() == kThreadRunning; }

    uint32_t defaultStopTimeout = 3000;
    // Called by the default `execute`; its result is the exit code.
    std::function<int32_t(unaThread&)> onExecute;

    int32_t slotIndex() const { return slotIndex_; }

  protected:
    virtual int32_t execute(int32_t slotIndex);
    virtual bool canStart() { return true; }
    virtual bool canStop() { return true; }
    virtual void startIn() {}
    virtual void startOut() {}

    unaInProcessGate& gate() { return gate_; }

  private:
    friend struct unaThreadWorker;

    void joinWorker();

    int32_t slotIndex_ = -1;
    bool createActive_;
    bool slotReleased_ = false;
    std::thread worker_;  // the last worker started; joined before the next start
    unaInProcessGate gate_;
    unaEvent stoppedEvent_{true, false};
    unaEvent startGateEvent_{false, false};
    unaEvent startedEvent_{false, false};
    unaEvent wakeEvent_{false, false};
};

// The base of periodic timers: start/stop/interval logic and the gate that serialises ticks.
// A subclass creates the platform timer, whose thread calls `timerTick`.
class unaAbstractTimer : public unaObject {
  public:
    explicit unaAbstractTimer(uint32_t intervalMs);
    ~unaAbstractTimer() override;
    // stop (), then waits up to 5 s for a tick still finishing after its handler stopped it.
    void beforeDestruction() override;

    void start();  // timerId := createTimer () when not running
    void stop();   // deleteTimer () when running; afterwards no tick runs
    bool isRunning() const { return timerId_.load() != 0; }
    uint32_t getInterval() const { return interval_.load(); }
    // Restarts a running timer with the new interval (changeInterval may adjust it). When
    // changeInterval raises, the old interval stays and the timer still restarts.
    void setInterval(uint32_t intervalMs);

    // Called by the platform timer on its own thread. A tick that cannot take the gate within
    // half the interval is skipped, so ticks never queue behind a slow handler.
    void timerTick();

    std::function<void(unaAbstractTimer&)> onTimer;

  protected:
    virtual void onTick() {}
    virtual void changeInterval(uint32_t& /*intervalMs*/) {}
    // Creates the platform timer; returns its id, 0 on failure.
    virtual uint32_t createTimer() = 0;
    // Waits up to 5 s for a running tick; subclasses kill the platform timer first.
    virtual void deleteTimer();

    unaInProcessGate& gate() { return gate_; }
    uint32_t timerId() const { return timerId_.load(); }

  private:
    std::atomic<uint32_t> interval_;
    std::atomic<uint32_t> timerId_{0};
    unaInProcessGate gate_;
};

}  // namespace una

#include "foundation/unaThread.h"

#include <array>
#include <new>
#include <system_error>
#include <typeinfo>

#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"

namespace una {

namespace {

constexpr uint32_t kTableGateTimeoutMs = 1000;
constexpr uint32_t kStartGateWaitMs = 2000;

// One worker's view of its thread object. The atomics are read without the table's gate; the
// rest is touched only under it.
struct ThreadSlot {
    int32_t refCount = 0;
    std::atomic<int32_t> status{kThreadStopped};
    std::atomic<int32_t> priority{kPriorityNormal};
    std::atomic<bool> shouldStop{false};
    std::atomic<uint32_t> threadId{0};
    std::atomic<int32_t> exitCode{0};
    platform::EventHandle stoppedEvent;
    platform::EventHandle startGateEvent;
    platform::EventHandle startedEvent;
    unaThread* object = nullptr;
    bool busy = false;
    bool released = true;
};

struct SlotTable {
    unaInProcessGate gate;  // the library's global gate
    std::array<ThreadSlot, kThreadSlotCount> slots;
    std::array<bool, kThreadSlotCount> inUse{};
};

// Workers may still be finishing while static objects are destroyed at exit, so the table is
// never destroyed.
SlotTable& table() {
    union Holder {
        Holder() { new (&value) SlotTable(); }
        ~Holder() {}
        SlotTable value;
    };
    static Holder holder;
    return holder.value;
}

ThreadSlot& slotAt(int32_t index) {
    return table().slots[static_cast<size_t>(index)];
}

// Takes the slot's last reference when the count reaches zero and frees it for reuse.
void dropReference(int32_t index) {
    ThreadSlot& slot = slotAt(index);
    if (slot.refCount > 1) {
        --slot.refCount;
        return;
    }
    slot.refCount = 0;
    slot.stoppedEvent.reset();
    slot.startGateEvent.reset();
    slot.startedEvent.reset();
    slot.object = nullptr;
    table().inUse[static_cast<size_t>(index)] = false;
}

// The object's side of giving up its slot: a worker inside a call keeps the pointer but makes
// no further call once the slot is marked released.
void releaseSlotForObject(int32_t index) {
    unaGateGuard guard(table().gate, kInfinite);
    ThreadSlot& slot = slotAt(index);
    if (!slot.busy)
        slot.object = nullptr;
    slot.released = true;
    dropReference(index);
}

}  // namespace

// The worker's side of the slot protocol. Every call into the object is bracketed by
// acquire/release, and an object that has released its slot is never called again.
struct unaThreadWorker {
    struct Start {
        int32_t slotIndex;
        platform::EventHandle stoppedEvent;
        platform::EventHandle startGateEvent;
        platform::EventHandle startedEvent;
    };

    // Null when the table's gate stays busy, the object is gone or already in a call.
    static unaThread* acquire(int32_t index, bool ignoreReleased) {
        unaGateGuard guard(table().gate, kTableGateTimeoutMs);
        if (!guard)
            return nullptr;
        ThreadSlot& slot = slotAt(index);
        if (slot.busy || (!ignoreReleased && slot.released) || slot.object == nullptr)
            return nullptr;
        slot.busy = true;
        return slot.object;
    }

    static void release(int32_t index) {
        unaGateGuard guard(table().gate, kInfinite);
        slotAt(index).busy = false;
    }

    // Runs one call into the object when it can be acquired; false when it could not.
    template <class Call>
    static bool withObject(int32_t index, Call&& call) {
        unaThread* object = acquire(index, false);
        if (object == nullptr)
            return false;
        struct Releaser {
            int32_t index;
            ~Releaser() { release(index); }
        } releaser{index};
        call(*object);
        return true;
    }

    static void applyPriority(ThreadSlot& slot, uint32_t tid) {
        // A refusal leaves the thread at the scheduler's default; that is not an error.
        platform::applyThreadPriority(tid, slot.priority.load());
    }

    static void run(Start start) {
        const int32_t index = start.slotIndex;
        ThreadSlot& slot = slotAt(index);
        const uint32_t tid = platform::currentThreadId();
        slot.threadId.store(tid);
        int32_t exitCode = 0;
        bool startedSignalled = false;
        try {
            if (slot.status.load() == kThreadStarting) {
                start.startGateEvent->wait(kStartGateWaitMs);
                const int32_t applied = slot.priority.load();
                applyPriority(slot, tid);
                int32_t expected = kThreadStarting;
                slot.status.compare_exchange_strong(expected, kThreadRunning);
                // setPriority while starting only stores the value; catch up with it.
                if (slot.priority.load() != applied)
                    applyPriority(slot, tid);

                withObject(index, [](unaThread& object) {
                    platform::nameCurrentThreadAfter(typeid(object));
                    object.startIn();
                });
                start.startedEvent->set();
                startedSignalled = true;

                exitCode = -1;
                withObject(index, [&exitCode](unaThread& object) {
                    try {
                        exitCode = object.execute(object.slotIndex_);
                    } catch (...) {
                        exitCode = -1;
                    }
                });
                withObject(index, [](unaThread& object) { object.startOut(); });
            }
        } catch (...) {
            // startIn/startOut must not raise; if one does, the worker still ends properly.
        }
        slot.exitCode.store(exitCode);
        slot.threadId.store(0);
        slot.status.store(kThreadStopped);
        {
            unaGateGuard guard(table().gate, kInfinite);
            dropReference(index);
        }
        // A worker that found itself stopped before it ran still lets its starter go.
        if (!startedSignalled)
            start.startedEvent->set();
        start.stoppedEvent->set();
    }
};

unaThread::unaThread(bool createActive, int32_t priority) : createActive_(createActive) {
    SlotTable& t = table();
    unaGateGuard guard(t.gate, kTableGateTimeoutMs);
    if (!guard)
        throw unaAbort("thread slot table busy");
    for (int32_t i = 0; i < static_cast<int32_t>(kThreadSlotCount); ++i) {
        if (t.inUse[static_cast<size_t>(i)])
            continue;
        t.inUse[static_cast<size_t>(i)] = true;
        ThreadSlot& slot = t.slots[static_cast<size_t>(i)];
        slot.refCount = 1;
        slot.busy = false;
        slot.status.store(kThreadStopped);
        slot.priority.store(priority);
        slot.shouldStop.store(false);
        slot.threadId.store(0);
        slot.exitCode.store(0);
        slot.stoppedEvent = stoppedEvent_.handle();
        slot.startGateEvent = startGateEvent_.handle();
        slot.startedEvent = startedEvent_.handle();
        slot.object = this;
        slot.released = false;
        slotIndex_ = i;
        return;
    }
    throw unaAbort("no free thread slot");
}

unaThread::~unaThread() {
    // Reached without beforeDestruction only when the owner deleted the object directly.
    if (!slotReleased_) {
        stop(kInfinite, false);
        releaseSlotForObject(slotIndex_);
        slotReleased_ = true;
    }
    joinWorker();
}

void unaThread::afterConstruction() {
    unaObject::afterConstruction();
    if (createActive_)
        start(10000);
}

void unaThread::beforeDestruction() {
    stop(kInfinite, false);
    releaseSlotForObject(slotIndex_);
    slotReleased_ = true;
    joinWorker();
    unaObject::beforeDestruction();
}

void unaThread::joinWorker() {
    if (!worker_.joinable())
        return;
    if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach();  // the worker destroys its own object; it cannot wait for itself
    else
        worker_.join();
}

bool unaThread::start(uint32_t timeoutMs) {
    ThreadSlot& slot = slotAt(slotIndex_);
    const int32_t status = slot.status.load();
    if (status == kThreadStopped) {
        unaGateGuard guard(gate_, timeoutMs);
        // Re-checked under the gate: two owners starting at once must make one worker.
        if (guard && slot.status.load() == kThreadStopped && canStart()) {
            // The previous worker has set its status; let it finish its last step.
            if (worker_.joinable())
                worker_.join();
            slot.status.store(kThreadStarting);
            startedEvent_.setState(false);
            stoppedEvent_.setState(false);
            slot.shouldStop.store(false);
            startGateEvent_.setState(false);
            wakeEvent_.setState(false);
            {
                unaGateGuard tableGuard(table().gate, kInfinite);
                ++slot.refCount;
            }
            try {
                worker_ = std::thread(
                    &unaThreadWorker::run,
                    unaThreadWorker::Start{slotIndex_, stoppedEvent_.handle(),
                                           startGateEvent_.handle(), startedEvent_.handle()});
            } catch (const std::system_error&) {
                {
                    unaGateGuard tableGuard(table().gate, kInfinite);
                    dropReference(slotIndex_);
                }
                slot.status.store(kThreadStopped);
                return false;
            }
            startGateEvent_.setState(true);
            startedEvent_.waitFor(timeoutMs);
        }
    } else if (status == kThreadStopping) {
        stop(kInfinite, false);
        if (slot.status.load() == kThreadStopped)
            start(10000);
    }
    const int32_t now = slot.status.load();
    return now == kThreadRunning || now == kThreadStarting;
}

bool unaThread::stop(uint32_t timeoutMs, bool force) {
    if (timeoutMs == kInfinite)
        timeoutMs = defaultStopTimeout;
    ThreadSlot& slot = slotAt(slotIndex_);
    int32_t status = slot.status.load();
    // Only a live worker becomes "stopping"; one that has just ended stays stopped.
    while (status == kThreadStopping || status == kThreadRunning || status == kThreadStarting) {
        if (slot.status.compare_exchange_weak(status, kThreadStopping))
            break;
    }
    if (status != kThreadStopped && (force || canStop())) {
        slot.shouldStop.store(true);
        wakeUp();
        if (platform::currentThreadId() != slot.threadId.load()) {
            unaGateGuard guard(gate_, timeoutMs);
            if (guard && timeoutMs > 0 && stoppedEvent_.waitFor(timeoutMs))
                slot.shouldStop.store(false);
        }
    }
    const int32_t now = slot.status.load();
    return now == kThreadStopped || now == kThreadStopping;
}

int32_t unaThread::getStatus() const {
    return slotAt(slotIndex_).status.load();
}

bool unaThread::shouldStop() const {
    return slotAt(slotIndex_).shouldStop.load();
}

uint32_t unaThread::getThreadId() const {
    return slotAt(slotIndex_).threadId.load();
}

int32_t unaThread::getExitCode() const {
    return slotAt(slotIndex_).exitCode.load();
}

int32_t unaThread::getPriority() const {
    return slotAt(slotIndex_).priority.load();
}

void unaThread::setPriority(int32_t priority) {
    ThreadSlot& slot = slotAt(slotIndex_);
    if (priority == slot.priority.load())
        return;
    if (slot.status.load() == kThreadRunning &&
        !platform::applyThreadPriority(slot.threadId.load(), priority))
        return;
    slot.priority.store(priority);
}

bool unaThread::sleepThis(uint32_t timeoutMs) {
    return wakeEvent_.waitFor(timeoutMs);
}

void unaThread::wakeUp() {
    wakeEvent_.setState(true);
}

int32_t unaThread::execute(int32_t /*slotIndex*/) {
    return onExecute ? onExecute(*this) : 0;
}

}  // namespace una

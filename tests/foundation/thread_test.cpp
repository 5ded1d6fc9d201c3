// ctest-labels: threaded
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/unaThread.h"
#include "foundation/unaTime.h"
#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

// What a worker did; kept outside the thread object so it can be read after destruction.
struct Trace {
    std::atomic<int> startIns{0};
    std::atomic<int> runs{0};
    std::atomic<int> startOuts{0};
    std::atomic<bool> executeEnded{false};
    std::atomic<uint32_t> workerTid{0};
    std::atomic<int> niceInStartIn{-100};
};

class Probe : public unaThread {
  public:
    using Body = std::function<int32_t(Probe&)>;
    Probe(bool createActive, Body body, Trace* trace, int32_t priority = kPriorityNormal)
        : unaThread(createActive, priority), body_(std::move(body)), trace_(trace) {}

    std::vector<int> scratch = std::vector<int>(1024, 0);

  protected:
    void startIn() override {
        trace_->workerTid = platform::currentThreadId();
        trace_->niceInStartIn = ::getpriority(PRIO_PROCESS, trace_->workerTid.load());
        ++trace_->startIns;
    }
    int32_t execute(int32_t) override {
        ++trace_->runs;
        const int32_t code = body_ ? body_(*this) : 0;
        trace_->executeEnded = true;
        return code;
    }
    void startOut() override { ++trace_->startOuts; }

  private:
    Body body_;
    Trace* trace_;
};

// Sleeps until asked to stop, like a device loop; exit code 7.
int32_t politeLoop(Probe& self) {
    while (!self.shouldStop())
        self.sleepThis(1000);
    return 7;
}

bool waitForStatus(const unaThread& thread, int32_t status, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (thread.getStatus() != status) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(Thread, CreateActiveIsRunningWhenMadeAndStopWakesTheSleeper) {
    Trace trace;
    auto thread = make<Probe>(true, politeLoop, &trace);
    EXPECT_EQ(thread->getStatus(), kThreadRunning);
    EXPECT_TRUE(thread->isRunning());
    EXPECT_EQ(trace.startIns.load(), 1) << "startIn runs before start returns";
    EXPECT_NE(thread->getThreadId(), 0u);
    EXPECT_NE(thread->getThreadId(), platform::currentThreadId());

    const int64_t mark = markTime();
    EXPECT_TRUE(thread->stop());
    EXPECT_LT(elapsedMs(mark), 900) << "the sleeper is woken, not waited out";
    EXPECT_EQ(thread->getStatus(), kThreadStopped);
    EXPECT_FALSE(thread->shouldStop()) << "cleared once the worker finished in time";
    EXPECT_EQ(thread->getExitCode(), 7);
    EXPECT_EQ(trace.startOuts.load(), 1);
    EXPECT_EQ(thread->getThreadId(), 0u);
    EXPECT_TRUE(thread->stop()) << "stopping a stopped thread still reports stopped";
}

TEST(Thread, NotActiveUntilStartedAndRestartable) {
    Trace trace;
    auto thread = make<Probe>(false, politeLoop, &trace);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(thread->getStatus(), kThreadStopped);
    EXPECT_EQ(trace.runs.load(), 0);
    for (int run = 1; run <= 3; ++run) {
        ASSERT_TRUE(thread->start());
        EXPECT_EQ(thread->getStatus(), kThreadRunning);
        ASSERT_TRUE(thread->stop());
        EXPECT_EQ(thread->getStatus(), kThreadStopped);
        EXPECT_EQ(trace.runs.load(), run);
        EXPECT_EQ(trace.startIns.load(), run);
        EXPECT_EQ(trace.startOuts.load(), run);
    }
}

TEST(Thread, StartTwiceMakesOneWorkerEvenFromTwoOwners) {
    Trace trace;
    auto thread = make<Probe>(false, politeLoop, &trace);
    EXPECT_TRUE(thread->start());
    const uint32_t firstTid = thread->getThreadId();
    EXPECT_TRUE(thread->start());
    EXPECT_EQ(thread->getThreadId(), firstTid);
    ASSERT_TRUE(thread->stop());
    EXPECT_EQ(trace.runs.load(), 1);

    std::atomic<int> trueResults{0};
    std::vector<std::thread> owners;
    for (int i = 0; i < 4; ++i)
        owners.emplace_back([&] { trueResults += thread->start() ? 1 : 0; });
    for (auto& owner : owners)
        owner.join();
    EXPECT_EQ(trueResults.load(), 4);
    ASSERT_TRUE(thread->stop());
    EXPECT_EQ(trace.runs.load(), 2) << "concurrent starts made more than one worker";
}

TEST(Thread, StubbornWorkerIsLeftStoppingAndStartWaitsForIt) {
    Trace trace;
    std::atomic<bool> letGo{false};
    std::atomic<int> sessions{0};
    auto thread = make<Probe>(
        false,
        [&](Probe& self) {
            if (++sessions == 1) {
                while (!letGo)
                    std::this_thread::sleep_for(5ms);
                return 0;
            }
            return politeLoop(self);
        },
        &trace);
    ASSERT_TRUE(thread->start());

    const int64_t mark = markTime();
    EXPECT_TRUE(thread->stop(500)) << "stopping counts as stopped for the caller";
    const int64_t waited = elapsedMs(mark);
    EXPECT_GE(waited, 450);
    EXPECT_LT(waited, 2500);
    EXPECT_EQ(thread->getStatus(), kThreadStopping);
    EXPECT_TRUE(thread->shouldStop()) << "the request stays posted";

    // start on a stopping thread repeats the stop and starts only once the old worker ended.
    std::thread releaser([&] {
        std::this_thread::sleep_for(200ms);
        letGo = true;
    });
    EXPECT_TRUE(thread->start());
    releaser.join();
    EXPECT_EQ(thread->getStatus(), kThreadRunning);
    EXPECT_FALSE(thread->shouldStop()) << "a new start clears the old request";
    ASSERT_TRUE(thread->stop());
    EXPECT_EQ(sessions.load(), 2);
    EXPECT_EQ(trace.startOuts.load(), 2);
}

TEST(Thread, StopFromInsideExecuteOnlyPostsTheRequest) {
    Trace trace;
    std::atomic<int64_t> stopTookMs{-1};
    std::atomic<bool> stopResult{false};
    std::atomic<bool> sawShouldStop{false};
    auto thread = make<Probe>(
        false,
        [&](Probe& self) {
            const int64_t mark = markTime();
            stopResult = self.stop();
            stopTookMs = elapsedMs(mark);
            sawShouldStop = self.shouldStop();
            return 3;
        },
        &trace);
    thread->defaultStopTimeout = 5000;
    thread->start();
    ASSERT_TRUE(waitForStatus(*thread, kThreadStopped));
    EXPECT_TRUE(stopResult.load());
    EXPECT_GE(stopTookMs.load(), 0);
    EXPECT_LT(stopTookMs.load(), 1000) << "the worker waited for itself";
    EXPECT_TRUE(sawShouldStop.load());
    EXPECT_EQ(thread->getExitCode(), 3);
}

TEST(Thread, ExceptionFromExecuteGivesMinusOneAndTheThreadLivesOn) {
    Trace trace;
    std::atomic<bool> raise{true};
    auto thread = make<Probe>(
        false,
        [&](Probe& self) -> int32_t {
            if (raise)
                throw std::runtime_error("worker failed");
            return politeLoop(self);
        },
        &trace);
    thread->start();
    ASSERT_TRUE(waitForStatus(*thread, kThreadStopped));
    EXPECT_EQ(thread->getExitCode(), -1);
    EXPECT_EQ(trace.startOuts.load(), 1) << "startOut still runs after a failed execute";

    raise = false;
    ASSERT_TRUE(thread->start());
    ASSERT_TRUE(thread->stop());
    EXPECT_EQ(thread->getExitCode(), 7);
}

TEST(Thread, DefaultExecuteCallsTheHandlerAndSleepReportsWaking) {
    auto thread = make<unaThread>(false);
    std::atomic<int> calls{0};
    std::atomic<bool> timedOut{true};
    std::atomic<bool> woken{false};
    thread->onExecute = [&](unaThread& self) {
        ++calls;
        timedOut = !self.sleepThis(20);
        woken = self.sleepThis(10000);
        return 11;
    };
    const int64_t mark = markTime();
    ASSERT_TRUE(thread->start());
    std::this_thread::sleep_for(100ms);
    thread->wakeUp();
    ASSERT_TRUE(waitForStatus(*thread, kThreadStopped));
    EXPECT_LT(elapsedMs(mark), 5000);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(timedOut.load());
    EXPECT_TRUE(woken.load());
    EXPECT_EQ(thread->getExitCode(), 11);

    auto bare = make<unaThread>(false);
    bare->start();
    ASSERT_TRUE(waitForStatus(*bare, kThreadStopped));
    EXPECT_EQ(bare->getExitCode(), 0) << "no handler: exit code 0";
}

// The worker keeps writing into a member of the derived object after the stop time-out has
// passed; destruction must wait for it (AddressSanitizer reports the write otherwise).
TEST(Thread, DestructionWaitsForARunningExecuteAndSkipsStartOut) {
    Trace trace;
    std::atomic<bool> destroying{false};
    auto thread = make<Probe>(
        false,
        [&](Probe& self) {
            while (!destroying)
                self.sleepThis(5);
            for (int i = 0; i < 40; ++i) {
                std::this_thread::sleep_for(5ms);
                for (int& cell : self.scratch)
                    ++cell;
            }
            return 0;
        },
        &trace);
    thread->defaultStopTimeout = 50;
    ASSERT_TRUE(thread->start());
    destroying = true;
    thread.reset();
    EXPECT_TRUE(trace.executeEnded.load()) << "destruction returned before execute ended";
    EXPECT_EQ(trace.startIns.load(), 1);
    EXPECT_EQ(trace.startOuts.load(), 0) << "a released object was called after execute";
}

TEST(Thread, DestroyedWhileStoppedOrStoppingFreesItsSlot) {
    Trace trace;
    auto thread = make<Probe>(false, politeLoop, &trace);
    const int32_t slot = thread->slotIndex();
    thread->start();
    thread.reset();
    EXPECT_EQ(trace.startOuts.load(), 1) << "a worker that stops in time completes normally";
    auto next = make<Probe>(false, politeLoop, &trace);
    EXPECT_EQ(next->slotIndex(), slot) << "the slot of a destroyed thread is reused";
}

TEST(Thread, SlotTableHoldsAtMost1025ThreadsAndReusesFreedSlots) {
    std::vector<unaPtr<unaThread>> threads;
    bool aborted = false;
    try {
        for (uint32_t i = 0; i <= kThreadSlotCount; ++i)
            threads.push_back(make<unaThread>(false));
    } catch (const unaAbort&) {
        aborted = true;
    }
    EXPECT_TRUE(aborted);
    EXPECT_EQ(threads.size(), kThreadSlotCount);

    const int32_t freed = threads[500]->slotIndex();
    threads[500].reset();
    unaPtr<unaThread> again;
    ASSERT_NO_THROW(again = make<unaThread>(false));
    EXPECT_EQ(again->slotIndex(), freed);
    EXPECT_THROW(make<unaThread>(false), unaAbort);

    // A thread object made in a freed slot still works.
    std::atomic<bool> ran{false};
    again->onExecute = [&](unaThread&) {
        ran = true;
        return 0;
    };
    again->start();
    ASSERT_TRUE(waitForStatus(*again, kThreadStopped));
    EXPECT_TRUE(ran.load());
}

TEST(Thread, PriorityIsAppliedAtStartAndToTheLiveThread) {
    Trace trace;
    auto thread = make<Probe>(false, politeLoop, &trace, kPriorityBelowNormal);
    EXPECT_EQ(thread->getPriority(), kPriorityBelowNormal);
    ASSERT_TRUE(thread->start());
    EXPECT_EQ(trace.niceInStartIn.load(), platform::niceValueFor(kPriorityBelowNormal));

    // Weakening a thread is never refused.
    thread->setPriority(kPriorityLowest);
    EXPECT_EQ(thread->getPriority(), kPriorityLowest);
    errno = 0;
    EXPECT_EQ(::getpriority(PRIO_PROCESS, thread->getThreadId()),
              platform::niceValueFor(kPriorityLowest));
    ASSERT_TRUE(thread->stop());

    thread->setPriority(kPriorityIdle);
    EXPECT_EQ(thread->getPriority(), kPriorityIdle) << "stored for the next start";
    ASSERT_TRUE(thread->start());
    EXPECT_EQ(trace.niceInStartIn.load(), platform::niceValueFor(kPriorityIdle));
    ASSERT_TRUE(thread->stop());
}

TEST(ThreadPriority, MapsTheLibraryValuesAndRefusesAMissingThread) {
    EXPECT_EQ(platform::niceValueFor(kPriorityTimeCritical), -20);
    EXPECT_EQ(platform::niceValueFor(kPriorityHighest), -10);
    EXPECT_EQ(platform::niceValueFor(kPriorityAboveNormal), -5);
    EXPECT_EQ(platform::niceValueFor(kPriorityNormal), 0);
    EXPECT_EQ(platform::niceValueFor(kPriorityBelowNormal), 5);
    EXPECT_EQ(platform::niceValueFor(kPriorityLowest), 10);
    EXPECT_EQ(platform::niceValueFor(kPriorityIdle), 19);
    EXPECT_FALSE(platform::applyThreadPriority(0, kPriorityNormal));
    EXPECT_FALSE(platform::applyThreadPriority(0x7FFFFFF0u, kPriorityLowest));
    EXPECT_FALSE(platform::applyThreadPriority(0x7FFFFFF0u, kPriorityTimeCritical));
}

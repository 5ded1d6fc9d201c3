// Prints the cost of an uncontended gate entry and the latency of waking a sleeping worker.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "foundation/unaGate.h"
#include "foundation/unaThread.h"
#include "foundation/unaTime.h"

using namespace una;

namespace {

double enterLeaveNs(unaInProcessGate& gate, uint32_t timeoutMs, int rounds) {
    const int64_t mark = markTime();
    for (int i = 0; i < rounds; ++i) {
        gate.enter(timeoutMs);
        gate.leave();
    }
    return static_cast<double>(markTime() - mark) / rounds;
}

// The worker notes when sleepThis returned; the main thread notes when it called wakeUp.
class Sleeper : public unaThread {
  public:
    std::atomic<int64_t> wokeAt{0};
    std::atomic<int> wakes{0};

  protected:
    int32_t execute(int32_t) override {
        while (!shouldStop()) {
            if (sleepThis(1000) && !shouldStop()) {
                wokeAt.store(markTime());
                wakes.fetch_add(1);
            }
        }
        return 0;
    }
};

}  // namespace

int main() {
    constexpr int kRounds = 5'000'000;
    auto gate = make<unaInProcessGate>();
    gate->enter(kInfinite);
    gate->leave();
    std::printf("gate enter(-1)/leave, uncontended:   %.1f ns\n",
                enterLeaveNs(*gate, kInfinite, kRounds));
    std::printf("gate enter(1000)/leave, uncontended: %.1f ns\n",
                enterLeaveNs(*gate, 1000, kRounds));
    gate->enter(kInfinite);
    std::printf("gate re-entry while held:            %.1f ns\n",
                enterLeaveNs(*gate, 1000, kRounds));
    gate->leave();

    constexpr int kHandOffs = 20'000;
    auto sleeper = make<Sleeper>();
    sleeper->start();
    std::vector<int64_t> latencies;
    latencies.reserve(kHandOffs);
    for (int i = 0; i < kHandOffs; ++i) {
        // Give the worker time to be back inside its wait.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const int before = sleeper->wakes.load();
        const int64_t wokenAt = markTime();
        sleeper->wakeUp();
        while (sleeper->wakes.load() == before)
            std::this_thread::yield();
        latencies.push_back(sleeper->wokeAt.load() - wokenAt);
    }
    sleeper->stop();
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))];
    };
    std::printf(
        "wakeUp -> sleepThis hand-off over %d wakes: median %lld ns, p99 %lld ns, "
        "max %lld ns\n",
        kHandOffs, static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
        static_cast<long long>(latencies.back()));
    return 0;
}

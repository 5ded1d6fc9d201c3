// Prints how late the ticks of a 40 ms multimedia timer arrive against their absolute
// deadlines. Usage: bench_timer_jitter [seconds], 60 by default.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "audio/unaMMTimer.h"
#include "foundation/unaTime.h"

using namespace una;

int main(int argc, char** argv) {
    constexpr uint32_t kIntervalMs = 40;
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const size_t capacity = static_cast<size_t>(seconds) * 1000 / kIntervalMs + 100;
    std::vector<int64_t> ticks(capacity);
    std::atomic<size_t> count{0};

    auto timer = make<unaMMTimer>(1000, 0);
    timer->setInterval(kIntervalMs);
    timer->onTimer = [&](unaAbstractTimer&) {
        const size_t index = count.load(std::memory_order_relaxed);
        if (index < ticks.size()) {
            ticks[index] = markTime();
            count.store(index + 1, std::memory_order_release);
        }
    };
    const int64_t origin = markTime();
    timer->start();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    timer->stop();

    const size_t n = count.load(std::memory_order_acquire);
    if (n == 0) {
        std::printf("no ticks arrived\n");
        return 1;
    }
    std::vector<int64_t> lateness(n);
    for (size_t k = 0; k < n; ++k)
        lateness[k] = ticks[k] - (origin + static_cast<int64_t>(k + 1) * kIntervalMs * 1'000'000);
    const int64_t last = lateness.back();
    std::sort(lateness.begin(), lateness.end());
    const auto us = [](int64_t ns) { return static_cast<double>(ns) / 1000.0; };
    std::printf("%d ms timer over %d s: %zu ticks (%zu expected), system resolution %u ms\n",
                kIntervalMs, seconds, n, static_cast<size_t>(seconds) * 1000 / kIntervalMs,
                timer->periodMs());
    std::printf(
        "lateness: min %.1f us, median %.1f us, p99 %.1f us, max %.1f us; last tick "
        "%.1f us\n",
        us(lateness.front()), us(lateness[n / 2]),
        us(lateness[static_cast<size_t>(0.99 * static_cast<double>(n - 1))]), us(lateness.back()),
        us(last));
    return 0;
}

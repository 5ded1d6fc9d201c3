#pragma once
// The periodic timer that paces real-time software devices: an unaAbstractTimer on the
// platform's timer service, which raises the system timer resolution while it needs it.
//
// Threading: the owner calls start/stop/setInterval; ticks arrive on the service's timer
// thread and run `onTick` and `onTimer` under the timer's gate.

#include <atomic>
#include <cstdint>

#include "foundation/unaThread.h"
#include "platform/periodicTimer.h"

namespace una {

class unaMMTimer : public unaAbstractTimer {
  public:
    // resolution 0 asks for a tenth of the interval. A null service means the system's.
    explicit unaMMTimer(uint32_t intervalMs = 1000, uint32_t resolution = 0,
                        platform::TimerService* service = nullptr);
    ~unaMMTimer() override;  // releases the raised resolution

    uint32_t resolution() const { return resolution_; }
    // The system timer resolution this timer holds raised; 0 when none.
    uint32_t periodMs() const { return periodMs_; }
    uint32_t minPeriod() const { return minPeriod_; }
    uint32_t maxPeriod() const { return maxPeriod_; }

  protected:
    // Raises the resolution the new interval needs; the interval itself is kept. A refused
    // raise leaves none held.
    void changeInterval(uint32_t& intervalMs) override;
    // The platform timer's id; 0 when the service refuses the interval.
    uint32_t createTimer() override;
    void deleteTimer() override;

  private:
    platform::TimerService& service_;
    std::atomic<uint32_t> eventId_{0};
    uint32_t resolution_;
    uint32_t periodMs_ = 0;
    uint32_t minPeriod_;
    uint32_t maxPeriod_;
};

}  // namespace una

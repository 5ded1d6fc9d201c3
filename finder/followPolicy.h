#pragma once
// When to move the delay while following the TV: only when the TV's lag has moved by more
// than kFollowToleranceSeconds, seen with confidence in two measurements in a row that agree
// with each other. A pure rule with no clock and no threads; not thread-safe, one owner
// feeds it.

#include <optional>

#include "finder/delayFinder.h"

namespace una::finder {

inline constexpr double kFollowToleranceSeconds = 0.040;

class FollowPolicy {
  public:
    // expectedLagSeconds: the TV lag the running delay is set for now. Returns the TV lag to
    // set the delay for (the mean of the two measurements), or nullopt to leave it alone. A
    // measurement that is not confident breaks a run, so one wrong lock never moves anything.
    std::optional<double> onMeasurement(const DelayEstimate& estimate, double expectedLagSeconds);
    // Forgets a pending first measurement (the delay was changed by other means).
    void reset() { pending_.reset(); }
    // A change has been seen once and waits for a second measurement (worth taking soon).
    bool awaitingConfirmation() const { return pending_.has_value(); }

  private:
    std::optional<double> pending_;
};

}  // namespace una::finder

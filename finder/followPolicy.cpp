#include "finder/followPolicy.h"

#include <cmath>

namespace una::finder {

std::optional<double> FollowPolicy::onMeasurement(const DelayEstimate& e, double expectedLagSeconds) {
    if (!e.confident || std::abs(e.lagSeconds - expectedLagSeconds) <= kFollowToleranceSeconds) {
        pending_.reset();
        return std::nullopt;
    }
    if (pending_ && std::abs(*pending_ - e.lagSeconds) <= kFollowToleranceSeconds) {
        const double target = (*pending_ + e.lagSeconds) / 2;
        pending_.reset();
        return target;
    }
    pending_ = e.lagSeconds;
    return std::nullopt;
}

}  // namespace una::finder

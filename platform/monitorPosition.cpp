#include "platform/monitorPosition.h"

#include <algorithm>

namespace platform {

double MonitorPosition::add(int64_t ns, int64_t frames, double rate) {
    if (!recent_.empty() && recent_.back().ns > ns)
        reset();
    while (!recent_.empty() && recent_.front().ns < ns - windowNs_)
        recent_.pop_front();
    const auto now = static_cast<double>(frames);
    // The second highest of the recent answers carried to now (the only one while there is
    // one), and never below this answer.
    auto line = [&] {
        double first = -1e300, second = -1e300;
        for (const Answer& a : recent_) {
            const double at = static_cast<double>(a.frames) +
                              static_cast<double>(ns - a.ns) * rate / 1e9;
            second = std::max(second, std::min(first, at));
            first = std::max(first, at);
        }
        return std::max(now, recent_.size() >= 2 ? second : first);
    };
    double at = line();
    if (at - now > static_cast<double>(stepBackNs_) * rate / 1e9) {
        // Too late for a handover: audio lost, or one answer astray. It goes out as it stands,
        // for the caller to judge; several in a row start the line again from them.
        if (++below_ >= kBelowAnswers) {
            while (recent_.size() > kBelowAnswers - 1)
                recent_.pop_front();
            below_ = 0;
        }
        at = now;
    } else {
        below_ = 0;
    }
    recent_.push_back({ns, frames});
    return at;
}

}  // namespace platform

#include "finder/followPolicy.h"

#include <gtest/gtest.h>

namespace una::finder {
namespace {

DelayEstimate sure(double lag) { return {true, lag, 0.8, Problem::None}; }
DelayEstimate unsure(double lag) { return {false, lag, 0.1, Problem::NotClear}; }

TEST(FollowPolicy, MovesOnlyOnTwoAgreeingConfidentMeasurementsInARow) {
    FollowPolicy follow;
    // Within 40 ms of the delay: nothing to do, however often.
    EXPECT_FALSE(follow.onMeasurement(sure(10.030), 10.0));
    EXPECT_FALSE(follow.onMeasurement(sure(9.961), 10.0));
    // A jump seen once is not enough; seen twice, the delay follows to the two's mean.
    EXPECT_FALSE(follow.onMeasurement(sure(13.0), 10.0));
    EXPECT_TRUE(follow.awaitingConfirmation());
    const auto moved = follow.onMeasurement(sure(13.02), 10.0);
    ASSERT_TRUE(moved);
    EXPECT_NEAR(*moved, 13.01, 1e-9);
    // The run starts afresh after a move.
    EXPECT_FALSE(follow.awaitingConfirmation());
    EXPECT_FALSE(follow.onMeasurement(sure(16.0), 13.01));

    // An unsure measurement, or one that agrees with the delay, breaks a run.
    FollowPolicy broken;
    EXPECT_FALSE(broken.onMeasurement(sure(13.0), 10.0));
    EXPECT_FALSE(broken.onMeasurement(unsure(13.0), 10.0));
    EXPECT_FALSE(broken.onMeasurement(sure(13.0), 10.0));
    EXPECT_FALSE(broken.onMeasurement(sure(10.0), 10.0));
    EXPECT_FALSE(broken.onMeasurement(sure(13.0), 10.0));
    // Two confident measurements that disagree with each other move nothing.
    EXPECT_FALSE(broken.onMeasurement(sure(25.0), 10.0));
    EXPECT_TRUE(broken.onMeasurement(sure(25.01), 10.0));
    broken.reset();
    EXPECT_FALSE(broken.onMeasurement(sure(30.0), 25.0));
}

}  // namespace
}  // namespace una::finder

// When a port tries again to open a device that went away, on given times.
#include "ReopenPlan.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace {

const CReopenPlan::Clock::time_point lostAt = CReopenPlan::Clock::time_point() + 1000h;

// The spacing of the tries after a loss when every one of `tries` fails.
std::vector<milliseconds> spacingOfFailedTries(CReopenPlan& plan, int tries)
{
    std::vector<milliseconds> spacing;
    auto previous = lostAt;
    plan.lost(lostAt);
    for (int i = 0; i < tries; ++i) {
        auto at = plan.nextTryAt();
        EXPECT_FALSE(plan.isDue(at - 1ms));
        EXPECT_TRUE(plan.isDue(at));
        spacing.push_back(std::chrono::duration_cast<milliseconds>(at - previous));
        plan.tried(at);
        plan.failed(at);
        previous = at;
    }
    return spacing;
}

TEST(ReopenPlan, FailedTriesAreSpacedFurtherApartUpToFiveSeconds)
{
    CReopenPlan plan;
    EXPECT_EQ(spacingOfFailedTries(plan, 7),
        (std::vector<milliseconds> { 500ms, 1000ms, 2000ms, 4000ms, 5000ms, 5000ms, 5000ms }));
    EXPECT_EQ(CReopenPlan::retryDelay(1000), 5000ms);
}

TEST(ReopenPlan, ALinkThatComesBackStartsTheNextLossFromHalfASecond)
{
    CReopenPlan plan;
    spacingOfFailedTries(plan, 3);
    // Opened, but its link never came up: that try failed too.
    CReopenPlan stillFailing = plan;
    EXPECT_EQ(spacingOfFailedTries(stillFailing, 1), std::vector<milliseconds> { 4000ms });

    plan.succeeded();
    EXPECT_EQ(spacingOfFailedTries(plan, 2), (std::vector<milliseconds> { 500ms, 1000ms }));
}

TEST(ReopenPlan, AWriteMayTryEarlyButNotWithinHalfASecondOfTheLastTry)
{
    CReopenPlan plan;
    spacingOfFailedTries(plan, 3); // the next try is 4 s after the last one
    auto last = plan.nextTryAt() - 4000ms;
    EXPECT_FALSE(plan.mayTryEarly(last + 499ms));
    EXPECT_TRUE(plan.mayTryEarly(last + 500ms));
    EXPECT_FALSE(plan.isDue(last + 500ms));
}

} // namespace

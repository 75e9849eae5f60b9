// The port's time-outs as deadlines, through tables on a fixed start time: what each
// COMMTIMEOUTS record makes of a read or a write, without waiting for any of it.
#include "SerialTimeouts.h"
#include "TableRow.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace {

const SerialClock::time_point start = SerialClock::time_point() + 1000h;

struct ReadCase : CTableRow {
    COMMTIMEOUTS timeouts;
    std::uint32_t count;
    bool returnWhenAny;
    std::optional<milliseconds> total; // after start; none: no limit
    std::optional<milliseconds> gap;
};

class ReadPlanTest : public ::testing::TestWithParam<ReadCase> { };

TEST_P(ReadPlanTest, EndsWhereTheTimeoutsSay)
{
    const ReadCase& entry = GetParam();
    CReadPlan expected;
    expected.returnWhenAny = entry.returnWhenAny;
    if (entry.total)
        expected.totalDeadline = start + *entry.total;
    expected.byteGap = entry.gap;
    EXPECT_EQ(planRead(entry.timeouts, entry.count, start), expected);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, ReadPlanTest,
    ::testing::Values(
        // What a port starts with, and the receiver's 50 ms: any byte ends the read.
        ReadCase { "Defaults", defaultTimeouts, 128, true, 100ms, std::nullopt },
        ReadCase {
            "AnyWithin50ms", { MAXDWORD, MAXDWORD, 50, 0, 0 }, 128, true, 50ms, std::nullopt },
        ReadCase {
            "IntervalOnlyReturnsAtOnce", { MAXDWORD, 0, 0, 0, 0 }, 16, true, 0ms, std::nullopt },
        ReadCase { "MultiplierTimesCountPlusConstant", { 0, 10, 40, 0, 0 }, 8, false, 120ms,
            std::nullopt },
        ReadCase {
            "IntervalAfterTheFirstByte", { 100, 0, 0, 0, 0 }, 16, false, std::nullopt, 100ms },
        ReadCase {
            "AllZeroWaitsForEveryByte", { 0, 0, 0, 0, 0 }, 5, false, std::nullopt, std::nullopt },
        // MAXDWORD as the constant is no "return when any" request: a plain long wait.
        ReadCase { "MaxConstantIsAPlainWait", { MAXDWORD, MAXDWORD, MAXDWORD, 0, 0 }, 1, false,
            milliseconds(std::uint64_t(MAXDWORD) * 2), milliseconds(MAXDWORD) },
        // A product beyond decades is cut, not wrapped round to a short wait.
        ReadCase { "HugeProductIsCut", { 0, MAXDWORD - 1, 5, 0, 0 }, MAXDWORD, false,
            milliseconds(std::int64_t(1) << 40), std::nullopt }),
    byWhat);

struct WriteCase : CTableRow {
    COMMTIMEOUTS timeouts;
    std::uint32_t count;
    milliseconds limit;
};

class WriteDeadlineTest : public ::testing::TestWithParam<WriteCase> { };

// Every write goes by writeDeadline(), so a write whose time-outs are both 0, or
// larger than a user would sit out, still gives up within 30 s.
TEST_P(WriteDeadlineTest, FollowsTheTimeoutsButNeverExceedsTheLongestWrite)
{
    const WriteCase& entry = GetParam();
    EXPECT_EQ(writeDeadline(entry.timeouts, entry.count, start), start + entry.limit);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, WriteDeadlineTest,
    ::testing::Values(WriteCase { "MultiplierAndConstant", { 0, 0, 0, 10, 5000 }, 100, 6000ms },
        WriteCase { "ConstantOnly", { 0, 0, 0, 0, 200 }, 100'000, 200ms },
        WriteCase { "LargePasteWithDefaults", defaultTimeouts, 100'000, 30'000ms },
        WriteCase { "BothZero", { 0, 0, 0, 0, 0 }, 1, 30'000ms },
        WriteCase { "BothZeroLongLine", { 0, 0, 0, 0, 0 }, MAXDWORD, 30'000ms },
        WriteCase { "Largest", { 0, 0, 0, MAXDWORD, MAXDWORD }, MAXDWORD, 30'000ms }),
    byWhat);

TEST(PollTimeout, RoundsUpAndCapsTheWait)
{
    EXPECT_EQ(pollTimeout(std::nullopt, start), -1);
    EXPECT_EQ(pollTimeout(start - 5ms, start), 0);
    EXPECT_EQ(pollTimeout(start + 1us, start), 1) << "a wait never ends before its deadline";
    EXPECT_EQ(pollTimeout(start + 50ms, start), 50);
    EXPECT_EQ(pollTimeout(start + 10h, start), 60'000);
}

} // namespace

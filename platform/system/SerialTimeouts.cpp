#include "SerialTimeouts.h"

#include <algorithm>

using std::chrono::milliseconds;

namespace {

// The moment `span` milliseconds after `start`. Spans beyond a few decades (a multiplier
// of MAXDWORD times a large count) are cut there, which is the same as no limit and
// keeps the clock's arithmetic from overflowing.
SerialClock::time_point deadlineAfter(SerialClock::time_point start, std::uint64_t span)
{
    constexpr std::uint64_t longest = std::uint64_t(1) << 40;
    return start + milliseconds(milliseconds::rep(std::min(span, longest)));
}

} // namespace

CReadPlan planRead(const COMMTIMEOUTS& timeouts, std::uint32_t count, SerialClock::time_point start)
{
    const std::uint32_t interval = timeouts.ReadIntervalTimeout;
    const std::uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const std::uint32_t constant = timeouts.ReadTotalTimeoutConstant;

    CReadPlan plan;
    if (interval == MAXDWORD && multiplier == 0 && constant == 0) {
        plan.returnWhenAny = true;
        plan.totalDeadline = start;
    } else if (interval == MAXDWORD && multiplier == MAXDWORD && constant != 0
        && constant != MAXDWORD) {
        plan.returnWhenAny = true;
        plan.totalDeadline = deadlineAfter(start, constant);
    } else {
        if (multiplier != 0 || constant != 0)
            plan.totalDeadline = deadlineAfter(start, std::uint64_t(multiplier) * count + constant);
        if (interval != 0)
            plan.byteGap = milliseconds(interval);
    }
    return plan;
}

SerialClock::time_point writeDeadline(
    const COMMTIMEOUTS& timeouts, std::uint32_t count, SerialClock::time_point start)
{
    if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0)
        return start + longestWrite;
    std::uint64_t span = std::uint64_t(timeouts.WriteTotalTimeoutMultiplier) * count
        + timeouts.WriteTotalTimeoutConstant;
    return deadlineAfter(start, std::min(span, std::uint64_t(longestWrite.count())));
}

int pollTimeout(std::optional<SerialClock::time_point> deadline, SerialClock::time_point now)
{
    if (!deadline)
        return -1;
    auto left = std::chrono::ceil<milliseconds>(*deadline - now);
    return int(std::clamp<milliseconds::rep>(left.count(), 0, 60'000));
}

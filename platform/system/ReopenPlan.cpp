#include "ReopenPlan.h"

#include <algorithm>

using std::chrono::milliseconds;

milliseconds CReopenPlan::retryDelay(unsigned int attempt)
{
    milliseconds delay = firstDelay;
    for (unsigned int i = 0; i < attempt && delay < longestDelay; ++i)
        delay *= 2;
    return std::min(delay, longestDelay);
}

void CReopenPlan::lost(Clock::time_point now)
{
    lastTry = now;
    nextTry = now + retryDelay(failedTries);
}

void CReopenPlan::failed(Clock::time_point now)
{
    lastTry = now;
    nextTry = now + retryDelay(++failedTries);
}

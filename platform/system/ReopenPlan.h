// When a port whose device has gone away tries to open it again: the first try half a
// second after the loss, each failed try doubling the wait before the next, up to 5 s,
// so a device that stays away costs a try every few seconds and one that comes back
// soon is found soon. A try the user asks for (a write) may come early, but no sooner
// than half a second after the last one. Pure bookkeeping on times it is given.
#pragma once

#include <chrono>

class CReopenPlan {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds firstDelay { 500 };
    static constexpr std::chrono::milliseconds longestDelay { 5000 };

    // The wait before the n-th try (from 0): 0.5 s, doubling up to 5 s.
    static std::chrono::milliseconds retryDelay(unsigned int attempt);

    // The device went away at `now` (or a link that was coming up failed).
    void lost(Clock::time_point now);
    // A try at `now` found no device to open, or a link that did not come up.
    void failed(Clock::time_point now);
    // A try at `now` opened the device; whether it counts depends on its link.
    void tried(Clock::time_point now) { lastTry = now; }
    // The device is in use again: a later loss starts from the first delay.
    void succeeded() { failedTries = 0; }

    bool isDue(Clock::time_point now) const { return now >= nextTry; }
    // Whether a try the user asks for may happen now.
    bool mayTryEarly(Clock::time_point now) const
    {
        return isDue(now) || now >= lastTry + firstDelay;
    }
    Clock::time_point nextTryAt() const { return nextTry; }

private:
    unsigned int failedTries = 0;
    Clock::time_point lastTry {};
    Clock::time_point nextTry {};
};

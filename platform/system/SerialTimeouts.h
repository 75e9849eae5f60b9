// The port's time-outs turned into deadlines: which moment a read or a write of so many
// bytes must end by under a COMMTIMEOUTS record, and how long one poll() may wait for
// a deadline. Pure arithmetic on a given start time, so each rule is checked through a
// table rather than by waiting.
#pragma once

#include "Platform.h"

#include <chrono>
#include <cstdint>
#include <optional>

using SerialClock = std::chrono::steady_clock;

// What a port reports before anyone sets its time-outs. A read returns as soon as any
// byte is there and waits up to 100 ms for the first one when none is, so a reader that
// never sets time-outs still neither spins nor hangs. A write may take 10 ms per byte
// (enough for 1200 baud) plus 5 s, and never more than longestWrite.
inline constexpr COMMTIMEOUTS defaultTimeouts {
    MAXDWORD, // ReadIntervalTimeout
    MAXDWORD, // ReadTotalTimeoutMultiplier
    100, // ReadTotalTimeoutConstant
    10, // WriteTotalTimeoutMultiplier
    5000, // WriteTotalTimeoutConstant
};

// The longest one write may wait for a line that has stopped taking bytes, whatever the
// time-outs say: the program waits on its one thread meanwhile, so a long line on a
// stalled device must give up within a time a user will sit out.
inline constexpr std::chrono::milliseconds longestWrite { 30'000 };

// How one read ends.
struct CReadPlan {
    // The read ends as soon as any byte is there, rather than when all bytes asked for
    // have arrived or a time-out has run out.
    bool returnWhenAny = false;
    // The moment the whole read ends; none: it waits for every byte.
    std::optional<SerialClock::time_point> totalDeadline;
    // The longest gap between two bytes once the first has come; none: no limit.
    std::optional<std::chrono::milliseconds> byteGap;

    friend bool operator==(const CReadPlan&, const CReadPlan&) = default;
};

// The plan of a read of `count` bytes that starts at `start`.
CReadPlan planRead(
    const COMMTIMEOUTS& timeouts, std::uint32_t count, SerialClock::time_point start);

// The moment a write of `count` bytes that starts at `start` gives up; what every
// write goes by: the multiplier times the count plus the constant (both 0: no limit of
// their own) after `start`, at most longestWrite.
SerialClock::time_point writeDeadline(
    const COMMTIMEOUTS& timeouts, std::uint32_t count, SerialClock::time_point start);

// The poll() time-out that waits from `now` until `deadline`, rounded up so that a wait
// never ends before it, and at most a minute; -1 (no limit) without a deadline.
int pollTimeout(std::optional<SerialClock::time_point> deadline, SerialClock::time_point now);

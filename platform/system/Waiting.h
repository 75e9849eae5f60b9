// How the system library waits for a device. Every wait of a serial call (a read
// waiting for its first byte, a write waiting for the device to take more, an open
// waiting for a link) goes through waitForDescriptor(), so a program with windows can
// keep them live meanwhile: the dialog framework installs a waiter that runs the
// window's events while it waits. Without one, the wait is a plain poll().
//
// Called on the one thread of the program; a waiter must not call back into the
// serial layer.
#pragma once

#include <poll.h>

// Waits until `fd` reports one of `events` (a hang-up or error always counts), or
// until `timeoutMs` has passed (-1: no limit; 0: only looks). Returns the poll()
// events the descriptor then reports, 0 when the time ran out with none. `fd` may be
// -1: then only the time passes (a port whose device is away waiting for its next
// try to open it), and the result is 0.
using DescriptorWaiter = short (*)(int fd, short events, int timeoutMs);

// Told that `fd` is about to be closed: a waiter may keep watching a descriptor from
// one wait to the next, and must let go of it before its number can be reused.
using DescriptorClosing = void (*)(int fd);

// Installs `waiter` (and what it is told of closes) for every later wait; null puts the
// plain poll() back.
void setDescriptorWaiter(DescriptorWaiter waiter, DescriptorClosing closing = nullptr);

short waitForDescriptor(int fd, short events, int timeoutMs);

// Whether the events a wait returned say the descriptor was hung up or failed.
inline bool hungUp(short events)
{
    return events & (POLLHUP | POLLERR | POLLNVAL);
}

// Called by whoever closes a descriptor that was waited on.
void descriptorClosing(int fd);

// The plain wait: one poll(), restarted after a signal with what is left of the time.
short pollDescriptor(int fd, short events, int timeoutMs);

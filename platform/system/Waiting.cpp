#include "Waiting.h"

#include <cerrno>
#include <chrono>

namespace {
DescriptorWaiter installed = nullptr;
DescriptorClosing toldOfCloses = nullptr;
} // namespace

void setDescriptorWaiter(DescriptorWaiter waiter, DescriptorClosing closing)
{
    installed = waiter;
    toldOfCloses = waiter ? closing : nullptr;
}

void descriptorClosing(int fd)
{
    if (toldOfCloses && fd >= 0)
        toldOfCloses(fd);
}

short waitForDescriptor(int fd, short events, int timeoutMs)
{
    return installed ? installed(fd, events, timeoutMs) : pollDescriptor(fd, events, timeoutMs);
}

short pollDescriptor(int fd, short events, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd entry { fd, events, 0 };
        int ready = ::poll(&entry, 1, timeoutMs);
        if (ready >= 0)
            return ready == 0 ? 0 : entry.revents;
        if (errno != EINTR)
            return POLLERR;
        if (timeoutMs > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeoutMs = int(left.count() > 0 ? left.count() : 0);
        }
    }
}

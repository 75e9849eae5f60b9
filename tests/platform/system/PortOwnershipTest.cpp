// The port table owns its ports outright and relies on the dialog framework's rule that
// no handler runs inside a port's wait; a debug build stops a program that breaks it
// rather than letting the waiting call go on with a port that is gone.
#include "Platform.h"
#include "TestPort.h"
#include "Waiting.h"

#include <gtest/gtest.h>

namespace {

Handle portToClose = invalidHandle;

// Closes the port from inside the wait, as a handler run there would.
[[maybe_unused]] short closingWaiter(int /*fd*/, short /*events*/, int /*timeoutMs*/)
{
    closeDevice(portToClose);
    return 0;
}

TEST(PortOwnershipDeathTest, ClosingAPortInsideItsOwnWaitStopsADebugBuild)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the check is made in debug builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CTestPortDirectory directory;
    CTestPort device;
    directory.link(1, device.devicePath());
    EXPECT_DEATH(
        {
            portToClose = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
            COMMTIMEOUTS timeouts;
            timeouts.ReadTotalTimeoutConstant = 1000;
            setTimeouts(portToClose, &timeouts);
            setDescriptorWaiter(closingWaiter);
            char byte = 0;
            std::uint32_t got = 0;
            readDevice(portToClose, &byte, 1, &got, nullptr);
        },
        "closed while one of its calls waits");
#endif
}

} // namespace

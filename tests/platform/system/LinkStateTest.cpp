// What the kernel's answers mean for a Bluetooth link: the RFCOMM state of a bound
// port, the poll() events and SO_ERROR of a connecting socket, and the errno of a
// failed connect as the user is told it.
#include "BluetoothLink.h"
#include "RfcommSocket.h"

#include <gtest/gtest.h>

namespace {

TEST(LinkState, OnlyAConnectedBoundPortIsUp)
{
    struct Row {
        std::uint16_t kernelState; // as `rfcomm show` names it
        LinkState expected;
    };
    for (Row row : std::initializer_list<Row> {
             { 1, LinkState::up }, // connected
             { 5, LinkState::connecting }, // connecting
             { 6, LinkState::connecting }, // connect2
             { 7, LinkState::connecting }, // config
             { 2, LinkState::down }, // open (bound, idle)
             { 8, LinkState::down }, // disconn
             { 9, LinkState::down }, // closed
         })
        EXPECT_EQ(rfcommLinkState(row.kernelState), row.expected) << row.kernelState;
}

TEST(LinkState, ASocketIsUpOnlyOnceWritableWithoutError)
{
    struct Row {
        short events;
        int pendingError;
        LinkState expected;
    };
    for (Row row : std::initializer_list<Row> {
             { 0, 0, LinkState::connecting }, // the kernel reports nothing while paging
             { POLLIN, 0, LinkState::connecting },
             { POLLOUT, 0, LinkState::up },
             { POLLOUT | POLLIN, 0, LinkState::up },
             { POLLOUT, ECONNREFUSED, LinkState::down },
             { POLLERR, EHOSTDOWN, LinkState::down },
             { POLLHUP, 0, LinkState::down },
             { POLLOUT | POLLHUP, 0, LinkState::down },
         })
        EXPECT_EQ(socketLinkState(row.events, row.pendingError), row.expected)
            << row.events << " " << row.pendingError;
}

TEST(LinkState, EachConnectFailureIsToldAsItsCause)
{
    struct Row {
        int error;
        bool adapterPresent;
        OpenFailureKind expected;
    };
    for (Row row : std::initializer_list<Row> {
             { EHOSTUNREACH, true, OpenFailureKind::adapterOff },
             { EHOSTUNREACH, false, OpenFailureKind::adapterAbsent },
             { EAFNOSUPPORT, false, OpenFailureKind::adapterAbsent },
             { EHOSTDOWN, true, OpenFailureKind::remoteUnreachable }, // page time-out
             { ETIMEDOUT, true, OpenFailureKind::remoteUnreachable },
             { ECONNREFUSED, true, OpenFailureKind::channelRefused }, // nobody on the channel
             { ECONNRESET, true, OpenFailureKind::channelRefused },
             { EACCES, true, OpenFailureKind::notPaired }, // authentication failed
             { EBADE, true, OpenFailureKind::notPaired }, // no link key
             { EPERM, true, OpenFailureKind::permission },
             { EIO, true, OpenFailureKind::otherError },
         })
        EXPECT_EQ(connectFailureKind(row.error, row.adapterPresent), row.expected) << row.error;
}

} // namespace

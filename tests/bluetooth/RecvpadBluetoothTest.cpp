// recvpad's real dialog on a real Bluetooth serial port: /dev/rfcomm0, reached by the
// name "COM1:" with no port directory, linked to the emulated remote device of the
// test VM, with the dialog's own 25 ms timer reading. Runs only there
// (tests/bluetooth/run.sh).
#include "ReceiveApp.h"
#include "ReceiveDialog.h"
#include "ReceiveResources.h"

#include "BluetoothCase.h"
#include "BluezStackCase.h"
#include "LogView.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RecvpadOnBluetooth : public CPadCase<CReceiveApp, CReceiveDialog,
                               PadControls { IDC_RECEIVE_PORT_LIST, IDC_RECEIVE_CONNECT,
                                   IDC_RECEIVE_DISCONNECT, IDC_RECEIVE_DISCONNECT }> {
protected:
    std::u16string fieldText() const
    {
        return driver.logView(IDC_RECEIVE_TEXT)->text().toU16String();
    }

    bool fieldShows(std::u16string_view expected, std::chrono::milliseconds timeout = 5000ms)
    {
        return waitUntil([&] { return fieldText() == expected; }, timeout);
    }
};

TEST_F(RecvpadOnBluetooth, ConnectsOnComOneAndShowsTheLinesTheRemoteSends)
{
    expectNoPortDirectory();
    connect("recvpad_connect");
    EXPECT_EQ(rfcommState(0), "connected");

    remote.send("carriage return\r");
    EXPECT_TRUE(fieldShows(u"carriage return\r\n"));
    remote.send("cr lf\r\n");
    EXPECT_TRUE(fieldShows(u"carriage return\r\ncr lf\r\n\n"));

    // Characters whose bytes come in separate writes, and so in separate reads, show
    // whole once their last byte is there.
    remote.send("\xE2\x82");
    processEventsFor(300ms);
    EXPECT_EQ(fieldText(), u"carriage return\r\ncr lf\r\n\n");
    remote.send("\xAC \xF0\x9F");
    processEventsFor(300ms);
    remote.send("\x98\x80\r");
    EXPECT_TRUE(fieldShows(u"carriage return\r\ncr lf\r\n\n\u20AC \U0001F600\r\n"));
    disconnect();
}

TEST_F(RecvpadOnBluetooth, APortHeldByAnotherProgramIsRefused)
{
    // Another serial program holds the port the way serial tools do: exclusive mode and
    // a lock.
    int other = open("/dev/rfcomm0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    ASSERT_TRUE(remote.waitFor("connected"));

    // Beneath the message, who holds the port (this test process plays the other program).
    EXPECT_TRUE(mentions(refusalReason(clickConnect(), driver),
        { "/dev/rfcomm0 is held by another program", "(pid " + std::to_string(getpid()) + ")" }));
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_CONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));

    // Once the other program lets go, the port is ours.
    close(other);
    ASSERT_TRUE(remote.waitFor("closed"));
    connect();
    remote.send("ours\r");
    EXPECT_TRUE(fieldShows(u"ours\r\n"));
    disconnect();
}

class RecvpadOnAnUnansweredPort : public RecvpadOnBluetooth,
                                  public ::testing::WithParamInterface<SilentPort> { };

TEST_P(RecvpadOnAnUnansweredPort, ConnectGivesTheMessageWithinThePageTimeout)
{
    expectUnansweredConnect(GetParam(), std::string("recvpad_error_") + GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Ports, RecvpadOnAnUnansweredPort, ::testing::ValuesIn(silentPorts),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

class RecvpadWhenTheLinkDrops : public RecvpadOnBluetooth,
                                public ::testing::WithParamInterface<LinkDrop> { };

TEST_P(RecvpadWhenTheLinkDrops, TextFlowsAgainOnceTheRemoteIsBackWithoutAClick)
{
    termios before = settingsOfPort(remote);
    connect();
    remote.send("before\r");
    ASSERT_TRUE(fieldShows(u"before\r\n"));

    auto dropped = dropLink(remote, GetParam());
    // Still connected, still ticking, nothing said, the text kept.
    expectIdleWhileAway(std::string("recvpad_") + GetParam().name);
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_CONNECT));
    EXPECT_EQ(fieldText(), u"before\r\n");

    auto back = bringBack(remote, GetParam(), dropped);
    ASSERT_TRUE(remote.waitFor("connected", 15s)) << "recvpad did not open the port again";
    reportMeasured(std::string("recvpad_relinked_") + GetParam().name, Clock::now() - back);
    remote.send("after\r");
    EXPECT_TRUE(fieldShows(u"before\r\nafter\r\n"));
    reportMeasured(std::string("recvpad_back_to_flowing_") + GetParam().name, Clock::now() - back);

    // The settings saved when the device came back are the ones put back.
    disconnect();
    termios after = settingsOfPort(remote);
    EXPECT_TRUE(sameSettings(before, after));
}

INSTANTIATE_TEST_SUITE_P(Drops, RecvpadWhenTheLinkDrops, ::testing::ValuesIn(linkDrops),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// recvpad on a port that names the remote by its address, run as the ordinary user
// (vm/init.sh): the socket port keeps the dialog's reads, a line longer than many
// ticks' worth arrives whole, and a link that drops is mended without a click.
class AsUserRecvpadOnASocketPort : public RecvpadOnBluetooth {
protected:
    void SetUp() override
    {
        if (getuid() == 0)
            GTEST_SKIP() << "runs as the ordinary user";
        const char* address = std::getenv("SERIALPADS_BT_REMOTE_ADDRESS");
        ASSERT_TRUE(address && *address);
        setBluetoothPort(1, address, CRemoteDevice::channel);
    }
};

TEST_F(AsUserRecvpadOnASocketPort, ShowsWhatArrivesAndFlowsAgainAfterADrop)
{
    connect("socket_recvpad_connect");
    std::string longLine;
    for (int i = 0; i < 3000; ++i)
        longLine.push_back(char('a' + i % 26));
    remote.send(longLine + "\r");
    std::u16string shown(longLine.begin(), longLine.end());
    shown += u"\r\n";
    EXPECT_TRUE(fieldShows(shown));

    auto back = bringBack(remote, linkDrops[0], dropLink(remote, linkDrops[0]));
    ASSERT_TRUE(remote.waitFor("connected", 15s)) << "recvpad did not connect again";
    reportMeasured("socket_recvpad_relinked", Clock::now() - back);
    remote.send("after\r");
    EXPECT_TRUE(fieldShows(shown + u"after\r\n"));
    disconnect();
}

// recvpad on a port set up by the module's name with no channel, on the real stack with
// BlueZ's daemon, as the ordinary user (vm/init.sh's last phase, once sendpad's cases
// have found and paired the module): Connect looks the channel up in the module's
// service record, and the field shows exactly what the module sends.
class RecvpadOnBluezStack : public CListensOnTheRecordsChannel, public RecvpadOnBluetooth {
protected:
    void SetUp() override
    {
        if (getuid() == 0)
            GTEST_SKIP() << "runs as the ordinary user";
    }
};

TEST_F(RecvpadOnBluezStack, APortSetByNameShowsWhatTheModuleSends)
{
    const std::string name = environmentValueOf("SERIALPADS_BT_REMOTE_NAME");
    ASSERT_FALSE(name.empty());
    CPortsRun set = runPorts("set 2 " + name);
    ASSERT_EQ(set.status, 0);
    EXPECT_TRUE(mentions(set.out,
        { "port 2 -> Bluetooth device " + environmentValueOf("SERIALPADS_BT_REMOTE_ADDRESS")
            + "\n" }));

    driver.choose(IDC_RECEIVE_PORT_LIST, 1);
    connect("recvpad_connect_with_lookup");
    remote.send("from the module\r");
    EXPECT_TRUE(fieldShows(u"from the module\r\n"));
    remote.send("\xE2\x82\xAC 5\r\n");
    EXPECT_TRUE(fieldShows(u"from the module\r\n\u20AC 5\r\n\n"));
    disconnect();
}

} // namespace

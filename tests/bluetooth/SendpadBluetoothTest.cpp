// sendpad's real dialog on a real Bluetooth serial port: /dev/rfcomm0, reached by the
// name "COM1:" with no port directory, linked to the emulated remote device of the
// test VM. Runs only there (tests/bluetooth/run.sh).
#include "SendpadCase.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using SendpadOnBluetooth = CSendpadCase;

TEST_F(SendpadOnBluetooth, ConnectsOnComOneOnceTheLinkIsUpAndHelloWorldReachesTheRemote)
{
    expectNoPortDirectory();
    connect("sendpad_connect");
    // Connected means the kernel's own link is up, not merely that carrier showed.
    EXPECT_EQ(rfcommState(0), "connected");

    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
    EXPECT_EQ(remote.received(), "Hello World\r");
    disconnect();
}

TEST_F(SendpadOnBluetooth, DisconnectPutsTheTerminalSettingsBack)
{
    // Settings of the device's own that differ from the kernel's defaults, so that
    // settings put back can be told from settings reset.
    termios before = settingsOfPort(remote, [](termios& settings) {
        cfsetispeed(&settings, B57600);
        cfsetospeed(&settings, B57600);
        settings.c_lflag |= ECHO | ICANON;
        settings.c_iflag |= ICRNL;
    });
    connect();
    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
    disconnect();

    termios after = settingsOfPort(remote);
    EXPECT_TRUE(sameSettings(before, after));
    EXPECT_EQ(cfgetospeed(&after), speed_t(B57600));
}

TEST_F(SendpadOnBluetooth, ASecondOpenOfTheHeldPortIsRefused)
{
    connect();

    CSendDialog second;
    CDialogDriver secondDriver { second };
    std::vector<QString> messages
        = secondDriver.answeringMessages([&] { secondDriver.click(IDC_SEND_CONNECT); });
    EXPECT_TRUE(mentions(
        refusalReason(messages, secondDriver), { "/dev/rfcomm0 is held by another program" }));
    EXPECT_TRUE(secondDriver.isEnabled(IDC_SEND_CONNECT));
    EXPECT_FALSE(secondDriver.isEnabled(IDC_SEND_SEND));

    // Other programs see the port held too: exclusive mode and the lock serial tools take.
    int other = open("/dev/rfcomm0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_TRUE(isHeld(other));
    close(other);

    // The holder is untouched by the refused tries.
    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
    disconnect();
}

class SendpadOnAnUnansweredPort : public SendpadOnBluetooth,
                                  public ::testing::WithParamInterface<SilentPort> { };

TEST_P(SendpadOnAnUnansweredPort, ConnectGivesTheMessageWithinThePageTimeout)
{
    expectUnansweredConnect(GetParam(), std::string("sendpad_error_") + GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Ports, SendpadOnAnUnansweredPort, ::testing::ValuesIn(silentPorts),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

class SendpadWhenTheLinkDrops : public SendpadOnBluetooth,
                                public ::testing::WithParamInterface<LinkDrop> { };

TEST_P(SendpadWhenTheLinkDrops, TheNextSendAfterTheRemoteIsBackReachesIt)
{
    termios before = settingsOfPort(remote);
    connect();
    sendHello();
    ASSERT_TRUE(remote.waitForReceived("Hello World\r"));
    remote.forgetReceived();

    auto dropped = dropLink(remote, GetParam());
    // A Send while the remote is away neither hangs the window nor tells of a failure;
    // the dialog stays connected.
    auto started = Clock::now();
    std::vector<QString> messages = driver.answeringMessages([&] { driver.click(IDC_SEND_SEND); });
    reportMeasured(
        std::string("sendpad_send_while_away_") + GetParam().name, Clock::now() - started);
    EXPECT_TRUE(messages.empty());
    expectIdleWhileAway(std::string("sendpad_") + GetParam().name);
    EXPECT_TRUE(driver.isEnabled(IDC_SEND_SEND));
    EXPECT_TRUE(driver.isEnabled(IDC_SEND_DISCONNECT));

    auto back = bringBack(remote, GetParam(), dropped);
    remote.forgetReceived();
    driver.click(IDC_SEND_SEND);
    EXPECT_TRUE(remote.waitForReceived("Hello World\r", 15s)) << "received: " << remote.received();
    reportMeasured(std::string("sendpad_back_to_flowing_") + GetParam().name, Clock::now() - back);
    EXPECT_TRUE(remote.received().ends_with("Hello World\r"));

    // The settings saved when the device came back are the ones put back.
    disconnect();
    termios after = settingsOfPort(remote);
    EXPECT_TRUE(sameSettings(before, after));
}

INSTANTIATE_TEST_SUITE_P(Drops, SendpadWhenTheLinkDrops, ::testing::ValuesIn(linkDrops),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

} // namespace

// What the Bluetooth cases of both programs share: the ports that never answer, the
// ways a link drops and comes back, checks on the kernel's view of a port, and the
// pads' own case with its clicks.
#pragma once

#include "DialogDriver.h"
#include "PortDevice.h"
#include "PortRegistry.h"
#include "RemoteDevice.h"
#include "TestPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

// The page time-out of a real radio: a remote that does not answer must be reported
// within it (the emulated controllers give up at once).
inline constexpr std::chrono::seconds pageTimeout { 5 };

// Ports bound to a remote that never answers.
struct SilentPort {
    const char* name;
    int portNumber; // COM<n>: is /dev/rfcomm<n-1>
};
inline constexpr SilentPort silentPorts[] = {
    { "unreachable_address", 2 },
    { "nobody_listening", 3 },
};

// The three ways a link goes, and how the remote then comes back.
enum class LinkDropKind {
    remoteHangsUp, // closes the connection, goes on listening
    remoteKilled, // the remote's process dies; it is started again
    remotePoweredOff, // its controller goes off; it is switched on again
};
struct LinkDrop {
    const char* name;
    LinkDropKind kind;
};
inline constexpr LinkDrop linkDrops[] = {
    { "remote_hangs_up", LinkDropKind::remoteHangsUp },
    { "remote_killed", LinkDropKind::remoteKilled },
    { "remote_powered_off", LinkDropKind::remotePoweredOff },
};

// Makes the link of /dev/rfcomm0 drop as `drop` says; gives the moment it went.
std::chrono::steady_clock::time_point dropLink(CRemoteDevice& remote, const LinkDrop& drop);

// Brings the remote back after dropLink(); gives the moment it was back (for a remote
// that only hung up, the moment it did: it never stopped listening).
std::chrono::steady_clock::time_point bringBack(
    CRemoteDevice& remote, const LinkDrop& drop, std::chrono::steady_clock::time_point dropped);

// Runs the program's events for a while with the remote away and checks that it stays
// idle: no message box, and its processor time only a small share of the time passed
// (a program retrying in a busy loop would take all of it).
void expectIdleWhileAway(const std::string& measuredAs);

// The kernel's state of /dev/rfcomm<n> ("connected", "closed", "config", ...), as
// `rfcomm show` gives it.
std::string rfcommState(int device);

// No port directory is in use, so COM1: is /dev/rfcomm0.
void expectNoPortDirectory();

// Points port `number` at the remote device's address, with `channel` when not 0, the
// way a user sets it up: with the build tree's serialpads-ports.
void setBluetoothPort(int number, const std::string& address, int channel = 0);

// Times closeDevice() on `port` (opened for writing) after more output than the far end
// will ever take, and reports it as "<measuredAs>"; gives the time it took.
std::chrono::steady_clock::duration closeAfterUnreadOutput(
    const char16_t* port, const std::string& measuredAs);

// How long closing may take: the grace for unsent output and a little more.
inline constexpr std::chrono::milliseconds closingLimit
    = closingGrace + std::chrono::milliseconds(500);

// The reason beneath a refused Connect's one message, "Error openning COM port.";
// printed with the case's output.
std::string refusalReason(const std::vector<QString>& messages, const CDialogDriver& driver);

// A pad's controls that its cases click and look at.
struct PadControls {
    std::uint16_t portList, connect, disconnect;
    std::uint16_t connected; // enabled only while connected: Send, or Disconnect
};

// What both pads' cases share: the program's application object, the remote device, the
// real dialog and its driver, and the clicks that connect and disconnect.
template <typename App, typename Dialog, PadControls controls>
class CPadCase : public ::testing::Test {
protected:
    ~CPadCase() override
    {
        // A pad may leave its port open when its window ends; the next case needs it.
        driver.destroy();
        closeAllPorts();
    }

    std::vector<QString> clickConnect()
    {
        return driver.answeringMessages([&] { driver.click(controls.connect); });
    }

    void connect(const char* measuredAs = nullptr)
    {
        auto started = std::chrono::steady_clock::now();
        std::vector<QString> messages = clickConnect();
        if (measuredAs)
            reportMeasured(measuredAs, std::chrono::steady_clock::now() - started);
        ASSERT_TRUE(messages.empty()) << driver.lastMessageDetail().toStdString();
        ASSERT_TRUE(driver.isEnabled(controls.connected));
        ASSERT_TRUE(remote.waitFor("connected"));
    }

    void disconnect()
    {
        driver.click(controls.disconnect);
        EXPECT_TRUE(remote.waitFor("closed"));
    }

    // Connect on `port` gives the message within the page time-out, with the reason
    // beneath it (the remote bound to that node does not answer), and leaves the pad
    // unconnected.
    void expectUnansweredConnect(const SilentPort& port, const std::string& measuredAs)
    {
        driver.choose(controls.portList, port.portNumber - 1);
        auto started = std::chrono::steady_clock::now();
        std::vector<QString> messages = clickConnect();
        auto took = std::chrono::steady_clock::now() - started;
        reportMeasured(measuredAs, took);
        EXPECT_LT(took, pageTimeout);
        EXPECT_TRUE(mentions(refusalReason(messages, driver),
            { "/dev/rfcomm" + std::to_string(port.portNumber - 1), "Bluetooth device" }));
        EXPECT_TRUE(driver.isEnabled(controls.connect));
        EXPECT_FALSE(driver.isEnabled(controls.connected));
    }

    App app;
    CRemoteDevice remote;
    Dialog dialog;
    CDialogDriver driver { dialog };
};

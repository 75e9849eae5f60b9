// A module never seen before, on the real stack with BlueZ's daemon on the system bus,
// as the ordinary user, in the order a user takes: serialpads-ports finds it by name,
// pairs it with its legacy PIN (the remote's own agent answers 1234, and the emulated
// controllers compare both sides' PINs), and stores its address for a name; Connect
// reaches the channel its service record names, which is not channel 1. The module lets
// in only a device it is paired with, so Connect also needs the pairing to hold. Runs
// only in the test VM's last phase (vm/init.sh), with the remote's record switched on
// and off by controller.sh; the cases build on one another as the user's steps do, so
// they run in this order.
#include "BluezStackCase.h"
#include "SendpadCase.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

class OnBluezStack : public CListensOnTheRecordsChannel, public CSendpadCase {
protected:
    void SetUp() override
    {
        if (getuid() == 0)
            GTEST_SKIP() << "runs as the ordinary user";
        address = environmentValueOf("SERIALPADS_BT_REMOTE_ADDRESS");
        name = environmentValueOf("SERIALPADS_BT_REMOTE_NAME");
        ASSERT_FALSE(name.empty());
    }

    std::string address, name;
};

TEST_F(OnBluezStack, AScanFindsTheModuleByName)
{
    setServiceRecord("on");
    CPortsRun scan = runPorts("scan");
    EXPECT_EQ(scan.status, 0);
    // Address, paired, serial port, name: found by a discovery, on its own line.
    EXPECT_TRUE(mentions(scan.out, { address + "  no ", name }));
}

// How many PIN requests the remote's agent has answered so far (vm/init.sh keeps its
// log).
int pinsAsked()
{
    std::ifstream log(environmentValueOf("SERIALPADS_BT_REMOTE_AGENT_LOG"));
    int asked = 0;
    for (std::string line; std::getline(log, line);)
        asked += line.rfind("pin ", 0) == 0;
    return asked;
}

// One pairing after another, each as the user types it, with what it must say and what
// BlueZ must know afterwards.
struct PairingStep {
    const char* name;
    const char* pin;
    int status;
    const char* says;
    bool remoteAsked; // the remote's own agent was asked for its PIN
    const char* pairedAfter; // BlueZ's "Paired" afterwards
};
constexpr PairingStep pairingSteps[] = {
    { "wrong_pin", "0000", 1, "did not accept the PIN: try again with the device's PIN", true,
        "false" },
    { "its_pin", "1234", 0, "Paired with SerialModule (", true, "true" },
    { "again", "1234", 0, "is already paired and trusted", false, "true" },
};

TEST_F(OnBluezStack, PairingTakesTheModulesPinAndNoOther)
{
    ASSERT_EQ(remoteDeviceProperty(address, "Paired"), "false") << "paired before the case";
    for (const PairingStep& step : pairingSteps) {
        SCOPED_TRACE(step.name);
        int askedBefore = pinsAsked();
        auto started = Clock::now();
        CPortsRun pair = runPorts("pair " + name + " --pin " + step.pin);
        reportMeasured(std::string("pair_") + step.name, Clock::now() - started);
        EXPECT_EQ(pair.status, step.status);
        EXPECT_TRUE(mentions(pair.out, { step.says }));
        EXPECT_EQ(pinsAsked() > askedBefore, step.remoteAsked);
        EXPECT_EQ(remoteDeviceProperty(address, "Paired"), step.pairedAfter);
    }
    EXPECT_EQ(remoteDeviceProperty(address, "Trusted"), "true");
}

TEST_F(OnBluezStack, ANameStandsForTheAddressAndTheChannelIsTold)
{
    CPortsRun set = runPorts("set 1 " + name);
    EXPECT_EQ(set.status, 0);
    EXPECT_TRUE(mentions(set.out,
        { "port 1 -> Bluetooth device " + address + "\n",
            "serial port on channel " + std::to_string(recordChannel) }));
    std::error_code error;
    EXPECT_EQ(std::filesystem::read_symlink(
                  environmentValueOf("HOME") + "/.config/serialpads/ports/com1", error),
        "bluetooth:" + address);
}

TEST_F(OnBluezStack, ConnectReachesTheChannelTheRecordNames)
{
    ASSERT_EQ(runPorts("set 1 " + address).status, 0);
    connect("connect_with_lookup");
    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
    EXPECT_EQ(remote.received(), "Hello World\r");
    disconnect();

    // The same Connect on the channel given: no lookup.
    runPorts("set 1 " + address + " " + std::to_string(recordChannel));
    connect("connect_channel_given");
    disconnect();
    runPorts("set 1 " + address);
    connect("connect_with_lookup_again");
    disconnect();
}

TEST_F(OnBluezStack, ADeviceOfferingNoSerialPortIsToldSo)
{
    setServiceRecord("off");
    CPortsRun set = runPorts("set 1 " + address);
    EXPECT_EQ(set.status, 0) << "the entry is set all the same";
    EXPECT_TRUE(mentions(set.out, { "offers no serial port" }));
    auto started = Clock::now();
    std::vector<QString> messages = clickConnect();
    reportMeasured("connect_no_serial_port", Clock::now() - started);
    EXPECT_TRUE(mentions(refusalReason(messages, driver), { address + " offers no serial port" }));
    setServiceRecord("on");
}

} // namespace

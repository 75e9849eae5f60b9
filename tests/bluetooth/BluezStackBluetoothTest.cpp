// A device never seen before, on the real stack with BlueZ's daemon on the system bus,
// as the ordinary user: serialpads-ports finds it by name and stores its address, and
// Connect reaches the channel its service record names, which is not channel 1. Runs
// only in the test VM's last phase (vm/init.sh), with the remote's record switched on
// and off by controller.sh.
#include "SendpadCase.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

constexpr int recordChannel = 5; // the channel controller.sh's record names

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string portsTool()
{
    std::error_code ignored;
    return (std::filesystem::read_symlink("/proc/self/exe", ignored)
                .parent_path()
                .parent_path()
                .parent_path()
        / "serialpads-ports" / "serialpads-ports")
        .string();
}

// What serialpads-ports says, standard error included, and its exit status.
std::pair<int, std::string> ports(const std::string& arguments)
{
    std::string command = portsTool() + " " + arguments + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return { -1, out };
    char buffer[512];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    int status = pclose(pipe);
    std::printf("$ serialpads-ports %s\n%s", arguments.c_str(), out.c_str());
    return { WIFEXITED(status) ? WEXITSTATUS(status) : -1, out };
}

void serviceRecord(const char* state)
{
    std::string command
        = "sh " + environment("SERIALPADS_BT_TOOLS") + "/controller.sh sdp " + state;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Constructed before the case's remote, so that it listens on the record's channel.
struct CListensOnTheRecordsChannel {
    CListensOnTheRecordsChannel() { CRemoteDevice::channel = recordChannel; }
    ~CListensOnTheRecordsChannel() { CRemoteDevice::channel = 1; }
};

class OnBluezStack : public CListensOnTheRecordsChannel, public CSendpadCase {
protected:
    void SetUp() override
    {
        if (getuid() == 0)
            GTEST_SKIP() << "runs as the ordinary user";
        address = environment("SERIALPADS_BT_REMOTE_ADDRESS");
        name = environment("SERIALPADS_BT_REMOTE_NAME");
        ASSERT_FALSE(name.empty());
    }

    std::string address, name;
};

TEST_F(OnBluezStack, AModuleFoundByNameIsReachedOnTheChannelItsRecordNames)
{
    serviceRecord("on");
    auto [scanned, scan] = ports("scan");
    EXPECT_EQ(scanned, 0);
    // Address, paired, serial port, name: found by a discovery, on its own line.
    EXPECT_NE(scan.find(address + "  no "), std::string::npos);
    EXPECT_NE(scan.find(name), std::string::npos);

    // Its name stands for its address; the channel is told, and not stored.
    auto [set, told] = ports("set 1 " + name);
    EXPECT_EQ(set, 0);
    EXPECT_NE(told.find("port 1 -> Bluetooth device " + address + "\n"), std::string::npos);
    EXPECT_NE(
        told.find("serial port on channel " + std::to_string(recordChannel)), std::string::npos);
    std::error_code error;
    EXPECT_EQ(std::filesystem::read_symlink(
                  environment("HOME") + "/.config/serialpads/ports/com1", error),
        "bluetooth:" + address);

    connect("connect_with_lookup");
    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
    EXPECT_EQ(remote.received(), "Hello World\r");
    disconnect();

    // The same Connect on the channel given: no lookup.
    ports("set 1 " + address + " " + std::to_string(recordChannel));
    connect("connect_channel_given");
    disconnect();
    ports("set 1 " + address);
    connect("connect_with_lookup_again");
    disconnect();
}

TEST_F(OnBluezStack, ADeviceOfferingNoSerialPortIsToldSo)
{
    serviceRecord("off");
    auto [set, told] = ports("set 1 " + address);
    EXPECT_EQ(set, 0) << "the entry is set all the same";
    EXPECT_NE(told.find("offers no serial port"), std::string::npos);
    auto started = Clock::now();
    std::vector<QString> messages = clickConnect();
    reportMeasured("connect_no_serial_port", Clock::now() - started);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front(), "Error openning COM port.");
    std::string detail = driver.lastMessageDetail().toStdString();
    std::printf("reason shown: %s\n", detail.c_str());
    EXPECT_NE(detail.find(address + " offers no serial port"), std::string::npos) << detail;
    serviceRecord("on");
}

} // namespace

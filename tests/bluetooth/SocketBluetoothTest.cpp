// Ports that name the remote device by its address, reached by an RFCOMM socket, run as
// an ordinary user (not root, not in the dialout group): sendpad's real dialog, and the
// serial layer's bytes, failures, exclusive hold and closing. Cases named AsUser* run as
// that user (vm/init.sh); the closing of a bound /dev/rfcomm node runs as root, who may
// open it. Runs only in the test VM (tests/bluetooth/run.sh).
#include "BluezStackCase.h"
#include "PortDirectory.h"
#include "SendpadCase.h"
#include "TableRow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <grp.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string remoteAddress = environmentValueOf("SERIALPADS_BT_REMOTE_ADDRESS");

// Every byte value, then a 16 KiB burst in which each byte differs from its neighbours.
std::string everyByteAndABurst()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(char(value));
    for (std::size_t i = 0; i < 16 * 1024; ++i)
        bytes.push_back(char(i * 7 + i / 256));
    return bytes;
}

class AsUserOnASocketPort : public CSendpadCase {
protected:
    void SetUp() override
    {
        // The suite runs these as its ordinary user; a filter given to both runs may
        // also pick them in root's.
        if (getuid() == 0)
            GTEST_SKIP() << "runs as the ordinary user";
        if (struct group* dialout = getgrnam("dialout")) {
            gid_t groups[64];
            int count = getgroups(64, groups);
            for (int i = 0; i < count; ++i)
                ASSERT_NE(groups[i], dialout->gr_gid) << "the user is in dialout";
        }
        // The channel is given: these cases run where no Bluetooth daemon serves the
        // remote's service records (the lookup has its own cases, OnBluezStack*).
        setBluetoothPort(1, remoteAddress, CRemoteDevice::channel);
    }
};

TEST_F(AsUserOnASocketPort, ConnectsWithoutRootAndHelloWorldReachesTheRemote)
{
    connect("socket_sendpad_connect");
    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
    EXPECT_EQ(remote.received(), "Hello World\r");
    auto started = Clock::now();
    driver.click(IDC_SEND_DISCONNECT);
    reportMeasured("socket_sendpad_disconnect", Clock::now() - started);
    EXPECT_TRUE(remote.waitFor("closed"));
}

TEST_F(AsUserOnASocketPort, PassesEveryByteUnchangedBothWays)
{
    Handle port = openDevice(
        u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    ASSERT_NE(port, invalidHandle);
    ASSERT_TRUE(remote.waitFor("connected"));
    const std::string bytes = everyByteAndABurst();

    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(port, bytes.data(), std::uint32_t(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(remote.waitForReceived(bytes));
    EXPECT_TRUE(remote.received() == bytes) << remote.received().size() << " bytes arrived";

    remote.send(bytes);
    std::string got;
    auto deadline = Clock::now() + 10s;
    while (got.size() < bytes.size() && Clock::now() < deadline) {
        char buffer[128];
        std::uint32_t n = 0;
        readDevice(port, buffer, sizeof buffer, &n, nullptr);
        got.append(buffer, n);
    }
    EXPECT_TRUE(got == bytes) << got.size() << " bytes read";
    EXPECT_TRUE(closeDevice(port));
}

TEST_F(AsUserOnASocketPort, ASecondPadIsRefusedWithTheHolderNamed)
{
    connect();
    CSendDialog second;
    CDialogDriver secondDriver { second };
    std::vector<QString> messages
        = secondDriver.answeringMessages([&] { secondDriver.click(IDC_SEND_CONNECT); });
    EXPECT_TRUE(mentions(refusalReason(messages, secondDriver),
        { "is held by another program", "(pid " + std::to_string(getpid()) + ")" }));
    EXPECT_FALSE(secondDriver.isEnabled(IDC_SEND_SEND));
    // The holder is untouched by the refused try.
    sendHello();
    EXPECT_TRUE(remote.waitForReceived("Hello World\r"));
}

TEST_F(AsUserOnASocketPort, DisconnectAfterOutputTheRemoteNeverReadsReturnsWithinTheGrace)
{
    setBluetoothPort(2, remoteAddress, CRemoteDevice::muteChannel);
    EXPECT_LT(closeAfterUnreadOutput(u"COM2:", "socket_close_unread_output"), closingLimit);
}

// The ways a socket port cannot be opened, each told as its cause.
struct SocketFailure : CTableRow {
    const char* address; // null: the remote's own
    int channel;
    bool adapterOff;
    const char* told; // part of the sentence beneath the message
};

class AsUserFailingSocketPort : public AsUserOnASocketPort,
                                public ::testing::WithParamInterface<SocketFailure> { };

TEST_P(AsUserFailingSocketPort, ConnectTellsTheCauseBeneathTheMessage)
{
    const SocketFailure& failure = GetParam();
    setBluetoothPort(1, failure.address ? failure.address : remoteAddress, failure.channel);
    if (failure.adapterOff)
        runController("0 off");
    auto started = Clock::now();
    std::vector<QString> messages = clickConnect();
    reportMeasured(std::string("socket_error_") + failure.what, Clock::now() - started);
    if (failure.adapterOff)
        runController("0 on");
    EXPECT_TRUE(mentions(refusalReason(messages, driver), { failure.told }));
    EXPECT_TRUE(driver.isEnabled(IDC_SEND_CONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_SEND_SEND));
}

INSTANTIATE_TEST_SUITE_P(Causes, AsUserFailingSocketPort,
    ::testing::Values(
        SocketFailure { "unreachable_address", "00:5E:00:53:00:01", 0, false, "cannot be reached" },
        SocketFailure { "nobody_on_the_channel", nullptr, CRemoteDevice::silentChannel, false,
            "nothing accepts connections on that channel" },
        SocketFailure { "adapter_off", nullptr, 0, true, "adapter is switched off" }),
    byWhat);

class AsUserWhenTheSocketLinkDrops : public AsUserOnASocketPort,
                                     public ::testing::WithParamInterface<LinkDrop> { };

TEST_P(AsUserWhenTheSocketLinkDrops, TheNextSendAfterTheRemoteIsBackReachesIt)
{
    connect();
    sendHello();
    ASSERT_TRUE(remote.waitForReceived("Hello World\r"));
    remote.forgetReceived();

    auto dropped = dropLink(remote, GetParam());
    std::vector<QString> messages = driver.answeringMessages([&] { driver.click(IDC_SEND_SEND); });
    EXPECT_TRUE(messages.empty());
    expectIdleWhileAway(std::string("socket_sendpad_") + GetParam().name);
    EXPECT_TRUE(driver.isEnabled(IDC_SEND_DISCONNECT));

    auto back = bringBack(remote, GetParam(), dropped);
    remote.forgetReceived();
    // A Send tries to connect again at once when the last try is half a second old.
    EXPECT_TRUE(waitUntil(
        [&] {
            driver.click(IDC_SEND_SEND);
            return remote.waitForReceived("Hello World\r", 600ms);
        },
        15s))
        << "received: " << remote.received();
    reportMeasured(
        std::string("socket_sendpad_back_to_flowing_") + GetParam().name, Clock::now() - back);
    driver.click(IDC_SEND_DISCONNECT);
    EXPECT_TRUE(remote.waitFor("closed"));
}

INSTANTIATE_TEST_SUITE_P(Drops, AsUserWhenTheSocketLinkDrops, ::testing::ValuesIn(linkDrops),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The bound node the remote accepts on and never reads: a close there used to wait for
// the terminal's closing wait, about 30 s. Root may open the node.
TEST(ClosingABoundPort, AfterOutputTheRemoteNeverReadsReturnsWithinTheGrace)
{
    if (access("/dev/rfcomm3", R_OK | W_OK) != 0)
        GTEST_SKIP() << "runs as root, who may open /dev/rfcomm3";
    CRemoteDevice remote;
    // COM4: is /dev/rfcomm3, bound to the remote's mute channel.
    EXPECT_LT(closeAfterUnreadOutput(u"COM4:", "rfcomm_close_unread_output"), closingLimit);
}

} // namespace

namespace {

// Figures for bench/README.md, not checks: run on their own with
//   tests/bluetooth/run.sh build/ci -- --gtest_also_run_disabled_tests --gtest_filter='*Bench*'
// The bound node runs as root (who may open it), the socket port as the ordinary user.
struct BenchPort : CTableRow {
    bool socket;
};

class DISABLED_AsUserBench : public ::testing::TestWithParam<BenchPort> { };

TEST_P(DISABLED_AsUserBench, ConnectFirstByteAndAMinuteOfStream)
{
    const BenchPort& port = GetParam();
    if (port.socket != (getuid() != 0))
        GTEST_SKIP() << "runs as " << (port.socket ? "the ordinary user" : "root");
    CRemoteDevice remote;
    if (port.socket) {
        setBluetoothPort(6, remoteAddress);
    } else {
        std::filesystem::path directory = portDirectory();
        std::filesystem::create_directories(directory);
        std::filesystem::remove(directory / "com6");
        std::filesystem::create_symlink("/dev/rfcomm0", directory / "com6");
    }
    const std::string prefix = std::string("bench_") + port.what + "_";

    auto started = Clock::now();
    Handle handle = openDevice(
        u"COM6:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    reportMeasured(prefix + "connect", Clock::now() - started);
    ASSERT_NE(handle, invalidHandle);
    ASSERT_TRUE(remote.waitFor("connected"));
    COMMTIMEOUTS polling { MAXDWORD, MAXDWORD, 50, 0, 5000 };
    setTimeouts(handle, &polling);
    char buffer[128];
    std::uint32_t got = 0;

    // First byte: the remote sends one byte, the port's read returns it.
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        auto sent = Clock::now();
        remote.send("U");
        got = 0;
        while (got == 0 && Clock::now() - sent < 2s)
            readDevice(handle, buffer, sizeof buffer, &got, nullptr);
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("measured %sfirst_byte_median %.1f ms (max %.1f ms)\n", prefix.c_str(),
        latencies[latencies.size() / 2], latencies.back());

    // A minute at 1,000 bytes a second: 100 bytes every 100 ms, read as recvpad reads.
    std::string expected, arrived;
    const auto streamStart = Clock::now();
    auto nextSend = streamStart;
    int chunk = 0;
    while (Clock::now() - streamStart < 60s) {
        if (Clock::now() >= nextSend) {
            std::string bytes;
            for (int i = 0; i < 100; ++i)
                bytes.push_back(char((chunk * 100 + i) * 13 % 256));
            remote.send(bytes);
            expected += bytes;
            ++chunk;
            nextSend += 100ms;
        }
        got = 0;
        readDevice(handle, buffer, sizeof buffer, &got, nullptr);
        arrived.append(buffer, got);
    }
    auto drainUntil = Clock::now() + 3s;
    while (arrived.size() < expected.size() && Clock::now() < drainUntil) {
        got = 0;
        readDevice(handle, buffer, sizeof buffer, &got, nullptr);
        arrived.append(buffer, got);
    }
    std::printf("measured %sstream_bytes %zu of %zu, exact %s\n", prefix.c_str(), arrived.size(),
        expected.size(), arrived == expected ? "yes" : "no");
    EXPECT_TRUE(arrived == expected);
    closeDevice(handle);
}

INSTANTIATE_TEST_SUITE_P(Ports, DISABLED_AsUserBench,
    ::testing::Values(BenchPort { "bound_rfcomm0", false }, BenchPort { "socket", true }), byWhat);

} // namespace

// Bytes through a held port, over a real pseudo-terminal: every byte passes both ways
// unchanged, nothing the device took is lost at Disconnect, and the port keeps the
// device to itself while it is open.
#include "PortFixture.h"

#include "TextCodec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

// A line of `length` letters and a carriage return.
std::string longLine(std::size_t length)
{
    std::string line(length, 'x');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = char('a' + i % 26);
    return line + '\r';
}

// The errno of a plain open of `path` by a program that takes no lock (0 when it
// opens), as another user.
int plainOpenErrorAsOtherUser(const std::string& path)
{
    return exitStatusAsOtherUser([&] {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 ? 0 : errno;
    });
}

} // namespace

TEST_F(SerialPortTest, PassesEveryByteUnchangedBothWays)
{
    cookDevice();
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    std::string bytes = "\r\n\x03\x11\x13\x1a\x7f" + std::string(1, '\0');
    for (int value = 0; value < 256; ++value)
        bytes.push_back(char(value));

    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(port, bytes.data(), std::uint32_t(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(farEnd.receive(bytes.size()), bytes);

    farEnd.send(bytes);
    EXPECT_EQ(readAll(port, bytes.size()), bytes);
    EXPECT_EQ(farEnd.drain(), "") << "received bytes were echoed";
}

// The far end reads only while the port waits for room, so the write goes out in parts.
TEST_F(SerialPortTest, LargeWriteArrivesWholeWhileFarEndReadsSlowly)
{
    Handle port = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(port, invalidHandle);
    std::string bytes(64 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 256);

    std::string arrived;
    std::uint32_t written = 0;
    {
        CFarEndScript reader(farEnd, std::vector(1000, CFarEndScript::receives(arrived)));
        EXPECT_TRUE(
            writeDevice(port, bytes.data(), std::uint32_t(bytes.size()), &written, nullptr));
        EXPECT_GT(reader.waits(), 0) << "the device took it all at once";
    }
    arrived += farEnd.receive(bytes.size() - arrived.size());
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(arrived == bytes) << arrived.size() << " bytes arrived";
}

TEST_F(SerialPortTest, OpeningOrClosingAPortStartsANewStreamOfCharacters)
{
    auto decodeBytes = [](std::string_view bytes) {
        std::u16string text;
        for (char byte : bytes) {
            char16_t units[8];
            int count = byteToWide(0, 0, &byte, 1, units, 8);
            text.append(units, std::size_t(std::max(count, 0)));
        }
        return text;
    };
    // The first two bytes of the euro sign; its last byte comes from another connection.
    decodeBytes("\xE2\x82");
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    EXPECT_EQ(decodeBytes("\xAC"), u"\uFFFD\uFFFD");
    decodeBytes("\xE2\x82");
    EXPECT_TRUE(closeDevice(port));
    EXPECT_EQ(decodeBytes("\xAC"), u"\uFFFD\uFFFD");
}

TEST_F(SerialPortTest, AWriteToAFarEndThatStopsReadingGivesUpAndLeavesThePortUsable)
{
    Handle port = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(port, invalidHandle);
    COMMTIMEOUTS quick { MAXDWORD, MAXDWORD, 100, 0, 300 };
    ASSERT_TRUE(setTimeouts(port, &quick));
    // Far more than the terminal's buffers hold, and the far end reads none of it.
    const std::string line = longLine(1 << 20);
    bool complete = true;
    std::uint32_t written = 0;
    {
        CFarEndScript stalled(farEnd);
        complete = writeDevice(port, line.data(), std::uint32_t(line.size()), &written, nullptr);
        ASSERT_FALSE(stalled.watchdogFired()) << "the write did not give up";
    }
    EXPECT_FALSE(complete);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, line.size());

    // Once the far end reads again, the next line follows what went out, whole.
    std::string arrived;
    std::uint32_t next = 0;
    {
        CFarEndScript reader(farEnd, { CFarEndScript::receives(arrived) });
        EXPECT_TRUE(writeDevice(port, "next\r", 5, &next, nullptr));
    }
    arrived += farEnd.receive(written + 5 - arrived.size());
    EXPECT_EQ(next, 5u);
    EXPECT_TRUE(arrived == line.substr(0, written) + "next\r") << arrived.size() << " bytes";
}

// A pseudo-terminal takes all of a long line at once and passes it to the far end's
// input, where it waits until the far end reads; Disconnect and the end of the program
// must leave it there.
TEST_F(SerialPortTest, DisconnectKeepsEveryByteTheDeviceTook)
{
    const std::string line = longLine(8000);
    Handle port = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(port, invalidHandle);
    std::uint32_t written = 0;
    ASSERT_TRUE(writeDevice(port, line.data(), std::uint32_t(line.size()), &written, nullptr));
    ASSERT_EQ(written, line.size());
    {
        CFarEndScript idle(farEnd);
        EXPECT_TRUE(closeDevice(port));
        EXPECT_EQ(idle.waits(), 0) << "nothing was waiting in the driver";
    }
    std::string arrived = farEnd.receive(line.size());
    EXPECT_TRUE(arrived == line) << arrived.size() << " of " << line.size() << " bytes";

    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            Handle left = openPort(u"COM1:", GENERIC_WRITE);
            std::uint32_t count = 0;
            bool sent = writeDevice(left, line.data(), std::uint32_t(line.size()), &count, nullptr);
            std::exit(sent && count == line.size() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    arrived = farEnd.receive(line.size());
    EXPECT_TRUE(arrived == line) << "at the end: " << arrived.size() << " of " << line.size();
}

// A device whose driver still holds output, as a USB adapter's does until the bytes are
// on the wire: Disconnect gives that output time to leave, and drops it when it does
// not, rather than waiting for a device that takes nothing.
class UnsentOutputTest : public SerialPortTest {
protected:
    // Writes a line the far end has not read yet, and which the driver says it holds.
    void holdUnsent()
    {
        port = openPort(u"COM1:", GENERIC_WRITE);
        ASSERT_NE(port, invalidHandle);
        std::uint32_t written = 0;
        ASSERT_TRUE(writeDevice(port, line.data(), std::uint32_t(line.size()), &written, nullptr));
        ASSERT_TRUE(waitUntil([&] {
            int unsent = 0;
            return ioctl(view, TIOCOUTQ, &unsent) == 0 && unsent > 0;
        }));
    }
    const std::string line = longLine(8000);
    CUnsentOutput counted { farEnd };
    Handle port = invalidHandle;
};

TEST_F(UnsentOutputTest, DisconnectLetsOutputTheDeviceStillHoldsLeave)
{
    holdUnsent();
    std::string arrived;
    {
        CFarEndScript reader(farEnd, std::vector(1000, CFarEndScript::receives(arrived)));
        EXPECT_TRUE(closeDevice(port));
    }
    arrived += farEnd.drain();
    EXPECT_TRUE(arrived == line) << arrived.size() << " of " << line.size() << " bytes";
}

TEST_F(UnsentOutputTest, DisconnectReturnsWhenTheDeviceNeverSendsItsOutput)
{
    holdUnsent();
    {
        CFarEndScript neverReads(farEnd, {}, 20s);
        EXPECT_TRUE(closeDevice(port));
        EXPECT_FALSE(neverReads.watchdogFired()) << "Disconnect waited for the far end";
    }
    EXPECT_LT(farEnd.drain().size(), line.size()) << "output the device never sent was kept";
}

TEST_F(SerialPortTest, HeldPortRefusesEveryOtherOpenUntilClosed)
{
    ports.link(2, farEnd.devicePath());
    // Another user may open the device, so only the port's hold can keep them out.
    ASSERT_EQ(chmod(farEnd.devicePath().c_str(), 0666), 0);
    ASSERT_EQ(plainOpenErrorAsOtherUser(farEnd.devicePath()), 0);

    Handle first = openPort(u"COM1:", GENERIC_READ);
    ASSERT_NE(first, invalidHandle);
    EXPECT_EQ(openPort(u"COM1:", GENERIC_READ), invalidHandle);
    EXPECT_EQ(openPort(u"COM2:", GENERIC_WRITE), invalidHandle);
    // Another serial tool taking the usual lock is kept out too, and a program that takes
    // no lock: exclusive mode is on, and refuses its open.
    EXPECT_TRUE(isHeld(view));
    EXPECT_EQ(plainOpenErrorAsOtherUser(farEnd.devicePath()), EBUSY);

    EXPECT_TRUE(closeDevice(first));
    EXPECT_EQ(plainOpenErrorAsOtherUser(farEnd.devicePath()), 0);
    EXPECT_FALSE(closeDevice(first));

    // So is a program that holds the device in exclusive mode without the lock, even
    // for root, whom the kernel would let in.
    ASSERT_EQ(ioctl(view, TIOCEXCL), 0);
    EXPECT_EQ(openPort(u"COM2:", GENERIC_WRITE), invalidHandle);
    ASSERT_EQ(ioctl(view, TIOCNXCL), 0);

    Handle second = openPort(u"COM2:", GENERIC_WRITE);
    EXPECT_NE(second, invalidHandle);
    EXPECT_TRUE(closeDevice(second));
    EXPECT_TRUE(isFree(view)) << "the hold outlived the port";
}

TEST_F(SerialPortTest, PortsDoOnlyWhatTheyWereOpenedForAndClosedOnesNothing)
{
    Handle writer = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(writer, invalidHandle);
    COMMTIMEOUTS patient { MAXDWORD, MAXDWORD, 1000, 0, 0 };
    ASSERT_TRUE(setTimeouts(writer, &patient));
    farEnd.send("waiting");
    waitForInput(7);
    char buffer[16];
    std::uint32_t got = 99;
    EXPECT_FALSE(readDevice(writer, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(closeDevice(writer));

    Handle reader = openPort(u"COM1:", GENERIC_READ);
    ASSERT_NE(reader, invalidHandle);
    std::uint32_t written = 99;
    EXPECT_FALSE(writeDevice(reader, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(farEnd.drain(), "");

    // Closed or unknown handles do nothing at all.
    ASSERT_TRUE(closeDevice(reader));
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    ASSERT_TRUE(closeDevice(port));
    for (Handle handle : { port, invalidHandle, Handle(0), Handle(123456) }) {
        std::uint32_t count = 99;
        COMMTIMEOUTS timeouts;
        EXPECT_FALSE(writeDevice(handle, "x", 1, &count, nullptr));
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_FALSE(readDevice(handle, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(getTimeouts(handle, &timeouts));
        EXPECT_FALSE(setTimeouts(handle, &timeouts));
        EXPECT_FALSE(closeDevice(handle));
    }
}

TEST_F(SerialPortTest, HungUpDeviceFailsAtOnceWithoutSpinning)
{
    Handle writer = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(writer, invalidHandle);
    farEnd.hangUp();
    CFarEndScript gone(farEnd);
    std::uint32_t written = 99;
    EXPECT_FALSE(writeDevice(writer, "Hi\r", 3, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(gone.waitsThatRanOut(), 0) << "the write waited out its time-out";
    EXPECT_TRUE(closeDevice(writer));
}

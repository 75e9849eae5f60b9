// The benchmarks' own parts, checked so that a wrong number can be blamed on the
// receiver and not on the harness: the stream is what a device sends, the far end's
// bytes really reach the port, the memory and time readings move when they should, and
// a rig's ticks take in exactly what was sent.
#include "FarEnd.h"
#include "LineSource.h"
#include "ProcessStats.h"
#include "ReceiverRig.h"

#include "LogView.h"
#include "ReceiveApp.h"
#include "TestPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;

std::vector<std::string> splitLines(const std::string& stream)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end; (end = stream.find("\r\n", from)) != std::string::npos; from = end + 2)
        lines.push_back(stream.substr(from, end - from));
    return lines;
}

TEST(LineSourceTest, LinesArePrintableAsciiOfSixtyToHundredCharactersEndedByCrLf)
{
    CLineSource source;
    std::string stream = source.next(200000);
    ASSERT_EQ(stream.size(), 200000u);
    std::vector<std::string> lines = splitLines(stream);
    ASSERT_GT(lines.size(), 1500u);
    std::size_t shortest = 1000, longest = 0;
    for (const std::string& line : lines) {
        shortest = std::min(shortest, line.size());
        longest = std::max(longest, line.size());
        EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) {
            return c >= ' ' && c <= '~';
        })) << line;
    }
    EXPECT_EQ(shortest, 60u);
    EXPECT_EQ(longest, 100u);
}

TEST(LineSourceTest, PiecesContinueOneStreamAndRepeatFromRunToRun)
{
    CLineSource whole, pieces, again;
    std::string expected = whole.next(1000);
    std::string joined;
    for (std::size_t size : { 1, 128, 7, 300, 564 })
        joined += pieces.next(size);
    EXPECT_EQ(joined, expected);
    EXPECT_EQ(again.next(1000), expected);
}

TEST(LineSourceTest, EachCarriageReturnAddsOneUnit)
{
    EXPECT_EQ(CLineSource::unitsFor(""), 0u);
    EXPECT_EQ(CLineSource::unitsFor("ab\r\n"), 5u);
    EXPECT_EQ(CLineSource::unitsFor("\r\r\n"), 5u);
}

class FarEndTest : public ::testing::Test {
protected:
    CFarEnd device;
};

TEST_F(FarEndTest, SentBytesWaitInTheSlaveQueue)
{
    ASSERT_TRUE(device.isValid());
    EXPECT_EQ(device.waiting(), 0u);
    ASSERT_TRUE(device.send(std::string(128, 'x')));
    EXPECT_TRUE(device.waitForWaiting(128, 2s));
    EXPECT_EQ(device.waiting(), 128u);
    EXPECT_FALSE(device.waitForWaiting(129, 50ms));
}

TEST_F(FarEndTest, PublishedDirectoryLeadsToTheSlave)
{
    ASSERT_TRUE(device.isValid());
    device.publish();
    const char* directory = std::getenv("SERIALPADS_PORTS");
    ASSERT_NE(directory, nullptr);
    int fd = open((std::string(directory) + "/com1").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    struct stat viaDirectory {}, slave {};
    EXPECT_EQ(fstat(fd, &viaDirectory), 0);
    EXPECT_EQ(fstat(device.slaveFd(), &slave), 0);
    EXPECT_EQ(viaDirectory.st_rdev, slave.st_rdev);
    close(fd);
}

TEST_F(FarEndTest, HangingUpEndsTheStream)
{
    ASSERT_TRUE(device.isValid());
    device.hangUp();
    EXPECT_FALSE(device.send("late"));
    char byte = 0;
    ssize_t n = read(device.slaveFd(), &byte, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
}

TEST_F(FarEndTest, AReturningDeviceIsReachedThroughTheSameEntry)
{
    ASSERT_TRUE(device.isValid());
    device.publish();
    const std::string entry = std::string(std::getenv("SERIALPADS_PORTS")) + "/com1";
    device.hangUp();
    ASSERT_TRUE(device.returnAsNewDevice());
    ASSERT_TRUE(device.isValid());
    // The kernel may give the new pseudo-terminal the old one's number; what counts is
    // that the entry leads to a device that carries bytes again.
    int fd = open(entry.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(device.send("back"));
    EXPECT_TRUE(device.waitForWaiting(4, 2000ms));
    close(fd);
}

TEST(ProcessStatsTest, TouchedMemoryShowsAsPrivateAndResident)
{
    constexpr std::size_t size = 64u << 20;
    MemoryUse before = currentMemoryUse();
    ASSERT_GT(before.resident, 0u);
    ASSERT_GT(before.privateBytes, 0u);
    auto block = std::make_unique<char[]>(size);
    std::memset(block.get(), 1, size);
    MemoryUse after = currentMemoryUse();
    // Other pages of the process come and go meanwhile (several megabytes were seen
    // under load), so the block need only show up clearly, not to the byte: a counter
    // read wrongly shows no growth at all.
    EXPECT_GE(after.privateBytes, before.privateBytes + size / 2);
    EXPECT_GE(after.resident, before.resident + size / 2);
    EXPECT_EQ(block[size - 1], 1);
}

TEST(ProcessStatsTest, BusyWorkUsesProcessorTimeAndSleepingDoesNot)
{
    double cpuStart = processCpuSeconds();
    double wallStart = wallSeconds();
    volatile unsigned sink = 0;
    while (processCpuSeconds() - cpuStart < 0.05)
        sink = sink + 1;
    // The two clocks tick apart; a hair's difference at the end is not a fault.
    EXPECT_GE(wallSeconds() - wallStart, 0.045);

    double cpuBeforeSleep = processCpuSeconds();
    usleep(100000);
    EXPECT_LT(processCpuSeconds() - cpuBeforeSleep, 0.02);
}

class ReceiverRigTest : public ::testing::Test {
protected:
    CReceiveApp app;
    CReceiverRig rig;
};

TEST_F(ReceiverRigTest, ConnectsToItsOwnFarEnd)
{
    EXPECT_TRUE(rig.isConnected());
    EXPECT_EQ(rig.fieldLength(), 0u);
}

TEST_F(ReceiverRigTest, OneTickTakesTheWaiting128Bytes)
{
    ASSERT_TRUE(rig.isConnected());
    rig.holdTimer();
    std::string bytes = rig.lines().next(300);
    ASSERT_TRUE(rig.farEnd().send(bytes));
    ASSERT_TRUE(rig.farEnd().waitForWaiting(300, 2s));
    rig.tick();
    EXPECT_EQ(rig.fieldLength(), CLineSource::unitsFor(bytes.substr(0, 128)));
    EXPECT_EQ(rig.farEnd().waiting(), 172u);
}

TEST_F(ReceiverRigTest, ReceiveFillsTheFieldWithExactlyTheStream)
{
    ASSERT_TRUE(rig.isConnected());
    rig.holdTimer();
    ASSERT_TRUE(rig.receive(100000, 60s));
    CLineSource same;
    std::string stream = same.next(100000);
    std::u16string expected;
    for (char c : stream) {
        expected += char16_t(c);
        if (c == '\r')
            expected += u'\n';
    }
    EXPECT_TRUE(rig.field()->text() == expected);
    EXPECT_EQ(rig.farEnd().waiting(), 0u);
}

TEST_F(ReceiverRigTest, HeldTimerLeavesBytesForTheBenchmarksTicks)
{
    ASSERT_TRUE(rig.isConnected());
    rig.holdTimer();
    ASSERT_TRUE(rig.farEnd().send("kept"));
    ASSERT_TRUE(rig.farEnd().waitForWaiting(4, 2s));
    processEventsFor(100ms);
    EXPECT_EQ(rig.fieldLength(), 0u);
    EXPECT_EQ(rig.farEnd().waiting(), 4u);
}
} // namespace

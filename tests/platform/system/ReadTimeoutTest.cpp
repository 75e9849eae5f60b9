// How a read on a real device ends under the port's time-outs. When each deadline
// falls is arithmetic, checked as tables in SerialTimeoutsTest; here the far end acts
// inside the port's waits, and a read is seen to end at once (no wait ran out) or by
// its time-out (one did), so nothing depends on how fast the machine is.
#include "PortFixture.h"
#include "TableRow.h"

using namespace std::chrono_literals;

TEST_F(SerialPortTest, PortTimeoutsStartWithOurDefaultsAndArePerPort)
{
    CTestPort other;
    ports.link(2, other.devicePath());
    Handle first = openPort(u"COM1:");
    Handle second = openPort(u"COM2:");
    ASSERT_NE(first, invalidHandle);
    ASSERT_NE(second, invalidHandle);
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(getTimeouts(first, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);

    timeouts.ReadTotalTimeoutConstant = 50;
    ASSERT_TRUE(setTimeouts(first, &timeouts));
    COMMTIMEOUTS stored, untouched;
    ASSERT_TRUE(getTimeouts(first, &stored));
    ASSERT_TRUE(getTimeouts(second, &untouched));
    EXPECT_EQ(stored.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(untouched.ReadTotalTimeoutConstant, 100u);
    EXPECT_FALSE(getTimeouts(first, nullptr));
    EXPECT_FALSE(setTimeouts(first, nullptr));
}

class ReadTimeoutTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        port = openPort(u"COM1:", GENERIC_READ);
        ASSERT_NE(port, invalidHandle);
    }
    void use(COMMTIMEOUTS timeouts) { ASSERT_TRUE(setTimeouts(port, &timeouts)); }
    struct ReadOutcome {
        std::string bytes;
        bool succeeded;
    };
    ReadOutcome readUpTo(std::uint32_t count)
    {
        std::string buffer(count, '\0');
        std::uint32_t got = 99;
        bool succeeded = readDevice(port, buffer.data(), count, &got, nullptr);
        return { buffer.substr(0, got), succeeded };
    }
    Handle port = invalidHandle;
};

struct ReadCase : CTableRow {
    COMMTIMEOUTS timeouts;
    std::uint32_t count;
    std::string before; // waiting when the read starts
    std::vector<CFarEndScript::Step> during; // what the far end does at each wait
    std::string expected;
    bool timedOut; // whether a wait ran out before the read ended
};

class ReadEndTest : public ReadTimeoutTest, public ::testing::WithParamInterface<ReadCase> { };

TEST_P(ReadEndTest, EndsAsItsTimeoutsSay)
{
    const ReadCase& entry = GetParam();
    use(entry.timeouts);
    if (!entry.before.empty()) {
        farEnd.send(entry.before);
        waitForInput(int(entry.before.size()));
    }
    CFarEndScript far(farEnd, entry.during);
    auto [bytes, succeeded] = readUpTo(entry.count);
    EXPECT_EQ(bytes, entry.expected);
    EXPECT_TRUE(succeeded) << "a read that times out has not failed";
    EXPECT_EQ(far.waitsThatRanOut() > 0, entry.timedOut) << far.waitsThatRanOut() << " ran out";
    EXPECT_FALSE(far.watchdogFired());
}

using Far = CFarEndScript;
constexpr COMMTIMEOUTS anyWithinASecond { MAXDWORD, MAXDWORD, 1000, 0, 0 };

INSTANTIATE_TEST_SUITE_P(Timeouts, ReadEndTest,
    ::testing::Values(ReadCase { "BytesThereAreReturnedAtOnce", anyWithinASecond, 128, "Hi\r", {},
                          "Hi\r", false },
        ReadCase { "BytesThatComeEndTheWaitAtOnce", anyWithinASecond, 128, "",
            { Far::sends("Hi\r") }, "Hi\r", false },
        ReadCase { "NoFirstByteWaitsTheConstant", { MAXDWORD, MAXDWORD, 50, 10, 5000 }, 128, "", {},
            "", true },
        ReadCase { "NoByteWaitsMultiplierAndConstant", { 0, 10, 40, 0, 0 }, 8, "", {}, "", true },
        ReadCase { "IntervalOnlyOnlyLooks", { MAXDWORD, 0, 0, 0, 0 }, 16, "", {}, "", false },
        ReadCase {
            "IntervalOnlyGivesWhatIsThere", { MAXDWORD, 0, 0, 0, 0 }, 16, "abc", {}, "abc", false },
        // Longer than the interval before the first byte, and the read still gets it.
        ReadCase { "IntervalStartsAtTheFirstByte", { 100, 0, 0, 0, 0 }, 16, "",
            { Far::sendsAfter(150ms, "ab") }, "ab", true },
        ReadCase { "IntervalLetsTheNextBytesCome", { 1000, 0, 0, 0, 0 }, 7, "",
            { Far::sends("one "), Far::sends("two") }, "one two", false },
        ReadCase { "AllZeroWaitsForEveryByte", { 0, 0, 0, 0, 0 }, 5, "",
            { Far::sends("12"), Far::sends("345") }, "12345", false }),
    byWhat);

TEST_F(ReadTimeoutTest, GivesAtMostCountBytesPerRead)
{
    farEnd.send(std::string(300, 'x'));
    waitForInput(300);
    for (std::size_t expected : { 128, 128, 44 })
        EXPECT_EQ(readUpTo(128).bytes.size(), expected);
}

TEST_F(ReadTimeoutTest, HungUpDeviceEndsReadsAtOnceWithoutSpinning)
{
    use({ MAXDWORD, MAXDWORD, 1000, 10, 5000 });
    // A read already waiting ends when the far end goes.
    CFarEndScript far(farEnd, { CFarEndScript::hangsUp() });
    ReadOutcome gone = readUpTo(128);
    EXPECT_EQ(gone.bytes, "");
    EXPECT_FALSE(gone.succeeded) << "a device that went away is a failed read";
    EXPECT_EQ(far.waitsThatRanOut(), 0) << "the read waited out its time-out";

    // Later reads wait their time-out while the device is away, so a reader calling in a
    // loop stays idle instead of spinning.
    use({ MAXDWORD, MAXDWORD, 20, 10, 5000 });
    for (int read = 1; read <= 5; ++read) {
        ReadOutcome away = readUpTo(128);
        EXPECT_FALSE(away.succeeded);
        EXPECT_EQ(away.bytes, "");
        EXPECT_GE(far.waitsThatRanOut(), read) << "read " << read << " did not wait";
    }
    EXPECT_TRUE(closeDevice(port));
}

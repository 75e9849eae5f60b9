// The receiver's dialog, driven through its real widgets and timer, reading from a
// pseudo-terminal reached through the port directory as a device would be.
#include "ReceiveDialog.h"

#include "ReceiveApp.h"

#include "DialogDriver.h"
#include "DialogWindow.h"
#include "LogView.h"
#include "ReceiveResources.h"
#include "TestPort.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

namespace {
using namespace std::chrono_literals;

class ReceiveDialogTest : public ::testing::Test {
protected:
    ReceiveDialogTest() { ports.link(1, device.devicePath()); }

    void connect()
    {
        auto messages = driver.answeringMessages([&] { driver.click(IDC_RECEIVE_CONNECT); });
        ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
        ASSERT_TRUE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    }

    // One timer message, delivered as the window's timer would deliver it.
    void tick() { static_cast<CDialogWindow*>(dialog.native())->deliver(WM_TIMER, 0, 0, 1); }

    // Lets bytes written by the far end reach the device's input queue.
    static void settle() { std::this_thread::sleep_for(30ms); }

    std::u16string fieldText() const
    {
        return driver.logView(IDC_RECEIVE_TEXT)->text().toU16String();
    }

    bool fieldShows(std::u16string_view expected) const { return fieldText() == expected; }

    CReceiveApp app;
    CTestPortDirectory ports;
    CTestPort device;
    CReceiveDialog dialog;
    CDialogDriver driver { dialog };
};

TEST_F(ReceiveDialogTest, StartsIdleWithPortOneSelected)
{
    ASSERT_TRUE(driver.created());
    EXPECT_EQ(driver.window()->windowTitle(), "Recvpad");
    EXPECT_EQ(driver.list(IDC_RECEIVE_PORT_LIST)->currentText(), "1");
    EXPECT_EQ(driver.list(IDC_RECEIVE_PORT_LIST)->count(), 9);
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_CONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_TEXT));
    EXPECT_EQ(fieldText(), u"");
}

TEST_F(ReceiveDialogTest, ArrivingBytesAppearThroughTheTimer)
{
    connect();
    device.send("AB\r");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"AB\r\n"); }, 2000ms))
        << "field has " << fieldText().size() << " units";
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_CONNECT));
}

struct BytesCase {
    const char* name;
    std::vector<std::string> ticks; // what the far end sends before each tick
    std::u16string expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BytesCase& value, std::ostream* out)
{
    *out << value.name;
}

class ReceiveBytesTest : public ReceiveDialogTest,
                         public ::testing::WithParamInterface<BytesCase> { };

TEST_P(ReceiveBytesTest, FieldHoldsTheConvertedText)
{
    connect();
    for (const std::string& bytes : GetParam().ticks) {
        device.send(bytes);
        settle();
        tick();
    }
    EXPECT_EQ(fieldText(), GetParam().expected);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(Streams, ReceiveBytesTest,
    ::testing::Values(BytesCase { "CarriageReturn", { "AB\r" }, u"AB\r\n" },
        BytesCase { "CarriageReturnLineFeed", { "\r\n" }, u"\r\n\n" },
        BytesCase { "LineFeedAlone", { "a\nb" }, u"a\nb" },
        BytesCase { "Utf8SplitAcrossTicks", { "\xE2\x82", "\xAC!" }, u"\u20AC!" },
        BytesCase {
            "FourByteCharacterOneByteATick", { "\xF0", "\x9F", "\x98", "\x80" }, u"\U0001F600" },
        BytesCase { "NulKeepsWhatFollows", { "a\0b"s }, u"a\0b"s },
        BytesCase { "InvalidBytesBecomeReplacements",
            { "a\xFF"
              "b\xC3(" },
            u"a\uFFFDb\uFFFD(" },
        BytesCase { "CharacterCutByCarriageReturn", { "x\xC3\r" }, u"x\uFFFD\r\n" },
        BytesCase { "TicksAppendAfterEachOther", { "one\r", "two\r" }, u"one\r\ntwo\r\n" }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ReceiveDialogTest, ThreeHundredWaitingBytesTakeThreeTicks)
{
    connect();
    device.send(std::string(300, 'z'));
    settle();
    tick();
    EXPECT_EQ(fieldText().size(), 128u);
    tick();
    EXPECT_EQ(fieldText().size(), 256u);
    tick();
    EXPECT_EQ(fieldText().size(), 300u);
}

TEST_F(ReceiveDialogTest, ATickThatReadsNothingTouchesNothing)
{
    connect();
    device.send("kept");
    settle();
    tick();
    CWideString before = driver.logView(IDC_RECEIVE_TEXT)->text();
    // A selection made but not yet read by the dialog stays as the user left it.
    driver.list(IDC_RECEIVE_PORT_LIST)->setCurrentIndex(6);
    tick();
    EXPECT_TRUE(driver.logView(IDC_RECEIVE_TEXT)->text().extends(before));
    EXPECT_EQ(driver.logView(IDC_RECEIVE_TEXT)->text().length(), before.length());
    EXPECT_EQ(driver.list(IDC_RECEIVE_PORT_LIST)->currentText(), "7");
}

TEST_F(ReceiveDialogTest, DisconnectStopsPollingAndReconnectAppends)
{
    connect();
    device.send("old\r");
    ASSERT_TRUE(waitUntil([&] { return fieldShows(u"old\r\n"); }));
    driver.click(IDC_RECEIVE_DISCONNECT);
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_CONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));

    // The port is released, so the far end's bytes wait for the next connect.
    Handle other = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    EXPECT_NE(other, invalidHandle);
    closeDevice(other);
    processEventsFor(100ms);
    EXPECT_EQ(fieldText(), u"old\r\n");

    connect();
    device.send("new");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"old\r\nnew"); }));
}

TEST_F(ReceiveDialogTest, EndingTheDialogWhileConnectedReleasesThePort)
{
    connect();
    driver.destroy();
    Handle other = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    EXPECT_NE(other, invalidHandle);
    closeDevice(other);
}

TEST_F(ReceiveDialogTest, AFailedConnectStartsNoTimer)
{
    std::filesystem::remove(ports.entry(1));
    ports.link(1, ports.path() / "missing");
    auto messages = driver.answeringMessages([&] { driver.click(IDC_RECEIVE_CONNECT); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front(), "Error openning COM port.");
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_CONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    EXPECT_FALSE(stopTimer(dialog, CReceiveDialog::pollTimerId));
}

TEST_F(ReceiveDialogTest, AFarEndThatHangsUpLeavesTheDialogWorking)
{
    connect();
    device.send("before");
    ASSERT_TRUE(waitUntil([&] { return fieldShows(u"before"); }));
    device.hangUp();
    processEventsFor(200ms);
    EXPECT_EQ(fieldText(), u"before");
    driver.click(IDC_RECEIVE_DISCONNECT);
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_CONNECT));

    // The device comes back (here: a new one under the same port number).
    CTestPort back;
    ports.link(1, back.devicePath());
    connect();
    back.send(" after");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"before after"); }));
}

// While a tick's read waits for its first byte the window stays live; what the user
// does meanwhile runs once the tick has returned, never inside it.
TEST_F(ReceiveDialogTest, DisconnectClickedWhileATickWaitsRunsAfterTheTick)
{
    connect();
    bool disconnectedInsideTheTick = true;
    QTimer::singleShot(10ms, [&] {
        driver.click(IDC_RECEIVE_DISCONNECT);
        disconnectedInsideTheTick = driver.isEnabled(IDC_RECEIVE_CONNECT);
        device.send("late\r");
    });
    tick();
    EXPECT_FALSE(disconnectedInsideTheTick);
    EXPECT_EQ(fieldText(), u"late\r\n") << "the waiting tick still reads what came";
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    ASSERT_TRUE(waitUntil([&] { return driver.isEnabled(IDC_RECEIVE_CONNECT); }));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    device.send("after\r");
    processEventsFor(100ms);
    EXPECT_EQ(fieldText(), u"late\r\n") << "no tick after Disconnect";
}

TEST_F(ReceiveDialogTest, ClosingWhileATickWaitsEndsTheDialogAfterTheTick)
{
    connect();
    bool endedInsideTheTick = true;
    QTimer::singleShot(10ms, [&] {
        driver.window()->close();
        endedInsideTheTick = dialog.isEnded();
    });
    tick();
    EXPECT_FALSE(endedInsideTheTick);
    ASSERT_TRUE(waitUntil([&] { return dialog.isEnded(); }));
    driver.destroy();
    Handle other = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    EXPECT_NE(other, invalidHandle) << "the window's destruction released the port";
    closeDevice(other);
}
} // namespace

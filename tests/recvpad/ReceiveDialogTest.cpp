// The receiver's dialog, driven through its real widgets and timer, reading from a
// pseudo-terminal reached through the port directory as a device would be.
#include "ReceiveDialog.h"

#include "ReceiveApp.h"

#include "DialogDriver.h"
#include "DialogWindow.h"
#include "LogView.h"
#include "PortRegistry.h"
#include "ReceiveResources.h"
#include "TableRow.h"
#include "TestPort.h"
#include "TextContrast.h"

#include <QApplication>
#include <QComboBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class ReceiveDialogTest : public ::testing::Test {
protected:
    ReceiveDialogTest()
    {
        ports.link(1, device.devicePath());
        // A second descriptor on the device, opened before the dialog holds it, that
        // only looks at how many bytes wait to be read.
        view = open(device.devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~ReceiveDialogTest() override
    {
        if (view >= 0)
            close(view);
    }

    void connect()
    {
        auto messages = driver.answeringMessages([&] { driver.click(IDC_RECEIVE_CONNECT); });
        ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
        ASSERT_TRUE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    }

    // A tick that outlasted its period leaves the next one due, and a click goes after
    // what is due, so Disconnect may run a moment after the click.
    void disconnect()
    {
        driver.click(IDC_RECEIVE_DISCONNECT);
        ASSERT_TRUE(waitUntil([&] { return driver.isEnabled(IDC_RECEIVE_CONNECT); }));
    }

    // Links port 1 to `back`, the device returned as a new terminal, and gives a
    // descriptor on it once the dialog's reads have opened and hold it again (before
    // that, the new terminal would echo what its far end sends); -1 if they do not.
    int bringBack(CTestPort& back)
    {
        ports.link(1, back.devicePath());
        int watcher = open(back.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (watcher >= 0 && !waitUntil([&] { return exclusiveMode(watcher); }, 3s)) {
            close(watcher);
            return -1;
        }
        return watcher;
    }

    // One timer message, delivered as the window's timer would deliver it.
    void tick()
    {
        dialogWindowOf(dialog)->deliver(WM_TIMER, 0, 0, 1);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    }

    // Waits until the `count` bytes the far end has just written wait in the device's
    // input queue, so the next tick finds them all. The event loop does not run
    // meanwhile, so the dialog's own timer takes none of them.
    void settle(std::size_t count) const
    {
        auto deadline = std::chrono::steady_clock::now() + 2s;
        int waiting = 0;
        while ((ioctl(view, FIONREAD, &waiting) != 0 || std::size_t(waiting) < count)
            && std::chrono::steady_clock::now() < deadline)
            QThread::usleep(200);
        ASSERT_GE(waiting, int(count)) << "the bytes did not reach the device";
    }

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
    int view = -1;
};

// Idle until a Connect; then arriving bytes appear through the timer.
TEST_F(ReceiveDialogTest, StartsIdleWithPortOneSelectedThenShowsWhatArrives)
{
    ASSERT_TRUE(driver.created());
    EXPECT_EQ(driver.window()->windowTitle(), "Recvpad");
    EXPECT_EQ(driver.list(IDC_RECEIVE_PORT_LIST)->currentText(), "1");
    EXPECT_EQ(driver.list(IDC_RECEIVE_PORT_LIST)->count(), 9);
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_CONNECT));
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_TEXT));
    EXPECT_EQ(fieldText(), u"");

    connect();
    device.send("AB\r");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"AB\r\n"); }, 2000ms))
        << "field has " << fieldText().size() << " units";
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_CONNECT));
}

struct BytesCase : CTableRow {
    std::vector<std::string> ticks; // what the far end sends before each tick
    std::u16string expected;
};

class ReceiveBytesTest : public ReceiveDialogTest,
                         public ::testing::WithParamInterface<BytesCase> { };

TEST_P(ReceiveBytesTest, FieldHoldsTheConvertedText)
{
    connect();
    for (const std::string& bytes : GetParam().ticks) {
        device.send(bytes);
        settle(bytes.size());
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
    byWhat);

TEST_F(ReceiveDialogTest, ThreeHundredWaitingBytesTakeThreeTicksAndAFourthTouchesNothing)
{
    connect();
    device.send(std::string(300, 'z'));
    settle(300);
    tick();
    EXPECT_EQ(fieldText().size(), 128u);
    tick();
    EXPECT_EQ(fieldText().size(), 256u);
    tick();
    EXPECT_EQ(fieldText().size(), 300u);

    // A tick that reads nothing touches nothing.
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
    disconnect();
    EXPECT_FALSE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));
    EXPECT_FALSE(stopTimer(dialog, CReceiveDialog::pollTimerId)) << "the timer outlived Disconnect";

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

TEST_F(ReceiveDialogTest, ACharacterCutByDisconnectNeverJoinsTheNextConnection)
{
    connect();
    device.send("a\xE2\x82");
    settle(3);
    tick();
    EXPECT_EQ(fieldText(), u"a");
    disconnect();

    // The euro sign's last byte, in a new connection: both halves show as broken, the
    // unfinished one first, where its bytes were.
    connect();
    device.send("\xAC!");
    settle(2);
    tick();
    EXPECT_EQ(fieldText(), u"a\uFFFD\uFFFD!");
}

// The whole round as a display shows it; the display tests run this again on Wayland.
TEST_F(ReceiveDialogTest, MapsConnectsReceivesALineAndEnds)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(driver.window()));
    connect();
    device.send("a line\r");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"a line\r\n"); }));
    driver.closeWindow();
    EXPECT_TRUE(dialog.isEnded());
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

TEST_F(ReceiveDialogTest, TextFlowsOnWhenTheDeviceComesBack)
{
    connect();
    device.send("before");
    ASSERT_TRUE(waitUntil([&] { return fieldShows(u"before"); }));
    device.hangUp();

    // Back under the same port number: the timer's reads open it again by themselves.
    CTestPort back;
    int watcher = bringBack(back);
    ASSERT_GE(watcher, 0);
    back.send(" after\r");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"before after\r\n"); }));
    EXPECT_TRUE(driver.isEnabled(IDC_RECEIVE_DISCONNECT));

    // Disconnect lets go of the device it had opened again, and a Connect takes it anew.
    disconnect();
    EXPECT_TRUE(isFree(watcher));
    close(watcher);
    connect();
    back.send("!");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"before after\r\n!"); }));
}

TEST_F(ReceiveDialogTest, ACharacterCutByTheDeviceGoingAwayNeverJoinsWhatFollowsItsReturn)
{
    connect();
    device.send("a\xE2\x82");
    ASSERT_TRUE(waitUntil([&] { return fieldShows(u"a"); }));
    device.hangUp();

    CTestPort back;
    int watcher = bringBack(back);
    ASSERT_GE(watcher, 0);
    back.send("\xAC!");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"a\uFFFD\uFFFD!"); }));
    close(watcher);
}

// A silent device costs nothing between its bytes: once a tick has waited its read out
// with nothing arriving, no tick runs, and so no port call is made, until the device
// has input, which then shows at once, or hangs up, which the next tick notices.
TEST_F(ReceiveDialogTest, ASilentDeviceIsNotPolledUntilItHasInputOrHangsUp)
{
    const auto portCalls = [] { return CPortRegistry::instance().callsMade(); };
    const auto callsStop = [&] {
        return waitUntil([&] {
            const auto before = portCalls();
            processEventsFor(150ms);
            return portCalls() == before;
        });
    };
    connect();
    ASSERT_TRUE(callsStop()) << "a silent device is still polled";
    device.send("a");
    ASSERT_TRUE(waitUntil([&] { return fieldShows(u"a"); }));
    ASSERT_TRUE(callsStop()) << "polling did not stop again";

    device.hangUp();
    CTestPort back;
    int watcher = bringBack(back);
    ASSERT_GE(watcher, 0) << "the loss of the device went unnoticed";
    back.send("b");
    EXPECT_TRUE(waitUntil([&] { return fieldShows(u"ab"); }));
    close(watcher);
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
        driver.closeWindow();
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

// On a dark desktop every text stays readable against what is behind it: the controls,
// the received lines, and a line selected with the mouse on the selection's colour.
TEST_F(ReceiveDialogTest, EveryTextStaysReadableOnADarkDesktop)
{
    CDarkDesktop dark;
    connect();
    // The first line is longer than the field is wide, so its selection fills the row.
    device.send("Received from the device, a line longer than the field is wide\rHello World\r");
    ASSERT_TRUE(waitUntil([&] { return driver.logView(IDC_RECEIVE_TEXT)->lineCount() >= 2; }, 2s));
    QWidget* lines = driver.logView(IDC_RECEIVE_TEXT)->viewport();
    auto mouse = [&](QEvent::Type type, QPointF at) {
        QMouseEvent event(type, at, lines->mapToGlobal(at), Qt::LeftButton,
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(lines, &event);
    };
    QPointF rightOfFirstLine(lines->width() - 2, 2);
    mouse(QEvent::MouseButtonPress, QPointF(1, 2));
    mouse(QEvent::MouseMove, rightOfFirstLine);
    mouse(QEvent::MouseButtonRelease, rightOfFirstLine);
    ASSERT_TRUE(driver.logView(IDC_RECEIVE_TEXT)->hasSelection());
    for (const QString& problem : lowContrastTexts(driver.window()))
        ADD_FAILURE() << problem.toStdString();
}
} // namespace

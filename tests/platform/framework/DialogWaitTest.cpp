// A dialog whose handlers wait on a port: what reaches it meanwhile (clicks, keys,
// ticks, the close button) runs after the handler, in the order it came, and the
// windows stay live.
#include "DialogDriver.h"
#include "DialogWindow.h"
#include "DialogWindowProbe.h"
#include "Framework.h"
#include "LiveWait.h"
#include "LogView.h"
#include "QtText.h"
#include "TestDialog.h"
#include "TestPort.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace {
using namespace std::chrono_literals;

// A dialog whose first click waits on a silent port, as a tick or a send does, while
// the test acts on the live window from inside that wait.
class CWaitingDialog : public CTestDialog {
public:
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

    Handle port = invalidHandle;
    std::vector<std::string> log;
    bool reentered = false;
    // Run inside the first press's wait, from the event loop that wait runs.
    std::function<void()> duringFirstWait;
    // Run once, after the first press's wait: what that handler does last.
    std::function<void()> afterFirstWait;
    // What the first press waits on instead of a read of `port`.
    std::function<void()> firstWait;
    // Later presses empty the line and put the caret in it, as a Clear does.
    bool laterPressesClear = false;

private:
    void enter(const std::string& what)
    {
        reentered = reentered || inHandler;
        inHandler = true;
        log.push_back(what);
    }
    void onWaitingPress()
    {
        enter("press");
        if (!waited) {
            waited = true;
            std::uint8_t buffer[16];
            std::uint32_t got = 0;
            // Posted now, it runs when the wait first runs the event loop.
            if (duringFirstWait)
                QMetaObject::invokeMethod(qApp, duringFirstWait, Qt::QueuedConnection);
            if (firstWait)
                firstWait();
            else
                readDevice(port, buffer, sizeof buffer, &got, nullptr);
            if (afterFirstWait)
                afterFirstWait();
        } else if (laterPressesClear) {
            line.makeEmpty();
            exchangeData(Exchange::toControls);
            focusControl(lineField);
        }
        log.push_back("/press");
        inHandler = false;
    }
    void onOff()
    {
        enter("off");
        log.push_back("/off");
        inHandler = false;
    }
    void onWaitingTick(std::uintptr_t id)
    {
        enter("tick " + std::to_string(id));
        if (waitOnFirstTick && !tickWaited) {
            tickWaited = true;
            std::uint8_t buffer[16];
            std::uint32_t got = 0;
            readDevice(port, buffer, sizeof buffer, &got, nullptr);
            // A second port call: the tick did more than read a silent port, so the
            // timer keeps running (a tick that only read would sleep).
            COMMTIMEOUTS timeouts;
            getTimeouts(port, &timeouts);
        }
        log.push_back("/tick");
        inHandler = false;
    }

public:
    // The first tick waits on the port too, as the receiver's ticks do.
    bool waitOnFirstTick = false;

private:
    bool tickWaited = false;

    bool inHandler = false;
    bool waited = false;
    static const AFX_MSGMAP_ENTRY entries[];
};

const AFX_MSGMAP_ENTRY CWaitingDialog::entries[] = {
    MessageMapEntries<CWaitingDialog>::onClicked<&CWaitingDialog::onWaitingPress>(pressId),
    MessageMapEntries<CWaitingDialog>::onClicked<&CWaitingDialog::onOff>(offId),
    MessageMapEntries<CWaitingDialog>::onTimer<&CWaitingDialog::onWaitingTick>(),
};
const AFX_MSGMAP CWaitingDialog::messageMap { &CTestDialog::messageMap, entries };

class WaitingDialogTest : public ::testing::Test {
protected:
    WaitingDialogTest()
    {
        ports.link(1, device.devicePath());
        dialog.port = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
        COMMTIMEOUTS timeouts { MAXDWORD, MAXDWORD, 150, 0, 0 };
        setTimeouts(dialog.port, &timeouts);
    }
    ~WaitingDialogTest() override { closeDevice(dialog.port); }

    CDialogWindow* window() const { return dialogWindowOf(dialog); }
    // Runs `during` inside the first press's wait on the port.
    void clickAndActDuringTheWait(std::function<void()> during)
    {
        dialog.duringFirstWait = std::move(during);
        driver.click(pressId);
    }

    CTestPortDirectory ports;
    CTestPort device;
    CWaitingDialog dialog;
    CDialogDriver driver { dialog };
};

TEST_F(WaitingDialogTest, InputDuringAWaitRunsAfterTheHandlerInOrderWithTicksMerged)
{
    ASSERT_NE(dialog.port, invalidHandle);
    std::vector<std::string> logInsideTheWait;
    clickAndActDuringTheWait([&] {
        window()->deliver(WM_TIMER, 0, 0, 7);
        window()->deliver(WM_TIMER, 0, 0, 7);
        driver.click(pressId);
        window()->deliver(WM_TIMER, 0, 0, 7);
        window()->deliver(WM_TIMER, 0, 0, 8);
        logInsideTheWait = dialog.log;
    });
    EXPECT_EQ(logInsideTheWait, std::vector<std::string> { "press" })
        << "nothing held runs before the handler has returned";
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 8; }));
    processEventsFor(30ms);
    EXPECT_EQ(dialog.log,
        (std::vector<std::string> {
            "press", "/press", "tick 7", "/tick", "press", "/press", "tick 8", "/tick" }));
    EXPECT_FALSE(dialog.reentered);
}

// Held as raw input ("click": the disabled button ignores the replayed press) or as the
// click message itself ("clicked": the queue must drop it).
class HeldOnADisabledButtonTest : public WaitingDialogTest,
                                  public ::testing::WithParamInterface<const char*> { };

TEST_P(HeldOnADisabledButtonTest, AHeldClickAndAHeldTickOfAStoppedTimerAreDropped)
{
    dialog.afterFirstWait = [&] {
        enableControl(dialog.press, Enable::off);
        stopTimer(dialog, 7);
    };
    clickAndActDuringTheWait([&] {
        if (std::string(GetParam()) == "click")
            driver.click(pressId);
        else
            window()->deliver(WM_COMMAND, BN_CLICKED, pressId, 0);
        window()->deliver(WM_TIMER, 0, 0, 7);
        window()->deliver(WM_TIMER, 0, 0, 9);
    });
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 4; }));
    processEventsFor(30ms);
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "press", "/press", "tick 9", "/tick" }));
}

INSTANTIATE_TEST_SUITE_P(Input, HeldOnADisabledButtonTest, ::testing::Values("click", "clicked"));

// A blocked thread runs no timer: a tick that falls due during a wait is not even
// queued until the wait has ended.
TEST_F(WaitingDialogTest, ATimerThatFallsDueDuringAWaitQueuesNothingUntilItEnds)
{
    ASSERT_NE(dialog.port, invalidHandle);
    ASSERT_EQ(startTimer(dialog, 7, 20), 7u);
    bool heldNothingInside = false;
    clickAndActDuringTheWait([&] {
        // Past a whole period, so a timer armed now would be due.
        std::this_thread::sleep_for(40ms);
        QCoreApplication::processEvents();
        heldNothingInside = CDialogWindowProbe::queuesNothing(*window());
    });
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 4; }));
    stopTimer(dialog, 7);
    EXPECT_TRUE(heldNothingInside);
    EXPECT_EQ(dialog.log[2], "tick 7") << "the tick that fell due runs after the wait";
}

// A tick is run at once when nothing is queued, so that an idle dialog's ticks do not go
// round the event loop; one that comes behind queued input still waits its turn.
TEST_F(WaitingDialogTest, ATickRunsAfterWhatWasQueuedBeforeIt)
{
    dialog.firstWait = [] { };
    window()->deliver(WM_COMMAND, BN_CLICKED, pressId, 0);
    CDialogWindowProbe::tick(*window(), 7);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 4; }));
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "press", "/press", "tick 7", "/tick" }));
}

// The timer's own ticks that fall due while one of its ticks waits: Qt skips them, so
// without the framework the next tick would wait for the period's next step (up to a
// whole period more, in which arriving bytes sit unread). The first tick waits 150 ms:
// one step of a 100 ms period falls due meanwhile, or two of a 70 ms one; either way
// the next step of the period is 50 or 60 ms after that wait ends.
class TicksDuringATickTest : public WaitingDialogTest,
                             public ::testing::WithParamInterface<std::uint32_t> { };

TEST_P(TicksDuringATickTest, RunOnceRightAfterIt)
{
    ASSERT_NE(dialog.port, invalidHandle);
    dialog.waitOnFirstTick = true;
    const std::uintptr_t id = startTimer(dialog, 7, GetParam());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 2; }));
    // One pass of the loop, not waiting: the tick that fell due is run at once, not at
    // the period's next step.
    QCoreApplication::processEvents();
    stopTimer(dialog, id);
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "tick 7", "/tick", "tick 7", "/tick" }));
    EXPECT_FALSE(dialog.reentered);
}

INSTANTIATE_TEST_SUITE_P(Periods, TicksDuringATickTest, ::testing::Values(100u, 70u));

TEST_F(WaitingDialogTest, AWaitingReadRunsTheEventLoopAndEndsWhenBytesCome)
{
    bool ranDuringTheWait = false;
    QTimer::singleShot(20ms, [&] {
        ranDuringTheWait = true;
        device.send("xy");
    });
    char buffer[8] = {};
    std::uint32_t got = 0;
    EXPECT_TRUE(readDevice(dialog.port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_TRUE(ranDuringTheWait);
    EXPECT_EQ(std::string(buffer, got), "xy");
}

namespace {
QStringList qtWarnings;
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        qtWarnings.push_back(text);
}
} // namespace

// A silent port's waits keep their read notifier from one wait to the next. Bytes that
// come between two waits must neither be lost nor keep the event loop spinning, and a
// port closed while its notifier is kept must leave nothing watching its descriptor.
TEST_F(WaitingDialogTest, BytesBetweenTwoWaitsWaitForTheNextReadAndAClosedPortIsNotWatched)
{
    COMMTIMEOUTS timeouts { MAXDWORD, MAXDWORD, 20, 0, 0 };
    setTimeouts(dialog.port, &timeouts);
    char buffer[8] = {};
    std::uint32_t got = 0;
    EXPECT_TRUE(readDevice(dialog.port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);

    device.send("ab");
    // A loop that spins on the bytes spends the whole time on the processor.
    timespec before {}, after {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    QEventLoop idle;
    QTimer::singleShot(100ms, &idle, &QEventLoop::quit);
    idle.exec();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    const double spentMs
        = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(spentMs, 50.0) << "the event loop spun on the waiting bytes";
    EXPECT_TRUE(readDevice(dialog.port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "ab");

    EXPECT_TRUE(readDevice(dialog.port, buffer, sizeof buffer, &got, nullptr));
    qtWarnings.clear();
    QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    closeDevice(dialog.port);
    dialog.port = invalidHandle;
    QTest::qWait(40);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(qtWarnings.isEmpty()) << qtWarnings.join(u'\n').toStdString();
}

// The waits share one read notifier, which keeps watching a device whose read found it
// quiet; a timer may sleep on that. Once a read of another device waits, nothing
// watches the first, so whoever sleeps on it must be told to look again.
TEST_F(WaitingDialogTest, AQuietDeviceNoLongerWatchedEndsItsQuiet)
{
    CTestPort other;
    ports.link(2, other.devicePath());
    Handle second = openDevice(u"COM2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
    COMMTIMEOUTS timeouts { MAXDWORD, MAXDWORD, 20, 0, 0 };
    setTimeouts(dialog.port, &timeouts);
    setTimeouts(second, &timeouts);
    struct CQuietListener final : CWaitListener {
        int ended = 0;
        void waitBegins() override { }
        void waitEnded() override { }
        void quietEnded() override { ++ended; }
    } listener;
    addWaitListener(listener);
    char buffer[8];
    std::uint32_t got = 0;
    readDevice(dialog.port, buffer, sizeof buffer, &got, nullptr);
    EXPECT_TRUE(lastWaitStillQuiet());
    readDevice(second, buffer, sizeof buffer, &got, nullptr);
    EXPECT_EQ(listener.ended, 1);
    removeWaitListener(listener);
    closeDevice(second);
}

// Input during a wait, each step as a user makes it through the window: "click" on the
// button whose later presses clear the line and focus it, "click off" on a second
// button, "click line" in the line, "enter" on whatever has the focus, "type:" text to
// whatever has the focus, "tick".
struct CInputCase {
    const char* name;
    bool startWithEnter; // in the line, rather than by a click on the button
    std::vector<std::string> during;
    std::u16string lineAfter;
    std::vector<std::string> logAfter;
};

std::ostream& operator<<(std::ostream& out, const CInputCase& row)
{
    return out << row.name;
}

class HeldInputTest : public WaitingDialogTest, public ::testing::WithParamInterface<CInputCase> {
protected:
    void act(const std::string& step)
    {
        if (step == "click")
            driver.click(pressId);
        else if (step == "click off")
            driver.click(offId);
        else if (step == "click line")
            clickIn(lineId);
        else if (step == "enter")
            driver.pressEnterKey();
        else if (step == "tick")
            window()->deliver(WM_TIMER, 0, 0, 7);
        else if (step.starts_with("type:"))
            driver.typeKeys(QString::fromStdString(step.substr(5)));
        else
            ADD_FAILURE() << "unknown step " << step;
    }
    void clickIn(std::uint16_t id)
    {
        QWidget* target = driver.widget(id);
        QTest::mouseClick(driver.window()->windowHandle(), Qt::LeftButton, {},
            target->mapTo(driver.window(), target->rect().center()));
    }
};

TEST_P(HeldInputTest, ReachesTheDialogAfterTheHandlerInTheOrderItCame)
{
    const CInputCase& row = GetParam();
    ASSERT_NE(dialog.port, invalidHandle);
    dialog.laterPressesClear = true;
    dialog.line = u"start";
    dialog.exchangeData(Exchange::toControls);
    driver.widget(offId)->setEnabled(true);
    std::u16string lineInsideTheWait;
    dialog.duringFirstWait = [&] {
        for (const std::string& step : row.during)
            act(step);
        lineInsideTheWait = fromQString(driver.lineEdit(lineId)->text()).toU16String();
    };
    if (row.startWithEnter)
        driver.pressEnter(lineId);
    else
        driver.click(pressId);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= row.logAfter.size(); }));
    driver.runQueued();
    processEventsFor(20ms);
    EXPECT_EQ(lineInsideTheWait, u"start") << "nothing reached the line during the wait";
    EXPECT_EQ(fromQString(driver.lineEdit(lineId)->text()).toU16String(), row.lineAfter);
    EXPECT_EQ(dialog.log, row.logAfter);
    EXPECT_FALSE(dialog.reentered);
}

const std::vector<std::string> onePress { "press", "/press" };
const std::vector<std::string> twoPresses { "press", "/press", "press", "/press" };

// The clicked button keeps the focus, so typing before a click that moves it to the
// line goes to the button, as it would in a dialog whose thread was blocked.
const CInputCase inputCases[] = {
    { "TypingAfterAClickGoesInAfterTheClickRan", false, { "click", "type:abc" }, u"abc",
        twoPresses },
    { "TypingBeforeAClickGoesWhereTheFocusThenIs", false, { "type:x", "click", "type:abc" }, u"abc",
        twoPresses },
    { "EnterOnTheFocusedButtonPressesItThenTypingFollows", false, { "enter", "type:ab" }, u"ab",
        twoPresses },
    { "TypingInTheLineAfterEnterGoesOnAtItsEnd", true, { "type:ab" }, u"startab", onePress },
    { "EnterAsSendThenTypingInTheButton", true, { "enter", "type:ab" }, u"ab", twoPresses },
    { "ATickBetweenKeysKeepsItsPlace", true, { "type:a", "tick", "type:b" }, u"startab",
        { "press", "/press", "tick 7", "/tick" } },
    // The click moves the focus into the line, where the keys after it go.
    { "TypingAfterAClickInTheLineGoesThere", false, { "click line", "type:ab" }, u"startab",
        onePress },
    { "ClicksOnTwoButtonsReachEachItsOwn", false, { "click off", "click" }, u"",
        { "press", "/press", "off", "/off", "press", "/press" } },
};

INSTANTIATE_TEST_SUITE_P(DuringAWait, HeldInputTest, ::testing::ValuesIn(inputCases),
    [](const auto& row) { return std::string(row.param.name); });

// As a Send of a long line to a far end that is slow to take it, with Clear clicked and
// text typed meanwhile: the Clear runs after the Send, and the typing after the Clear.
// The line is far more than a pseudo-terminal buffers: the write can only finish if
// the far end is read meanwhile, and here it is read only by a timer on this thread.
TEST_F(WaitingDialogTest, AWaitingWriteRunsTheEventLoopAndAClickDuringItRunsAfterIt)
{
    closeDevice(dialog.port);
    Handle writer = openDevice(u"COM1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
    ASSERT_NE(writer, invalidHandle);
    std::string lineToSend(256 * 1024, '\0');
    for (std::size_t i = 0; i < lineToSend.size(); ++i)
        lineToSend[i] = char('a' + i % 26);
    std::string arrived;
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] { arrived += device.drain(0ms, 2ms); });
    dialog.laterPressesClear = true;
    dialog.line = u"a long line";
    dialog.exchangeData(Exchange::toControls);
    std::u16string lineInsideTheWait;
    dialog.firstWait = [&] {
        QTimer::singleShot(5ms, [&] {
            driver.click(pressId);
            driver.typeKeys("abc");
            lineInsideTheWait = fromQString(driver.lineEdit(lineId)->text()).toU16String();
        });
        reader.start(3);
        std::uint32_t written = 0;
        EXPECT_TRUE(writeDevice(
            writer, lineToSend.data(), std::uint32_t(lineToSend.size()), &written, nullptr));
        EXPECT_EQ(written, lineToSend.size());
        reader.stop();
    };
    driver.click(pressId);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 4; }))
        << ::testing::PrintToString(dialog.log) << " " << arrived.size();
    driver.runQueued();
    arrived += device.drain(0ms, 20ms);
    EXPECT_TRUE(arrived == lineToSend) << arrived.size() << " of " << lineToSend.size();
    EXPECT_EQ(lineInsideTheWait, u"a long line");
    EXPECT_EQ(fromQString(driver.lineEdit(lineId)->text()).toU16String(), u"abc");
    EXPECT_EQ(dialog.log, twoPresses);
    closeDevice(writer);
}

// The received-text view's own input goes on during a wait: its menu opens (and does
// not hold the wait up: the read ends when bytes come, with the menu still open), and a
// click selects at once. With a key held before it, the focus stays on the line until
// that key has reached it; then it moves to the view, where the later key goes.
TEST_F(WaitingDialogTest, TheViewsMenuAndSelectionWorkDuringAWaitWithoutHoldingItUp)
{
    ASSERT_NE(dialog.port, invalidHandle);
    dialog.CTestDialog::log = u"hello world";
    dialog.exchangeData(Exchange::toControls);
    CLogView* view = driver.logView(logId);
    const QPoint inView = view->viewport()->mapTo(driver.window(), QPoint(10, 5));
    bool menuOpenInside = false;
    bool selectedInside = false;
    QWidget* focusInside = nullptr;
    dialog.duringFirstWait = [&] {
        driver.typeKeys("y");
        QTest::mouseDClick(driver.window()->windowHandle(), Qt::LeftButton, {}, inView);
        selectedInside = view->hasSelection();
        focusInside = QApplication::focusWidget();
        driver.typeKeys("z");
        QTest::mouseClick(driver.window()->windowHandle(), Qt::RightButton, {}, inView);
        menuOpenInside = qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr;
        device.send("xy");
    };
    bool menuOpenWhenReadEnded = false;
    dialog.afterFirstWait
        = [&] { menuOpenWhenReadEnded = QApplication::activePopupWidget() != nullptr; };
    // Safety net: should the menu hold the wait up, it is closed after a while.
    QTimer::singleShot(1500ms, [] {
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    });
    driver.pressEnter(lineId);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 2; }));
    EXPECT_TRUE(selectedInside);
    EXPECT_EQ(focusInside, driver.widget(lineId));
    EXPECT_TRUE(menuOpenInside);
    EXPECT_TRUE(menuOpenWhenReadEnded) << "the read waited for the menu to close";
    if (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
    driver.runQueued();
    processEventsFor(20ms);
    EXPECT_EQ(fromQString(driver.lineEdit(lineId)->text()).toU16String(), u"y");
    EXPECT_EQ(QApplication::focusWidget(), view);
    EXPECT_EQ(view->focusPolicy(), Qt::StrongFocus) << "the view still takes the focus";
}

// The close button during a wait ends the dialog once the handler has returned, and
// whatever was held behind it, in the same wait, is dropped: nothing but its
// destruction reaches an ended dialog.
class HeldBehindCloseTest : public WaitingDialogTest,
                            public ::testing::WithParamInterface<const char*> { };

TEST_P(HeldBehindCloseTest, NeverRunsOnceTheDialogHasEnded)
{
    const std::string step = GetParam();
    bool endedInsideTheWait = true;
    clickAndActDuringTheWait([&] {
        window()->close();
        endedInsideTheWait = dialog.isEnded();
        if (step == "nothing")
            return;
        if (step == "click")
            driver.click(pressId);
        else if (step == "enter")
            driver.pressEnter(lineId);
        else if (step == "clicked")
            window()->deliver(WM_COMMAND, BN_CLICKED, pressId, 0);
        else
            window()->deliver(WM_TIMER, 0, 0, 7);
    });
    EXPECT_FALSE(endedInsideTheWait);
    EXPECT_TRUE(waitUntil([&] { return dialog.isEnded(); }));
    driver.runQueued();
    processEventsFor(30ms);
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "press", "/press" }));
    EXPECT_EQ(dialog.result(), IDOK);
}

INSTANTIATE_TEST_SUITE_P(
    Input, HeldBehindCloseTest, ::testing::Values("nothing", "click", "enter", "clicked", "tick"));
} // namespace

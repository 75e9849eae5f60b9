// The dialog framework with a dialog of its own: windows built from templates, data
// exchange, dispatch of clicks, timers and destruction, icons and message boxes.
#include "Dialog.h"
#include "AppFrame.h"
#include "DialogDriver.h"
#include "DialogWindow.h"
#include "Framework.h"
#include "LogView.h"
#include "OpenFailure.h"
#include "QtText.h"
#include "TemplateChecks.h"
#include "TestPort.h"
#include "WinApp.h"

#include <QComboBox>
#include <QEventLoop>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <array>
#include <ctime>
#include <functional>
#include <string>

namespace {
using namespace std::chrono_literals;

constexpr std::uint16_t listId = 500, pressId = 501, lineId = 502, logId = 503, offId = 504,
                        hiddenId = 505;
constexpr std::uint16_t goodTemplate = 102, brokenTemplate = 103, missingTemplate = 104,
                        crampedTemplate = 105;

constexpr std::uint32_t childStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

constexpr DialogItem items[] = {
    { IDC_STATIC, ControlClass::label, u"Label:", 4, 4, 40, 10, WS_CHILD | WS_VISIBLE },
    { listId, ControlClass::comboBox, u"", 50, 4, 40, 80,
        childStyle | CBS_DROPDOWNLIST | CBS_SORT },
    { pressId, ControlClass::button, u"Press", 4, 20, 50, 14, childStyle },
    { lineId, ControlClass::edit, u"", 4, 40, 100, 14, childStyle | WS_BORDER | ES_AUTOHSCROLL },
    { logId, ControlClass::edit, u"", 4, 60, 100, 40,
        childStyle | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY },
    { offId, ControlClass::button, u"Off", 60, 20, 40, 14, childStyle | WS_DISABLED },
    { hiddenId, ControlClass::button, u"Hidden", 110, 20, 30, 14, WS_CHILD | WS_TABSTOP },
};

// Texts far wider than their rectangles in any font.
constexpr DialogItem crampedItems[] = {
    { IDC_STATIC, ControlClass::label, u"A label with a long text:", 4, 4, 30, 10,
        WS_CHILD | WS_VISIBLE },
    { pressId, ControlClass::button, u"A button with a long text", 40, 4, 30, 14, childStyle },
};

// clang-format off
// Adds "b", "a" and "c", in that order, to the sorted list: control 500, message 0x0403,
// data length, then the NUL-ended string.
constexpr std::uint8_t initRecord[] = {
    0xF4, 0x01, 0x03, 0x04, 2, 0, 0, 0, 'b', 0,
    0xF4, 0x01, 0x03, 0x04, 2, 0, 0, 0, 'a', 0,
    0xF4, 0x01, 0x03, 0x04, 4, 0, 0, 0, 'c', 0, 0, 0,
    0, 0,
};
// The same with its second entry's length running past the end.
constexpr std::uint8_t brokenRecord[] = {
    0xF4, 0x01, 0x03, 0x04, 2, 0, 0, 0, 'b', 0,
    0xF4, 0x01, 0x03, 0x04, 200, 0, 0, 0, 'a', 0, 0, 0,
};
// clang-format on

constexpr DialogTemplate dialogs[] = {
    { goodTemplate, padDialogStyle, padDialogExStyle, u"Framework", 0, 0, 150, 120, u"System", 8,
        items, initRecord },
    { brokenTemplate, padDialogStyle, padDialogExStyle, u"Broken", 0, 0, 150, 120, u"System", 8,
        items, brokenRecord },
    { crampedTemplate, padDialogStyle, padDialogExStyle, u"Cramped", 0, 0, 80, 30, u"System", 8,
        crampedItems, {} },
};

constexpr std::uint8_t notAnIcon[] = { 0, 0, 1, 0, 9, 0, 'n', 'o', 'p', 'e' };
constexpr auto versionStrings
    = padVersionStrings({ u"Tests", u"framework_tests", u"Framework tests" });
constexpr VersionRecord version = padVersionRecord(versionStrings);

class CTestDialog : public CDialog {
public:
    explicit CTestDialog(std::uint16_t id = goodTemplate)
        : CDialog(id)
    {
    }
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

    std::int32_t index = -1;
    CWideString line;
    CWideString log;
    CButton press;
    CEdit lineField;
    int presses = 0;
    std::vector<std::uintptr_t> ticks;
    bool controlsAtDestroy = false;
    CWideString lineAtDestroy;
    bool bindWrongKind = false;

protected:
    void bindControls(CDataExchange& exchange) override
    {
        exchange.control(pressId, press);
        exchange.control(lineId, lineField);
        if (bindWrongKind)
            exchange.control(lineId, wrongKind);
        exchange.selectedIndex(listId, index);
        exchange.text(lineId, line);
        exchange.text(logId, log);
    }

private:
    void onPress() { ++presses; }
    void onTick(std::uintptr_t id)
    {
        ticks.push_back(id);
        defaultHandling();
    }
    void onDestroyed()
    {
        controlsAtDestroy = exchangeData(Exchange::toFields);
        lineAtDestroy = line;
    }

    CButton wrongKind;
    static const AFX_MSGMAP_ENTRY entries[];
};

const AFX_MSGMAP_ENTRY CTestDialog::entries[] = {
    MessageMapEntries<CTestDialog>::onClicked<&CTestDialog::onPress>(pressId),
    MessageMapEntries<CTestDialog>::onTimer<&CTestDialog::onTick>(),
    MessageMapEntries<CTestDialog>::onDestroy<&CTestDialog::onDestroyed>(),
};
const AFX_MSGMAP CTestDialog::messageMap { &CDialog::messageMap, entries };

class DialogTest : public ::testing::Test {
protected:
    CTestDialog dialog;
    CDialogDriver driver { dialog };
    CDialogWindow* window() const { return dialogWindowOf(dialog); }
};

TEST_F(DialogTest, WindowAndControlsFollowTheTemplateInDialogUnits)
{
    ASSERT_TRUE(driver.created());
    QFontMetrics metrics(window()->font());
    const double unitX
        = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0
        / 4.0;
    const double unitY = metrics.height() / 8.0;
    // Where a text would not fit, both directions grow alike.
    const double scale = window()->textFitScale();
    ASSERT_GE(scale, 1.0);
    // The average character width is taken in whole pixels, as dialog units always were,
    // so the width may be off by half a pixel per character.
    EXPECT_NEAR(window()->width(), 150 * unitX * scale, (150 / 4 * 0.5 + 1) * scale);
    EXPECT_NEAR(window()->height(), 120 * unitY * scale, 2);
    EXPECT_EQ(window()->windowTitle(), "Framework");

    QRect line = driver.widget(lineId)->geometry();
    EXPECT_EQ(line.x(), window()->dialogUnitsToPixelsX(4));
    EXPECT_EQ(line.y(), window()->dialogUnitsToPixelsY(40));
    EXPECT_EQ(line.right() + 1, window()->dialogUnitsToPixelsX(4 + 100));
    EXPECT_EQ(line.bottom() + 1, window()->dialogUnitsToPixelsY(40 + 14));
    // The list's template height is its dropped-down height, not the closed box's.
    EXPECT_LT(driver.widget(listId)->height(), window()->dialogUnitsToPixelsY(80));
}

TEST_F(DialogTest, TheWindowHasOneSizeAndNoMaximiseButton)
{
    EXPECT_EQ(window()->minimumSize(), window()->size());
    EXPECT_EQ(window()->maximumSize(), window()->size());
    EXPECT_FALSE(window()->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window()->windowFlags() & Qt::WindowCloseButtonHint);
}

TEST(DialogTemplates, ADialogWhoseTextsDoNotFitGrowsWholeUntilTheyDo)
{
    CTestDialog cramped(crampedTemplate);
    CDialogDriver driver(cramped);
    ASSERT_TRUE(driver.created());
    auto* window = dialogWindowOf(cramped);
    EXPECT_GT(window->textFitScale(), 1.5);
    EXPECT_EQ(textsThatDoNotFit(window), std::vector<std::string> {});
    EXPECT_EQ(overlappingControls(window), std::vector<std::string> {});
    // Every rectangle grew by the same factor, so the layout keeps its shape.
    QRect button = driver.widget(pressId)->geometry();
    EXPECT_EQ(button.x(), window->dialogUnitsToPixelsX(40));
    EXPECT_EQ(button.right() + 1, window->dialogUnitsToPixelsX(40 + 30));
    EXPECT_EQ(button.bottom() + 1, window->dialogUnitsToPixelsY(4 + 14));
    EXPECT_EQ(window->width(), window->dialogUnitsToPixelsX(80));
    EXPECT_EQ(controlsOutOfProportion(window, dialogs[2]), std::vector<std::string> {});
}

TEST(DialogTemplates, ControlsWithoutTextTakeTheTemplatesNameOrThePrecedingLabel)
{
    CTestDialog dialog;
    CDialogDriver driver(dialog);
    EXPECT_EQ(driver.widget(listId)->accessibleName(), "Label:");
    // The edit field follows a button, not a label, and has no name of its own.
    EXPECT_EQ(driver.widget(lineId)->accessibleName(), "");
}

TEST_F(DialogTest, StyleBitsAndTabOrderFollowTheTemplate)
{
    EXPECT_FALSE(driver.isEnabled(offId));
    EXPECT_TRUE(driver.isEnabled(pressId));
    EXPECT_TRUE(driver.widget(hiddenId)->isHidden());
    EXPECT_NE(driver.logView(logId), nullptr);
    EXPECT_NE(driver.lineEdit(lineId), nullptr);
    EXPECT_TRUE(driver.lineEdit(lineId)->hasFrame());

    std::vector<QWidget*> chain;
    QWidget* start = driver.widget(listId);
    QWidget* at = start;
    do {
        if (at->focusPolicy() & Qt::TabFocus)
            chain.push_back(at);
        at = at->nextInFocusChain();
    } while (at != start && chain.size() < 20);
    std::vector<QWidget*> expected { driver.widget(listId), driver.widget(pressId),
        driver.widget(lineId), driver.widget(logId), driver.widget(offId),
        driver.widget(hiddenId) };
    ASSERT_GE(chain.size(), expected.size());
    chain.resize(expected.size());
    EXPECT_EQ(chain, expected);
}

TEST_F(DialogTest, TheInitialisationRecordFillsTheSortedListWithNothingSelected)
{
    QComboBox* list = driver.list(listId);
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->itemText(0), "a");
    EXPECT_EQ(list->itemText(1), "b");
    EXPECT_EQ(list->itemText(2), "c");
    EXPECT_EQ(list->currentIndex(), -1);
    EXPECT_EQ(sendMessage(dialog, CB_SETCURSEL, 0, 0), -1) << "the dialog is not a list";
}

TEST(DialogTemplates, AMalformedInitialisationRecordFillsNothing)
{
    CTestDialog broken(brokenTemplate);
    CDialogDriver driver(broken);
    ASSERT_TRUE(driver.created());
    EXPECT_EQ(driver.list(listId)->count(), 0);
}

TEST(DialogTemplates, AMissingTemplateMakesNoWindow)
{
    CTestDialog missing(missingTemplate);
    EXPECT_EQ(missing.runModal(), -1);
    EXPECT_EQ(missing.native(), nullptr);
}

TEST_F(DialogTest, FieldsGiveBackExactlyTheTextTheyWereGiven)
{
    std::u16string awkward = u"a\0b\rc\nd\u2028e\u2029f\uFFFD";
    awkward[1] = 0;
    std::u16string longLine(40000, u'x');
    for (const std::u16string& value : { awkward, longLine }) {
        dialog.line = value;
        dialog.log = value;
        ASSERT_TRUE(dialog.exchangeData(Exchange::toControls));
        dialog.line = u"";
        dialog.log = u"";
        ASSERT_TRUE(dialog.exchangeData(Exchange::toFields));
        EXPECT_EQ(dialog.line.toU16String(), value);
        EXPECT_EQ(dialog.log.toU16String(), value);
    }
}

TEST_F(DialogTest, FieldsGiveBackWhatTheUserTyped)
{
    dialog.line = u"start";
    dialog.exchangeData(Exchange::toControls);
    driver.lineEdit(lineId)->setFocus();
    driver.lineEdit(lineId)->end(false);
    QTest::keyClicks(driver.lineEdit(lineId), " more");
    dialog.exchangeData(Exchange::toFields);
    EXPECT_EQ(dialog.line.toU16String(), u"start more");
}

TEST_F(DialogTest, SelectionMovesBothWays)
{
    dialog.index = 2;
    dialog.exchangeData(Exchange::toControls);
    EXPECT_EQ(driver.list(listId)->currentText(), "c");
    driver.choose(listId, 0);
    dialog.exchangeData(Exchange::toFields);
    EXPECT_EQ(dialog.index, 0);
    dialog.index = -1;
    dialog.exchangeData(Exchange::toControls);
    EXPECT_EQ(driver.list(listId)->currentIndex(), -1);
}

TEST_F(DialogTest, BindingAControlOfTheWrongKindFails)
{
    dialog.bindWrongKind = true;
    EXPECT_FALSE(dialog.exchangeData(Exchange::toFields));
    EXPECT_EQ(dialog.press.native(), window()->control(pressId));
}

TEST_F(DialogTest, ClicksReachTheHandlerOnlyWhenEnabled)
{
    driver.click(pressId);
    enableControl(dialog.press, Enable::off);
    driver.click(pressId);
    enableControl(dialog.press, Enable::on);
    driver.click(pressId);
    EXPECT_EQ(dialog.presses, 2);
}

TEST_F(DialogTest, TheCloseButtonEndsTheDialogAndEscapeDoesNot)
{
    QTest::keyClick(driver.widget(pressId), Qt::Key_Escape);
    EXPECT_FALSE(dialog.isEnded());
    QTest::keyClick(driver.widget(lineId), Qt::Key_Return);
    EXPECT_FALSE(dialog.isEnded());
    window()->close();
    driver.runQueued();
    EXPECT_TRUE(dialog.isEnded());
    EXPECT_EQ(dialog.result(), IDOK);
}

TEST_F(DialogTest, TimersDeliverTheirIdUntilStopped)
{
    EXPECT_EQ(startTimer(dialog, 1, 10), 1u);
    EXPECT_TRUE(waitUntil([&] { return dialog.ticks.size() >= 3; }, 2000ms));
    EXPECT_TRUE(stopTimer(dialog, 1));
    std::size_t seen = dialog.ticks.size();
    processEventsFor(50ms);
    EXPECT_EQ(dialog.ticks.size(), seen);
    for (std::uintptr_t id : dialog.ticks)
        EXPECT_EQ(id, 1u);
    EXPECT_FALSE(stopTimer(dialog, 1));
    EXPECT_EQ(startTimer(dialog, 0, 10), 0u) << "0 is no timer id";
}

TEST_F(DialogTest, DestructionIsDispatchedWhileTheControlsStillExistAndEndsTimers)
{
    dialog.line = u"last words";
    dialog.exchangeData(Exchange::toControls);
    startTimer(dialog, 1, 5);
    driver.destroy();
    EXPECT_TRUE(dialog.controlsAtDestroy);
    EXPECT_EQ(dialog.lineAtDestroy.toU16String(), u"last words");
    EXPECT_EQ(dialog.press.native(), nullptr) << "control objects are untied from the gone window";
    std::size_t seen = dialog.ticks.size();
    processEventsFor(30ms);
    EXPECT_EQ(dialog.ticks.size(), seen);
    EXPECT_FALSE(dialog.exchangeData(Exchange::toFields));
}

TEST_F(DialogTest, RunModalReturnsTheEndResultAfterTheWindowIsGone)
{
    CTestDialog modal;
    QTimer::singleShot(20ms, [&] { modal.endDialog(IDCANCEL); });
    EXPECT_EQ(modal.runModal(), IDCANCEL);
    EXPECT_EQ(modal.native(), nullptr);
    EXPECT_TRUE(modal.controlsAtDestroy);
}

// A dialog whose first click waits on a silent port, as a tick or a send does, while
// the test acts on the live window from inside that wait.
class CWaitingDialog : public CTestDialog {
public:
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

    Handle port = invalidHandle;
    std::vector<std::string> log;
    bool reentered = false;
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
    void onWaitingTick(std::uintptr_t id)
    {
        enter("tick " + std::to_string(id));
        if (waitOnFirstTick && !tickWaited) {
            tickWaited = true;
            std::uint8_t buffer[16];
            std::uint32_t got = 0;
            readDevice(port, buffer, sizeof buffer, &got, nullptr);
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
    MessageMapEntries<CWaitingDialog>::onTimer<&CWaitingDialog::onWaitingTick>(),
};
const AFX_MSGMAP CWaitingDialog::messageMap { &CTestDialog::messageMap, entries };

class HeldMessagesTest : public ::testing::Test {
protected:
    HeldMessagesTest()
    {
        ports.link(1, device.devicePath());
        dialog.port = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
        COMMTIMEOUTS timeouts { MAXDWORD, MAXDWORD, 150, 0, 0 };
        setTimeouts(dialog.port, &timeouts);
    }
    ~HeldMessagesTest() override { closeDevice(dialog.port); }

    CDialogWindow* window() const { return dialogWindowOf(dialog); }
    // Runs `during` inside the first press's wait on the port.
    void clickAndActDuringTheWait(std::function<void()> during)
    {
        QTimer::singleShot(10ms, during);
        driver.click(pressId);
    }

    CTestPortDirectory ports;
    CTestPort device;
    CWaitingDialog dialog;
    CDialogDriver driver { dialog };
};

TEST_F(HeldMessagesTest, InputDuringAWaitRunsAfterTheHandlerInOrderWithTicksMerged)
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

TEST_F(HeldMessagesTest, AHeldClickOnADisabledButtonAndAHeldTickOfAStoppedTimerAreDropped)
{
    dialog.afterFirstWait = [&] {
        enableControl(dialog.press, Enable::off);
        stopTimer(dialog, 7);
    };
    clickAndActDuringTheWait([&] {
        driver.click(pressId);
        window()->deliver(WM_TIMER, 0, 0, 7);
        window()->deliver(WM_TIMER, 0, 0, 9);
    });
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 4; }));
    processEventsFor(30ms);
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "press", "/press", "tick 9", "/tick" }));
}

// The timer's own ticks that fall due while one of its ticks waits: Qt skips them, so
// without the framework the next tick would wait for the period's next step (up to a
// whole period more, in which arriving bytes sit unread).
TEST_F(HeldMessagesTest, TicksThatFallDueWhileATickWaitsRunOnceRightAfterIt)
{
    ASSERT_NE(dialog.port, invalidHandle);
    dialog.waitOnFirstTick = true;
    // Ticks every 100 ms; the first waits 150 ms, so the next step of the period is 50 ms
    // after that wait ends.
    const std::uintptr_t id = startTimer(dialog, 7, 100);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 2; }));
    // Posted work only, no timers: the tick that fell due is already on its way.
    QCoreApplication::sendPostedEvents();
    stopTimer(dialog, id);
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "tick 7", "/tick", "tick 7", "/tick" }));
    EXPECT_FALSE(dialog.reentered);
}

TEST_F(HeldMessagesTest, TheCloseButtonDuringAWaitEndsTheDialogAfterTheHandler)
{
    bool endedInsideTheWait = true;
    clickAndActDuringTheWait([&] {
        window()->close();
        endedInsideTheWait = dialog.isEnded();
    });
    EXPECT_FALSE(endedInsideTheWait);
    EXPECT_TRUE(waitUntil([&] { return dialog.isEnded(); }));
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "press", "/press" }));
    EXPECT_EQ(dialog.result(), IDOK);
}

TEST_F(HeldMessagesTest, AWaitingReadRunsTheEventLoopAndEndsWhenBytesCome)
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
TEST_F(HeldMessagesTest, BytesBetweenTwoWaitsWaitForTheNextReadAndAClosedPortIsNotWatched)
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

TEST_F(HeldMessagesTest, AWaitingWriteRunsTheEventLoopThatDrainsTheFarEnd)
{
    closeDevice(dialog.port);
    Handle writer = openDevice(u"COM1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
    ASSERT_NE(writer, invalidHandle);
    // Far more than a pseudo-terminal buffers: the write can only finish if the far end
    // is read meanwhile, and here it is read only by a timer on this same thread.
    std::string line(256 * 1024, '\0');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = char('a' + i % 26);
    std::string arrived;
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] { arrived += device.drain(0ms, 5ms); });
    reader.start(2);
    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(writer, line.data(), std::uint32_t(line.size()), &written, nullptr));
    EXPECT_EQ(written, line.size());
    EXPECT_TRUE(waitUntil([&] { return arrived.size() >= line.size(); }));
    EXPECT_EQ(arrived, line);
    closeDevice(writer);
}

// Input during a wait, each step as a user makes it through the window: "click" on the
// button whose later presses clear the line and focus it, "enter" on whatever has the
// focus, "type:" text to whatever has the focus, "tick".
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

class HeldInputTest : public HeldMessagesTest, public ::testing::WithParamInterface<CInputCase> {
protected:
    void act(const std::string& step)
    {
        if (step == "click")
            driver.click(pressId);
        else if (step == "enter")
            driver.pressEnterKey();
        else if (step == "tick")
            window()->deliver(WM_TIMER, 0, 0, 7);
        else if (step.starts_with("type:"))
            driver.typeKeys(QString::fromStdString(step.substr(5)));
        else
            ADD_FAILURE() << "unknown step " << step;
    }
};

TEST_P(HeldInputTest, ReachesTheDialogAfterTheHandlerInTheOrderItCame)
{
    const CInputCase& row = GetParam();
    ASSERT_NE(dialog.port, invalidHandle);
    dialog.laterPressesClear = true;
    dialog.line = u"start";
    dialog.exchangeData(Exchange::toControls);
    std::u16string lineInsideTheWait;
    QTimer::singleShot(10ms, [&] {
        for (const std::string& step : row.during)
            act(step);
        lineInsideTheWait = fromQString(driver.lineEdit(lineId)->text()).toU16String();
    });
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
};

INSTANTIATE_TEST_SUITE_P(DuringAWait, HeldInputTest, ::testing::ValuesIn(inputCases),
    [](const auto& row) { return std::string(row.param.name); });

// As a Send of a long line to a far end that is slow to take it, with Clear clicked and
// text typed meanwhile: the Clear runs after the Send, and the typing after the Clear.
TEST_F(HeldMessagesTest, AClickDuringALongWriteRunsAfterItAndTypingFollowsTheClick)
{
    closeDevice(dialog.port);
    Handle writer = openDevice(u"COM1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
    ASSERT_NE(writer, invalidHandle);
    const std::string lineToSend(200000, 'x');
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
        writeDevice(writer, lineToSend.data(), std::uint32_t(lineToSend.size()), &written, nullptr);
        reader.stop();
    };
    driver.click(pressId);
    ASSERT_TRUE(waitUntil([&] { return dialog.log.size() >= 4; }))
        << ::testing::PrintToString(dialog.log) << " " << arrived.size();
    driver.runQueued();
    arrived += device.drain(0ms, 20ms);
    EXPECT_EQ(arrived.size(), lineToSend.size());
    EXPECT_EQ(lineInsideTheWait, u"a long line");
    EXPECT_EQ(fromQString(driver.lineEdit(lineId)->text()).toU16String(), u"abc");
    EXPECT_EQ(dialog.log, twoPresses);
    closeDevice(writer);
}

// The received-text view's own input goes on during a wait: its menu opens (and does
// not hold the wait up: the read ends when bytes come, with the menu still open), and a
// click selects at once. With a key held before it, the focus stays on the line until
// that key has reached it; then it moves to the view, where the later key goes.
TEST_F(HeldMessagesTest, TheViewsMenuAndSelectionWorkDuringAWaitWithoutHoldingItUp)
{
    ASSERT_NE(dialog.port, invalidHandle);
    dialog.CTestDialog::log = u"hello world";
    dialog.exchangeData(Exchange::toControls);
    CLogView* view = driver.logView(logId);
    const QPoint inView = view->viewport()->mapTo(driver.window(), QPoint(10, 5));
    bool menuOpenInside = false;
    bool selectedInside = false;
    QWidget* focusInside = nullptr;
    QTimer::singleShot(10ms, [&] {
        driver.typeKeys("y");
        QTest::mouseDClick(driver.window()->windowHandle(), Qt::LeftButton, {}, inView);
        selectedInside = view->hasSelection();
        focusInside = QApplication::focusWidget();
        driver.typeKeys("z");
        QTest::mouseClick(driver.window()->windowHandle(), Qt::RightButton, {}, inView);
        menuOpenInside = qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr;
        device.send("xy");
    });
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

// Whatever was held behind the close button, in the same wait, is dropped once the
// close has ended the dialog: nothing but its destruction reaches an ended dialog.
class HeldBehindCloseTest : public HeldMessagesTest,
                            public ::testing::WithParamInterface<const char*> { };

TEST_P(HeldBehindCloseTest, NeverRunsOnceTheDialogHasEnded)
{
    const std::string step = GetParam();
    clickAndActDuringTheWait([&] {
        window()->close();
        if (step == "click")
            driver.click(pressId);
        else if (step == "enter")
            driver.pressEnter(lineId);
        else if (step == "clicked")
            window()->deliver(WM_COMMAND, BN_CLICKED, pressId, 0);
        else
            window()->deliver(WM_TIMER, 0, 0, 7);
    });
    EXPECT_TRUE(waitUntil([&] { return dialog.isEnded(); }));
    driver.runQueued();
    processEventsFor(30ms);
    EXPECT_EQ(dialog.log, (std::vector<std::string> { "press", "/press" }));
}

INSTANTIATE_TEST_SUITE_P(
    Input, HeldBehindCloseTest, ::testing::Values("click", "enter", "clicked", "tick"));

TEST(Icons, TheProgramIconHasBothSizes)
{
    IconHandle icon = loadIcon(IDI_PAD_ICON);
    ASSERT_NE(icon, noIcon);
    CTestDialog dialog;
    CDialogDriver driver(dialog);
    sendMessage(dialog, WM_SETICON, ICON_BIG, icon);
    QList<QSize> sizes = driver.window()->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
}

TEST(Icons, MissingOrMalformedIconsGiveNoIcon)
{
    EXPECT_EQ(loadIcon(4242), noIcon);
    EXPECT_EQ(loadIcon(129), noIcon);
}

class CTestApp : public CWinApp {
public:
    using CWinApp::CWinApp;
};

TEST(Messages, AMessageBoxHasOneButtonAndTheApplicationsTitle)
{
    CTestDialog dialog;
    CDialogDriver driver(dialog);
    {
        CTestApp app;
        auto texts = driver.answeringMessages([] { showMessage(u"Something \u00e9", MB_OK); });
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts.front(), QString::fromUtf8("Something \u00e9"));
        EXPECT_EQ(driver.lastMessageTitle(), "Framework tests");
    }
    CTestApp named(u"Named");
    driver.answeringMessages([] { showMessage(u"x", MB_OK); });
    EXPECT_EQ(driver.lastMessageTitle(), "Named");
}

// The cause names paths and programs anyone may name: markup in them stays text.
TEST(Messages, TheTextAndItsCauseAreShownAsPlainText)
{
    CTestDialog dialog;
    CDialogDriver driver(dialog);
    CTestApp app;
    COpenFailure failure;
    failure.kind = OpenFailureKind::held;
    failure.portNumber = 1;
    failure.path = "/dev/<a href=\"x\">ttyS0</a>";
    failure.holder = CDeviceHolder { "<b>evil</b>", 42 };
    const std::string cause = describe(failure);
    ASSERT_NE(cause.find("<b>evil</b>"), std::string::npos) << cause;
    recordOpenFailure(failure);
    driver.answeringMessages([] { showMessage(u"<i>Error</i> openning COM port.", MB_OK); });
    EXPECT_EQ(driver.lastMessageDetail().toStdString(), cause);
    EXPECT_TRUE(driver.lastMessageWasPlainText());
}
} // namespace

const ProgramResources& programResources()
{
    static const IconGroup icons[] = { { IDI_PAD_ICON, padIconFile() }, { 129, notAnIcon } };
    static const ProgramResources resources { dialogs, icons, version };
    return resources;
}

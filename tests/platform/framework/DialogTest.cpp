// The dialog framework with a dialog of its own: windows built from templates, data
// exchange, dispatch of clicks, timers and destruction, icons and message boxes.
#include "DialogDriver.h"
#include "DialogWindow.h"
#include "DialogWindowProbe.h"
#include "Framework.h"
#include "LogView.h"
#include "OpenFailure.h"
#include "QtText.h"
#include "TemplateChecks.h"
#include "TestDialog.h"
#include "TestPort.h"
#include "WinApp.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <string>

namespace {
using namespace std::chrono_literals;

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
    const double scale = CDialogWindowProbe::textFitScale(*window());
    ASSERT_GE(scale, 1.0);
    // The average character width is taken in whole pixels, as dialog units always were,
    // so the width may be off by half a pixel per character.
    EXPECT_NEAR(window()->width(), 150 * unitX * scale, (150 / 4 * 0.5 + 1) * scale);
    EXPECT_NEAR(window()->height(), 120 * unitY * scale, 2);
    EXPECT_EQ(window()->windowTitle(), "Framework");
    // One size, and no maximise button.
    EXPECT_EQ(window()->minimumSize(), window()->size());
    EXPECT_EQ(window()->maximumSize(), window()->size());
    EXPECT_FALSE(window()->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window()->windowFlags() & Qt::WindowCloseButtonHint);

    QRect line = driver.widget(lineId)->geometry();
    EXPECT_EQ(line.x(), window()->dialogUnitsToPixelsX(4));
    EXPECT_EQ(line.y(), window()->dialogUnitsToPixelsY(40));
    EXPECT_EQ(line.right() + 1, window()->dialogUnitsToPixelsX(4 + 100));
    EXPECT_EQ(line.bottom() + 1, window()->dialogUnitsToPixelsY(40 + 14));
    // The list's template height is its dropped-down height, not the closed box's.
    EXPECT_LT(driver.widget(listId)->height(), window()->dialogUnitsToPixelsY(80));
}

TEST(DialogTemplates, ADialogWhoseTextsDoNotFitGrowsWholeUntilTheyDo)
{
    CTestDialog cramped(crampedTemplate);
    CDialogDriver driver(cramped);
    ASSERT_TRUE(driver.created());
    auto* window = dialogWindowOf(cramped);
    EXPECT_GT(CDialogWindowProbe::textFitScale(*window), 1.5);
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

// A malformed initialisation record fills nothing; a missing template makes no window.
TEST(DialogTemplates, DamagedOrMissingTemplates)
{
    CTestDialog broken(brokenTemplate);
    CDialogDriver driver(broken);
    ASSERT_TRUE(driver.created());
    EXPECT_EQ(driver.list(listId)->count(), 0);

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

TEST_F(DialogTest, FieldsGiveBackWhatTheUserTypedOrChose)
{
    dialog.line = u"start";
    dialog.exchangeData(Exchange::toControls);
    driver.lineEdit(lineId)->setFocus();
    driver.lineEdit(lineId)->end(false);
    QTest::keyClicks(driver.lineEdit(lineId), " more");
    dialog.exchangeData(Exchange::toFields);
    EXPECT_EQ(dialog.line.toU16String(), u"start more");

    // The selection moves both ways.
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

TEST(Icons, TheProgramIconHasBothSizesAndOthersNone)
{
    IconHandle icon = loadIcon(IDI_PAD_ICON);
    ASSERT_NE(icon, noIcon);
    CTestDialog dialog;
    CDialogDriver driver(dialog);
    sendMessage(dialog, WM_SETICON, ICON_BIG, icon);
    QList<QSize> sizes = driver.window()->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    // Missing or malformed icons give no icon.
    EXPECT_EQ(loadIcon(4242), noIcon);
    EXPECT_EQ(loadIcon(129), noIcon);
}

class CTestApp : public CWinApp {
public:
    using CWinApp::CWinApp;
};

TEST(Messages, AMessageBoxHasOneButtonTheApplicationsTitleAndPlainText)
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

    // The cause names paths and programs anyone may name: markup in them stays text.
    COpenFailure failure;
    failure.kind = OpenFailureKind::busy;
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

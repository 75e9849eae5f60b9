// The receiver's dialog as the desktop shows it: every text fits its control with the
// fonts and screens Debian desktops use, and a screen reader can name every control.
#include "ReceiveApp.h"
#include "ReceiveDialog.h"

#include "DialogDriver.h"
#include "DialogWindow.h"
#include "LogView.h"
#include "ReceiveResources.h"
#include "TemplateChecks.h"

#include <QAccessible>
#include <QFontInfo>
#include <QLabel>
#include <gtest/gtest.h>

namespace {
class ReceiveTemplateFitTest : public ::testing::TestWithParam<DesktopFontCase> { };

TEST_P(ReceiveTemplateFitTest, EveryTextFitsItsControlAndTheDialogKeepsItsProportions)
{
    const QString family = GetParam().family;
    if (!fontInstalled(family))
        GTEST_SKIP() << family.toStdString() << " is not installed";
    CReceiveApp app;
    for (int points : desktopPointSizes) {
        SCOPED_TRACE(testing::Message() << points << " pt at " << GetParam().dpi << " dpi");
        CDesktopFont font(family, points, GetParam().dpi);
        CReceiveDialog dialog;
        CDialogDriver driver(dialog);
        ASSERT_TRUE(driver.created());
        EXPECT_EQ(QFontInfo(driver.window()->font()).family(), family);
        EXPECT_EQ(textsThatDoNotFit(driver.window()), std::vector<std::string> {});
        EXPECT_EQ(overlappingControls(driver.window()), std::vector<std::string> {});
        EXPECT_EQ(controlsOutOfProportion(driver.window(), programResources().dialogs[0]),
            std::vector<std::string> {});
        EXPECT_EQ(driver.window()->width(), dialogWindowOf(dialog)->dialogUnitsToPixelsX(139));
        EXPECT_EQ(driver.window()->height(), dialogWindowOf(dialog)->dialogUnitsToPixelsY(153));
    }
}

INSTANTIATE_TEST_SUITE_P(DesktopFonts, ReceiveTemplateFitTest,
    ::testing::ValuesIn(desktopFontCases()), [](const auto& testInfo) {
        std::string name = std::string(testInfo.param.family) + std::to_string(testInfo.param.dpi);
        std::erase(name, ' ');
        return name;
    });

TEST(ReceiveTemplateAccessibility, EveryControlHasTheNameAScreenReaderSpeaks)
{
    CReceiveApp app;
    CReceiveDialog dialog;
    CDialogDriver driver(dialog);
    ASSERT_TRUE(driver.created());
    struct Expected {
        std::uint16_t id;
        QAccessible::Role role;
        QString name;
    };
    const Expected controls[] = {
        { IDC_RECEIVE_PORT_LIST, QAccessible::ComboBox, "Bluetooth Inbound COM Port:" },
        { IDC_RECEIVE_CONNECT, QAccessible::Button, "Connect" },
        { IDC_RECEIVE_DISCONNECT, QAccessible::Button, "Disconnect" },
        { IDC_RECEIVE_TEXT, QAccessible::EditableText, "Received text" },
    };
    for (const Expected& control : controls) {
        QAccessibleInterface* about
            = QAccessible::queryAccessibleInterface(driver.widget(control.id));
        ASSERT_NE(about, nullptr) << control.id;
        EXPECT_EQ(about->role(), control.role) << control.id;
        EXPECT_EQ(about->text(QAccessible::Name), control.name) << control.id;
    }

    auto* label = driver.window()->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    QAccessibleInterface* aboutLabel = QAccessible::queryAccessibleInterface(label);
    EXPECT_EQ(aboutLabel->role(), QAccessible::StaticText);
    EXPECT_EQ(aboutLabel->text(QAccessible::Name), "Bluetooth Inbound COM Port:");
    // The label says which control it names, as screen readers on Linux ask.
    bool labelsTheList = false;
    for (const auto& [target, relation] : aboutLabel->relations(QAccessible::Labelled))
        labelsTheList |= target->object() == driver.widget(IDC_RECEIVE_PORT_LIST);
    EXPECT_TRUE(labelsTheList);
}

// The field is read to the user as the read-only text it shows, one line per line.
TEST(ReceiveTemplateAccessibility, TheReceivedFieldReadsAsReadOnlyText)
{
    CReceiveApp app;
    CReceiveDialog dialog;
    CDialogDriver driver(dialog);
    ASSERT_TRUE(driver.created());
    CLogView* view = driver.logView(IDC_RECEIVE_TEXT);
    view->setText(u"one\r\ntwo\x01\r\n");
    QAccessibleInterface* about = QAccessible::queryAccessibleInterface(view);
    ASSERT_NE(about, nullptr);
    QAccessible::State state = about->state();
    EXPECT_TRUE(state.readOnly);
    EXPECT_FALSE(state.editable);
    EXPECT_TRUE(state.multiLine);
    const QString shown = QString::fromUtf16(u"one\ntwo\u2401\n");
    EXPECT_EQ(about->text(QAccessible::Value), shown);

    QAccessibleTextInterface* text = about->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->characterCount(), shown.size());
    EXPECT_EQ(text->text(4, 8), QString::fromUtf16(u"two\u2401"));
    EXPECT_EQ(text->selectionCount(), 0);
    view->selectAll();
    ASSERT_EQ(text->selectionCount(), 1);
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, shown.size());
}
} // namespace

// The sender's dialog as the desktop shows it: every text fits its control with the
// fonts and screens Debian desktops use, and a screen reader can name every control.
#include "SendApp.h"
#include "SendDialog.h"

#include "DialogDriver.h"
#include "DialogWindow.h"
#include "SendResources.h"
#include "TemplateChecks.h"

#include <QAccessible>
#include <QFontInfo>
#include <QLabel>
#include <gtest/gtest.h>

namespace {
class SendTemplateFitTest : public ::testing::TestWithParam<DesktopFontCase> { };

TEST_P(SendTemplateFitTest, EveryTextFitsItsControlAndTheDialogKeepsItsProportions)
{
    const QString family = GetParam().family;
    if (!fontInstalled(family))
        GTEST_SKIP() << family.toStdString() << " is not installed";
    CSendApp app;
    for (int points : desktopPointSizes) {
        SCOPED_TRACE(testing::Message() << points << " pt at " << GetParam().dpi << " dpi");
        CDesktopFont font(family, points, GetParam().dpi);
        CSendDialog dialog;
        CDialogDriver driver(dialog);
        ASSERT_TRUE(driver.created());
        EXPECT_EQ(QFontInfo(driver.window()->font()).family(), family);
        EXPECT_EQ(textsThatDoNotFit(driver.window()), std::vector<std::string> {});
        EXPECT_EQ(overlappingControls(driver.window()), std::vector<std::string> {});
        EXPECT_EQ(controlsOutOfProportion(driver.window(), programResources().dialogs[0]),
            std::vector<std::string> {});
        EXPECT_EQ(driver.window()->width(), dialogWindowOf(dialog)->dialogUnitsToPixelsX(139));
        EXPECT_EQ(driver.window()->height(), dialogWindowOf(dialog)->dialogUnitsToPixelsY(158));
    }
}

INSTANTIATE_TEST_SUITE_P(DesktopFonts, SendTemplateFitTest, ::testing::ValuesIn(desktopFontCases()),
    [](const auto& testInfo) {
        std::string name = std::string(testInfo.param.family) + std::to_string(testInfo.param.dpi);
        std::erase(name, ' ');
        return name;
    });

TEST(SendTemplateAccessibility, EveryControlHasTheNameAScreenReaderSpeaks)
{
    CSendApp app;
    CSendDialog dialog;
    CDialogDriver driver(dialog);
    ASSERT_TRUE(driver.created());
    struct Expected {
        std::uint16_t id;
        QAccessible::Role role;
        QString name;
    };
    const Expected controls[] = {
        { IDC_SEND_PORT_LIST, QAccessible::ComboBox, "Bluetooth Outbound COM Port:" },
        { IDC_SEND_CONNECT, QAccessible::Button, "Connect" },
        { IDC_SEND_DISCONNECT, QAccessible::Button, "Disconnect" },
        { IDC_SEND_SEND, QAccessible::Button, "Send" },
        { IDC_SEND_TEXT, QAccessible::EditableText, "Text to send" },
        { IDC_SEND_CLEAR, QAccessible::Button, "Clear" },
        { IDC_SEND_HELLO, QAccessible::Button, "Hello World" },
    };
    for (const Expected& control : controls) {
        QAccessibleInterface* about
            = QAccessible::queryAccessibleInterface(driver.widget(control.id));
        ASSERT_NE(about, nullptr) << control.id;
        EXPECT_EQ(about->role(), control.role) << control.id;
        EXPECT_EQ(about->text(QAccessible::Name), control.name) << control.id;
    }
    EXPECT_FALSE(
        QAccessible::queryAccessibleInterface(driver.widget(IDC_SEND_TEXT))->state().readOnly);

    auto* label = driver.window()->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    QAccessibleInterface* aboutLabel = QAccessible::queryAccessibleInterface(label);
    EXPECT_EQ(aboutLabel->role(), QAccessible::StaticText);
    EXPECT_EQ(aboutLabel->text(QAccessible::Name), "Bluetooth Outbound COM Port:");
    // The label says which control it names, as screen readers on Linux ask.
    bool labelsTheList = false;
    for (const auto& [target, relation] : aboutLabel->relations(QAccessible::Labelled))
        labelsTheList |= target->object() == driver.widget(IDC_SEND_PORT_LIST);
    EXPECT_TRUE(labelsTheList);
}
} // namespace

// The sender's dialog, driven through its real widgets, writing to a pseudo-terminal
// reached through the port directory as a device would be.
#include "SendDialog.h"

#include "SendApp.h"

#include "DialogDriver.h"
#include "SendResources.h"
#include "TableRow.h"
#include "TestPort.h"
#include "TextContrast.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>

namespace {
using namespace std::chrono_literals;

const std::vector<std::uint16_t> allControls = { IDC_SEND_CONNECT, IDC_SEND_DISCONNECT,
    IDC_SEND_SEND, IDC_SEND_CLEAR, IDC_SEND_HELLO, IDC_SEND_TEXT, IDC_SEND_PORT_LIST };
const std::vector<std::uint16_t> idleEnabled = { IDC_SEND_CONNECT, IDC_SEND_PORT_LIST };
const std::vector<std::uint16_t> connectedEnabled = { IDC_SEND_DISCONNECT, IDC_SEND_SEND,
    IDC_SEND_CLEAR, IDC_SEND_HELLO, IDC_SEND_TEXT, IDC_SEND_PORT_LIST };

class SendDialogTest : public ::testing::Test {
protected:
    SendDialogTest() { ports.link(1, device.devicePath()); }

    void connect()
    {
        auto messages = driver.answeringMessages([&] { driver.click(IDC_SEND_CONNECT); });
        ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
        ASSERT_TRUE(driver.isEnabled(IDC_SEND_SEND));
    }

    void send() { driver.click(IDC_SEND_SEND); }

    // What the far end reads: `count` bytes or fewer, then nothing more.
    std::string received(std::size_t count)
    {
        std::string bytes = device.receive(count, 1000ms);
        bytes += device.drain(30ms);
        return bytes;
    }

    std::vector<std::uint16_t> enabled() const { return driver.enabledAmong(allControls); }

    CSendApp app;
    CTestPortDirectory ports;
    CTestPort device;
    CSendDialog dialog;
    CDialogDriver driver { dialog };
};

// Idle, the disabled buttons ignore clicks; a Connect enables sending and puts the
// caret in the field.
TEST_F(SendDialogTest, StartsIdleWithTheNinePortsAndPortOneSelectedThenConnects)
{
    ASSERT_TRUE(driver.created());
    EXPECT_EQ(driver.window()->windowTitle(), "Sendpad");
    EXPECT_FALSE(driver.window()->windowIcon().isNull());
    QComboBox* list = driver.list(IDC_SEND_PORT_LIST);
    ASSERT_EQ(list->count(), 9);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(list->itemText(i), QString::number(i + 1));
    EXPECT_EQ(list->currentText(), "1");
    EXPECT_EQ(enabled(), idleEnabled);
    driver.click(IDC_SEND_HELLO);
    driver.click(IDC_SEND_SEND);
    EXPECT_EQ(driver.lineEdit(IDC_SEND_TEXT)->text(), "");
    EXPECT_EQ(device.drain(50ms), "");

    connect();
    EXPECT_EQ(enabled(), connectedEnabled);
    EXPECT_EQ(driver.window()->focusWidget(), driver.widget(IDC_SEND_TEXT));
}

struct SendCase : CTableRow {
    QString typed;
    std::string expected;
};

class SendBytesTest : public SendDialogTest, public ::testing::WithParamInterface<SendCase> { };

TEST_P(SendBytesTest, FarEndReadsTheTextAndOneCarriageReturn)
{
    connect();
    driver.type(IDC_SEND_TEXT, GetParam().typed);
    send();
    EXPECT_EQ(received(GetParam().expected.size()), GetParam().expected);
    // Nothing is shown of the carriage return.
    EXPECT_EQ(driver.lineEdit(IDC_SEND_TEXT)->text(), GetParam().typed);
}

INSTANTIATE_TEST_SUITE_P(Lines, SendBytesTest,
    ::testing::Values(SendCase { "Empty", "", "\r" }, SendCase { "Hi", "Hi", "Hi\r" },
        SendCase { "LocaleEncoding", QString::fromUtf8("h\u00e9 \u20ac \U0001F600"),
            "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\r" },
        SendCase { "TrailingSpaces", "a  ", "a  \r" },
        // Around the 256-byte conversion buffer: with the carriage return and the NUL,
        // these need 255, 256 and 257 bytes.
        SendCase { "Line254BytesWithItsReturn", QString(253, 'a'), std::string(253, 'a') + "\r" },
        SendCase { "Line255BytesWithItsReturn", QString(254, 'b'), std::string(254, 'b') + "\r" },
        SendCase { "Line256BytesWithItsReturn", QString(255, 'c'), std::string(255, 'c') + "\r" },
        // Two bytes a character, far past the buffer: sent whole in one write.
        SendCase { "LongerThanTheBuffer", QString(400, QChar(0x00E9)),
            [] {
                std::string bytes;
                for (int i = 0; i < 400; ++i)
                    bytes += "\xC3\xA9";
                return bytes + "\r";
            }() }),
    byWhat);

TEST_F(SendDialogTest, HelloWorldThenSendWritesTwelveBytes)
{
    connect();
    driver.type(IDC_SEND_TEXT, "typed first");
    // The button is pressed without a mouse, whose click would take the focus itself:
    // what is looked at is that the dialog leaves the focus where it was.
    driver.widget(IDC_SEND_PORT_LIST)->setFocus();
    driver.button(IDC_SEND_HELLO)->click();
    driver.runQueued();
    EXPECT_EQ(driver.lineEdit(IDC_SEND_TEXT)->text(), "Hello World");
    EXPECT_EQ(driver.window()->focusWidget(), driver.widget(IDC_SEND_PORT_LIST));
    send();
    EXPECT_EQ(received(12), "Hello World\r");
    EXPECT_EQ(driver.lineEdit(IDC_SEND_TEXT)->text(), "Hello World");
}

// Enter sends as the button does, and a second send writes the same bytes again.
TEST_F(SendDialogTest, EnterInTheFieldSendsAndSendingAgainRepeatsTheLine)
{
    connect();
    driver.type(IDC_SEND_TEXT, "go");
    driver.pressEnter(IDC_SEND_TEXT);
    send();
    EXPECT_EQ(received(6), "go\rgo\r");
    EXPECT_FALSE(dialog.isEnded()) << "Enter must never end the dialog";
}

TEST_F(SendDialogTest, ClearEmptiesTheFieldAndPutsTheCaretInIt)
{
    connect();
    driver.type(IDC_SEND_TEXT, "abc");
    driver.widget(IDC_SEND_CONNECT)->setFocus(); // somewhere else
    driver.click(IDC_SEND_CLEAR);
    EXPECT_EQ(driver.lineEdit(IDC_SEND_TEXT)->text(), "");
    EXPECT_EQ(driver.window()->focusWidget(), driver.widget(IDC_SEND_TEXT));
    send();
    EXPECT_EQ(received(1), "\r");
}

TEST_F(SendDialogTest, DisconnectKeepsTheTextAndReleasesThePort)
{
    connect();
    driver.type(IDC_SEND_TEXT, "kept");
    driver.click(IDC_SEND_DISCONNECT);
    EXPECT_EQ(enabled(), idleEnabled);
    EXPECT_EQ(driver.lineEdit(IDC_SEND_TEXT)->text(), "kept");

    // Released: another program could take the port now.
    Handle other = openDevice(u"COM1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    EXPECT_NE(other, invalidHandle);
    closeDevice(other);

    connect();
    send();
    EXPECT_EQ(received(5), "kept\r");
}

TEST_F(SendDialogTest, ThePortInUseStaysTheOneConnectedWhenTheListChanges)
{
    CTestPort second;
    ports.link(5, second.devicePath());
    connect();
    driver.choose(IDC_SEND_PORT_LIST, 4);
    // Hello World shows the selection the last connect read.
    driver.click(IDC_SEND_HELLO);
    EXPECT_EQ(driver.list(IDC_SEND_PORT_LIST)->currentText(), "1");

    driver.choose(IDC_SEND_PORT_LIST, 4);
    send(); // reads the new selection, but writes to the open port
    EXPECT_EQ(received(12), "Hello World\r");
    EXPECT_EQ(second.drain(50ms), "");
    driver.click(IDC_SEND_CLEAR);
    EXPECT_EQ(driver.list(IDC_SEND_PORT_LIST)->currentText(), "5");
}

TEST_F(SendDialogTest, PortNineOpensComNine)
{
    CTestPort ninth;
    ports.link(9, ninth.devicePath());
    driver.choose(IDC_SEND_PORT_LIST, 8);
    connect();
    send();
    std::string bytes = ninth.receive(1, 1000ms);
    bytes += ninth.drain(30ms);
    EXPECT_EQ(bytes, "\r");
    EXPECT_EQ(device.drain(50ms), "");
}

// The whole round as a display shows it; the display tests run this again on Wayland.
TEST_F(SendDialogTest, MapsConnectsSendsALineAndEnds)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(driver.window()));
    connect();
    driver.type(IDC_SEND_TEXT, "a line");
    send();
    EXPECT_EQ(received(7), "a line\r");
    driver.closeWindow();
    EXPECT_TRUE(dialog.isEnded());
    EXPECT_EQ(dialog.result(), IDOK);
}

TEST_F(SendDialogTest, TheNextSendReachesADeviceThatCameBack)
{
    connect();
    device.hangUp();
    driver.click(IDC_SEND_HELLO);
    driver.click(IDC_SEND_SEND); // finds the device gone

    // Back under the same port number; no Disconnect, no Connect. Each Send writes the
    // whole line or nothing, so the far end reads it exactly once.
    CTestPort back;
    ports.link(1, back.devicePath());
    std::string received;
    EXPECT_TRUE(waitUntil(
        [&] {
            driver.click(IDC_SEND_SEND);
            received += back.drain(std::chrono::milliseconds(20));
            return !received.empty();
        },
        std::chrono::seconds(3)));
    EXPECT_EQ(received, "Hello World\r");
    EXPECT_EQ(enabled(), connectedEnabled);
}

enum class Broken { missingEntry, danglingLink, plainFile, directory, heldElsewhere };

class FailedOpenTest : public SendDialogTest, public ::testing::WithParamInterface<Broken> { };

TEST_P(FailedOpenTest, ShowsTheErrorOnceAndChangesNothing)
{
    std::filesystem::path file = ports.path() / "not-a-device";
    Handle holder = invalidHandle;
    switch (GetParam()) {
    case Broken::missingEntry:
        std::filesystem::remove(ports.entry(1));
        break;
    case Broken::danglingLink:
        ports.link(1, ports.path() / "gone");
        break;
    case Broken::plainFile:
        std::ofstream(file) << "keep";
        ports.link(1, file);
        break;
    case Broken::directory:
        ports.link(1, ports.path());
        break;
    case Broken::heldElsewhere:
        holder = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
        ASSERT_NE(holder, invalidHandle);
        break;
    }
    if (GetParam() == Broken::missingEntry && std::filesystem::exists("/dev/rfcomm0"))
        GTEST_SKIP() << "this machine has a Bluetooth port 1";

    driver.type(IDC_SEND_TEXT, "x"); // disabled: nothing typed
    auto messages = driver.answeringMessages([&] { driver.click(IDC_SEND_CONNECT); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front(), "Error openning COM port.");
    EXPECT_EQ(driver.lastMessageTitle(), "Sendpad");
    // Beneath it, why, naming the device.
    const char* cause[] = { "/dev/rfcomm0", "gone", "a regular file", "a directory", "held by" };
    EXPECT_TRUE(driver.lastMessageDetail().contains(cause[int(GetParam())]))
        << driver.lastMessageDetail().toStdString();
    EXPECT_EQ(enabled(), idleEnabled);
    EXPECT_EQ(driver.list(IDC_SEND_PORT_LIST)->currentText(), "1");

    // Each click tries again and tells again.
    messages = driver.answeringMessages([&] { driver.click(IDC_SEND_CONNECT); });
    EXPECT_EQ(messages.size(), 1u);

    if (GetParam() == Broken::plainFile) {
        std::ifstream in(file);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(content, "keep");
    }
    if (holder != invalidHandle)
        closeDevice(holder);
}

INSTANTIATE_TEST_SUITE_P(Ports, FailedOpenTest,
    ::testing::Values(Broken::missingEntry, Broken::danglingLink, Broken::plainFile,
        Broken::directory, Broken::heldElsewhere));
} // namespace

// On a dark desktop every text the connected dialog shows, the typed line included,
// stays readable against what is behind it.
TEST_F(SendDialogTest, EveryTextStaysReadableOnADarkDesktop)
{
    CDarkDesktop dark;
    connect();
    driver.type(IDC_SEND_TEXT, "Hello World");
    for (const QString& problem : lowContrastTexts(driver.window()))
        ADD_FAILURE() << problem.toStdString();
}

// The line settings a port puts on its device and gives back: raw while held, the
// entry's speed, framing and flow control applied at open, and the device's own
// settings restored at close, even when the program ends with the port open or the
// device does not keep what the entry asks.
#include "PortFixture.h"
#include "TableRow.h"

#include "LineSpeed.h"
#include "OpenFailure.h"
#include "TerminalGuard.h"

#include <cctype>
#include <cstring>

TEST_F(SerialPortTest, KeepsLineSettingsAndRestoresTerminalSettings)
{
    termios unusual = settingsOf(view);
    cook(unusual);
    cfsetspeed(&unusual, B1200);
    unusual.c_cflag
        = (unusual.c_cflag & ~tcflag_t(CSIZE | PARODD)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(view, TCSANOW, &unusual), 0);
    const termios before = settingsOf(view);

    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    termios held = settingsOf(view);
    EXPECT_EQ(cfgetispeed(&held), B1200);
    EXPECT_EQ(cfgetospeed(&held), B1200);
    constexpr tcflag_t line = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL;
    EXPECT_EQ(held.c_cflag & line, before.c_cflag & line);
    EXPECT_EQ(held.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(held.c_oflag & OPOST, 0u);
    EXPECT_EQ(held.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | PARMRK), 0u);

    EXPECT_TRUE(closeDevice(port));
    termios after = settingsOf(view);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));
}

TEST_F(SerialPortTest, PortsLeftOpenAreRestoredWhenTheProgramEnds)
{
    const termios before = settingsOf(view);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        { openPort() != invalidHandle ? std::exit(0) : std::exit(1); },
        ::testing::ExitedWithCode(0), "");
    termios after = settingsOf(view);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_TRUE(isFree(view));
}

// The line settings of a port's entry, on a pseudo-terminal, which keeps any speed, stop
// bits and flow control it is given but always 8 data bits and no parity: the test's
// own view of the device reads them back.
class EntryLineTest : public SerialPortTest, public ::testing::WithParamInterface<const char*> { };

TEST_P(EntryLineTest, AppliedAtOpenAndTheDevicesOwnPutBackAtClose)
{
    const CLineSettings asked = parseLineSettings(std::string_view(GetParam())).settings;
    // The device as another program left it: cooked, 1200 baud, 8N1, RTS/CTS on.
    termios own = settingsOf(view);
    cook(own);
    cfsetspeed(&own, B1200);
    own.c_cflag = (own.c_cflag & ~tcflag_t(CSIZE | PARENB | CSTOPB)) | CS8 | CRTSCTS;
    ASSERT_EQ(tcsetattr(view, TCSANOW, &own), 0);
    own = settingsOf(view);
    const CLineState before = CTerminalGuard::lineOf(own);
    ports.link(1, farEnd.devicePath() + " " + GetParam());

    Handle port = openPort();
    ASSERT_NE(port, invalidHandle) << describe(takeLastOpenFailure().value_or(COpenFailure {}));
    termios held = settingsOf(view);
    CLineState kept = CTerminalGuard::lineOf(held);
    ASSERT_EQ(readTerminalSpeed(view, kept.inputSpeed, kept.outputSpeed), 0);
    EXPECT_EQ(lineDifference(asked, kept), std::nullopt);
    if (!asked.framing) {
        EXPECT_EQ(kept.framing, before.framing);
    }
    if (!asked.flow) {
        EXPECT_TRUE(kept.rtscts);
    }
    // Still raw, and still without software flow control.
    EXPECT_EQ(held.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(held.c_iflag & (IXON | IXOFF), 0u);

    // Bytes pass as before.
    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(port, "Hi\r", 3, &written, nullptr));
    EXPECT_EQ(farEnd.receive(3), "Hi\r");

    EXPECT_TRUE(closeDevice(port));
    EXPECT_TRUE(CTerminalGuard::sameSettings(settingsOf(view), own));
    std::uint32_t input = 0, output = 0;
    ASSERT_EQ(readTerminalSpeed(view, input, output), 0);
    EXPECT_EQ(output, 1200u);
    EXPECT_EQ(input, 1200u);
}

INSTANTIATE_TEST_SUITE_P(Settings, EntryLineTest,
    ::testing::Values("115200", "9600 8N1 rtscts", "250000 8N2 none", "57600 8N1", "4000000"),
    [](const auto& testInfo) {
        std::string name;
        for (char c : std::string(testInfo.param))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST_F(SerialPortTest, ADevicesOwnSpeedWithoutAConstantIsPutBack)
{
    ASSERT_EQ(setTerminalSpeed(view, 31250), 0); // MIDI's speed, as another program left it
    ports.link(1, farEnd.devicePath() + " 115200");
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    std::uint32_t input = 0, output = 0;
    ASSERT_EQ(readTerminalSpeed(view, input, output), 0);
    EXPECT_EQ(output, 115200u);
    EXPECT_TRUE(closeDevice(port));
    ASSERT_EQ(readTerminalSpeed(view, input, output), 0);
    EXPECT_EQ(output, 31250u);
    EXPECT_EQ(input, 31250u);
}

// Parity and data bits other than 8N1 are what a pseudo-terminal does not keep, as a
// USB adapter's driver may not keep a speed: Connect fails and nothing stays changed.
// Settings that cannot be read never reach the device at all.
struct RefusedLine : CTableRow {
    const char* settings;
    OpenFailureKind kind;
    const char* lineAsked;
    bool namesTheEntry; // rather than the device
    std::string mentioned;
};

class RefusedLineTest : public SerialPortTest,
                        public ::testing::WithParamInterface<RefusedLine> { };

TEST_P(RefusedLineTest, FailsTheOpenAndChangesNothing)
{
    const RefusedLine& entry = GetParam();
    const termios before = settingsOf(view);
    ports.link(1, farEnd.devicePath() + " " + entry.settings);
    EXPECT_EQ(openPort(), invalidHandle);
    std::optional<COpenFailure> failure = takeLastOpenFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, entry.kind);
    EXPECT_EQ(failure->lineAsked, entry.lineAsked);
    const std::string named
        = entry.namesTheEntry ? "The entry " + ports.entry(1).string() : farEnd.devicePath();
    EXPECT_TRUE(mentions(describe(*failure), { named, entry.mentioned, "serialpads-ports set 1" }));
    EXPECT_TRUE(CTerminalGuard::sameSettings(settingsOf(view), before))
        << "the speed was left changed";
    EXPECT_TRUE(isFree(view));
}

INSTANTIATE_TEST_SUITE_P(Entries, RefusedLineTest,
    ::testing::Values(
        RefusedLine { "NotKept", "19200 7E1", OpenFailureKind::lineNotKept, "19200 7E1", false,
            " did not keep the line settings of port 1 (framing 7E1 asked, 8N1 kept)" },
        RefusedLine { "Damaged", "9600 9Z9", OpenFailureKind::lineSettingsDamaged, "", true,
            "'9Z9' is not a framing" }),
    byWhat);

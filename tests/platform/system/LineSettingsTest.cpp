// Line settings as text (what the command takes and the entry stores), the read-back
// decision after they are applied, and how they go into and come out of a terminal's
// settings. All plain functions, so every row needs no device.
#include "LineSettings.h"
#include "TableRow.h"
#include "TerminalGuard.h"

#include <gtest/gtest.h>

namespace {

struct CGoodLine : CTableRow {
    std::string text;
    CLineSettings settings;
    std::string formatted; // as formatLineSettings() writes it back
};

class GoodLineTest : public ::testing::TestWithParam<CGoodLine> { };

TEST_P(GoodLineTest, ParsesAndFormatsBack)
{
    const CGoodLine& row = GetParam();
    CParsedLine parsed = parseLineSettings(row.text);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.settings, row.settings);
    EXPECT_EQ(formatLineSettings(parsed.settings), row.formatted);
    EXPECT_EQ(parseLineSettings(row.formatted).settings, row.settings);
}

constexpr CFraming framing(int dataBits, EParity parity, int stopBits)
{
    return { dataBits, parity, stopBits };
}

INSTANTIATE_TEST_SUITE_P(Rows, GoodLineTest,
    ::testing::Values(CGoodLine { "Speed", "115200", { 115200, {}, {} }, "115200" },
        CGoodLine { "Lowest", "50", { 50, {}, {} }, "50" },
        CGoodLine { "HighestStandard", "4000000", { 4000000, {}, {} }, "4000000" },
        CGoodLine { "WithoutConstant", "250000", { 250000, {}, {} }, "250000" },
        CGoodLine { "Highest", "100000000", { 100000000, {}, {} }, "100000000" },
        CGoodLine { "Framing", "9600 7E1", { 9600, framing(7, EParity::even, 1), {} }, "9600 7E1" },
        CGoodLine {
            "LowerCase", "9600 5o2", { 9600, framing(5, EParity::odd, 2), {} }, "9600 5O2" },
        CGoodLine { "Flow", "9600 8N1 rtscts",
            { 9600, framing(8, EParity::none, 1), EFlow::rtscts }, "9600 8N1 rtscts" },
        CGoodLine { "NoFlow", "19200 6N2 none",
            { 19200, framing(6, EParity::none, 2), EFlow::none }, "19200 6N2 none" }),
    byWhat);

struct CBadLine : CTableRow {
    std::vector<std::string_view> words;
    std::string message; // the start of the sentence
};

class BadLineTest : public ::testing::TestWithParam<CBadLine> { };

TEST_P(BadLineTest, SaysWhichWordIsWrongAndWhatIsAccepted)
{
    CParsedLine parsed = parseLineSettings(std::span<const std::string_view>(GetParam().words));
    EXPECT_FALSE(parsed.ok());
    EXPECT_TRUE(parsed.error.starts_with(GetParam().message)) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
    EXPECT_TRUE(parsed.settings.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, BadLineTest,
    ::testing::Values(CBadLine { "Letter", { "12345x" }, "'12345x' is not a speed" },
        CBadLine { "Zero", { "0" }, "'0' is not a speed" },
        CBadLine { "LeadingZero", { "09600" }, "'09600' is not a speed" },
        CBadLine { "Sign", { "+9600" }, "'+9600' is not a speed" },
        CBadLine { "Overflow", { "4294967297" }, "'4294967297' is not a speed" },
        CBadLine { "TooHigh", { "100000001" }, "'100000001' is not a speed" },
        CBadLine { "Empty", { "" }, "'' is not a speed" },
        CBadLine { "NineBits", { "9600", "9N1" }, "'9N1' is not a framing" },
        CBadLine { "FourBits", { "9600", "4N1" }, "'4N1' is not a framing" },
        CBadLine { "MarkParity", { "9600", "8M1" }, "'8M1' is not a framing" },
        CBadLine { "ThreeStopBits", { "9600", "8N3" }, "'8N3' is not a framing" },
        CBadLine { "LongFraming", { "9600", "8N1x" }, "'8N1x' is not a framing" },
        CBadLine { "Xon", { "9600", "8N1", "xonxoff" }, "'xonxoff' is not a flow control" },
        CBadLine { "UpperFlow", { "9600", "8N1", "RTSCTS" }, "'RTSCTS' is not a flow control" },
        CBadLine { "ControlCharacter", { "96\x1b[2J" }, "'96\\x1B[2J' is not a speed" },
        CBadLine { "Four", { "9600", "8N1", "none", "x" }, "too many line settings from 'x'" }),
    byWhat);

TEST(LineSettings, TextWithEmptyWordsIsRefused)
{
    for (std::string_view text : { "9600  8N1", "9600 ", " 9600" })
        EXPECT_FALSE(parseLineSettings(text).ok()) << text;
    EXPECT_TRUE(parseLineSettings(std::span<const std::string_view>()).settings.empty());
}

TEST(LineSettings, StandardSpeedsHaveTheirConstants)
{
    EXPECT_EQ(standardSpeedCode(9600), unsigned(B9600));
    EXPECT_EQ(standardSpeedCode(4000000), unsigned(B4000000));
    EXPECT_EQ(standardSpeedCode(250000), std::nullopt);
    EXPECT_EQ(speedOfCode(B115200), 115200u);
    EXPECT_EQ(speedOfCode(B0), std::nullopt);
}

// ---- Entries ---------------------------------------------------------------------

struct CEntryRow : CTableRow {
    std::string target;
    std::string path;
    std::string settings; // formatted; empty when none
    bool damaged = false;
};

class DeviceEntryTest : public ::testing::TestWithParam<CEntryRow> { };

TEST_P(DeviceEntryTest, SplitsPathAndSettings)
{
    const CEntryRow& row = GetParam();
    CDeviceEntry entry = parseDeviceEntry(row.target);
    EXPECT_EQ(!entry.ok(), row.damaged) << entry.error;
    if (row.damaged)
        return;
    EXPECT_EQ(entry.path, row.path);
    EXPECT_EQ(formatLineSettings(entry.settings), row.settings);
    EXPECT_EQ(formatDeviceEntry(entry.path, entry.settings), row.target);
}

INSTANTIATE_TEST_SUITE_P(Rows, DeviceEntryTest,
    ::testing::Values(CEntryRow { "PathAlone", "/dev/ttyUSB0", "/dev/ttyUSB0", "" },
        CEntryRow { "Speed", "/dev/ttyUSB0 115200", "/dev/ttyUSB0", "115200" },
        CEntryRow {
            "Everything", "/dev/ttyUSB1 9600 7E1 rtscts", "/dev/ttyUSB1", "9600 7E1 rtscts" },
        CEntryRow { "BlankInPath", "/dev/my port 9600", "/dev/my port", "9600" },
        CEntryRow { "BlankInPathAlone", "/dev/my port", "/dev/my port", "" },
        CEntryRow { "BadFraming", "/dev/ttyUSB0 9600 9Z9", "", "", true },
        CEntryRow { "BadSpeed", "/dev/ttyUSB0 12x", "", "", true },
        CEntryRow { "DoubledBlank", "/dev/ttyUSB0 9600  8N1", "", "", true },
        CEntryRow { "NoPath", " 9600", "", "", true }),
    byWhat);

TEST(DeviceEntry, PathsThatWouldReadBackAsSettingsCannotBeStored)
{
    EXPECT_TRUE(isStorablePath("/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0"));
    EXPECT_TRUE(isStorablePath("/dev/my port"));
    EXPECT_FALSE(isStorablePath("/dev/port 2"));
}

// ---- What the device kept --------------------------------------------------------

struct CKeptRow : CTableRow {
    std::string asked;
    CLineState kept;
    std::string difference; // empty when it kept what was asked
};

class KeptLineTest : public ::testing::TestWithParam<CKeptRow> { };

TEST_P(KeptLineTest, NamesWhatTheDeviceKeptOtherwise)
{
    const CKeptRow& row = GetParam();
    std::optional<std::string> difference
        = lineDifference(parseLineSettings(row.asked).settings, row.kept);
    EXPECT_EQ(difference.value_or(""), row.difference);
}

constexpr CLineState line(std::uint32_t in, std::uint32_t out, CFraming framing, bool rtscts)
{
    return { in, out, framing, rtscts };
}

constexpr CFraming f8N1 = framing(8, EParity::none, 1);

INSTANTIATE_TEST_SUITE_P(Rows, KeptLineTest,
    ::testing::Values(CKeptRow { "Kept", "115200 8N1 none", line(115200, 115200, f8N1, false), "" },
        CKeptRow { "UnaskedPartsDiffer", "115200",
            line(115200, 115200, framing(7, EParity::even, 2), true), "" },
        CKeptRow { "SpeedNotTaken", "250000", line(9600, 9600, f8N1, false),
            "speed 250000 asked, 9600 kept" },
        CKeptRow { "SpeedRounded", "250000", line(250000, 256000, f8N1, false),
            "speed 250000 asked, 256000 out, 250000 in kept" },
        CKeptRow { "FramingRefused", "9600 5N1", line(9600, 9600, f8N1, false),
            "framing 5N1 asked, 8N1 kept" },
        CKeptRow { "NoFlowLines", "9600 8N1 rtscts", line(9600, 9600, f8N1, false),
            "flow control rtscts asked, none kept" },
        CKeptRow { "FlowLeftOn", "9600 8N1 none", line(9600, 9600, f8N1, true),
            "flow control none asked, rtscts kept" },
        CKeptRow { "Everything", "9600 7O2 rtscts", line(300, 300, f8N1, false),
            "speed 9600 asked, 300 kept; framing 7O2 asked, 8N1 kept; flow control rtscts "
            "asked, none kept" }),
    byWhat);

// ---- Into and out of a terminal's settings ----------------------------------------

class TerminalLineTest : public ::testing::TestWithParam<CGoodLine> { };

TEST_P(TerminalLineTest, WhatIsGivenGoesInAndReadsBack)
{
    const CLineSettings& asked = GetParam().settings;
    termios device {};
    cfsetspeed(&device, B1200);
    device.c_cflag = (device.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS
        | CMSPAR | CLOCAL | CREAD;
    termios with = CTerminalGuard::withLine(device, asked);
    CLineState kept = CTerminalGuard::lineOf(with);
    CLineState before = CTerminalGuard::lineOf(device);
    if (!standardSpeedCode(*asked.speed)) {
        // A speed without a constant is set through termios2 afterwards.
        EXPECT_EQ(cfgetospeed(&with), cfgetospeed(&device));
        kept.inputSpeed = kept.outputSpeed = *asked.speed;
    }
    EXPECT_EQ(lineDifference(asked, kept), std::nullopt);
    // What was not given stays as the device has it, and so does the rest of c_cflag.
    if (!asked.framing) {
        EXPECT_EQ(kept.framing, before.framing);
    }
    if (!asked.flow) {
        EXPECT_EQ(kept.rtscts, before.rtscts);
    }
    EXPECT_EQ(with.c_cflag & (CLOCAL | CREAD), device.c_cflag & (CLOCAL | CREAD));
    if (asked.framing) {
        EXPECT_EQ(with.c_cflag & CMSPAR, 0u);
    }
    EXPECT_EQ(with.c_iflag, device.c_iflag);
    EXPECT_EQ(with.c_lflag, device.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Rows, TerminalLineTest,
    ::testing::Values(CGoodLine { "Speed", "", { 115200, {}, {} }, "" },
        CGoodLine { "WithoutConstant", "", { 250000, {}, {} }, "" },
        CGoodLine { "EightNoneOne", "", { 9600, f8N1, EFlow::none }, "" },
        CGoodLine { "FiveEvenTwo", "", { 50, framing(5, EParity::even, 2), {} }, "" },
        CGoodLine {
            "SixOddOneRtsCts", "", { 4000000, framing(6, EParity::odd, 1), EFlow::rtscts }, "" }),
    byWhat);

} // namespace

// The command's listing, set and remove, run in-process on a private port directory
// with pseudo-terminals as the serial devices.
#include "PortsCommand.h"

#include "PortListing.h"
#include "PortLock.h"
#include "TableRow.h"
#include "TestPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The listing's line for `number`, split into its columns; the last column (what the
// port leads to) may hold blanks and is kept whole.
struct CRow {
    std::string state, access, holder, line, target;
};

CRow rowOf(const std::string& listing, int number)
{
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string port;
        CRow row;
        fields >> port >> row.state >> row.access >> row.holder >> row.line >> std::ws;
        std::getline(fields, row.target);
        if (port == std::to_string(number))
            return row;
    }
    ADD_FAILURE() << "no line for port " << number << " in:\n" << listing;
    return {};
}

CCommandResult run(std::vector<std::string> arguments)
{
    CCommandSources sources;
    sources.askBluez = false;
    return runPortsCommand(arguments, sources);
}

class PortsCommandTest : public ::testing::Test {
protected:
    CTestPortDirectory ports;
    CTestPort device;
};

// ---- Listing ---------------------------------------------------------------------

struct CListingCase : CTableRow {
    // The entry com1 links to this; "@pty" is the pseudo-terminal, "" means no entry.
    std::string target;
    std::string state, access, shown;
    std::string line = "as-is";
};

class ListingTest : public PortsCommandTest, public ::testing::WithParamInterface<CListingCase> { };

TEST_P(ListingTest, ShowsWhatThePortLeadsTo)
{
    const CListingCase& row = GetParam();
    std::string target = row.target;
    if (target.starts_with("@pty"))
        target.replace(0, 4, device.devicePath());
    if (!target.empty())
        ports.link(1, target);
    CCommandResult result = run({ "list" });
    ASSERT_EQ(result.status, exitDone) << result.err;
    CRow shown = rowOf(result.out, 1);
    EXPECT_EQ(shown.state, row.state);
    EXPECT_EQ(shown.access, row.access);
    EXPECT_EQ(shown.holder, "-");
    EXPECT_EQ(shown.line, row.line);
    std::string expected = row.shown;
    if (expected.starts_with("@pty"))
        expected.replace(0, 4, device.devicePath());
    EXPECT_EQ(shown.target, expected);
    // A port whose settings cannot be read says what to do about it.
    if (row.line == "damaged") {
        EXPECT_TRUE(mentions(result.out,
            { "port 1: the entry's line settings cannot be read ('9Z9' is not a framing" }));
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, ListingTest,
    ::testing::Values(CListingCase { "Pty", "@pty", "present", "yes", "@pty" },
        CListingCase { "Dangling", "/nonexistent/ttyUSB7", "missing", "-", "/nonexistent/ttyUSB7" },
        CListingCase { "NoEntry", "", "missing", "-", "/dev/rfcomm0 (no entry)" },
        CListingCase { "NotSerial", "/dev/null", "not-serial", "-", "/dev/null" },
        CListingCase { "Speed", "@pty 115200", "present", "yes", "@pty", "115200" },
        CListingCase {
            "AllSettings", "@pty 9600 7E1 rtscts", "present", "yes", "@pty", "9600,7E1,rtscts" },
        CListingCase { "SettingsOfAMissingDevice", "/nonexistent/ttyUSB7 57600 8N2", "missing", "-",
            "/nonexistent/ttyUSB7", "57600,8N2" },
        CListingCase {
            "DamagedSettings", "@pty 9600 9Z9", "invalid", "-", "@pty 9600 9Z9", "damaged" },
        CListingCase { "BluetoothChannel", "bluetooth:00:1a:7d:da:71:13/5", "no-adapter", "yes",
            "bluetooth 00:1A:7D:DA:71:13 channel 5", "-" },
        CListingCase { "BluetoothRecord", "bluetooth:00:1A:7D:DA:71:13", "no-adapter", "yes",
            "bluetooth 00:1A:7D:DA:71:13 channel from the device", "-" },
        CListingCase {
            "BadBluetooth", "bluetooth:00:1A:7D", "invalid", "-", "bluetooth:00:1A:7D", "-" },
        CListingCase {
            "ControlCharacters", "/dev/\x1b[2Jx\\", "missing", "-", "/dev/\\x1B[2Jx\\x5C" }),
    byWhat);

TEST_F(PortsCommandTest, LinkThroughAnotherLinkShowsWhereItEnds)
{
    fs::path middle = ports.path() / "by-id-name";
    fs::create_symlink(device.devicePath(), middle);
    ports.link(1, middle);
    CRow shown = rowOf(run({}).out, 1);
    EXPECT_EQ(shown.target, middle.string() + " -> " + device.devicePath());
}

TEST_F(PortsCommandTest, ListingSucceedsWithoutSystemBus)
{
    CScopedVariable noBus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    CCommandResult result = runPortsCommand({});
    EXPECT_EQ(result.status, exitDone);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(rowOf(result.out, 9).target, "/dev/rfcomm8 (no entry)");
}

// The holder must be the process that has the port, never the one that lists it.
class HolderTest : public PortsCommandTest, public ::testing::WithParamInterface<bool> { };

TEST_P(HolderTest, NamesTheProcessHoldingThePort)
{
    bool bluetooth = GetParam();
    fs::path runtime = ports.path() / "runtime";
    fs::create_directories(runtime);
    CScopedVariable runtimeVariable("XDG_RUNTIME_DIR", runtime.c_str());
    if (bluetooth)
        ports.link(1, "bluetooth:00:1A:7D:DA:71:13/1");
    else
        ports.link(1, device.devicePath());
    fs::path held = bluetooth ? portLockPath(1) : fs::path(device.devicePath());
    EXPECT_EQ(portLockPath(1), runtime / "serialpads" / "com1.lock");
    {
        // A name that a terminal would obey, were it printed as it is.
        CHolder holder(
            [&] {
                int fd = ::open(held.c_str(), O_RDWR | O_NOCTTY | O_CREAT | O_CLOEXEC, 0600);
                return fd >= 0 && (!bluetooth || flock(fd, LOCK_EX | LOCK_NB) == 0);
            },
            "pad\x1b]0;x\a");
        std::string shown = rowOf(run({}).out, 1).holder;
        EXPECT_EQ(shown, "pad\\x1B]0;x\\x07[" + std::to_string(holder.pid()) + "]");
    }
    EXPECT_EQ(rowOf(run({}).out, 1).holder, "-");
}

INSTANTIATE_TEST_SUITE_P(Ports, HolderTest, ::testing::Values(false, true),
    [](const auto& testInfo) { return testInfo.param ? "Bluetooth" : "Tty"; });

// ---- Permission ------------------------------------------------------------------

struct CAccessCase : CTableRow {
    uid_t owner;
    gid_t group;
    mode_t mode;
    CIdentity who;
    EAccess expected;
};

class AccessTest : public ::testing::TestWithParam<CAccessCase> { };

TEST_P(AccessTest, DecidesFromOwnerGroupAndMode)
{
    const CAccessCase& row = GetParam();
    struct stat status {};
    status.st_mode = S_IFCHR | row.mode;
    status.st_uid = row.owner;
    status.st_gid = row.group;
    CAccessVerdict verdict = accessFor(status, row.who);
    EXPECT_EQ(verdict.kind, row.expected);
    if (row.expected == EAccess::joinGroup) {
        EXPECT_EQ(verdict.group, row.group);
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, AccessTest,
    ::testing::Values(CAccessCase { "Root", 0, 20, 0600, { 0, {} }, EAccess::allowed },
        CAccessCase { "Member", 0, 20, 0660, { 1000, { 100, 20 } }, EAccess::allowed },
        CAccessCase { "NotMember", 0, 20, 0660, { 1000, { 100 } }, EAccess::joinGroup },
        CAccessCase { "GroupReadOnly", 0, 5, 0620, { 1000, { 100 } }, EAccess::denied },
        CAccessCase { "RootGroupNeverSuggested", 0, 0, 0660, { 1000, { 100 } }, EAccess::denied },
        CAccessCase { "Owner", 1000, 20, 0600, { 1000, {} }, EAccess::allowed },
        CAccessCase { "OwnerBitsDenyOwner", 1000, 20, 0066, { 1000, { 20 } }, EAccess::denied },
        CAccessCase { "Others", 0, 20, 0666, { 1000, {} }, EAccess::allowed }),
    byWhat);

// The whole listing as an ordinary user, in a child that gives up root.
TEST_F(PortsCommandTest, UserOutsideTheGroupIsToldWhichToJoin)
{
    group* dialout = getgrnam("dialout");
    if (!dialout)
        GTEST_SKIP() << "no group dialout";
    ASSERT_EQ(chown(device.devicePath().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(device.devicePath().c_str(), 0660), 0);
    fs::permissions(ports.path(), fs::perms(0755));
    ports.link(1, device.devicePath());
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0
            || setresuid(65534, 65534, 65534) != 0)
            _exit(1);
        std::string listing = run({}).out;
        (void)!write(output[1], listing.data(), listing.size());
        _exit(0);
    }
    close(output[1]);
    std::string listing;
    char buffer[4096];
    for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;)
        listing.append(buffer, std::size_t(n));
    close(output[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(rowOf(listing, 1).access, "no");
    EXPECT_TRUE(
        mentions(listing, { "port 1: join the group dialout to open " + device.devicePath() }));
}

// ---- Set and remove --------------------------------------------------------------

struct CSetCase : CTableRow {
    std::vector<std::string> arguments; // "@pty" is the pseudo-terminal
    std::string linkTarget; // of com1 afterwards
};

class SetTest : public PortsCommandTest, public ::testing::WithParamInterface<CSetCase> { };

TEST_P(SetTest, ReplacesTheEntry)
{
    const CSetCase& row = GetParam();
    ports.link(1, "/dev/old-device");
    std::vector<std::string> arguments = row.arguments;
    for (std::string& argument : arguments)
        if (argument == "@pty")
            argument = device.devicePath();
    CCommandResult result = run(arguments);
    ASSERT_EQ(result.status, exitDone) << result.err;
    std::string expected = row.linkTarget;
    if (expected.starts_with("@pty"))
        expected.replace(0, 4, device.devicePath());
    EXPECT_EQ(fs::read_symlink(ports.entry(1)).string(), expected);
    // Nothing but the entry is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(ports.path()), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(Targets, SetTest,
    ::testing::Values(CSetCase { "Device", { "set", "1", "@pty" }, "@pty" },
        CSetCase { "Speed", { "set", "1", "@pty", "115200" }, "@pty 115200" },
        CSetCase { "SpeedFramingFlow", { "set", "1", "@pty", "9600", "7e1", "rtscts" },
            "@pty 9600 7E1 rtscts" },
        CSetCase { "SpeedWithoutConstant", { "set", "1", "@pty", "250000", "8N2", "none" },
            "@pty 250000 8N2 none" },
        CSetCase {
            "Bluetooth", { "set", "1", "00:1a:7d:da:71:13" }, "bluetooth:00:1A:7D:DA:71:13" },
        CSetCase { "BluetoothChannel", { "set", "1", "00:1A:7D:DA:71:13", "30" },
            "bluetooth:00:1A:7D:DA:71:13/30" }),
    byWhat);

TEST_F(PortsCommandTest, AnEntryLinkingToAFolderIsReplacedNotEntered)
{
    fs::path folder = ports.path() / "folder";
    fs::create_directory(folder);
    ports.link(1, folder);
    ASSERT_EQ(run({ "set", "1", device.devicePath() }).status, exitDone);
    EXPECT_EQ(fs::read_symlink(ports.entry(1)), device.devicePath());
    EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(PortsCommandTest, EntryNeverVanishesWhileReplaced)
{
    ports.link(1, device.devicePath());
    std::atomic<bool> done = false;
    std::atomic<int> vanished = 0;
    std::thread watcher([&] {
        struct stat status {};
        while (!done)
            if (lstat(ports.entry(1).c_str(), &status) != 0)
                ++vanished;
    });
    for (int i = 0; i < 300; ++i)
        run({ "set", "1", i % 2 ? device.devicePath() : "00:1A:7D:DA:71:13" });
    done = true;
    watcher.join();
    EXPECT_EQ(vanished, 0);
}

TEST_F(PortsCommandTest, SetMakesAMissingDirectoryAndRemoveTakesTheEntryAway)
{
    fs::remove_all(ports.path());
    ASSERT_EQ(run({ "set", "2", device.devicePath() }).status, exitDone);
    EXPECT_EQ(fs::read_symlink(ports.entry(2)), device.devicePath());
    CCommandResult result = run({ "remove", "2" });
    EXPECT_EQ(result.status, exitDone) << result.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(ports.entry(2))));
    EXPECT_EQ(rowOf(run({}).out, 2).target, "/dev/rfcomm1 (no entry)");
}

TEST_F(PortsCommandTest, SuggestsTheStableNameButKeepsTheChosenOne)
{
    fs::path byId = ports.path() / "serial" / "by-id";
    fs::create_directories(byId);
    fs::create_symlink(device.devicePath(), byId / "usb-Maker_Adapter_1234-if00-port0");
    fs::create_symlink("/dev/null", byId / "usb-Other-if00");
    CCommandSources sources;
    sources.askBluez = false;
    sources.byIdDirectory = byId;

    CCommandResult result = runPortsCommand({ "set", "1", device.devicePath() }, sources);
    EXPECT_EQ(result.status, exitDone);
    EXPECT_EQ(fs::read_symlink(ports.entry(1)), device.devicePath());
    EXPECT_TRUE(
        mentions(result.out, { "hint: " + (byId / "usb-Maker_Adapter_1234-if00-port0").string() }));

    result = runPortsCommand(
        { "set", "1", (byId / "usb-Maker_Adapter_1234-if00-port0").string() }, sources);
    EXPECT_EQ(result.status, exitDone);
    EXPECT_EQ(result.out.find("hint:"), std::string::npos) << result.out;
}

// ---- Bad input -------------------------------------------------------------------

struct CBadCase : CTableRow {
    std::vector<std::string> arguments;
    int status;
    std::string message; // the start of the message after the command's name
};

class BadInputTest : public PortsCommandTest, public ::testing::WithParamInterface<CBadCase> { };

TEST_P(BadInputTest, RefusesAndLeavesTheEntries)
{
    const CBadCase& row = GetParam();
    ports.link(1, device.devicePath());
    // A regular file beside the entry, for the row that names one.
    std::ofstream(ports.path() / "notes.txt") << "not a device\n";
    auto placed = [&](std::string text) {
        if (text == "@pty")
            return device.devicePath();
        if (text == "@entry")
            return ports.entry(1).string();
        if (text.starts_with("@dir"))
            return ports.path().string() + text.substr(4);
        return text;
    };
    std::vector<std::string> arguments = row.arguments;
    for (std::string& argument : arguments)
        argument = placed(argument);
    CCommandResult result = run(arguments);
    EXPECT_EQ(result.status, row.status);
    EXPECT_TRUE(result.err.starts_with("serialpads-ports: " + placed(row.message))) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(fs::read_symlink(ports.entry(1)), device.devicePath());
    EXPECT_EQ(std::distance(fs::directory_iterator(ports.path()), {}), 2);
}

INSTANTIATE_TEST_SUITE_P(Arguments, BadInputTest,
    ::testing::Values(
        CBadCase { "PortZero", { "set", "0", "@pty" }, 2, "'0' is not a port number" },
        CBadCase { "PortTen", { "set", "10", "@pty" }, 2, "'10' is not a port number" },
        CBadCase { "PortWord", { "remove", "one" }, 2, "'one' is not a port number" },
        CBadCase { "ShortAddress", { "set", "1", "00:1A:7D:DA:71" }, 2,
            "'00:1A:7D:DA:71' is neither a device path nor a Bluetooth address" },
        CBadCase { "BadHexDigit", { "set", "1", "00:1A:7D:DA:71:1G" }, 2, "'00:1A:7D:DA:71:1G'" },
        CBadCase { "ChannelZero", { "set", "1", "00:1A:7D:DA:71:13", "0" }, 2,
            "'0' is not an RFCOMM channel" },
        CBadCase { "ChannelTooHigh", { "set", "1", "00:1A:7D:DA:71:13", "31" }, 2,
            "'31' is not an RFCOMM channel" },
        CBadCase { "SpeedNotANumber", { "set", "1", "@pty", "12345x" }, 2,
            "'12345x' is not a speed: give a whole number of baud" },
        CBadCase { "SpeedZero", { "set", "1", "@pty", "0" }, 2, "'0' is not a speed" },
        CBadCase {
            "SpeedTooHigh", { "set", "1", "@pty", "100000001" }, 2, "'100000001' is not a speed" },
        CBadCase { "Framing", { "set", "1", "@pty", "9600", "9Z9" }, 2,
            "'9Z9' is not a framing: give data bits 5 to 8, parity N, E or O" },
        CBadCase { "Flow", { "set", "1", "@pty", "9600", "8N1", "sideways" }, 2,
            "'sideways' is not a flow control: give none or rtscts." },
        CBadCase { "TooManySettings", { "set", "1", "@pty", "9600", "8N1", "none", "x" }, 2,
            "too many line settings from 'x' on" },
        CBadCase { "SpeedAfterAddress", { "set", "1", "00:1A:7D:DA:71:13", "115200" }, 2,
            "'115200' is not an RFCOMM channel: give 1 to 30 (a Bluetooth device has no line "
            "settings" },
        CBadCase { "FramingAfterAddress", { "set", "1", "00:1A:7D:DA:71:13", "1", "8N1" }, 2,
            "a Bluetooth address takes only a channel, 1 to 30 (a Bluetooth device has no line" },
        CBadCase { "PathReadAsSettings", { "set", "1", "/dev/port 2" }, 2,
            "/dev/port 2 has a blank before a digit" },
        CBadCase { "NoSuchDevice", { "set", "1", "/nonexistent/ttyUSB0" }, 1,
            "/nonexistent/ttyUSB0 does not exist" },
        CBadCase { "NotTerminal", { "set", "1", "/dev/null" }, 1,
            "/dev/null is not a serial device (not a terminal)" },
        CBadCase { "Directory", { "set", "1", "/dev/" }, 1,
            "/dev/ is not a serial device (not a character device)" },
        CBadCase { "EntryItself", { "set", "1", "@entry" }, 1, "" },
        CBadCase { "EntryItselfByAWinding", { "set", "1", "@dir/./com1" }, 1, "" },
        CBadCase { "RegularFile", { "set", "1", "@dir/notes.txt" }, 1,
            "@dir/notes.txt is not a serial device (not a character device)" },
        CBadCase { "RemoveMissing", { "remove", "4" }, 1, "port 4 has no entry" },
        CBadCase { "SetAlone", { "set" }, 2, "set takes a port number" },
        CBadCase { "ListWithArgument", { "list", "all" }, 2, "list takes no arguments" },
        CBadCase { "Unknown", { "frob\x1b]0;x\a" }, 2, "unknown command 'frob\\x1B]0;x\\x07'" }),
    byWhat);

// ---- Bluetooth state -------------------------------------------------------------

TEST(PairedDevicesTest, KeepsPairedDevicesOfferingTheSerialPort)
{
    CBluezState state;
    std::string serial = "00001101-0000-1000-8000-00805F9B34FB";
    std::string audio = "0000110b-0000-1000-8000-00805f9b34fb";
    state.devices = { { "00:00:00:00:00:01", "paired serial", true, { audio, serial }, {} },
        { "00:00:00:00:00:02", "unpaired serial", false, { serial }, {} },
        { "00:00:00:00:00:03", "paired headset", true, { audio }, {} } };
    std::vector<CBluezDevice> found = pairedSerialDevices(state);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "paired serial");
}

struct CAdapterCase : CTableRow {
    bool hci;
    const char* soft; // rfkill's soft block of the Bluetooth switch; nullptr for none
    std::optional<CBluezState> bluez;
    EPresence expected;
};

class AdapterTest : public ::testing::TestWithParam<CAdapterCase> { };

TEST_P(AdapterTest, ReadsTheAdapterWithoutRoot)
{
    const CAdapterCase& row = GetParam();
    CTestPortDirectory scratch;
    CListingSources sources;
    sources.bluez = row.bluez;
    sources.bluetoothClass = scratch.path() / "bluetooth";
    sources.rfkillClass = scratch.path() / "rfkill";
    fs::create_directories(sources.bluetoothClass);
    if (row.hci)
        fs::create_directories(sources.bluetoothClass / "hci0");
    if (row.soft) {
        fs::create_directories(sources.rfkillClass / "rfkill0");
        std::ofstream(sources.rfkillClass / "rfkill0" / "type") << "bluetooth\n";
        std::ofstream(sources.rfkillClass / "rfkill0" / "soft") << row.soft << "\n";
        std::ofstream(sources.rfkillClass / "rfkill0" / "hard") << "0\n";
    }
    EXPECT_EQ(bluetoothPresence(sources), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Sources, AdapterTest,
    ::testing::Values(CAdapterCase { "NoHci", false, nullptr, std::nullopt, EPresence::noAdapter },
        CAdapterCase { "Blocked", true, "1", std::nullopt, EPresence::adapterOff },
        CAdapterCase { "Unblocked", true, "0", std::nullopt, EPresence::adapterFound },
        CAdapterCase { "BluezPowered", false, nullptr,
            CBluezState {
                { { "00:00:00:00:00:0A", false, {} }, { "00:00:00:00:00:0B", true, {} } }, {} },
            EPresence::adapterOn },
        CAdapterCase { "BluezOff", true, "0",
            CBluezState { { { "00:00:00:00:00:0A", false, {} } }, {} }, EPresence::adapterOff }),
    byWhat);

} // namespace

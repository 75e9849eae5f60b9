// Why an open fails, as the value the message box is given, and the sentence made of
// it: requests the port does not support, entries that are no serial device, devices
// held by another program or closed to this user.
#include "PortFixture.h"
#include "TableRow.h"

#include "DeviceClass.h"
#include "OpenFailure.h"
#include "PortDirectory.h"
#include "PortLock.h"

#include <fstream>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

TEST_F(SerialPortTest, OpenRejectsUnsupportedRequests)
{
    const int security = 0;
    EXPECT_EQ(openPort(u"COM1:", 0), invalidHandle);
    EXPECT_EQ(openPort(u"COM1:", GENERIC_READ | 0x1), invalidHandle);
    EXPECT_EQ(openDevice(u"COM1:", readWrite, 1, nullptr, OPEN_EXISTING, 0, 0), invalidHandle);
    EXPECT_EQ(openDevice(u"COM1:", readWrite, 0, &security, OPEN_EXISTING, 0, 0), invalidHandle);
    EXPECT_EQ(openDevice(u"COM1:", readWrite, 0, nullptr, 1, 0, 0), invalidHandle);
    EXPECT_EQ(openDevice(u"COM1:", readWrite, 0, nullptr, OPEN_EXISTING, 0, 7), invalidHandle);
    for (const char16_t* name :
        { u"COM0:", u"COM10:", u"LPT1:", u"COM1", u"COM1::", u" COM1:", u"", u"garbage" })
        EXPECT_EQ(openPort(name), invalidHandle);
    EXPECT_EQ(openDevice(nullptr, readWrite, 0, nullptr, OPEN_EXISTING, 0, 0), invalidHandle);

    // "No template" may be written either way; neither stops a good open.
    Handle port = openDevice(u"com1:", readWrite, 0, nullptr, OPEN_EXISTING, 0, 0);
    EXPECT_NE(port, invalidHandle);
    EXPECT_TRUE(closeDevice(port));
}

// Entries that must not be opened, each made by a function given the port directory
// (the entry is com3), with the failure an open finds.
struct NonSerialEntry : CTableRow {
    void (*make)(CTestPortDirectory& ports);
    OpenFailureKind kind;
    const char* mentioned; // a part of the sentence
};

class NotATerminalTest : public ::testing::TestWithParam<NonSerialEntry> {
protected:
    CTestPortDirectory ports;
};

TEST_P(NotATerminalTest, FailsByItsKindAndChangesNothing)
{
    GetParam().make(ports);
    std::map<fs::path, fs::file_time_type> files; // the regular files an entry leads to
    for (const fs::directory_entry& file : fs::directory_iterator(ports.path()))
        if (file.is_regular_file())
            files[fs::canonical(file.path())] = file.last_write_time();

    for (std::uint32_t access : { GENERIC_READ, GENERIC_WRITE, readWrite }) {
        EXPECT_EQ(openPort(u"COM3:", access), invalidHandle);
        std::optional<COpenFailure> failure = takeLastOpenFailure();
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind, GetParam().kind);
        EXPECT_EQ(failure->portNumber, 3);
        EXPECT_TRUE(mentions(describe(*failure), { GetParam().mentioned }));
    }
    for (const auto& [path, mtime] : files) {
        std::ifstream file(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "keep me");
        EXPECT_EQ(fs::last_write_time(path), mtime);
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, NotATerminalTest,
    ::testing::Values(
        NonSerialEntry { "DanglingLink",
            [](CTestPortDirectory& ports) { ports.link(3, ports.path() / "unplugged"); },
            OpenFailureKind::noSuchDevice, "unplugged, switched off or named differently" },
        NonSerialEntry { "RegularFile",
            [](CTestPortDirectory& ports) {
                std::ofstream(ports.path() / "notes.txt") << "keep me";
                fs::rename(ports.path() / "notes.txt", ports.entry(3));
            },
            OpenFailureKind::notSerial, "com3 is a regular file, not a serial device" },
        NonSerialEntry { "LinkToRegularFile",
            [](CTestPortDirectory& ports) {
                std::ofstream(ports.path() / "notes.txt") << "keep me";
                ports.link(3, ports.path() / "notes.txt");
            },
            OpenFailureKind::notSerial, "notes.txt) is a regular file, not a serial device" },
        NonSerialEntry { "Directory",
            [](CTestPortDirectory& ports) { fs::create_directory(ports.entry(3)); },
            OpenFailureKind::notSerial, "is a directory, not a serial device" },
        NonSerialEntry { "LinkToDirectory",
            [](CTestPortDirectory& ports) { ports.link(3, ports.path()); },
            OpenFailureKind::notSerial, "is a directory, not a serial device" },
        NonSerialEntry { "Fifo",
            [](CTestPortDirectory& ports) { mkfifo(ports.entry(3).c_str(), 0600); },
            OpenFailureKind::notSerial, "is a named pipe, not a serial device" },
        NonSerialEntry { "DevNull", [](CTestPortDirectory& ports) { ports.link(3, "/dev/null"); },
            OpenFailureKind::notSerial,
            "(/dev/null) is a character device that is not a terminal" },
        // A target that only starts like a Bluetooth device's is a path, and not there.
        NonSerialEntry { "MalformedBluetoothTarget",
            [](CTestPortDirectory& ports) { ports.link(3, "bluetooth:00:11:22"); },
            OpenFailureKind::noSuchDevice, "(bluetooth:00:11:22) does not exist" }),
    byWhat);

TEST(NotATerminal, KernelDescribedNonTerminalsAreKnown)
{
    if (!fs::exists("/sys/dev/char/1:3"))
        GTEST_SKIP() << "no /sys here";
    EXPECT_TRUE(isKnownNonTerminal(1, 3)); // /dev/null
    EXPECT_FALSE(isKnownNonTerminal(5, 2)); // /dev/ptmx
}

// Why an open failed, as the value the message box is given.
class OpenFailureTest : public SerialPortTest {
protected:
    COpenFailure failedOpen(const char16_t* name)
    {
        EXPECT_EQ(openPort(name), invalidHandle);
        std::optional<COpenFailure> failure = takeLastOpenFailure();
        EXPECT_TRUE(failure.has_value());
        EXPECT_FALSE(takeLastOpenFailure().has_value()) << "taken once, it is gone";
        return failure.value_or(COpenFailure {});
    }
};

TEST_F(OpenFailureTest, APortWithoutEntryOrBoundDeviceSaysHowToSetOne)
{
    if (fs::exists("/dev/rfcomm8"))
        GTEST_SKIP() << "this machine has /dev/rfcomm8";
    COpenFailure failure = failedOpen(u"COM9:");
    EXPECT_EQ(failure.kind, OpenFailureKind::noEntry);
    EXPECT_EQ(failure.path, fallbackDeviceForPort(9));
    EXPECT_TRUE(mentions(describe(failure),
        { "Port 9 has no entry " + ports.entry(9).string(), "no Bluetooth serial port /dev/rfcomm8",
            "serialpads-ports set 9" }));
}

TEST_F(OpenFailureTest, AHeldDeviceNamesTheProgramHoldingIt)
{
    std::optional<CHolder> held(std::in_place, [&] {
        int fd = open(farEnd.devicePath().c_str(), O_RDWR | O_NOCTTY);
        return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    });
    const pid_t holder = held->pid();
    COpenFailure failure = failedOpen(u"COM1:");
    EXPECT_EQ(failure.kind, OpenFailureKind::busy);
    ASSERT_TRUE(failure.holder);
    EXPECT_EQ(failure.holder->pid, holder);
    EXPECT_EQ(describe(failure),
        ports.entry(1).string() + " (" + farEnd.devicePath() + ") is held by another program: "
            + failure.holder->name + " (pid " + std::to_string(holder) + ").");

    // A successful open forgets an earlier failure.
    held.reset();
    EXPECT_EQ(openPort(u"COM7:"), invalidHandle);
    Handle opened = openPort(u"COM1:");
    EXPECT_NE(opened, invalidHandle);
    EXPECT_FALSE(takeLastOpenFailure());
    closeDevice(opened);
}

TEST_F(OpenFailureTest, ABluetoothPortHeldElsewhereNamesTheProgramHoldingItsLock)
{
    CScopedVariable runtime("XDG_RUNTIME_DIR", ports.path().c_str());
    ports.link(4, "bluetooth:00:1A:7D:DA:71:13/2");
    CHolder held([] {
        COpenFailure ignored;
        static CFileDescriptor lock = takePortLock(4, ignored);
        return lock.valid();
    });
    const pid_t holder = held.pid();
    COpenFailure failure = failedOpen(u"COM4:");
    EXPECT_EQ(failure.kind, OpenFailureKind::busy);
    EXPECT_EQ(failure.path, ports.path() / "serialpads" / "com4.lock");
    ASSERT_TRUE(failure.holder);
    EXPECT_EQ(failure.holder->pid, holder);
    EXPECT_TRUE(mentions(describe(failure),
        { "Port 4 (Bluetooth 00:1A:7D:DA:71:13) is held by another program",
            "(pid " + std::to_string(holder) + ")" }));
}

TEST_F(OpenFailureTest, ABluetoothPortWithoutAdapterSaysSoAndHoldsNothing)
{
    if (fs::exists("/sys/class/bluetooth") && !fs::is_empty("/sys/class/bluetooth"))
        GTEST_SKIP() << "this machine has a Bluetooth adapter";
    CScopedVariable runtime("XDG_RUNTIME_DIR", ports.path().c_str());
    // Without a channel the lookup of the device's service records fails first, with
    // the same cause; no channel is named then, since none was found.
    for (auto [target, channel] : { std::pair { "bluetooth:00:1A:7D:DA:71:13", 0 },
             std::pair { "bluetooth:00:1A:7D:DA:71:13/2", 2 } }) {
        ports.link(5, target);
        for (int attempt = 0; attempt < 2; ++attempt) {
            COpenFailure failure = failedOpen(u"COM5:");
            EXPECT_EQ(failure.kind, OpenFailureKind::adapterAbsent) << describe(failure);
            EXPECT_EQ(failure.remote, "00:1A:7D:DA:71:13");
            EXPECT_EQ(failure.channel, channel);
        }
    }
    COpenFailure free;
    EXPECT_GE(takePortLock(5, free).get(), 0) << "a failed connect left its port locked";
}

TEST_F(OpenFailureTest, PermissionDeniedIsToldAsSuchToAnotherUser)
{
    // Root opens any device, so the open is tried as another user, who may look at the
    // port directory but not open the device.
    ASSERT_EQ(chmod(ports.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(farEnd.devicePath().c_str(), 0600), 0);
    ASSERT_EQ(chown(farEnd.devicePath().c_str(), 0, 0), 0);
    int kind = exitStatusAsOtherUser([] {
        if (openPort(u"COM1:") != invalidHandle)
            return 100;
        std::optional<COpenFailure> failure = takeLastOpenFailure();
        if (!failure || failure->error != EACCES || failure->owner != 0
            || (failure->mode & 0777) != 0600)
            return 101;
        return int(failure->kind);
    });
    EXPECT_EQ(kind, int(OpenFailureKind::permission));
}

// The sentences of failures these machines cannot make happen.
struct DescribedFailure : CTableRow {
    COpenFailure failure;
    std::vector<std::string> mentioned;
};

class DescribeTest : public ::testing::TestWithParam<DescribedFailure> { };

TEST_P(DescribeTest, SaysWhatHappenedAndWhatToDo)
{
    const std::string sentence = describe(GetParam().failure);
    for (const std::string& part : GetParam().mentioned)
        EXPECT_TRUE(mentions(sentence, { part }));
}

COpenFailure remoteFailure(OpenFailureKind kind, int error)
{
    COpenFailure failure;
    failure.kind = kind;
    failure.error = error;
    failure.portNumber = 2;
    failure.remote = "00:1A:7D:DA:71:13";
    failure.channel = 3;
    return failure;
}

COpenFailure deviceFailure(OpenFailureKind kind, int error, mode_t mode = 0, gid_t group = 0)
{
    COpenFailure failure;
    failure.kind = kind;
    failure.error = error;
    failure.portNumber = 1;
    failure.path = "/dev/ttyUSB0";
    failure.mode = S_IFCHR | mode;
    failure.group = group;
    return failure;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DescribeTest,
    ::testing::Values(
        DescribedFailure { "AdapterOff", remoteFailure(OpenFailureKind::adapterOff, EHOSTUNREACH),
            { "adapter is switched off", "bluetoothctl power on" } },
        DescribedFailure { "AdapterAbsent",
            remoteFailure(OpenFailureKind::adapterAbsent, EAFNOSUPPORT),
            { "no Bluetooth adapter", "00:1A:7D:DA:71:13" } },
        DescribedFailure { "OutOfRange",
            remoteFailure(OpenFailureKind::remoteUnreachable, EHOSTDOWN),
            { "00:1A:7D:DA:71:13 (channel 3) cannot be reached", "within range" } },
        DescribedFailure { "NobodyOnTheChannel",
            remoteFailure(OpenFailureKind::channelRefused, ECONNREFUSED),
            { "(channel 3) answers, but nothing accepts connections" } },
        DescribedFailure { "NotPaired", remoteFailure(OpenFailureKind::notPaired, EACCES),
            { "pair it first in the desktop's Bluetooth settings" } },
        DescribedFailure { "NoSerialPort",
            [] {
                COpenFailure failure = remoteFailure(OpenFailureKind::noSerialPort, 0);
                failure.channel = 0;
                return failure;
            }(),
            { "The Bluetooth device 00:1A:7D:DA:71:13 offers no serial port",
                "serialpads-ports set 2 00:1A:7D:DA:71:13 CHANNEL" } },
        DescribedFailure { "SlowLink", remoteFailure(OpenFailureKind::linkTimedOut, ETIMEDOUT),
            { "(channel 3) did not bring the link up in time" } },
        DescribedFailure { "BoundRemoteSilent",
            [] {
                COpenFailure failure = deviceFailure(OpenFailureKind::remoteSilent, EIO);
                failure.path = "/dev/rfcomm0";
                return failure;
            }(),
            { "bound to /dev/rfcomm0 does not answer", "switched on, within range" } },
        DescribedFailure { "OwnerOnly", deviceFailure(OpenFailureKind::permission, EACCES, 0600),
            { "You may not open /dev/ttyUSB0", "mode 0600" } },
        DescribedFailure { "LineNotKept",
            [] {
                COpenFailure failure = deviceFailure(OpenFailureKind::lineNotKept, EINVAL);
                failure.lineAsked = "250000";
                failure.lineKept = "speed 250000 asked, 9600 kept";
                return failure;
            }(),
            { "/dev/ttyUSB0 did not keep the line settings of port 1 (speed 250000 asked, 9600 "
              "kept); its own settings are put back",
                "serialpads-ports set 1" } },
        DescribedFailure { "OtherError", deviceFailure(OpenFailureKind::otherError, EIO),
            { "/dev/ttyUSB0 could not be opened: Input/output error." } }),
    byWhat);

TEST(Describe, PermissionNamesTheGroupToJoin)
{
    struct group* entry = getgrnam("dialout");
    if (!entry)
        GTEST_SKIP() << "no dialout group here";
    EXPECT_EQ(describe(deviceFailure(OpenFailureKind::permission, EACCES, 0660, entry->gr_gid)),
        "You may not open /dev/ttyUSB0: join its group dialout (sudo usermod -aG dialout "
        "$USER), then log out and in again.");
}

// Serial ports over real pseudo-terminals: the slave is the device, reached through a
// private port directory, and the test plays the far end on the master.
#include "DeviceClass.h"
#include "LineSpeed.h"
#include "OpenFailure.h"
#include "PortDirectory.h"
#include "PortLock.h"
#include "PortRegistry.h"
#include "TerminalGuard.h"
#include "TestPort.h"
#include "TextCodec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t readWrite = GENERIC_READ | GENERIC_WRITE;

Handle openPort(const char16_t* name = u"COM1:", std::uint32_t access = readWrite)
{
    return openDevice(name, access, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
}

std::string allByteValues()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(char(value));
    return bytes;
}

std::chrono::milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Runs `action` in a child process that is not root, since root passes permission
// checks and may open a terminal held in exclusive mode. The child takes the uid and
// gid of "nobody" when the test runs as root. Gives the child's exit status, or -1
// when it could not be run or did not exit.
template <typename Action> int exitStatusAsOtherUser(Action action)
{
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        constexpr uid_t nobody = 65534;
        if (geteuid() == 0
            && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(120);
        _exit(action());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The errno of a plain open of `path` by a program that takes no lock (0 when it
// opens), as another user.
int plainOpenErrorAsOtherUser(const std::string& path)
{
    return exitStatusAsOtherUser([&] {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 ? 0 : errno;
    });
}

// Input, output and local processing a device may have before it is connected, all of
// which would change or hold back bytes: stripping to 7 bits, CR/NL translation,
// software flow control, error marking (which doubles 0xFF), echo and line editing.
void cook(termios& settings)
{
    settings.c_iflag |= ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | PARMRK;
    settings.c_oflag |= OPOST | ONLCR | OCRNL;
    settings.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
}

// Sets or clears an environment variable for one scope.
class CScopedVariable {
public:
    CScopedVariable(const char* variable, const char* value)
        : name(variable)
    {
        if (const char* old = std::getenv(name))
            previous = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~CScopedVariable() { previous ? setenv(name, previous->c_str(), 1) : unsetenv(name); }

private:
    const char* name;
    std::optional<std::string> previous;
};

// Whether `text` holds every one of `parts`; the text is shown when it does not.
::testing::AssertionResult mentions(
    const std::string& text, std::initializer_list<std::string> parts)
{
    for (const std::string& part : parts)
        if (text.find(part) == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
    return ::testing::AssertionSuccess();
}

} // namespace

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ports.link(1, farEnd.devicePath());
        // The test's own view of the device, opened before the port is held, for its
        // settings and for how many bytes are waiting.
        view = open(farEnd.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(view, 0);
    }
    void TearDown() override
    {
        closeAllPorts();
        close(view);
    }

    // Puts cooked settings on the device, as another program may have left it.
    void cookDevice()
    {
        termios settings {};
        ASSERT_EQ(tcgetattr(view, &settings), 0);
        cook(settings);
        ASSERT_EQ(tcsetattr(view, TCSANOW, &settings), 0);
    }

    void waitForInput(int count)
    {
        ASSERT_TRUE(waitUntil([&] {
            int waiting = 0;
            return ioctl(view, FIONREAD, &waiting) == 0 && waiting >= count;
        }));
    }

    std::string readAll(Handle port, std::size_t count)
    {
        std::string got;
        auto deadline = Clock::now() + 2s;
        while (got.size() < count && Clock::now() < deadline) {
            char buffer[128];
            std::uint32_t n = 0;
            readDevice(port, buffer, sizeof buffer, &n, nullptr);
            got.append(buffer, n);
        }
        return got;
    }

    CTestPortDirectory ports;
    CTestPort farEnd;
    int view = -1;
};

TEST_F(SerialPortTest, PassesEveryByteUnchangedBothWays)
{
    cookDevice();
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    const std::string bytes = allByteValues() + "\r\n\x03\x11\x13\x1a\x7f" + std::string(1, '\0');

    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(port, bytes.data(), std::uint32_t(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(farEnd.receive(bytes.size()), bytes);

    farEnd.send(bytes);
    EXPECT_EQ(readAll(port, bytes.size()), bytes);
    EXPECT_EQ(farEnd.drain(), "") << "received bytes were echoed";
}

TEST_F(SerialPortTest, LargeWriteArrivesWholeWhileFarEndReadsSlowly)
{
    Handle port = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(port, invalidHandle);
    std::string bytes(64 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 256);

    std::string arrived;
    std::thread reader([&] {
        while (arrived.size() < bytes.size()) {
            std::string part = farEnd.receive(4096, 5s);
            if (part.empty())
                return;
            arrived += part;
            std::this_thread::sleep_for(2ms);
        }
    });
    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(port, bytes.data(), std::uint32_t(bytes.size()), &written, nullptr));
    reader.join();
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(arrived == bytes) << arrived.size() << " bytes arrived";
}

TEST_F(SerialPortTest, OpeningOrClosingAPortStartsANewStreamOfCharacters)
{
    auto decodeBytes = [](std::string_view bytes) {
        std::u16string text;
        for (char byte : bytes) {
            char16_t units[8];
            int count = byteToWide(0, 0, &byte, 1, units, 8);
            text.append(units, std::size_t(std::max(count, 0)));
        }
        return text;
    };
    // The first two bytes of the euro sign; its last byte comes from another connection.
    decodeBytes("\xE2\x82");
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    EXPECT_EQ(decodeBytes("\xAC"), u"\uFFFD\uFFFD");
    decodeBytes("\xE2\x82");
    EXPECT_TRUE(closeDevice(port));
    EXPECT_EQ(decodeBytes("\xAC"), u"\uFFFD\uFFFD");
}

TEST_F(SerialPortTest, AWriteToAFarEndThatStopsReadingGivesUpAndLeavesThePortUsable)
{
    Handle port = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(port, invalidHandle);
    COMMTIMEOUTS quick { MAXDWORD, MAXDWORD, 100, 0, 300 };
    ASSERT_TRUE(setTimeouts(port, &quick));
    // Far more than the terminal's buffers hold, and the far end reads none of it.
    std::string line(1 << 20, '\0');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = char('a' + i % 26);

    std::atomic<bool> done = false;
    bool complete = true;
    std::uint32_t written = 0;
    std::thread writer([&] {
        complete = writeDevice(port, line.data(), std::uint32_t(line.size()), &written, nullptr);
        done = true;
    });
    bool ended = waitUntil([&] { return done.load(); }, 10s);
    if (!ended)
        farEnd.hangUp(); // frees a write that would wait for ever
    writer.join();
    ASSERT_TRUE(ended) << "the write did not give up";
    EXPECT_FALSE(complete);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, line.size());

    // Once the far end reads again, the next line follows what went out, whole.
    std::string arrived;
    std::thread reader([&] { arrived = farEnd.receive(written + 5, 5s); });
    std::uint32_t next = 0;
    EXPECT_TRUE(writeDevice(port, "next\r", 5, &next, nullptr));
    reader.join();
    EXPECT_EQ(next, 5u);
    EXPECT_TRUE(arrived == line.substr(0, written) + "next\r") << arrived.size() << " bytes";
}

// A pseudo-terminal takes all of a long line at once and passes it to the far end's
// input, where it waits until the far end reads; Disconnect and the end of the program
// must leave it there.
TEST_F(SerialPortTest, DisconnectKeepsEveryByteTheDeviceTook)
{
    std::string line(8000, 'x');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = char('a' + i % 26);
    line += '\r';
    Handle port = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(port, invalidHandle);
    std::uint32_t written = 0;
    ASSERT_TRUE(writeDevice(port, line.data(), std::uint32_t(line.size()), &written, nullptr));
    ASSERT_EQ(written, line.size());
    auto start = Clock::now();
    EXPECT_TRUE(closeDevice(port));
    EXPECT_LT(since(start), 1000ms) << "nothing was waiting in the driver";
    std::string arrived = farEnd.receive(line.size());
    EXPECT_TRUE(arrived == line) << arrived.size() << " of " << line.size() << " bytes";

    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            Handle left = openPort(u"COM1:", GENERIC_WRITE);
            std::uint32_t count = 0;
            bool sent = writeDevice(left, line.data(), std::uint32_t(line.size()), &count, nullptr);
            std::exit(sent && count == line.size() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    arrived = farEnd.receive(line.size());
    EXPECT_TRUE(arrived == line) << "at the end: " << arrived.size() << " of " << line.size();
}

TEST_F(SerialPortTest, KeepsLineSettingsAndRestoresTerminalSettings)
{
    termios unusual {};
    ASSERT_EQ(tcgetattr(view, &unusual), 0);
    cook(unusual);
    cfsetspeed(&unusual, B1200);
    unusual.c_cflag
        = (unusual.c_cflag & ~tcflag_t(CSIZE | PARODD)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(view, TCSANOW, &unusual), 0);
    termios before {};
    ASSERT_EQ(tcgetattr(view, &before), 0);

    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    termios held {};
    ASSERT_EQ(tcgetattr(view, &held), 0);
    EXPECT_EQ(cfgetispeed(&held), B1200);
    EXPECT_EQ(cfgetospeed(&held), B1200);
    constexpr tcflag_t line = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL;
    EXPECT_EQ(held.c_cflag & line, before.c_cflag & line);
    EXPECT_EQ(held.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(held.c_oflag & OPOST, 0u);
    EXPECT_EQ(held.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | PARMRK), 0u);

    EXPECT_TRUE(closeDevice(port));
    termios after {};
    ASSERT_EQ(tcgetattr(view, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));
}

TEST_F(SerialPortTest, PortsLeftOpenAreRestoredWhenTheProgramEnds)
{
    termios before {};
    ASSERT_EQ(tcgetattr(view, &before), 0);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        { openPort() != invalidHandle ? std::exit(0) : std::exit(1); },
        ::testing::ExitedWithCode(0), "");
    termios after {};
    ASSERT_EQ(tcgetattr(view, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    int exclusive = 1;
    ASSERT_EQ(ioctl(view, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(SerialPortTest, HeldPortRefusesEveryOtherOpenUntilClosed)
{
    ports.link(2, farEnd.devicePath());
    // Another user may open the device, so only the port's hold can keep them out.
    ASSERT_EQ(chmod(farEnd.devicePath().c_str(), 0666), 0);
    ASSERT_EQ(plainOpenErrorAsOtherUser(farEnd.devicePath()), 0);

    Handle first = openPort(u"COM1:", GENERIC_READ);
    ASSERT_NE(first, invalidHandle);
    EXPECT_EQ(openPort(u"COM1:", GENERIC_READ), invalidHandle);
    EXPECT_EQ(openPort(u"COM2:", GENERIC_WRITE), invalidHandle);
    // Another serial tool taking the usual lock is kept out too.
    EXPECT_NE(flock(view, LOCK_EX | LOCK_NB), 0);
    // And a program that takes no lock: exclusive mode is on, and refuses its open.
    int exclusiveWhileHeld = 0;
    ASSERT_EQ(ioctl(view, TIOCGEXCL, &exclusiveWhileHeld), 0);
    EXPECT_EQ(exclusiveWhileHeld, 1);
    EXPECT_EQ(plainOpenErrorAsOtherUser(farEnd.devicePath()), EBUSY);

    EXPECT_TRUE(closeDevice(first));
    EXPECT_EQ(plainOpenErrorAsOtherUser(farEnd.devicePath()), 0);
    EXPECT_FALSE(closeDevice(first));

    // So is a program that holds the device in exclusive mode without the lock, even
    // for root, whom the kernel would let in.
    ASSERT_EQ(ioctl(view, TIOCEXCL), 0);
    EXPECT_EQ(openPort(u"COM2:", GENERIC_WRITE), invalidHandle);
    ASSERT_EQ(ioctl(view, TIOCNXCL), 0);

    Handle second = openPort(u"COM2:", GENERIC_WRITE);
    EXPECT_NE(second, invalidHandle);
    EXPECT_TRUE(closeDevice(second));
    int exclusive = 1;
    ASSERT_EQ(ioctl(view, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "exclusive mode outlived the port";
}

TEST_F(SerialPortTest, PortsDoOnlyWhatTheyWereOpenedFor)
{
    Handle writer = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(writer, invalidHandle);
    COMMTIMEOUTS patient { MAXDWORD, MAXDWORD, 1000, 0, 0 };
    ASSERT_TRUE(setTimeouts(writer, &patient));
    farEnd.send("waiting");
    waitForInput(7);
    char buffer[16];
    std::uint32_t got = 99;
    EXPECT_FALSE(readDevice(writer, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(closeDevice(writer));

    Handle reader = openPort(u"COM1:", GENERIC_READ);
    ASSERT_NE(reader, invalidHandle);
    std::uint32_t written = 99;
    EXPECT_FALSE(writeDevice(reader, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(farEnd.drain(), "");
}

TEST_F(SerialPortTest, ClosedOrUnknownHandlesFailCleanly)
{
    Handle port = openPort();
    ASSERT_NE(port, invalidHandle);
    ASSERT_TRUE(closeDevice(port));
    for (Handle handle : { port, invalidHandle, Handle(0), Handle(123456) }) {
        char buffer[8] = {};
        std::uint32_t count = 99;
        COMMTIMEOUTS timeouts;
        EXPECT_FALSE(writeDevice(handle, "x", 1, &count, nullptr));
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_FALSE(readDevice(handle, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(getTimeouts(handle, &timeouts));
        EXPECT_FALSE(setTimeouts(handle, &timeouts));
        EXPECT_FALSE(closeDevice(handle));
    }
}

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

// Entries that must not be opened, each made by a function given the entry's path.
struct NonTerminalEntry {
    const char* what;
    void (*make)(const fs::path& entry);
};

void PrintTo(const NonTerminalEntry& entry, std::ostream* out)
{
    *out << entry.what;
}

class NotATerminalTest : public ::testing::TestWithParam<NonTerminalEntry> {
protected:
    CTestPortDirectory ports;
};

TEST_P(NotATerminalTest, GivesInvalidHandleAndChangesNothing)
{
    fs::path entry = ports.entry(3);
    GetParam().make(entry);
    std::error_code ignored;
    bool regular = fs::is_regular_file(entry, ignored);
    auto mtime = regular ? fs::last_write_time(entry) : fs::file_time_type {};

    for (std::uint32_t access : { GENERIC_READ, GENERIC_WRITE, readWrite })
        EXPECT_EQ(openPort(u"COM3:", access), invalidHandle);

    if (regular) {
        std::ifstream file(entry);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "keep me");
        EXPECT_EQ(fs::last_write_time(entry), mtime);
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, NotATerminalTest,
    ::testing::Values(NonTerminalEntry { "DanglingLink",
                          [](const fs::path& entry) {
                              fs::create_symlink(entry.parent_path() / "gone", entry);
                          } },
        NonTerminalEntry {
            "RegularFile", [](const fs::path& entry) { std::ofstream(entry) << "keep me"; } },
        NonTerminalEntry { "LinkToRegularFile",
            [](const fs::path& entry) {
                std::ofstream(entry.string() + ".txt") << "keep me";
                fs::create_symlink(entry.string() + ".txt", entry);
            } },
        NonTerminalEntry {
            "Directory", [](const fs::path& entry) { fs::create_directory(entry); } },
        NonTerminalEntry { "Fifo", [](const fs::path& entry) { mkfifo(entry.c_str(), 0600); } },
        NonTerminalEntry {
            "DevNull", [](const fs::path& entry) { fs::create_symlink("/dev/null", entry); } }),
    [](const auto& testInfo) { return std::string(testInfo.param.what); });

TEST(NotATerminal, MissingEntryWithoutBluetoothPortGivesInvalidHandle)
{
    CTestPortDirectory ports;
    if (fs::exists("/dev/rfcomm3"))
        GTEST_SKIP() << "this machine has /dev/rfcomm3";
    EXPECT_EQ(openPort(u"COM4:"), invalidHandle);
}

TEST(NotATerminal, KernelDescribedNonTerminalsAreKnown)
{
    if (!fs::exists("/sys/dev/char/1:3"))
        GTEST_SKIP() << "no /sys here";
    EXPECT_TRUE(isKnownNonTerminal(1, 3)); // /dev/null
    EXPECT_FALSE(isKnownNonTerminal(5, 2)); // /dev/ptmx
}

TEST_F(SerialPortTest, PortTimeoutsStartWithOurDefaultsAndArePerPort)
{
    CTestPort other;
    ports.link(2, other.devicePath());
    Handle first = openPort(u"COM1:");
    Handle second = openPort(u"COM2:");
    ASSERT_NE(first, invalidHandle);
    ASSERT_NE(second, invalidHandle);
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(getTimeouts(first, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);

    timeouts.ReadTotalTimeoutConstant = 50;
    ASSERT_TRUE(setTimeouts(first, &timeouts));
    COMMTIMEOUTS stored, untouched;
    ASSERT_TRUE(getTimeouts(first, &stored));
    ASSERT_TRUE(getTimeouts(second, &untouched));
    EXPECT_EQ(stored.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(untouched.ReadTotalTimeoutConstant, 100u);
    EXPECT_FALSE(getTimeouts(first, nullptr));
    EXPECT_FALSE(setTimeouts(first, nullptr));
}

class ReadTimeoutTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        port = openPort(u"COM1:", GENERIC_READ);
        ASSERT_NE(port, invalidHandle);
    }
    void use(COMMTIMEOUTS timeouts) { ASSERT_TRUE(setTimeouts(port, &timeouts)); }
    struct ReadOutcome {
        std::string bytes;
        std::chrono::milliseconds took;
        bool succeeded;
    };
    // One read of up to `count` bytes: what it gave, how long it took and its result.
    ReadOutcome timedRead(std::uint32_t count)
    {
        std::string buffer(count, '\0');
        std::uint32_t got = 0;
        auto start = Clock::now();
        bool succeeded = readDevice(port, buffer.data(), count, &got, nullptr);
        return { buffer.substr(0, got), since(start), succeeded };
    }
    Handle port = invalidHandle;
};

TEST_F(ReadTimeoutTest, ReturnsAsSoonAsBytesAreThere)
{
    use({ MAXDWORD, MAXDWORD, 5000, 0, 0 });
    std::thread sender([&] {
        std::this_thread::sleep_for(20ms);
        farEnd.send("Hi\r");
    });
    auto [bytes, took, succeeded] = timedRead(128);
    sender.join();
    EXPECT_EQ(bytes, "Hi\r");
    EXPECT_TRUE(succeeded);
    EXPECT_LT(took, 2500ms);
}

TEST_F(ReadTimeoutTest, WaitsTheConstantForAFirstByteThatNeverComes)
{
    use({ MAXDWORD, MAXDWORD, 50, 10, 5000 });
    ReadOutcome silent = timedRead(128);
    EXPECT_EQ(silent.bytes, "");
    EXPECT_TRUE(silent.succeeded) << "a read that times out has not failed";
    EXPECT_GE(silent.took, 50ms);
    EXPECT_LT(silent.took, 500ms);

    use({ 0, 10, 40, 0, 0 }); // 10 * 8 + 40 = 120 ms in all
    silent = timedRead(8);
    EXPECT_EQ(silent.bytes, "");
    EXPECT_TRUE(silent.succeeded);
    EXPECT_GE(silent.took, 120ms);
    EXPECT_LT(silent.took, 1200ms);
}

TEST_F(ReadTimeoutTest, GivesAtMostCountBytesPerRead)
{
    farEnd.send(std::string(300, 'x'));
    waitForInput(300);
    for (std::size_t expected : { 128, 128, 44 })
        EXPECT_EQ(timedRead(128).bytes.size(), expected);
}

TEST_F(ReadTimeoutTest, IntervalOnlyReturnsAtOnceWithWhatIsThere)
{
    use({ MAXDWORD, 0, 0, 0, 0 });
    auto [bytes, took, succeeded] = timedRead(16);
    EXPECT_EQ(bytes, "");
    EXPECT_TRUE(succeeded);
    EXPECT_LT(took, 1000ms);
    farEnd.send("abc");
    waitForInput(3);
    EXPECT_EQ(timedRead(16).bytes, "abc");
}

TEST_F(ReadTimeoutTest, IntervalEndsAReadOnlyAfterTheFirstByte)
{
    use({ 100, 0, 0, 0, 0 });
    std::chrono::steady_clock::time_point sentAt;
    std::thread sender([&] {
        std::this_thread::sleep_for(150ms); // longer than the interval: no byte yet
        sentAt = std::chrono::steady_clock::now();
        farEnd.send("ab");
    });
    auto [bytes, took, succeeded] = timedRead(16);
    auto ended = std::chrono::steady_clock::now();
    sender.join();
    // The read waited for the first byte, then one whole interval after it. Timed from
    // the send itself, so a sender thread that started early cannot make it look short.
    EXPECT_EQ(bytes, "ab");
    EXPECT_TRUE(succeeded);
    EXPECT_GE(ended - sentAt, 100ms);

    use({ 1000, 0, 0, 0, 0 });
    sender = std::thread([&] {
        farEnd.send("one ");
        std::this_thread::sleep_for(30ms);
        farEnd.send("two");
    });
    bytes = timedRead(7).bytes;
    sender.join();
    EXPECT_EQ(bytes, "one two");
}

TEST_F(ReadTimeoutTest, AllZeroWaitsForEveryByte)
{
    use({ 0, 0, 0, 0, 0 });
    std::thread sender([&] {
        farEnd.send("12");
        std::this_thread::sleep_for(60ms);
        farEnd.send("345");
    });
    auto bytes = timedRead(5).bytes;
    sender.join();
    EXPECT_EQ(bytes, "12345");
}

TEST_F(SerialPortTest, HungUpDeviceFailsAtOnceWithoutSpinning)
{
    Handle writer = openPort(u"COM1:", GENERIC_WRITE);
    ASSERT_NE(writer, invalidHandle);
    farEnd.hangUp();
    std::uint32_t written = 99;
    auto start = Clock::now();
    EXPECT_FALSE(writeDevice(writer, "Hi\r", 3, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_LT(since(start), 2500ms);
    EXPECT_TRUE(closeDevice(writer));
}

TEST_F(ReadTimeoutTest, HungUpDeviceEndsReadsAtOnceWithoutSpinning)
{
    use({ MAXDWORD, MAXDWORD, 1000, 10, 5000 });
    // A read already waiting ends when the far end goes.
    std::thread goer([&] {
        std::this_thread::sleep_for(30ms);
        farEnd.hangUp();
    });
    auto [bytes, took, succeeded] = timedRead(128);
    goer.join();
    EXPECT_EQ(bytes, "");
    EXPECT_FALSE(succeeded) << "a device that went away is a failed read";
    EXPECT_LT(took, 900ms);

    // Later reads wait their time-out while the device is away, so a reader calling in a
    // loop stays idle instead of spinning.
    use({ MAXDWORD, MAXDWORD, 20, 10, 5000 });
    auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        char buffer[128];
        std::uint32_t got = 99;
        EXPECT_FALSE(readDevice(port, buffer, sizeof buffer, &got, nullptr));
        EXPECT_EQ(got, 0u);
    }
    EXPECT_GE(since(start), 10 * 20ms);
    EXPECT_TRUE(closeDevice(port));
}

TEST(PortDirectory, NamesMapToEntriesOrBluetoothPorts)
{
    EXPECT_EQ(portNumberFromName(u"COM1:"), 1);
    EXPECT_EQ(portNumberFromName(u"cOm9:"), 9);
    EXPECT_EQ(portNumberFromName(u"COM0:"), std::nullopt);
    EXPECT_EQ(devicePathForPort(u"COM0:"), std::nullopt);

    CTestPortDirectory ports;
    ports.link(2, ports.path() / "nothing");
    EXPECT_EQ(devicePathForPort(u"COM1:"), fs::path("/dev/rfcomm0"));
    EXPECT_EQ(devicePathForPort(u"COM9:"), fs::path("/dev/rfcomm8"));
    // A dangling link is still the user's choice; it must not turn into a Bluetooth port.
    EXPECT_EQ(devicePathForPort(u"COM2:"), ports.entry(2));
}

TEST(PortDirectory, AnEntryThatCannotBeLookedAtIsAnErrorNotABluetoothPort)
{
    CTestPortDirectory ports;
    // An entry that is itself a loop is still the user's entry (and fails to open).
    fs::create_symlink(ports.entry(1), ports.entry(1));
    EXPECT_EQ(devicePathForPort(u"COM1:"), ports.entry(1));
    EXPECT_EQ(openPort(u"COM1:"), invalidHandle);

    // A loop of links on the way to the entry.
    fs::path loop = ports.path() / "loop";
    fs::create_symlink(loop, loop);
    {
        CScopedVariable looped("SERIALPADS_PORTS", loop.c_str());
        EXPECT_EQ(devicePathForPort(u"COM2:"), std::nullopt);
        EXPECT_EQ(openPort(u"COM2:"), invalidHandle);
    }

    // A directory this user may not search: its entries cannot be looked at.
    fs::path locked = ports.path() / "locked";
    fs::create_directory(locked);
    fs::permissions(ports.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(locked, fs::perms::owner_all);
    CScopedVariable denied("SERIALPADS_PORTS", locked.c_str());
    EXPECT_EQ(exitStatusAsOtherUser([] {
        std::optional<fs::path> device = devicePathForPort(u"COM3:");
        return !device ? 0 : *device == "/dev/rfcomm2" ? 1 : 2;
    }),
        0);
}

TEST(PortDirectory, DefaultsToTheUsersConfigDirectory)
{
    CScopedVariable noPorts("SERIALPADS_PORTS", "");
    CScopedVariable home("HOME", "/home/pat");
    {
        CScopedVariable config("XDG_CONFIG_HOME", "/etc/xdg-pat");
        EXPECT_EQ(portDirectory(), fs::path("/etc/xdg-pat/serialpads/ports"));
    }
    for (const char* unusable : { static_cast<const char*>(nullptr), "", "relative/config" }) {
        CScopedVariable config("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(portDirectory(), fs::path("/home/pat/.config/serialpads/ports"));
    }
    CScopedVariable noConfig("XDG_CONFIG_HOME", nullptr);
    CScopedVariable noHome("HOME", nullptr);
    EXPECT_EQ(portDirectory(), fs::path());
    EXPECT_EQ(devicePathForPort(u"COM5:"), fs::path("/dev/rfcomm4"));
}

TEST(PortDirectory, OnlyBluetoothPortsWaitForALink)
{
    EXPECT_TRUE(waitsForLink(216)); // /dev/rfcomm*
    for (unsigned int other : { 4u, 136u, 166u, 188u }) // ttyS, pts, ttyACM, ttyUSB
        EXPECT_FALSE(waitsForLink(other)) << other;
}

// A device that goes away and comes back: the far end hangs up, and a new pseudo-
// terminal takes its place under the same port number, as a device returning under
// the port directory's entry would.
class ReopenTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        port = openPort();
        ASSERT_NE(port, invalidHandle);
        COMMTIMEOUTS polling { MAXDWORD, MAXDWORD, 50, 10, 5000 };
        ASSERT_TRUE(setTimeouts(port, &polling));
    }
    void TearDown() override
    {
        if (backView >= 0)
            close(backView);
        SerialPortTest::TearDown();
    }

    // The far end goes, and the port notices on its next read.
    void loseDevice()
    {
        farEnd.hangUp();
        char buffer[16];
        std::uint32_t got = 99;
        EXPECT_FALSE(readDevice(port, buffer, sizeof buffer, &got, nullptr));
        EXPECT_EQ(got, 0u);
    }

    // The new device appears under the port's entry (with `line` after its path); the
    // test keeps its own view of it.
    void bringBack(const std::string& line = "")
    {
        ports.link(1, back.devicePath() + line);
        backView = open(back.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(backView, 0);
        ASSERT_EQ(tcgetattr(backView, &backSettings), 0);
    }

    // Reads until `expected` has arrived or `limit` has passed, as a polling reader does.
    std::string readFor(std::size_t expected, std::chrono::milliseconds limit)
    {
        std::string got;
        auto deadline = Clock::now() + limit;
        while (got.size() < expected && Clock::now() < deadline) {
            char buffer[128];
            std::uint32_t n = 0;
            readDevice(port, buffer, sizeof buffer, &n, nullptr);
            got.append(buffer, n);
        }
        return got;
    }

    // Reads, as a polling reader does, until the port has opened the new device again.
    bool readUntilHeld()
    {
        return waitUntil(
            [&] {
                char buffer[128];
                std::uint32_t n = 0;
                readDevice(port, buffer, sizeof buffer, &n, nullptr);
                return heldByUs(backView);
            },
            3s);
    }

    bool heldByUs(int fd)
    {
        int exclusive = 0;
        return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive;
    }

    Handle port = invalidHandle;
    CTestPort back;
    int backView = -1;
    termios backSettings {};
};

TEST_F(ReopenTest, BytesFlowAgainBothWaysOnceTheDeviceIsBack)
{
    farEnd.send("before");
    EXPECT_EQ(readFor(6, 2s), "before");
    loseDevice();
    bringBack();
    // Sent only once the port holds the device: before, the new terminal is not yet raw
    // and would echo it.
    ASSERT_TRUE(readUntilHeld());
    back.send("after");
    EXPECT_EQ(readFor(5, 2s), "after");

    std::uint32_t written = 0;
    EXPECT_TRUE(writeDevice(port, "reply\r", 6, &written, nullptr));
    EXPECT_EQ(back.receive(6), "reply\r");

    // Held again as the first device was: raw, exclusive, locked; and the new device's
    // own settings are the ones put back.
    EXPECT_TRUE(heldByUs(backView));
    EXPECT_NE(flock(backView, LOCK_EX | LOCK_NB), 0);
    termios during {};
    ASSERT_EQ(tcgetattr(backView, &during), 0);
    EXPECT_EQ(during.c_lflag & ICANON, 0u);
    EXPECT_TRUE(closeDevice(port));
    termios after {};
    ASSERT_EQ(tcgetattr(backView, &after), 0);
    EXPECT_TRUE(CTerminalGuard::sameSettings(after, backSettings));
    EXPECT_FALSE(heldByUs(backView));
    EXPECT_EQ(flock(backView, LOCK_EX | LOCK_NB), 0);
}

TEST_F(ReopenTest, TheEntrysLineSettingsGoOnTheDeviceThatComesBack)
{
    loseDevice();
    // The entry now names another node, with settings: as a replugged adapter whose
    // entry was set again while the program stayed connected.
    bringBack(" 230400 8N2");
    ASSERT_TRUE(readUntilHeld());
    termios during {};
    ASSERT_EQ(tcgetattr(backView, &during), 0);
    CLineState kept = CTerminalGuard::lineOf(during);
    EXPECT_EQ(kept.outputSpeed, 230400u);
    EXPECT_EQ(formatFraming(kept.framing), "8N2");
    EXPECT_EQ(during.c_lflag & ICANON, 0u);
    back.send("after");
    EXPECT_EQ(readFor(5, 2s), "after");
    EXPECT_TRUE(closeDevice(port));
    termios after {};
    ASSERT_EQ(tcgetattr(backView, &after), 0);
    EXPECT_TRUE(CTerminalGuard::sameSettings(after, backSettings));
}

TEST_F(ReopenTest, TheNextWriteReachesADeviceThatIsBack)
{
    loseDevice();
    bringBack();
    // A write tries again at once when the last try is half a second old; until then
    // it fails without waiting, having written nothing.
    std::uint32_t written = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            bool sent = writeDevice(port, "Hi\r", 3, &written, nullptr);
            EXPECT_EQ(written, sent ? 3u : 0u);
            return sent;
        },
        3s));
    EXPECT_EQ(back.receive(3), "Hi\r");
    EXPECT_EQ(back.drain(), "");
}

TEST_F(ReopenTest, ADeviceHeldElsewhereIsTriedAgainUntilItIsFree)
{
    loseDevice();
    bringBack();
    ASSERT_EQ(flock(backView, LOCK_EX | LOCK_NB), 0);
    // The first try, half a second after the loss, finds the device held.
    EXPECT_EQ(readFor(7, 700ms), "");
    EXPECT_FALSE(heldByUs(backView));
    ASSERT_EQ(flock(backView, LOCK_UN), 0);
    ASSERT_TRUE(readUntilHeld());
    back.send("waiting");
    EXPECT_EQ(readFor(7, 2s), "waiting");
}

TEST_F(ReopenTest, DisconnectWhileAwayStopsTrying)
{
    loseDevice();
    EXPECT_TRUE(closeDevice(port));
    bringBack();
    char buffer[8];
    std::uint32_t count = 99;
    EXPECT_FALSE(readDevice(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_FALSE(writeDevice(port, "x", 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(heldByUs(backView));
    EXPECT_EQ(flock(backView, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(back.drain(), "");
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

    // A child process that holds what `hold` opens until the test ends, as another
    // program would; the holder found must be that child, never this process.
    template <typename Hold> pid_t startHolder(Hold hold)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            char held = hold() ? 'y' : 'n';
            if (write(ready[1], &held, 1) != 1)
                _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char held = 'n';
        EXPECT_EQ(read(ready[0], &held, 1), 1);
        close(ready[0]);
        EXPECT_EQ(held, 'y');
        holders.push_back(child);
        return child;
    }

    void TearDown() override
    {
        for (pid_t child : holders) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        SerialPortTest::TearDown();
    }

    std::vector<pid_t> holders;
};

struct FailingEntry {
    const char* what;
    void (*make)(CTestPortDirectory& ports);
    OpenFailureKind kind;
    const char* mentioned; // a part of the sentence
};

void PrintTo(const FailingEntry& entry, std::ostream* out)
{
    *out << entry.what;
}

class OpenFailureKindTest : public ::testing::TestWithParam<FailingEntry> {
protected:
    CTestPortDirectory ports;
};

TEST_P(OpenFailureKindTest, EachFailureIsKnownByItsKindAndNamesTheDevice)
{
    GetParam().make(ports);
    EXPECT_EQ(openPort(u"COM3:"), invalidHandle);
    std::optional<COpenFailure> failure = takeLastOpenFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, GetParam().kind);
    EXPECT_EQ(failure->portNumber, 3);
    EXPECT_TRUE(mentions(describe(*failure), { GetParam().mentioned }));
}

INSTANTIATE_TEST_SUITE_P(Entries, OpenFailureKindTest,
    ::testing::Values(
        FailingEntry { "Unplugged",
            [](CTestPortDirectory& ports) { ports.link(3, ports.path() / "unplugged"); },
            OpenFailureKind::noSuchDevice, "unplugged, switched off or named differently" },
        FailingEntry { "RegularFile",
            [](CTestPortDirectory& ports) {
                std::ofstream(ports.path() / "notes.txt") << "x";
                ports.link(3, ports.path() / "notes.txt");
            },
            OpenFailureKind::notSerial, "notes.txt) is a regular file, not a serial device" },
        FailingEntry { "Directory", [](CTestPortDirectory& ports) { ports.link(3, ports.path()); },
            OpenFailureKind::notSerial, "is a directory, not a serial device" },
        FailingEntry { "DevNull", [](CTestPortDirectory& ports) { ports.link(3, "/dev/null"); },
            OpenFailureKind::notSerial,
            "(/dev/null) is a character device that is not a terminal" },
        // A target that only starts like a Bluetooth device's is a path, and not there.
        FailingEntry { "MalformedBluetoothTarget",
            [](CTestPortDirectory& ports) { ports.link(3, "bluetooth:00:11:22"); },
            OpenFailureKind::noSuchDevice, "(bluetooth:00:11:22) does not exist" }),
    [](const auto& testInfo) { return std::string(testInfo.param.what); });

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
    pid_t holder = startHolder([&] {
        int fd = open(farEnd.devicePath().c_str(), O_RDWR | O_NOCTTY);
        return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    });
    COpenFailure failure = failedOpen(u"COM1:");
    EXPECT_EQ(failure.kind, OpenFailureKind::busy);
    ASSERT_TRUE(failure.holder);
    EXPECT_EQ(failure.holder->pid, holder);
    EXPECT_EQ(describe(failure),
        ports.entry(1).string() + " (" + farEnd.devicePath() + ") is held by another program: "
            + failure.holder->name + " (pid " + std::to_string(holder) + ").");

    // A successful open forgets an earlier failure.
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    holders.clear();
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
    pid_t holder = startHolder([] {
        COpenFailure ignored;
        static CFileDescriptor lock = takePortLock(4, ignored);
        return lock.valid();
    });
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
struct DescribedFailure {
    const char* what;
    COpenFailure failure;
    std::vector<std::string> mentioned;
};

void PrintTo(const DescribedFailure& entry, std::ostream* out)
{
    *out << entry.what;
}

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
    [](const auto& testInfo) { return std::string(testInfo.param.what); });

TEST(Describe, PermissionNamesTheGroupToJoin)
{
    struct group* entry = getgrnam("dialout");
    if (!entry)
        GTEST_SKIP() << "no dialout group here";
    EXPECT_EQ(describe(deviceFailure(OpenFailureKind::permission, EACCES, 0660, entry->gr_gid)),
        "You may not open /dev/ttyUSB0: join its group dialout (sudo usermod -aG dialout "
        "$USER), then log out and in again.");
}

// The line settings of a port's entry, on a pseudo-terminal, which keeps any speed, stop
// bits and flow control it is given but always 8 data bits and no parity: the test's
// own view of the device reads them back.
class EntryLineTest : public SerialPortTest, public ::testing::WithParamInterface<const char*> {
protected:
    struct CSpeeds {
        std::uint32_t input = 0, output = 0;
    };
    CSpeeds speedsOf(int fd)
    {
        CSpeeds speeds;
        EXPECT_EQ(readTerminalSpeed(fd, speeds.input, speeds.output), 0);
        return speeds;
    }
};

TEST_P(EntryLineTest, AppliedAtOpenAndTheDevicesOwnPutBackAtClose)
{
    const CLineSettings asked = parseLineSettings(std::string_view(GetParam())).settings;
    // The device as another program left it: cooked, 1200 baud, 8N1, RTS/CTS on.
    termios own {};
    ASSERT_EQ(tcgetattr(view, &own), 0);
    cook(own);
    cfsetspeed(&own, B1200);
    own.c_cflag = (own.c_cflag & ~tcflag_t(CSIZE | PARENB | CSTOPB)) | CS8 | CRTSCTS;
    ASSERT_EQ(tcsetattr(view, TCSANOW, &own), 0);
    ASSERT_EQ(tcgetattr(view, &own), 0);
    const CLineState before = CTerminalGuard::lineOf(own);
    ports.link(1, farEnd.devicePath() + " " + GetParam());

    Handle port = openPort();
    ASSERT_NE(port, invalidHandle) << describe(takeLastOpenFailure().value_or(COpenFailure {}));
    termios held {};
    ASSERT_EQ(tcgetattr(view, &held), 0);
    CLineState kept = CTerminalGuard::lineOf(held);
    CSpeeds speeds = speedsOf(view);
    kept.inputSpeed = speeds.input;
    kept.outputSpeed = speeds.output;
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
    termios after {};
    ASSERT_EQ(tcgetattr(view, &after), 0);
    EXPECT_TRUE(CTerminalGuard::sameSettings(after, own));
    EXPECT_EQ(speedsOf(view).output, 1200u);
    EXPECT_EQ(speedsOf(view).input, 1200u);
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
TEST_F(SerialPortTest, SettingsTheDeviceDoesNotKeepFailTheOpenAndChangeNothing)
{
    termios before {};
    ASSERT_EQ(tcgetattr(view, &before), 0);
    ports.link(1, farEnd.devicePath() + " 19200 7E1");
    EXPECT_EQ(openPort(), invalidHandle);
    std::optional<COpenFailure> failure = takeLastOpenFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, OpenFailureKind::lineNotKept);
    EXPECT_EQ(failure->lineAsked, "19200 7E1");
    EXPECT_EQ(failure->lineKept, "framing 7E1 asked, 8N1 kept");
    EXPECT_TRUE(mentions(
        describe(*failure), { farEnd.devicePath() + " did not keep the line settings of port 1" }));
    termios after {};
    ASSERT_EQ(tcgetattr(view, &after), 0);
    EXPECT_TRUE(CTerminalGuard::sameSettings(after, before)) << "the speed was left changed";
    int exclusive = 1;
    ASSERT_EQ(ioctl(view, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(view, LOCK_EX | LOCK_NB), 0);
}

TEST_F(SerialPortTest, AnEntryWithDamagedSettingsIsNeverOpened)
{
    termios before {};
    ASSERT_EQ(tcgetattr(view, &before), 0);
    ports.link(1, farEnd.devicePath() + " 9600 9Z9");
    EXPECT_EQ(openPort(), invalidHandle);
    std::optional<COpenFailure> failure = takeLastOpenFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, OpenFailureKind::lineSettingsDamaged);
    EXPECT_TRUE(mentions(describe(*failure),
        { "The entry " + ports.entry(1).string(), "'9Z9' is not a framing",
            "serialpads-ports set 1" }));
    termios after {};
    ASSERT_EQ(tcgetattr(view, &after), 0);
    EXPECT_TRUE(CTerminalGuard::sameSettings(after, before));
    int exclusive = 1;
    ASSERT_EQ(ioctl(view, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

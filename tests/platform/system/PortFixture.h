// What the serial port tests share: a pseudo-terminal reached as port 1 through a
// private port directory (the slave is the device, the test plays the far end on the
// master), the test's own view of the device, and a far end that acts while the port
// waits, so that "at once" and "after its time-out" are told apart without timing.
#pragma once

#include "Platform.h"
#include "TestPort.h"

#include <gtest/gtest.h>

#include <functional>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

inline constexpr std::uint32_t readWrite = GENERIC_READ | GENERIC_WRITE;

Handle openPort(const char16_t* name = u"COM1:", std::uint32_t access = readWrite);

// Input, output and local processing a device may have before it is connected, all of
// which would change or hold back bytes: stripping to 7 bits, CR/NL translation,
// software flow control, error marking (which doubles 0xFF), echo and line editing.
void cook(termios& settings);

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

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts cooked settings on the device, as another program may have left it.
    void cookDevice();
    void waitForInput(int count);
    // Reads until `count` bytes have arrived or `limit` has passed, as a polling reader does.
    std::string readAll(
        Handle port, std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(2));

    CTestPortDirectory ports;
    CTestPort farEnd;
    // The test's own view of the device, opened before the port is held, for its
    // settings and for how many bytes are waiting.
    int view = -1;
};

// The far end, acting inside the port's waits: installed as the waiter while it lives,
// it takes the next of its steps at each wait the port makes (sending bytes, hanging
// up, reading what arrived), then waits as the port asked. It counts the waits that
// ran out of time. A watchdog hangs the far end up once the script has run for
// `limit`, so a port that would wait for ever fails its test instead.
class CFarEndScript {
public:
    // Given the far end and how long the port asked to wait (-1: no limit).
    using Step = std::function<void(CTestPort& farEnd, int timeoutMs)>;

    explicit CFarEndScript(CTestPort& farEnd, std::vector<Step> steps = {},
        std::chrono::milliseconds limit = std::chrono::seconds(10));
    ~CFarEndScript();
    CFarEndScript(const CFarEndScript&) = delete;
    CFarEndScript& operator=(const CFarEndScript&) = delete;

    static Step sends(std::string bytes);
    static Step hangsUp();
    // Reads everything the port has sent so far into `into`.
    static Step receives(std::string& into);
    // Lets `silence` of the port's wait pass with nothing (when the port asked to wait
    // that long), then sends.
    static Step sendsAfter(std::chrono::milliseconds silence, std::string bytes);

    int waits() const { return waitCount; }
    int waitsThatRanOut() const { return ranOut; }
    bool watchdogFired() const { return fired; }

private:
    static short wait(int fd, short events, int timeoutMs);

    CTestPort& far;
    std::vector<Step> script;
    std::size_t next = 0;
    std::chrono::steady_clock::time_point watchdog;
    int waitCount = 0;
    int ranOut = 0;
    bool fired = false;
};

// While it lives, the device of `farEnd` answers TIOCOUTQ as a USB adapter's driver
// does, with the bytes it holds that have not left yet: here those the far end has not
// read. A pseudo-terminal itself always says 0, so without this no test could see how
// closing treats output a device has not taken.
class CUnsentOutput {
public:
    explicit CUnsentOutput(const CTestPort& farEnd);
    ~CUnsentOutput();
    CUnsentOutput(const CUnsentOutput&) = delete;
    CUnsentOutput& operator=(const CUnsentOutput&) = delete;
};

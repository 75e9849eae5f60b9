// Pseudo-terminals standing in for serial devices, reached the way the programs reach
// a real one: through an entry "comN" in a private port directory; and the small
// helpers the tests around them share.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>

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
    CScopedVariable(const CScopedVariable&) = delete;
    CScopedVariable& operator=(const CScopedVariable&) = delete;

private:
    const char* name;
    std::optional<std::string> previous;
};

// A private port directory, made for one test and named in SERIALPADS_PORTS while it
// lives; removed with everything in it afterwards.
class CTestPortDirectory {
public:
    CTestPortDirectory();
    ~CTestPortDirectory();
    CTestPortDirectory(const CTestPortDirectory&) = delete;
    CTestPortDirectory& operator=(const CTestPortDirectory&) = delete;

    const std::filesystem::path& path() const { return dir; }
    // Makes "com<number>" a symbolic link to `target`.
    void link(int number, const std::filesystem::path& target);
    std::filesystem::path entry(int number) const;

private:
    std::filesystem::path dir;
    CScopedVariable named { "SERIALPADS_PORTS", dir.c_str() };
};

// The master side of a pseudo-terminal; its slave is the "device" a program opens.
class CTestPort {
public:
    CTestPort();
    ~CTestPort();
    CTestPort(const CTestPort&) = delete;
    CTestPort& operator=(const CTestPort&) = delete;

    const std::string& devicePath() const { return slavePath; }
    int masterFd() const { return master; }

    // Writes bytes as the far end would; all of them, or the test fails.
    void send(std::string_view bytes);

    // Reads what the program wrote, waiting up to `timeout` for `count` bytes. Returns
    // what arrived, which may be fewer.
    std::string receive(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

    // Everything that arrives within `quiet` of silence (at most `limit` in all).
    std::string drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100),
        std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

    // Closes the master, as a far end that hangs up.
    void hangUp();

private:
    int master = -1;
    std::string slavePath;
};

// A child process that holds what `hold` takes (a device opened, a lock) until the
// object goes, as another program would, so the holder a test finds is never the test
// itself. `hold` runs in the child and says whether it took what it holds; `name` is
// what the child calls itself, as a process may choose any name.
class CHolder {
public:
    explicit CHolder(const std::function<bool()>& hold, const char* name = nullptr);
    ~CHolder();
    CHolder(const CHolder&) = delete;
    CHolder& operator=(const CHolder&) = delete;

    pid_t pid() const { return child; }

private:
    pid_t child = -1;
    int release = -1;
};

// The terminal settings of the device open as `fd`.
termios settingsOf(int fd);
// Whether the device open as `fd` is in exclusive mode, as a held port keeps it.
bool exclusiveMode(int fd);
// Whether the device open as `fd` is held as a port holds it (in exclusive mode, and
// locked as serial tools lock it), or free of both.
::testing::AssertionResult isHeld(int fd);
::testing::AssertionResult isFree(int fd);

// Whether `text` holds every one of `parts`; the text is shown when it does not.
::testing::AssertionResult mentions(
    const std::string& text, std::initializer_list<std::string> parts);

// Runs the Qt event loop until `condition` holds or `timeout` passes; returns whether
// it held.
template <typename Condition>
bool waitUntil(
    Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

void processEventsFor(std::chrono::milliseconds duration);

#include <QCoreApplication>
#include <QThread>

template <typename Condition> bool waitUntil(Condition condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

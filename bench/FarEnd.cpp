#include "FarEnd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

CFarEnd::CFarEnd()
{
    if (!makeDevice())
        return;
    std::string pattern = (fs::temp_directory_path() / "serialpads-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return;
    std::error_code error;
    fs::create_symlink(slaveName, fs::path(pattern) / "com1", error);
    if (!error)
        directory = pattern;
    else
        fs::remove_all(pattern, error);
}

bool CFarEnd::makeDevice()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0
        || ptsname_r(master, name, sizeof name) != 0)
        return false;
    slaveName = name;
    observer = open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    // In canonical mode the queue would count only finished lines; raw, it counts every
    // byte, with or without a receiver that has made it raw already.
    termios raw {};
    if (observer >= 0 && tcgetattr(observer, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(observer, TCSANOW, &raw);
    }
    return observer >= 0;
}

bool CFarEnd::returnAsNewDevice()
{
    hangUp();
    if (observer >= 0)
        close(observer);
    observer = -1;
    if (!makeDevice() || directory.empty())
        return false;
    // Replaced in one step, so the entry is never missing for a program looking it up.
    std::error_code error;
    fs::path fresh = directory / "com1.new";
    fs::create_symlink(slaveName, fresh, error);
    if (!error)
        fs::rename(fresh, directory / "com1", error);
    return !error;
}

CFarEnd::~CFarEnd()
{
    hangUp();
    if (observer >= 0)
        close(observer);
    std::error_code ignored;
    if (!directory.empty())
        fs::remove_all(directory, ignored);
}

void CFarEnd::publish() const
{
    setenv("SERIALPADS_PORTS", directory.c_str(), 1);
}

std::size_t CFarEnd::sendSome(std::string_view bytes)
{
    if (master < 0 || bytes.empty())
        return 0;
    ssize_t n = write(master, bytes.data(), bytes.size());
    return n > 0 ? std::size_t(n) : 0;
}

bool CFarEnd::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        if (master < 0)
            return false;
        ssize_t n = write(master, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(std::size_t(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // The receiver has not taken enough yet; wait until the terminal has room.
        pollfd entry { master, POLLOUT, 0 };
        poll(&entry, 1, 10);
    }
    return true;
}

std::size_t CFarEnd::waiting() const
{
    int count = 0;
    if (observer < 0 || ioctl(observer, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return std::size_t(count);
}

void CFarEnd::discardWaiting() const
{
    if (observer >= 0)
        tcflush(observer, TCIFLUSH);
}

bool CFarEnd::waitForWaiting(std::size_t count, std::chrono::milliseconds timeout) const
{
    // Bytes written to the master reach the slave's queue from a kernel worker, a few
    // microseconds later; spinning here keeps that wake-up out of the measured time.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (waiting() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
    return true;
}

void CFarEnd::hangUp()
{
    if (master >= 0)
        close(master);
    master = -1;
}

#include "TestPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
fs::path madeDirectory()
{
    std::string templ = (fs::temp_directory_path() / "serialpads-ports-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        ADD_FAILURE() << "mkdtemp failed: " << errno;
    return templ;
}
} // namespace

CTestPortDirectory::CTestPortDirectory()
    : dir(madeDirectory())
{
}

CTestPortDirectory::~CTestPortDirectory()
{
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

fs::path CTestPortDirectory::entry(int number) const
{
    return dir / ("com" + std::to_string(number));
}

void CTestPortDirectory::link(int number, const fs::path& target)
{
    std::error_code error;
    fs::remove(entry(number), error);
    fs::create_symlink(target, entry(number), error);
    ASSERT_FALSE(error) << error.message();
}

CTestPort::CTestPort()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << errno;
        return;
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        ADD_FAILURE() << "ptsname_r failed: " << errno;
        return;
    }
    slavePath = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

CTestPort::~CTestPort()
{
    hangUp();
}

void CTestPort::hangUp()
{
    if (master >= 0)
        close(master);
    master = -1;
}

void CTestPort::send(std::string_view bytes)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!bytes.empty()) {
        ssize_t n = write(master, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(std::size_t(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "write to the far end failed: " << errno;
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the far end could not write for 5 s";
            return;
        }
        pollfd p { master, POLLOUT, 0 };
        poll(&p, 1, 10);
    }
}

std::string CTestPort::receive(std::size_t count, std::chrono::milliseconds timeout)
{
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p { master, POLLIN, 0 };
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(master, buffer, std::min(sizeof buffer, count - out.size()));
        if (n > 0)
            out.append(buffer, std::size_t(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break; // EIO: nobody holds the device open
    }
    return out;
}

std::string CTestPort::drain(std::chrono::milliseconds quiet, std::chrono::milliseconds limit)
{
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p { master, POLLIN, 0 };
        if (poll(&p, 1, int(quiet.count())) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, std::size_t(n));
    }
    return out;
}

termios settingsOf(int fd)
{
    termios settings {};
    EXPECT_EQ(tcgetattr(fd, &settings), 0) << "errno " << errno;
    return settings;
}

bool exclusiveMode(int fd)
{
    int exclusive = 0;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0) << "errno " << errno;
    return exclusive != 0;
}

namespace {
::testing::AssertionResult holdIs(int fd, bool held)
{
    bool exclusive = exclusiveMode(fd);
    bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (!locked)
        flock(fd, LOCK_UN);
    if (exclusive == held && locked == held)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exclusive mode " << (exclusive ? "on" : "off")
                                         << ", the lock " << (locked ? "taken" : "free");
}
} // namespace

::testing::AssertionResult isHeld(int fd)
{
    return holdIs(fd, true);
}

::testing::AssertionResult isFree(int fd)
{
    return holdIs(fd, false);
}

::testing::AssertionResult mentions(
    const std::string& text, std::initializer_list<std::string> parts)
{
    for (const std::string& part : parts)
        if (text.find(part) == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
    return ::testing::AssertionSuccess();
}

void processEventsFor(std::chrono::milliseconds duration)
{
    auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

CHolder::CHolder(const std::function<bool()>& hold, const char* name)
{
    int ready[2], released[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(released), 0);
    child = fork();
    if (child == 0) {
        // The child keeps no write end of `released`, so the parent's close ends it.
        close(released[1]);
        if (name)
            prctl(PR_SET_NAME, name);
        char held = hold() ? 'y' : 'n';
        (void)!write(ready[1], &held, 1);
        (void)!read(released[0], &held, 1);
        _exit(0);
    }
    close(ready[1]);
    close(released[0]);
    release = released[1];
    char held = 'n';
    EXPECT_EQ(read(ready[0], &held, 1), 1);
    EXPECT_EQ(held, 'y') << "the holder could not take what it holds";
    close(ready[0]);
}

CHolder::~CHolder()
{
    close(release);
    waitpid(child, nullptr, 0);
}

// The POSIX calls the serial layer makes, each wrapped once so that its result and the
// errno it left travel together: code deciding what a failure means reads both from one
// value, and nothing called in between can overwrite errno. Calls that can be
// interrupted by a signal before doing anything are restarted here. Waiting for a
// descriptor is not here: it goes through Waiting.h, so that windows stay live.
#pragma once

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

struct SysResult {
    long value = 0;
    int error = 0;

    bool ok() const { return value >= 0; }
    bool failedWith(int code) const { return value < 0 && error == code; }
};

namespace sys {

inline SysResult result(long value)
{
    return { value, value < 0 ? errno : 0 };
}

template <typename Call> SysResult restarting(Call call)
{
    for (;;) {
        SysResult outcome = result(call());
        if (!outcome.failedWith(EINTR))
            return outcome;
    }
}

inline SysResult open(const char* path, int flags, mode_t mode = 0)
{
    return restarting([&] { return ::open(path, flags, mode); });
}

inline SysResult stat(const char* path, struct stat& status)
{
    return result(::stat(path, &status));
}
inline SysResult fstat(int fd, struct stat& status)
{
    return result(::fstat(fd, &status));
}

inline SysResult read(int fd, void* buffer, std::size_t count)
{
    return restarting([&] { return ::read(fd, buffer, count); });
}

inline SysResult write(int fd, const void* bytes, std::size_t count)
{
    return restarting([&] { return ::write(fd, bytes, count); });
}

inline SysResult ioctl(int fd, unsigned long request, int* argument)
{
    return restarting([&] { return ::ioctl(fd, request, argument); });
}

inline SysResult ioctl(int fd, unsigned long request)
{
    return restarting([&] { return ::ioctl(fd, request); });
}

inline SysResult tcgetattr(int fd, termios& settings)
{
    return result(::tcgetattr(fd, &settings));
}

inline SysResult tcsetattr(int fd, int when, const termios& settings)
{
    return restarting([&] { return ::tcsetattr(fd, when, &settings); });
}

inline SysResult flock(int fd, int operation)
{
    return restarting([&] { return ::flock(fd, operation); });
}

// The error a socket's connect ended with (SO_ERROR), 0 while none; errno when even
// that cannot be asked.
inline int pendingError(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ? errno : error;
}

} // namespace sys

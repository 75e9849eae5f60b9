// A move-only owner of one file descriptor: whatever path a function leaves by, the
// descriptor it owns is closed exactly once.
#pragma once

#include <unistd.h>
#include <utility>

class CFileDescriptor {
public:
    CFileDescriptor() = default;
    explicit CFileDescriptor(int descriptor)
        : fd(descriptor)
    {
    }
    ~CFileDescriptor() { reset(); }

    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    CFileDescriptor(CFileDescriptor&& other) noexcept
        : fd(std::exchange(other.fd, -1))
    {
    }
    CFileDescriptor& operator=(CFileDescriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }

    // Linux releases the descriptor even when close() reports EINTR or EIO, so it is
    // never retried: a retry could close a descriptor another thread has just opened.
    void reset()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

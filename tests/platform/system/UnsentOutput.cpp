// The test program's own ioctl(), in front of the C library's: every request goes to
// the kernel unchanged, except TIOCOUTQ on the one device a CUnsentOutput names, which
// is answered with what its far end has not read yet. The real pseudo-terminal keeps
// the bytes, and tcflush() on it really drops those not yet passed to the far end's
// side (a pseudo-terminal passes on at most 4,095 that are not read).
#include "PortFixture.h"

#include <cstdarg>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {
dev_t countedDevice = 0;
const CTestPort* countedFarEnd = nullptr;

bool isCounted(int fd)
{
    struct stat status {};
    return countedFarEnd && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)
        && status.st_rdev == countedDevice;
}
} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    // A far end that has hung up has taken nothing, and the device fails as it does then.
    if (request == TIOCOUTQ && isCounted(fd))
        return countedFarEnd->masterFd() < 0
            ? (errno = EIO, -1)
            : int(syscall(SYS_ioctl, countedFarEnd->masterFd(), FIONREAD, argument));
    return int(syscall(SYS_ioctl, fd, request, argument));
}

CUnsentOutput::CUnsentOutput(const CTestPort& farEnd)
{
    struct stat status {};
    EXPECT_EQ(stat(farEnd.devicePath().c_str(), &status), 0);
    countedDevice = status.st_rdev;
    countedFarEnd = &farEnd;
}

CUnsentOutput::~CUnsentOutput()
{
    countedFarEnd = nullptr;
}

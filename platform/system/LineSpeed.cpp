#include "LineSpeed.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

int setTerminalSpeed(int fd, std::uint32_t baud)
{
    termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return errno;
    settings.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    for (;;) {
        if (::ioctl(fd, TCSETS2, &settings) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

int readTerminalSpeed(int fd, std::uint32_t& input, std::uint32_t& output)
{
    termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return errno;
    input = settings.c_ispeed;
    output = settings.c_ospeed;
    return 0;
}

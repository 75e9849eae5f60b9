/* Lets gtkterm keep a pseudo-terminal open, for running it beside the pads on the same
 * kind of port. gtkterm 1.2.1 closes a pseudo-terminal again at once, for two reasons
 * that have nothing to do with reading from it:
 *
 * - after opening a port it looks the device up in udev by its device number and
 *   closes the port when udev does not know it; udev never knows a pseudo-terminal
 *   slave (/sys/dev/char has no entry for majors 136 to 143). Those lookups are
 *   answered with udev's entry for /dev/ptmx, the pseudo-terminals' own device;
 * - every 100 ms it reads the modem lines (TIOCMGET) and closes the port when that
 *   fails with anything but EINVAL; a pseudo-terminal has no modem lines and fails with
 *   ENOTTY. That failure is answered as a port with modem lines, none of them raised.
 *
 * Loaded with LD_PRELOAD into gtkterm only. Every other lookup and call, and all its
 * reading and writing, is left as it is.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

struct udev;
struct udev_device;

typedef struct udev_device* (*FromDevnum)(struct udev*, char, dev_t);
typedef struct udev_device* (*FromSyspath)(struct udev*, const char*);
typedef int (*IoctlFunction)(int, unsigned long, void*);

/* The majors of Unix 98 pseudo-terminal slaves. */
static int isPseudoTerminal(dev_t device)
{
    return major(device) >= 136 && major(device) <= 143;
}

struct udev_device* udev_device_new_from_devnum(struct udev* context, char type, dev_t device)
{
    FromDevnum real = (FromDevnum)dlsym(RTLD_NEXT, "udev_device_new_from_devnum");
    struct udev_device* found = real(context, type, device);
    if (!found && type == 'c' && isPseudoTerminal(device)) {
        FromSyspath bySyspath = (FromSyspath)dlsym(RTLD_NEXT, "udev_device_new_from_syspath");
        found = bySyspath(context, "/sys/devices/virtual/tty/ptmx");
    }
    return found;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    IoctlFunction real = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
    int result = real(fd, request, argument);
    if (result == -1 && errno == ENOTTY && request == TIOCMGET) {
        struct stat status;
        if (fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)
            && isPseudoTerminal(status.st_rdev)) {
            *(int*)argument = 0;
            return 0;
        }
        errno = ENOTTY;
    }
    return result;
}

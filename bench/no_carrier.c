/* A Bluetooth serial port whose link never comes up, made from a pseudo-terminal, for
 * measuring how a program behaves while its open waits for the link.
 *
 * Loaded with LD_PRELOAD into the program under test. The device named by
 * SERIALPADS_BENCH_NO_CARRIER (a pseudo-terminal slave) is reported by stat() and
 * fstat() with the major number of /dev/rfcomm* (216), and TIOCMGET on it reports no
 * carrier, as the kernel reports for an rfcomm port while it pages a device that does
 * not answer. Everything else about the device, and every other file and call, is
 * left as it is: the program's own open, terminal set-up and wait run unchanged.
 *
 * A real port that behaves the same way: on a machine with a Bluetooth adapter,
 * `rfcomm bind 0 ADDRESS 1` with the address of a device that is switched off gives
 * /dev/rfcomm0 (port 1 when no port directory entry says otherwise); its open waits
 * for carrier until the page times out.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

enum { rfcommMajor = 216 };

typedef int (*StatFunction)(const char*, struct stat*);
typedef int (*FstatFunction)(int, struct stat*);
typedef int (*FstatatFunction)(int, const char*, struct stat*, int);
typedef int (*IoctlFunction)(int, unsigned long, void*);

static dev_t target;
static int haveTarget = -1;

static void* real(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static int findTarget(void)
{
    if (haveTarget < 0) {
        const char* device = getenv("SERIALPADS_BENCH_NO_CARRIER");
        struct stat status;
        haveTarget = 0;
        if (device && ((StatFunction)real("stat"))(device, &status) == 0
            && S_ISCHR(status.st_mode)) {
            target = status.st_rdev;
            haveTarget = 1;
        }
    }
    return haveTarget;
}

static int disguise(int result, struct stat* status)
{
    if (result == 0 && findTarget() && S_ISCHR(status->st_mode) && status->st_rdev == target)
        status->st_rdev = makedev(rfcommMajor, minor(target) & 0xFF);
    return result;
}

int stat(const char* path, struct stat* status)
{
    return disguise(((StatFunction)real("stat"))(path, status), status);
}

int fstat(int fd, struct stat* status)
{
    return disguise(((FstatFunction)real("fstat"))(fd, status), status);
}

int fstatat(int dir, const char* path, struct stat* status, int flags)
{
    return disguise(((FstatatFunction)real("fstatat"))(dir, path, status, flags), status);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == TIOCMGET && findTarget()) {
        struct stat status;
        if (((FstatFunction)real("fstat"))(fd, &status) == 0 && S_ISCHR(status.st_mode)
            && status.st_rdev == target) {
            /* No line is raised, carrier least of all. */
            *(int*)argument = 0;
            return 0;
        }
    }
    return ((IoctlFunction)real("ioctl"))(fd, request, argument);
}

/* The receiver's polling alone, for comparison, with no window and no toolkit: every
 * 25 ms a read that waits at most 50 ms for its first byte. A tick that fell due while
 * a read waited runs as soon as the read ends, as the dialog's timer does. Built by
 * startup.sh. Usage: plain_loop DEVICE */
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

static long long nowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

int main(int argc, char** argv)
{
    int fd = argc > 1 ? open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK) : -1;
    if (fd < 0)
        return 1;
    long long due = nowMs() + 25;
    for (;;) {
        long long left = due - nowMs();
        if (left > 0)
            poll(NULL, 0, (int)left);
        while (due <= nowMs())
            due += 25;
        struct pollfd entry = { fd, POLLIN, 0 };
        char buffer[128];
        if (poll(&entry, 1, 50) > 0 && (entry.revents & POLLIN) && read(fd, buffer, sizeof buffer) <= 0)
            return 0;
    }
}

#include "LiveWait.h"

#include "Waiting.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <optional>

void installLiveWaiter()
{
    setDescriptorWaiter(waitKeepingWindowsLive);
}

short waitKeepingWindowsLive(int fd, short events, int timeoutMs)
{
    // Most waits end before they start: a streaming device has bytes ready, a port
    // takes what is written. Those cost one poll() and no trip through the event loop.
    if (short ready = pollDescriptor(fd, events, 0); ready || timeoutMs == 0)
        return ready;
    QCoreApplication* app = QCoreApplication::instance();
    // A wait for nothing but a hang-up, without a time-out, has nothing that would end
    // a loop; it is left to poll() as asked.
    const bool watched = events & (POLLIN | POLLOUT);
    if (!app || QThread::currentThread() != app->thread() || (!watched && timeoutMs < 0))
        return pollDescriptor(fd, events, timeoutMs);

    QEventLoop loop;
    // A hang-up or an error wakes a read notifier too. With no event asked for (the
    // caller only looks for a hang-up between steps of its own), the time-out alone
    // ends the wait: a notifier on input the caller will not read would fire at once
    // and for ever.
    std::optional<QSocketNotifier> readable, writable;
    if (events & POLLIN) {
        readable.emplace(qintptr(fd), QSocketNotifier::Read);
        QObject::connect(&*readable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    }
    if (events & POLLOUT) {
        writable.emplace(qintptr(fd), QSocketNotifier::Write);
        QObject::connect(&*writable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    }
    QTimer deadline;
    if (timeoutMs > 0) {
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(timeoutMs);
    }
    loop.exec();
    return pollDescriptor(fd, events, 0);
}

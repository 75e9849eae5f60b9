#include "LiveWait.h"

#include "Waiting.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {
std::vector<CWaitListener*>& listeners()
{
    static std::vector<CWaitListener*> all;
    return all;
}

// The one wait of the user-interface thread, kept from one wait to the next.
class CLiveWait {
public:
    CLiveWait()
    {
        readable.setEnabled(false);
        writable.setEnabled(false);
        // The read notifier stays on after a wait that timed out: it is how the device
        // that wait found quiet is watched until the next read (lastWaitStillQuiet()).
        // Input that comes between two waits turns it off (it would fire again at every
        // pass of the loop until read); the next wait finds that input at once.
        QObject::connect(&readable, &QSocketNotifier::activated, [this] {
            readable.setEnabled(false);
            if (waiting && readWatched)
                end();
            else
                tell(&CWaitListener::quietEnded);
        });
        QObject::connect(&writable, &QSocketNotifier::activated, [this] { end(); });
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, [this] {
            timedOut = true;
            end();
        });
    }

    bool isWaiting() const { return waiting; }

    // Whether the time ran out before the descriptor was seen ready.
    bool timedOutLast() const { return timedOut; }

    bool quiet() const { return !waiting && readWatched && timedOut && readable.isEnabled(); }

    void forget(int fd)
    {
        if (readable.socket() == fd && readable.isEnabled()) {
            readable.setEnabled(false);
            tell(&CWaitListener::quietEnded);
        }
    }

    void wait(int fd, short events, int timeoutMs)
    {
        waiting = true;
        ended = false;
        timedOut = false;
        // A hang-up or an error wakes a read notifier too. With no event asked for (the
        // caller only looks for a hang-up between steps of its own), the time-out alone
        // ends the wait: a notifier on input the caller will not read would fire at once.
        readWatched = fd >= 0 && (events & POLLIN);
        if (readWatched) {
            // The one read notifier moves to this device: a quiet one it leaves is no
            // longer watched, so whoever sleeps on it must look again.
            if (readable.socket() != fd)
                forget(readable.socket());
            watch(readable, fd);
        }
        if (fd >= 0 && (events & POLLOUT))
            watch(writable, fd);
        if (timeoutMs > 0)
            deadline.start(timeoutMs);
        tell(&CWaitListener::waitBegins);
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        while (!ended)
            dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        deadline.stop();
        waiting = false;
        tell(&CWaitListener::waitEnded);
    }

private:
    static void watch(QSocketNotifier& notifier, int fd)
    {
        if (notifier.socket() != fd) {
            notifier.setEnabled(false);
            notifier.setSocket(fd);
        }
        notifier.setEnabled(true);
    }

    // Each listener told is one listening when the news began: one may come or go.
    static void tell(void (CWaitListener::*news)())
    {
        const std::vector<CWaitListener*> told = listeners();
        for (CWaitListener* listener : told)
            (listener->*news)();
    }

    void end()
    {
        ended = true;
        writable.setEnabled(false);
        deadline.stop();
    }

    QSocketNotifier readable { QSocketNotifier::Read };
    QSocketNotifier writable { QSocketNotifier::Write };
    QTimer deadline;
    bool waiting = false;
    bool ended = false;
    bool timedOut = false;
    bool readWatched = false;
};

CLiveWait* made = nullptr;

// Made on first use and kept until the process ends: its notifiers and timer must not
// outlive the application's event dispatcher in a destructor run at exit.
CLiveWait& theWait()
{
    if (!made)
        made = new CLiveWait;
    return *made;
}

void forgetDescriptor(int fd)
{
    if (made && QCoreApplication::instance())
        made->forget(fd);
}

// Waits as waitForDescriptor() does (Waiting.h), running the event loop meanwhile when
// called on the user-interface thread; elsewhere, and for a wait begun inside another,
// it is a plain poll().
short waitKeepingWindowsLive(int fd, short events, int timeoutMs)
{
    // Most waits end before they start: a streaming device has bytes ready, a port
    // takes what is written. Those cost one poll() and no trip through the event loop.
    if (short ready = pollDescriptor(fd, events, 0); ready || timeoutMs == 0)
        return ready;
    QCoreApplication* app = QCoreApplication::instance();
    // A wait for nothing but a hang-up, without a time-out, has nothing that would end
    // it; it is left to poll() as asked.
    const bool watched = fd >= 0 && (events & (POLLIN | POLLOUT));
    if (!app || QThread::currentThread() != app->thread() || (!watched && timeoutMs < 0)
        || theWait().isWaiting())
        return pollDescriptor(fd, events, timeoutMs);
    theWait().wait(fd, events, timeoutMs);
    // A read whose time ran out saw neither input nor a hang-up (both wake its
    // notifier); what comes now is for the next read, which looks first.
    if (theWait().timedOutLast() && events == POLLIN)
        return 0;
    return pollDescriptor(fd, events, 0);
}
} // namespace

void addWaitListener(CWaitListener& listener)
{
    listeners().push_back(&listener);
}

void removeWaitListener(CWaitListener& listener)
{
    std::erase(listeners(), &listener);
}

bool lastWaitStillQuiet()
{
    return made && made->quiet();
}

void installLiveWaiter()
{
    setDescriptorWaiter(waitKeepingWindowsLive, forgetDescriptor);
}

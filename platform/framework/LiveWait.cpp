#include "LiveWait.h"

#include "Waiting.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>
#include <utility>
#include <vector>

namespace {
std::vector<CWaitListener*>& listeners()
{
    static std::vector<CWaitListener*> all;
    return all;
}

// The one wait of the user-interface thread, kept from one wait to the next. Its time
// limit is a timer of its own rather than a QTimer: a silent device's waits end by
// time twenty times a second, and a signal's delivery is work no one needs.
class CLiveWait final : public QObject {
public:
    CLiveWait()
    {
        readable.setEnabled(false);
        writable.setEnabled(false);
        // The read notifier stays on after a wait that timed out, so that a silent
        // device's waits, twenty a second, do not each add and remove it from the event
        // loop. Input that comes between two waits turns it off (it would fire again at
        // every pass of the loop until read); the next wait finds that input at once.
        QObject::connect(&readable, &QSocketNotifier::activated, [this] {
            readable.setEnabled(false);
            if (waiting && readWatched)
                end();
        });
        QObject::connect(&writable, &QSocketNotifier::activated, [this] { end(); });
    }

    bool isWaiting() const { return waiting; }

    // Whether the time ran out before the descriptor was seen ready.
    bool timedOutLast() const { return timedOut; }

    // Whether the event loop's last pass watched `fd` for input and saw none: the read
    // notifier is still on only then.
    bool sawNoInput(int fd) const { return readable.isEnabled() && readable.socket() == fd; }

    void forget(int fd)
    {
        if (readable.socket() == fd)
            readable.setEnabled(false);
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
        if (readWatched)
            watch(readable, fd);
        if (fd >= 0 && (events & POLLOUT))
            watch(writable, fd);
        if (timeoutMs > 0)
            deadline = startTimer(timeoutMs, Qt::PreciseTimer);
        // By index: a listener told may remove itself.
        for (std::size_t i = 0; i < listeners().size(); ++i)
            listeners()[i]->waitBegins();
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        while (!ended)
            dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        stopDeadline();
        waiting = false;
        for (std::size_t i = 0; i < listeners().size(); ++i)
            listeners()[i]->waitEnded();
    }

protected:
    void timerEvent(QTimerEvent* event) override
    {
        if (event->timerId() != deadline) {
            QObject::timerEvent(event);
            return;
        }
        timedOut = true;
        end();
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

    void end()
    {
        ended = true;
        writable.setEnabled(false);
        stopDeadline();
    }

    void stopDeadline()
    {
        if (deadline != 0)
            killTimer(std::exchange(deadline, 0));
    }

    QSocketNotifier readable { QSocketNotifier::Read };
    QSocketNotifier writable { QSocketNotifier::Write };
    int deadline = 0; // the timer that ends the wait, 0 when none runs
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
} // namespace

void addWaitListener(CWaitListener& listener)
{
    listeners().push_back(&listener);
}

void removeWaitListener(CWaitListener& listener)
{
    std::erase(listeners(), &listener);
}

void installLiveWaiter()
{
    setDescriptorWaiter(waitKeepingWindowsLive, forgetDescriptor);
}

short waitKeepingWindowsLive(int fd, short events, int timeoutMs)
{
    QCoreApplication* app = QCoreApplication::instance();
    // Most waits end before they start: a streaming device has bytes ready, a port
    // takes what is written. Those cost one poll() and no trip through the event loop.
    // A silent device's read skips even that look when the loop has just seen nothing
    // on it; input that came since ends the wait at its first pass.
    const bool justSeenQuiet = events == POLLIN && timeoutMs != 0 && app && made
        && made->sawNoInput(fd) && QThread::currentThread() == app->thread();
    if (!justSeenQuiet) {
        if (short ready = pollDescriptor(fd, events, 0); ready || timeoutMs == 0)
            return ready;
    }
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

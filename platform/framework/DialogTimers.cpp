#include "DialogTimers.h"

#include "PortRegistry.h"

#include <QTimerEvent>

#include <limits>
#include <utility>

CDialogTimers::CDialogTimers(std::function<void(std::uintptr_t id)> deliverTick)
    : tick(std::move(deliverTick))
{
    addWaitListener(*this);
}

CDialogTimers::~CDialogTimers()
{
    removeWaitListener(*this);
    stopAll();
}

bool CDialogTimers::start(std::uintptr_t id, std::uint32_t period)
{
    if (id == 0 || period > std::uint32_t(std::numeric_limits<int>::max()))
        return false;
    stop(id);
    const std::chrono::milliseconds every(period);
    CTimer& timer = timers[id];
    timer = { every, Clock::now() + every, 0 };
    arm(timer);
    return true;
}

bool CDialogTimers::stop(std::uintptr_t id)
{
    auto found = timers.find(id);
    if (found == timers.end())
        return false;
    disarm(found->second);
    timers.erase(found);
    return true;
}

void CDialogTimers::stopAll()
{
    for (auto& [id, timer] : timers)
        disarm(timer);
    timers.clear();
}

// Each timer is armed for its next step only, so that a wait can leave it unarmed and
// the step keeps its place in the period whatever the waits in between.
void CDialogTimers::arm(CTimer& timer)
{
    if (waiting || timer.qtId != 0 || timer.asleep)
        return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timer.due - Clock::now());
    timer.qtId = startTimer(std::max(left, std::chrono::milliseconds(0)), Qt::PreciseTimer);
}

void CDialogTimers::disarm(CTimer& timer)
{
    if (timer.qtId != 0)
        killTimer(timer.qtId);
    timer.qtId = 0;
}

void CDialogTimers::passDue(CTimer& timer, Clock::time_point now)
{
    timer.due += timer.period;
    if (timer.due <= now)
        timer.due += ((now - timer.due) / timer.period + 1) * timer.period;
}

void CDialogTimers::timerEvent(QTimerEvent* event)
{
    for (auto& [id, timer] : timers) {
        if (timer.qtId != event->timerId())
            continue;
        disarm(timer);
        const auto now = Clock::now();
        passDue(timer, now);
        if (std::exchange(timer.woken, false))
            timer.due = now;
        const std::uintptr_t ours = id;
        arm(timer);
        tick(ours);
        return;
    }
    QObject::timerEvent(event);
}

void CDialogTimers::tickBegins()
{
    waitsInTick = 0;
    callsBeforeTick = CPortRegistry::instance().callsMade();
}

void CDialogTimers::tickEnded(std::uintptr_t id)
{
    auto found = timers.find(id);
    if (found == timers.end() || waitsInTick == 0 || !lastWaitStillQuiet()
        || CPortRegistry::instance().callsMade() - callsBeforeTick != 1)
        return;
    disarm(found->second);
    found->second.asleep = true;
}

// Armed at once: the step that fell due while it slept is its next tick.
void CDialogTimers::wake()
{
    for (auto& [id, timer] : timers) {
        if (timer.asleep) {
            timer.asleep = false;
            timer.woken = true;
            arm(timer);
        }
    }
}

void CDialogTimers::waitBegins()
{
    ++waitsInTick;
    waiting = true;
    for (auto& [id, timer] : timers)
        disarm(timer);
}

// A timer that fell due meanwhile, once or several times, is armed to fire at once: its
// one tick then comes from the event loop like any other, after the handler that waited
// has returned, without the loop being woken to run it.
void CDialogTimers::waitEnded()
{
    waiting = false;
    for (auto& [id, timer] : timers)
        arm(timer);
}

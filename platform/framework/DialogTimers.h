// A dialog's window timers. Each falls due every period from when it was started, and
// a tick that falls due reaches the dialog through `deliverTick`.
//
// While a port call waits (the windows live, a handler running), no tick is run: a
// blocked thread would not see one either. The timers do not even wake the process
// then; when the wait ends, a timer that fell due meanwhile, once or several times,
// gives one tick as soon as the event loop runs again, after the handler returns.
//
// A tick whose one port call was a read that waited out its time-out with nothing
// arriving would only be repeated until the device has input, so the timer sleeps until
// it has, hangs up or is closed, another device's read waits (only one is watched), or
// the dialog gets another message. Then it ticks at once, and again at once after that,
// as after a wait that input ended: a device's next line often follows its first
// closely, and that read waits for it.
#pragma once

#include "LiveWait.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

class CDialogTimers final : public QObject, private CWaitListener {
public:
    explicit CDialogTimers(std::function<void(std::uintptr_t id)> deliverTick);
    ~CDialogTimers() override;

    // Starts or restarts timer `id` (not 0); false when it cannot run.
    bool start(std::uintptr_t id, std::uint32_t period);
    bool stop(std::uintptr_t id);
    void stopAll();

    // Around the handling of a tick of timer `id`, and of any other message.
    void tickBegins();
    void tickEnded(std::uintptr_t id);
    void otherMessage() { wake(); }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    using Clock = std::chrono::steady_clock;
    struct CTimer {
        std::chrono::milliseconds period;
        Clock::time_point due;
        int qtId = 0; // 0 while not armed
        bool asleep = false;
        bool woken = false;
    };

    void waitBegins() override;
    void waitEnded() override;
    void quietEnded() override { wake(); }
    void wake();
    void arm(CTimer& timer);
    void disarm(CTimer& timer);
    // Moves `due` to the first step of the period after `now`.
    static void passDue(CTimer& timer, Clock::time_point now);

    std::function<void(std::uintptr_t)> tick;
    std::map<std::uintptr_t, CTimer> timers;
    bool waiting = false;
    int waitsInTick = 0;
    std::uint64_t callsBeforeTick = 0;
};

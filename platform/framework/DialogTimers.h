// A dialog's window timers. Each falls due every period from when it was started, and
// a tick that falls due reaches the dialog through `deliverTick`.
//
// While a port call waits (the windows live, a handler running), no tick is run: a
// blocked thread would not see one either. The timers do not even wake the process
// then; when the wait ends, a timer that fell due meanwhile, once or several times,
// gives one tick as soon as the event loop runs again, after the handler returns.
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

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    using Clock = std::chrono::steady_clock;
    struct CTimer {
        std::chrono::milliseconds period;
        Clock::time_point due;
        int qtId = 0; // 0 while not armed
    };

    void waitBegins() override;
    void waitEnded() override;
    void arm(CTimer& timer);
    void disarm(CTimer& timer);
    // Moves `due` to the first step of the period after `now`.
    static void passDue(CTimer& timer, Clock::time_point now);

    std::function<void(std::uintptr_t)> tick;
    std::map<std::uintptr_t, CTimer> timers;
    bool waiting = false;
};

// For tests and benchmarks only, which drive a dialog from outside its event loop: what
// a dialog window holds, and running what it has queued as the event loop would.
#pragma once

#include "DialogWindow.h"

#include <QCoreApplication>

class CDialogWindowProbe {
public:
    // Whether no message and no input waits its turn in the window.
    static bool queuesNothing(const CDialogWindow& window) { return window.queue.empty(); }

    // How much the dialog was enlarged so that every text fits (1 where all did).
    static double textFitScale(const CDialogWindow& window)
    {
        return window.dialogUnits.fitScale();
    }

    // A tick of the dialog's timer `id`, as the timer gives it.
    static void tick(CDialogWindow& window, std::uintptr_t id) { window.deliverTick(id); }

    // Dispatches the dialog's queued messages, one at a time as the event loop does,
    // until nothing is left, a handler runs (what is left then waits for it), or the
    // window is gone.
    static void runQueued(const CWnd& dialog)
    {
        for (int turn = 0; turn < 1000; ++turn) {
            const CDialogWindow* window = dialogWindowOf(dialog);
            if (!window || window->handlerRunning || window->queue.empty())
                return;
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        }
    }
};

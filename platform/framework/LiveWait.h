// The waiter the dialog framework gives the system library: while a serial call waits
// for its device, the program's windows stay live. They paint, scroll, select and copy,
// and answer the window manager. Input that would reach the dialog is held by the
// dialog window until the running handler returns (CDialogWindow), so no handler ever
// starts inside another and input keeps its order.
//
// A wait ends when its descriptor is ready or its time is up, whatever loop is running
// at that moment: it is a flag set by its notifier or its timer, not a loop of its own
// that something opened on top of it would keep from returning. Its notifiers stop as
// soon as one has fired. The notifiers and the timer are made once and kept, since a
// receiver with bytes coming waits up to forty times a second.
#pragma once

// Told when a live wait begins and when it has ended (a blocked thread would run none
// of the dialog's timers meanwhile, so the timers wait with it rather than waking the
// process for a tick that could only be held), and when a quiet device stirs (below).
class CWaitListener {
public:
    virtual void waitBegins() = 0;
    virtual void waitEnded() = 0;
    virtual void quietEnded() = 0;

protected:
    ~CWaitListener() = default;
};

void addWaitListener(CWaitListener& listener);
void removeWaitListener(CWaitListener& listener);

// Whether the last live wait was a read that waited out its time with nothing arriving,
// and its device still has nothing: no input, no hang-up, not closed. From the moment
// it has, is about to be closed, or a read of another device waits, the listeners are
// told quietEnded(), once.
bool lastWaitStillQuiet();

// Makes every later wait of the system library keep the windows live. Safe to call
// more than once.
void installLiveWaiter();

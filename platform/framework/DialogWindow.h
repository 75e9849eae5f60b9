// The window behind a CDialog: a top-level QWidget built from a dialog template, with
// one control window per template item. The client area is exactly the template's size
// in dialog units (DialogUnits.h), each control sits at its rectangle, and the window
// has a fixed size and offers no maximise button.
//
// Every message for the dialog (a click, a timer tick, the close button, the signals
// that end the program) goes through the window's message queue and is dispatched
// from the event loop, one at a time: never inside another handler, never inside the
// toolkit's handling of the click that caused it. While a handler runs (its port call
// waits with the window live) the dialog's raw input is held in the same queue
// (CInputGate) and replayed, in arrival order, when the handler has returned.
#pragma once

#include "ControlWindow.h"
#include "DialogLink.h"
#include "DialogQueue.h"
#include "DialogUnits.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class CDialogTimers;
class CInputGate;
class CWnd;
class QEventLoop;

class CDialogWindow final : public QWidget, public CNativeWindow, private CDialogState {
    Q_OBJECT
public:
    // Builds the window and its controls; check isValid() afterwards.
    CDialogWindow(std::unique_ptr<CDialogLink> dialog, const DialogTemplate& dialogTemplate);
    ~CDialogWindow() override;

    bool isValid() const { return valid; }

    // The control with this id, or null. Labels share one id and are never found.
    CControlWindow* control(std::uint16_t id) const;

    // Fills lists from the template's initialisation record; false if it is malformed,
    // in which case no list was changed.
    bool applyInitRecord();

    // Remembers a control object tied to one of our controls, so it can be untied when
    // the window goes.
    void noteAttached(CWnd& object) { attached.push_back(&object); }

    // Queues a message for the dialog. It is dispatched from the event loop once
    // everything queued before it has run, and never while a handler runs; then the
    // default handling follows unless the handler ran it. Ticks of a timer that
    // already has one queued are merged into it.
    void deliver(std::uint32_t message, std::uint32_t code, std::uint32_t id, std::uintptr_t param);
    void runDefaultHandling();

    // Dispatches WM_DESTROY at once, dropping whatever is queued: the window is going.
    void deliverDestroy();

    bool startDialogTimer(std::uintptr_t id, std::uint32_t period);
    bool stopDialogTimer(std::uintptr_t id);
    void stopAllTimers();

    // Runs until the dialog ends; returns at once if it already has.
    void runLoop();
    void endLoop();

    int dialogUnitsToPixelsX(int units) const { return dialogUnits.toPixelsX(units); }
    int dialogUnitsToPixelsY(int units) const { return dialogUnits.toPixelsY(units); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Tests and benchmarks run the queue to its end from outside the event loop.
    friend class CDialogWindowProbe;

    bool isEnded() const override { return owner->isEnded(); }
    bool takesClicks(std::uint32_t id) const override;

    bool holdingInput() const;
    void deliverTick(std::uintptr_t id);
    void dispatchNow(const CDialogMessage& message);
    void postNextQueued();
    void deliverNextQueued();
    void connectControls();
    void pressButtonBefore(const CControlWindow& edit);
    bool isFree(const QWidget* widget) const;

    std::unique_ptr<CDialogLink> owner;
    const DialogTemplate& source;
    CDialogUnits dialogUnits;
    std::vector<std::unique_ptr<CControlWindow>> items;
    std::vector<CWnd*> attached;
    CDialogQueue queue;
    // Messages made while a held input is replayed; they take its place in the queue.
    std::vector<CDialogMessage>* madeByReplay = nullptr;
    std::unique_ptr<CDialogTimers> timers;
    std::unique_ptr<CInputGate> gate;
    bool handlerRunning = false;
    bool nextQueuedPosted = false;
    QEventLoop* loop = nullptr;
    bool valid = true;
    bool defaultDone = false;
};

// The window of a dialog, or of a control, or null when the object has none (yet or
// any more) or it is of the other kind.
CDialogWindow* dialogWindowOf(const CWnd& window);
CControlWindow* controlWindowOf(const CWnd& window);

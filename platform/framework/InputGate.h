// Where the dialog's raw input is held while a handler runs. Watches every event the
// application receives for the dialog's own window and its controls' pop-ups (an open
// list), and holds each key press and release, mouse press, release and drag, wheel
// turn, touch and composed text there, in arrival order, in the dialog's queue. Held
// input is replayed later through the window, so each key reaches the control that
// then has the focus and each click the control under it, as if it had come then.
//
// What changes nothing a handler reads goes on: painting, the window manager's
// requests, the pointer hovering, and the received-text view's own input (scrolling,
// selecting, its menu, copying). A press there moves the focus at once unless input is
// held before it; then the move waits its turn with the held input.
#pragma once

#include "DialogQueue.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QMouseEvent;
class QWidget;
class QWindow;

class CInputGate final : public QObject {
public:
    struct CHooks {
        // Whether input must be held now: a handler runs, input is already held, or
        // the dialog has ended.
        std::function<bool()> holding;
        std::function<bool()> hasInput;
        std::function<void(std::unique_ptr<CHeldInput>)> hold;
        // Whether this widget belongs to a part of the dialog whose input always goes
        // on (the received-text view).
        std::function<bool(const QWidget*)> isFree;
    };

    CInputGate(QWidget& dialog, CHooks hooks);
    ~CInputGate() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class CHeldEvent;
    class CFocusMove;
    enum class Owner { none, dialog, popup };
    Owner ownerOf(QWindow* window) const;
    bool filterPointer(QWindow* window, QEvent* event, Owner owner);
    bool filterKey(QWindow* window, QEvent* event, Owner owner);
    enum class Route { window, focus, widget };
    bool holdEvent(QObject* receiver, QEvent* event, Route route = Route::window);
    bool holdForControl(QEvent* event, const QMouseEvent& mouse);
    bool passKeepingFocus(QObject* receiver, QEvent* event, QWidget* target);

    QWidget& dialog;
    CHooks hooks;
    bool replaying = false;
    // A press that went on, or was held: the rest of that drag goes the same way.
    enum class Drag { none, passed, held } drag = Drag::none;
    QPointer<QWidget> pressedOn;
};

#include "InputGate.h"

#include "LogView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

#include <memory>
#include <vector>

// One event, copied as it came, to be sent again to where it went: keys and composed
// text to the control that has the focus when their turn comes, a mouse button to the
// control it was pressed on (with the focus moving there on a press, as a click moves
// it), anything else to the window it reached.
class CInputGate::CHeldEvent final : public CHeldInput {
public:
    CHeldEvent(CInputGate& owner, QObject* receiver, std::unique_ptr<QEvent> event, Route how)
        : gate(&owner)
        , target(receiver)
        , copy(std::move(event))
        , route(how)
    {
    }

    void replay() override
    {
        if (!gate)
            return;
        QObject* to = target;
        if (route == Route::focus)
            to = gate->dialog.focusWidget() ? gate->dialog.focusWidget() : &gate->dialog;
        if (!to)
            return;
        auto* widget = qobject_cast<QWidget*>(to);
        if (route == Route::widget && widget && copy->type() == QEvent::MouseButtonPress
            && (widget->focusPolicy() & Qt::ClickFocus) && widget->isEnabled())
            widget->setFocus(Qt::MouseFocusReason);
        gate->replaying = true;
        QApplication::instance()->notify(to, copy.get());
        if (gate)
            gate->replaying = false;
    }

private:
    QPointer<CInputGate> gate;
    QPointer<QObject> target;
    std::unique_ptr<QEvent> copy;
    Route route;
};

CInputGate::CInputGate(QWidget& dialogWidget, CHooks gateHooks)
    : dialog(dialogWidget)
    , hooks(std::move(gateHooks))
{
    qApp->installEventFilter(this);
}

CInputGate::~CInputGate()
{
    qApp->removeEventFilter(this);
}

CInputGate::Owner CInputGate::ownerOf(QWindow* window) const
{
    if (window == dialog.windowHandle())
        return Owner::dialog;
    // A control's pop-up (an open list) is a window of its own; what has its focus
    // tells whose it is.
    auto* inside = qobject_cast<QWidget*>(window->focusObject());
    if (inside && dialog.isAncestorOf(inside) && !hooks.isFree(inside))
        return Owner::popup;
    return Owner::none;
}

bool CInputGate::eventFilter(QObject* watched, QEvent* event)
{
    if (replaying)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ContextMenu:
        break;
    case QEvent::InputMethod: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && dialog.isAncestorOf(widget) && !hooks.isFree(widget) && hooks.holding())
            return holdEvent(watched, event, Route::focus);
        return false;
    }
    default:
        return false;
    }
    if (!watched->isWindowType())
        return false;
    auto* window = static_cast<QWindow*>(watched);
    const Owner owner = ownerOf(window);
    if (owner == Owner::none)
        return false;
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
        return filterKey(window, event, owner);
    return filterPointer(window, event, owner);
}

bool CInputGate::filterPointer(QWindow* window, QEvent* event, Owner owner)
{
    const auto* mouse = dynamic_cast<const QSinglePointEvent*>(event);
    const bool pressing = event->type() == QEvent::MouseButtonPress
        || event->type() == QEvent::MouseButtonDblClick || event->type() == QEvent::TouchBegin
        || event->type() == QEvent::TabletPress;
    const bool allUp = !mouse || mouse->buttons() == Qt::NoButton;
    // The rest of a drag goes where its press went, even off the control it began on.
    const auto* button = owner == Owner::dialog ? dynamic_cast<const QMouseEvent*>(event) : nullptr;
    const auto hold
        = [&] { return button ? holdForControl(event, *button) : holdEvent(window, event); };
    if (drag != Drag::none && !pressing) {
        const bool held = drag == Drag::held;
        if (allUp && event->type() != QEvent::MouseMove)
            drag = Drag::none;
        return held ? hold() : false;
    }
    QWidget* target = nullptr;
    if (owner == Owner::dialog && mouse)
        target = dialog.childAt(mouse->position().toPoint());
    const bool free = target && hooks.isFree(target);
    if (free) {
        if (pressing)
            drag = Drag::passed;
        // With input held before it, the press selects now but its move of the focus
        // waits its turn, so that held keys still reach the control they were typed to.
        return hooks.hasInput() && pressing ? passKeepingFocus(window, event, target) : false;
    }
    // Hovering changes nothing a handler reads.
    if (event->type() == QEvent::MouseMove && allUp)
        return false;
    if (!hooks.holding())
        return false;
    if (pressing)
        drag = Drag::held;
    return hold();
}

bool CInputGate::filterKey(QWindow* window, QEvent* event, Owner owner)
{
    if (!hooks.holding())
        return false;
    // The view's own keys (scrolling, selecting, copying) go on while it has the focus
    // and nothing held before them could still move the focus away.
    QWidget* focus = dialog.focusWidget();
    if (owner == Owner::dialog && focus && hooks.isFree(focus) && !hooks.hasInput()
        && CLogView::isOwnKey(*static_cast<QKeyEvent*>(event)))
        return false;
    return holdEvent(window, event, owner == Owner::dialog ? Route::focus : Route::window);
}

bool CInputGate::holdEvent(QObject* receiver, QEvent* event, Route route)
{
    hooks.hold(std::make_unique<CHeldEvent>(
        *this, receiver, std::unique_ptr<QEvent>(event->clone()), route));
    return true;
}

// A mouse button on the dialog's own window is held for the control beneath it (the
// one its press was on, for the rest of a drag), with the position that control sees.
bool CInputGate::holdForControl(QEvent* event, const QMouseEvent& mouse)
{
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick
        || !pressedOn) {
        QWidget* under = dialog.childAt(mouse.position().toPoint());
        pressedOn = under ? under : &dialog;
    }
    QWidget* to = pressedOn;
    const QPointF local = to->mapFrom(&dialog, mouse.position());
    auto copy = std::make_unique<QMouseEvent>(mouse.type(), local, mouse.scenePosition(),
        mouse.globalPosition(), mouse.button(), mouse.buttons(), mouse.modifiers(),
        mouse.pointingDevice());
    copy->setTimestamp(mouse.timestamp());
    hooks.hold(std::make_unique<CHeldEvent>(*this, to, std::move(copy), Route::widget));
    return true;
}

// Moves the focus, in its turn, to where a press on the view would have moved it.
class CInputGate::CFocusMove final : public CHeldInput {
public:
    explicit CFocusMove(QWidget* widget)
        : target(widget)
    {
    }
    void replay() override
    {
        for (QWidget* at = target; at; at = at->parentWidget()) {
            if (at->isWindow())
                return;
            if ((at->focusPolicy() & Qt::ClickFocus) && at->isEnabled() && at->isVisible()) {
                at->setFocus(Qt::MouseFocusReason);
                return;
            }
        }
    }

private:
    QPointer<QWidget> target;
};

// A press on the view while input is held selects there at once, but the focus it
// would take is held with the rest, since held keys are to reach the control that has
// the focus when their turn comes.
bool CInputGate::passKeepingFocus(QObject* receiver, QEvent* event, QWidget* target)
{
    // Every policy is read before any is changed, and they are put back innermost
    // first: setting a widget's policy sets its focus proxy's too (the view's
    // viewport has the view as its proxy).
    std::vector<std::pair<QPointer<QWidget>, Qt::FocusPolicy>> kept;
    for (QWidget* at = target; at && at != &dialog; at = at->parentWidget())
        kept.emplace_back(at, at->focusPolicy());
    for (auto& [widget, policy] : kept)
        widget->setFocusPolicy(Qt::NoFocus);
    replaying = true;
    receiver->event(event);
    replaying = false;
    for (auto& [widget, policy] : kept)
        if (widget)
            widget->setFocusPolicy(policy);
    hooks.hold(std::make_unique<CFocusMove>(target));
    return true;
}

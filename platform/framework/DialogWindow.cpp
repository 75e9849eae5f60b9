#include "DialogWindow.h"

#include "ControlFactory.h"
#include "DialogTimers.h"
#include "InitEntryText.h"
#include "InputGate.h"
#include "LiveWait.h"
#include "LogView.h"
#include "QtText.h"
#include "Wnd.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

// The flags name every button the caption bar offers: close (the OK button) and
// minimise, never maximise, since the dialog has one size.
CDialogWindow::CDialogWindow(
    std::unique_ptr<CDialogLink> dialog, const DialogTemplate& dialogTemplate)
    : QWidget(nullptr,
          Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , CNativeWindow(static_cast<QWidget&>(*this))
    , owner(std::move(dialog))
    , source(dialogTemplate)
    , dialogUnits(font())
{
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(toQString(dialogTemplate.caption));
    // From now on a port call that waits keeps this window live.
    installLiveWaiter();

    items = makeControls(dialogTemplate, *this, valid);
    dialogUnits.place(items);
    dialogUnits.growToFit(items);
    connectControls();
    // Equal minimum and maximum sizes: window managers and compositors then neither
    // resize nor maximise the window.
    setFixedSize(dialogUnitsToPixelsX(dialogTemplate.cx), dialogUnitsToPixelsY(dialogTemplate.cy));

    timers = std::make_unique<CDialogTimers>([this](std::uintptr_t id) { deliverTick(id); });
    gate = std::make_unique<CInputGate>(*this,
        CInputGate::CHooks {
            [this] { return holdingInput(); },
            [this] { return queue.hasInput(); },
            [this](std::unique_ptr<CHeldInput> input) {
                queue.add(std::move(input));
                postNextQueued();
            },
            [this](const QWidget* widget) { return isFree(widget); },
        });
}

CDialogWindow::~CDialogWindow()
{
    gate.reset();
    timers.reset();
    for (CWnd* object : attached)
        object->attach(nullptr);
}

void CDialogWindow::connectControls()
{
    for (const auto& control : items) {
        CControlWindow* raw = control.get();
        QWidget* widget = control->widget();
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            std::uint16_t id = control->item().id;
            connect(button, &QPushButton::clicked, this,
                [this, id] { deliver(WM_COMMAND, BN_CLICKED, id, 0); });
        } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            connect(line, &QLineEdit::textEdited, this, [raw] { raw->markEdited(); });
            connect(
                line, &QLineEdit::returnPressed, this, [this, raw] { pressButtonBefore(*raw); });
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
            connect(plain, &QPlainTextEdit::textChanged, this, [raw] { raw->markEdited(); });
        }
    }
}

// Enter in a single-line field presses the push button just before it in tab order,
// when that button is enabled: a field that follows its action button (as "Send" comes
// before the text) then acts on Enter, and Enter never ends the dialog by accident.
void CDialogWindow::pressButtonBefore(const CControlWindow& edit)
{
    const CControlWindow* before = nullptr;
    for (const auto& control : items) {
        if (control.get() == &edit)
            break;
        if (control->item().kind != ControlClass::label)
            before = control.get();
    }
    if (!before || !before->isPushButton())
        return;
    auto* button = qobject_cast<QPushButton*>(before->widget());
    if (button && button->isEnabled() && button->isVisible())
        button->click();
}

CControlWindow* CDialogWindow::control(std::uint16_t id) const
{
    if (id == IDC_STATIC)
        return nullptr;
    for (const auto& control : items)
        if (control->item().id == id)
            return control.get();
    return nullptr;
}

bool CDialogWindow::applyInitRecord()
{
    if (source.initRecord.empty())
        return true;
    auto entries = parseInitRecord(source.initRecord);
    if (!entries)
        return false;
    // Check every entry before changing anything, so a bad record changes nothing.
    std::vector<std::pair<CControlWindow*, CWideString>> additions;
    for (const CInitEntry& entry : *entries) {
        CControlWindow* target = control(entry.controlId);
        if (!target || !target->isList() || entry.message != initAddString)
            return false;
        auto text = initEntryString(entry);
        if (!text)
            return false;
        additions.emplace_back(target, CWideString(*text));
    }
    for (auto& [target, text] : additions)
        target->addString(text);
    return true;
}

bool CDialogWindow::isFree(const QWidget* widget) const
{
    for (const auto& control : items)
        if (auto* view = qobject_cast<CLogView*>(control->widget()))
            if (widget == view || view->isAncestorOf(widget))
                return true;
    return false;
}

bool CDialogWindow::holdingInput() const
{
    return handlerRunning || !queue.empty() || owner->isEnded();
}

// A click held while a handler ran counts only if its button can still be clicked: a
// handler before it may have disabled it (a second click on Connect, say).
bool CDialogWindow::takesClicks(std::uint32_t id) const
{
    const CControlWindow* button = control(std::uint16_t(id));
    if (!button || !button->isPushButton())
        return true;
    return button->widget()->isEnabled() && button->widget()->isVisible();
}

void CDialogWindow::deliver(
    std::uint32_t message, std::uint32_t code, std::uint32_t id, std::uintptr_t param)
{
    const CDialogMessage incoming { message, code, id, param };
    if (madeByReplay) {
        madeByReplay->push_back(incoming);
        return;
    }
    queue.add(incoming);
    postNextQueued();
}

// A tick comes from the dialog's own timer, not from the toolkit's handling of input, so
// when nothing is queued or running it is dispatched at once: going back through the
// event loop would cost an idle dialog one more wake-up for every tick.
void CDialogWindow::deliverTick(std::uintptr_t id)
{
    if (handlerRunning || nextQueuedPosted || madeByReplay || !queue.empty()) {
        deliver(WM_TIMER, 0, 0, id);
        return;
    }
    dispatchNow({ WM_TIMER, 0, 0, id });
}

void CDialogWindow::dispatchNow(const CDialogMessage& message)
{
    const bool outer = defaultDone;
    const bool outerRunning = handlerRunning;
    defaultDone = false;
    handlerRunning = true;
    const bool tick = message.message == WM_TIMER;
    if (tick)
        timers->tickBegins();
    else
        timers->otherMessage();
    owner->dispatch(message);
    if (!defaultDone)
        runDefaultHandling();
    if (tick)
        timers->tickEnded(message.param);
    handlerRunning = outerRunning;
    defaultDone = outer;
    postNextQueued();
}

void CDialogWindow::postNextQueued()
{
    if (!handlerRunning && !queue.empty() && !nextQueuedPosted) {
        // Back through the event loop first, so that what the last handler changed is
        // painted before the next runs, and no handler runs inside the toolkit's own
        // handling of the input that caused it.
        nextQueuedPosted = true;
        QMetaObject::invokeMethod(this, &CDialogWindow::deliverNextQueued, Qt::QueuedConnection);
    }
}

// Replays held input until a message is due, then dispatches that one message.
void CDialogWindow::deliverNextQueued()
{
    nextQueuedPosted = false;
    while (!handlerRunning) {
        std::optional<CDialogQueue::Entry> next = queue.takeNext(*this);
        if (!next)
            return;
        if (auto* message = std::get_if<CDialogMessage>(&*next)) {
            dispatchNow(*message);
            return;
        }
        std::vector<CDialogMessage> made;
        madeByReplay = &made;
        std::get<std::unique_ptr<CHeldInput>>(*next)->replay();
        madeByReplay = nullptr;
        queue.addFirst(made);
    }
}

void CDialogWindow::deliverDestroy()
{
    queue.clear();
    dispatchNow({ WM_DESTROY, 0, 0, 0 });
    queue.clear();
}

// Nothing the programs rely on happens here; what matters is that it runs once per
// message, at the point the handler chose.
void CDialogWindow::runDefaultHandling()
{
    defaultDone = true;
}

bool CDialogWindow::startDialogTimer(std::uintptr_t id, std::uint32_t period)
{
    return timers->start(id, period);
}

bool CDialogWindow::stopDialogTimer(std::uintptr_t id)
{
    // A tick queued while a handler ran does not outlive its timer.
    queue.dropTicks(id);
    return timers->stop(id);
}

void CDialogWindow::stopAllTimers()
{
    queue.dropTicks(0);
    timers->stopAll();
}

void CDialogWindow::runLoop()
{
    if (owner->isEnded())
        return;
    QEventLoop local;
    loop = &local;
    local.exec();
    loop = nullptr;
}

void CDialogWindow::endLoop()
{
    if (loop)
        loop->quit();
}

// The window's close button is the caption bar's OK button: it ends the dialog through
// the dialog's OK handling. The window itself is removed only when the dialog is done.
void CDialogWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    deliver(WM_COMMAND, BN_CLICKED, IDOK, 0);
}

void CDialogWindow::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        // Escape never ends the program by accident.
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter on a focused push button presses it, as Space does; elsewhere it is
        // taken here so that it never reaches anything that would end the dialog.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isEnabled())
            button->click();
        event->accept();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

CDialogWindow* dialogWindowOf(const CWnd& window)
{
    return dynamic_cast<CDialogWindow*>(window.native());
}

CControlWindow* controlWindowOf(const CWnd& window)
{
    return dynamic_cast<CControlWindow*>(window.native());
}

#include "DialogWindow.h"

#include "ComboBoxAccessible.h"
#include "InitEntryText.h"
#include "LiveWait.h"
#include "LogView.h"
#include "QtText.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimerEvent>

#include <cmath>
#include <limits>
#include <optional>

namespace {
// The room a label's or a push button's text needs and the room the control gives it,
// in pixels: a label gives its contents rectangle, a push button the part inside its
// bevel less the style's margin, so the text never touches the frame.
struct TextRoom {
    QSize needed;
    QSize given;
};

std::optional<TextRoom> textRoomOf(QWidget* widget)
{
    QFontMetrics metrics(widget->font());
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        if (label->text().isEmpty())
            return std::nullopt;
        return TextRoom { metrics.size(Qt::TextShowMnemonic, label->text()),
            label->contentsRect().size() };
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        if (button->text().isEmpty())
            return std::nullopt;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        if (button->isDefault())
            option.features |= QStyleOptionButton::DefaultButton;
        QStyle* style = button->style();
        QRect inside = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        return TextRoom { metrics.size(Qt::TextShowMnemonic, button->text()),
            inside.size() - QSize(margin, 0) };
    }
    return std::nullopt;
}

QString withoutMnemonic(const QString& text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size())
            ++i;
        plain.append(text[i]);
    }
    return plain;
}
} // namespace

CControlWindow::CControlWindow(const DialogItem& item, QWidget* widget)
    : templateItem(item)
    , qtWidget(widget)
{
}

CWideString CControlWindow::text()
{
    if (auto* view = qobject_cast<CLogView*>(qtWidget))
        return view->text();
    if (edited) {
        // The user changed the field since we last set it: what it shows now is the text.
        if (auto* line = qobject_cast<QLineEdit*>(qtWidget))
            store = fromQString(line->text());
        else if (auto* plain = qobject_cast<QPlainTextEdit*>(qtWidget))
            store = fromQString(plain->toPlainText());
        edited = false;
    }
    return store;
}

void CControlWindow::setText(const CWideString& text)
{
    if (auto* view = qobject_cast<CLogView*>(qtWidget)) {
        view->setText(text);
        return;
    }
    // Kept as given, so reading it back gives exactly this text even where the widget
    // shows some characters differently.
    store = text;
    edited = false;
    const QSignalBlocker quiet(qtWidget);
    if (auto* line = qobject_cast<QLineEdit*>(qtWidget))
        line->setText(toQString(text));
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(qtWidget))
        plain->setPlainText(toQString(text));
    else if (auto* label = qobject_cast<QLabel*>(qtWidget))
        label->setText(toQString(text));
    else if (auto* button = qobject_cast<QAbstractButton*>(qtWidget))
        button->setText(toQString(text));
}

int CControlWindow::addString(const CWideString& text)
{
    auto* list = qobject_cast<QComboBox*>(qtWidget);
    if (!list)
        return -1;
    QString entry = toQString(text);
    int at = list->count();
    if (templateItem.style & CBS_SORT) {
        // A sorted list puts each entry before the first that sorts after it, so equal
        // entries keep the order they were added in.
        for (int i = 0; i < list->count(); ++i) {
            if (QString::compare(entry, list->itemText(i), Qt::CaseInsensitive) < 0) {
                at = i;
                break;
            }
        }
    }
    const QSignalBlocker quiet(list);
    int selected = list->currentIndex();
    list->insertItem(at, entry);
    // Adding an entry selects nothing by itself, and keeps an existing selection on the
    // entry it was on.
    list->setCurrentIndex(selected < 0 ? -1 : (selected >= at ? selected + 1 : selected));
    return at;
}

int CControlWindow::setSelection(int index)
{
    auto* list = qobject_cast<QComboBox*>(qtWidget);
    if (!list)
        return -1;
    if (index < 0 || index >= list->count()) {
        list->setCurrentIndex(-1);
        return -1;
    }
    list->setCurrentIndex(index);
    return index;
}

int CControlWindow::selection() const
{
    auto* list = qobject_cast<QComboBox*>(qtWidget);
    return list ? list->currentIndex() : -1;
}

// The flags name every button the caption bar offers: close (the OK button) and
// minimise, never maximise, since the dialog has one size.
CDialogWindow::CDialogWindow(CDialog& dialog, const DialogTemplate& dialogTemplate)
    : QWidget(nullptr,
          Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , owner(dialog)
    , source(dialogTemplate)
{
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(toQString(dialogTemplate.caption));
    // From now on a port call that waits keeps this window live.
    installLiveWaiter();

    // The template's font is the desktop's general font: "System" names no family here,
    // and the user's own font size is what makes the dialog readable on their screen.
    QFontMetrics metrics(font());
    static const QString alphabet
        = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseUnitX = std::max(1, (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2);
    baseUnitY = std::max(1, metrics.height());

    buildControls(dialogTemplate);
    growToFitTexts();
    // Equal minimum and maximum sizes: window managers and compositors then neither
    // resize nor maximise the window.
    setFixedSize(dialogUnitsToPixelsX(dialogTemplate.cx), dialogUnitsToPixelsY(dialogTemplate.cy));
}

CDialogWindow::~CDialogWindow()
{
    stopAllTimers();
    for (CWnd* object : attached)
        object->attach(nullptr);
}

int CDialogWindow::dialogUnitsToPixelsX(int units) const
{
    return int(std::lround(units * baseUnitX * fitScale / 4));
}

int CDialogWindow::dialogUnitsToPixelsY(int units) const
{
    return int(std::lround(units * baseUnitY * fitScale / 8));
}

// Each round finds the text that lacks the most room against its control's size and
// grows the scale by that much; since a control's frame and margins keep their size in
// pixels, one round usually does it and a second takes up what rounding lost.
void CDialogWindow::growToFitTexts()
{
    constexpr int rounds = 16;
    for (int round = 0; round < rounds; ++round) {
        double growth = 1;
        for (const auto& control : items) {
            QWidget* widget = control->widget();
            std::optional<TextRoom> room = textRoomOf(widget);
            if (!room)
                continue;
            QSize lacking = (room->needed - room->given).expandedTo(QSize(0, 0));
            if (widget->width() > 0)
                growth
                    = std::max(growth, double(widget->width() + lacking.width()) / widget->width());
            if (widget->height() > 0)
                growth = std::max(
                    growth, double(widget->height() + lacking.height()) / widget->height());
        }
        if (growth <= 1)
            return;
        fitScale *= growth;
        placeControls();
    }
}

QWidget* CDialogWindow::makeWidget(const DialogItem& item)
{
    switch (item.kind) {
    case ControlClass::label: {
        auto* label = new QLabel(toQString(item.text), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    }
    case ControlClass::button: {
        auto* button = new QPushButton(toQString(item.text), this);
        button->setAutoDefault(false);
        button->setDefault((item.style & 0x0F) == BS_DEFPUSHBUTTON);
        return button;
    }
    case ControlClass::comboBox:
        CComboBoxAccessible::install();
        return new QComboBox(this);
    case ControlClass::edit:
        if ((item.style & ES_MULTILINE) && (item.style & ES_READONLY))
            return new CLogView(this);
        if (item.style & ES_MULTILINE) {
            auto* plain = new QPlainTextEdit(this);
            plain->setVerticalScrollBarPolicy(
                item.style & WS_VSCROLL ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
            return plain;
        }
        auto* line = new QLineEdit(this);
        // The field sets no limit on its text; the default would cut it at 32767 units.
        line->setMaxLength(std::numeric_limits<int>::max());
        line->setFrame(item.style & WS_BORDER);
        line->setReadOnly(item.style & ES_READONLY);
        return line;
    }
    return nullptr;
}

void CDialogWindow::placeControls()
{
    for (const auto& control : items) {
        const DialogItem& item = control->item();
        QWidget* widget = control->widget();
        // From the rounded edges, not the rounded size, so controls that meet in the
        // template meet on screen and never overlap by a pixel.
        QRect rect(QPoint(dialogUnitsToPixelsX(item.x), dialogUnitsToPixelsY(item.y)),
            QPoint(dialogUnitsToPixelsX(item.x + item.cx) - 1,
                dialogUnitsToPixelsY(item.y + item.cy) - 1));
        if (item.kind == ControlClass::comboBox) {
            // A list's height is the height of its dropped-down part; the closed box is as
            // tall as its font needs.
            rect.setHeight(std::min(rect.height(), widget->sizeHint().height()));
        }
        widget->setGeometry(rect);
    }
}

void CDialogWindow::buildControls(const DialogTemplate& dialogTemplate)
{
    QWidget* previousTabStop = nullptr;
    QLabel* previousLabel = nullptr;
    for (const DialogItem& item : dialogTemplate.items) {
        QWidget* widget = makeWidget(item);
        if (!widget) {
            valid = false;
            previousLabel = nullptr;
            continue;
        }
        // Buttons and labels are named by their text. A control without one takes the
        // template's name for it, else the label just before it, which then also
        // points a screen reader from the label to the control.
        if (!item.accessibleName.empty()) {
            widget->setAccessibleName(toQString(item.accessibleName));
        } else if (item.text.empty() && previousLabel) {
            widget->setAccessibleName(withoutMnemonic(previousLabel->text()));
            previousLabel->setBuddy(widget);
        }
        previousLabel = qobject_cast<QLabel*>(widget);
        widget->setEnabled(!(item.style & WS_DISABLED));
        widget->setVisible(item.style & WS_VISIBLE);
        if (item.style & WS_TABSTOP) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        } else if (item.kind != ControlClass::label) {
            widget->setFocusPolicy(Qt::ClickFocus);
        }

        auto control = std::make_unique<CControlWindow>(item, widget);
        CControlWindow* raw = control.get();
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            std::uint16_t id = item.id;
            connect(button, &QPushButton::clicked, this,
                [this, id] { deliver(WM_COMMAND, BN_CLICKED, id, 0); });
        } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            connect(line, &QLineEdit::textEdited, this, [raw] { raw->markEdited(); });
            connect(
                line, &QLineEdit::returnPressed, this, [this, raw] { pressButtonBefore(*raw); });
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
            connect(plain, &QPlainTextEdit::textChanged, this, [raw] { raw->markEdited(); });
        }
        items.push_back(std::move(control));
    }
    placeControls();
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

void CDialogWindow::deliver(
    std::uint32_t message, std::uint32_t code, std::uint32_t id, std::uintptr_t param)
{
    const CHeldMessage incoming { message, code, id, param };
    // Whatever is already held goes first, so nothing overtakes it.
    if (handlerRunning || !heldMessages.empty())
        hold(incoming);
    else
        dispatchNow(incoming);
}

void CDialogWindow::dispatchNow(const CHeldMessage& held)
{
    const bool outer = defaultDone;
    const bool outerRunning = handlerRunning;
    defaultDone = false;
    handlerRunning = true;
    owner.dispatch(held.message, held.code, held.id, held.param);
    if (!defaultDone)
        runDefaultHandling();
    handlerRunning = outerRunning;
    defaultDone = outer;
    postNextHeld();
}

void CDialogWindow::postNextHeld()
{
    if (!handlerRunning && !heldMessages.empty() && !nextHeldPosted) {
        // Back through the event loop first, so what the handler changed is painted
        // before the next one runs.
        nextHeldPosted = true;
        QMetaObject::invokeMethod(this, &CDialogWindow::deliverNextHeld, Qt::QueuedConnection);
    }
}

void CDialogWindow::hold(const CHeldMessage& held)
{
    if (held.message == WM_TIMER) {
        for (const CHeldMessage& waiting : heldMessages)
            if (waiting.message == WM_TIMER && waiting.param == held.param)
                return;
    }
    heldMessages.push_back(held);
}

void CDialogWindow::deliverNextHeld()
{
    nextHeldPosted = false;
    if (handlerRunning)
        return; // posted again when that handler returns
    // Once the dialog has ended, nothing more reaches it but its destruction.
    if (owner.isEnded()) {
        heldMessages.clear();
        return;
    }
    while (!heldMessages.empty()) {
        const CHeldMessage next = heldMessages.front();
        heldMessages.pop_front();
        if (stillTakes(next)) {
            dispatchNow(next);
            return;
        }
    }
}

// A click held while a handler ran counts only if its button can still be clicked: a
// handler before it may have disabled it (a second click on Connect, say).
bool CDialogWindow::stillTakes(const CHeldMessage& held) const
{
    if (held.message != WM_COMMAND || held.code != BN_CLICKED)
        return true;
    const CControlWindow* button = control(std::uint16_t(held.id));
    if (!button || !button->isPushButton())
        return true; // OK and cancel from the caption bar or a signal
    return button->widget()->isEnabled() && button->widget()->isVisible();
}

void CDialogWindow::deliverDestroy()
{
    heldMessages.clear();
    dispatchNow({ WM_DESTROY, 0, 0, 0 });
    heldMessages.clear();
}

// Nothing the programs rely on happens here; what matters is that it runs once per
// message, at the point the handler chose.
void CDialogWindow::runDefaultHandling()
{
    defaultDone = true;
}

bool CDialogWindow::startDialogTimer(std::uintptr_t id, std::uint32_t period)
{
    if (id == 0 || period > std::uint32_t(std::numeric_limits<int>::max()))
        return false;
    stopDialogTimer(id);
    const std::chrono::milliseconds every(period);
    int qtId = QObject::startTimer(every, Qt::PreciseTimer);
    if (qtId == 0)
        return false;
    timers[id] = { qtId, every };
    return true;
}

bool CDialogWindow::stopDialogTimer(std::uintptr_t id)
{
    // A tick held while a handler ran does not outlive its timer.
    std::erase_if(heldMessages,
        [id](const CHeldMessage& held) { return held.message == WM_TIMER && held.param == id; });
    auto found = timers.find(id);
    if (found == timers.end())
        return false;
    killTimer(found->second.qtId);
    timers.erase(found);
    return true;
}

void CDialogWindow::stopAllTimers()
{
    std::erase_if(heldMessages, [](const CHeldMessage& held) { return held.message == WM_TIMER; });
    for (auto& [id, timer] : timers)
        killTimer(timer.qtId);
    timers.clear();
}

void CDialogWindow::timerEvent(QTimerEvent* event)
{
    for (const auto& [id, timer] : timers) {
        if (timer.qtId != event->timerId())
            continue;
        const std::uintptr_t ours = id;
        const CTimer running = timer;
        const auto started = std::chrono::steady_clock::now();
        deliver(WM_TIMER, 0, 0, ours);
        // Qt does not fire a timer while its own event is being handled: the ticks that
        // fell due while this one's handler waited (with the window live) were skipped,
        // and the next would only come at the period's next step. They count as one
        // tick, run next, as when the wait held the thread.
        auto still = timers.find(ours);
        if (still != timers.end() && still->second.qtId == running.qtId && !owner.isEnded()
            && std::chrono::steady_clock::now() - started >= running.period) {
            hold({ WM_TIMER, 0, 0, ours });
            postNextHeld();
        }
        return;
    }
    QWidget::timerEvent(event);
}

void CDialogWindow::runLoop()
{
    if (owner.isEnded())
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

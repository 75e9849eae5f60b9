// The windows behind a CDialog and its controls: a top-level QWidget built from a
// dialog template, with one Qt widget per template item.
//
// Placement follows the template: rectangles are dialog units, mapped to pixels through
// the dialog font (average character width / 4 across, character height / 8 down), so
// the window scales with the desktop's font and with HiDPI. Fonts differ in how wide
// their words are against their average letter, so where a label's or a button's text
// would not fit its rectangle at that size, the whole dialog grows by the factor that
// makes every text fit: the template's proportions stay. The client area is exactly the
// template's size, each control sits at its rectangle, and tab order is template order.
// The window has a fixed size and offers no maximise button.
//
// Each control has a name for screen readers: its own text, the template's name for
// it, or else the text of the label just before it.
#pragma once

#include "Dialog.h"
#include "Resources.h"
#include "WideString.h"

#include <QEventLoop>
#include <QIcon>
#include <QPointer>
#include <QWidget>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <vector>

class CLogView;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;

struct CNativeWindow {
    virtual ~CNativeWindow() = default;
    virtual QWidget* widget() const = 0;
};

// One control made from a template item. Edit fields keep the text they were last
// given (the store) and give it back unchanged unless the user has typed since.
class CControlWindow final : public CNativeWindow {
public:
    CControlWindow(const DialogItem& item, QWidget* widget);

    QWidget* widget() const override { return qtWidget; }
    const DialogItem& item() const { return templateItem; }
    bool isEdit() const { return templateItem.kind == ControlClass::edit; }
    bool isList() const { return templateItem.kind == ControlClass::comboBox; }
    bool isPushButton() const { return templateItem.kind == ControlClass::button; }

    CWideString text();
    void setText(const CWideString& text);

    // List operations; -1 where there is no such entry.
    int addString(const CWideString& text);
    int setSelection(int index);
    int selection() const;

    void markEdited() { edited = true; }

private:
    const DialogItem& templateItem;
    QWidget* qtWidget;
    CWideString store;
    bool edited = false;
};

class CDialogWindow final : public QWidget, public CNativeWindow {
    Q_OBJECT
public:
    // Builds the window and its controls; check isValid() afterwards.
    CDialogWindow(CDialog& dialog, const DialogTemplate& dialogTemplate);
    ~CDialogWindow() override;

    QWidget* widget() const override { return const_cast<CDialogWindow*>(this); }
    bool isValid() const { return valid; }

    // The control with this id, or null. Labels share one id and are never found.
    CControlWindow* control(std::uint16_t id) const;
    const std::vector<std::unique_ptr<CControlWindow>>& controls() const { return items; }

    // Fills lists from the template's initialisation record; false if it is malformed,
    // in which case no list was changed.
    bool applyInitRecord();

    // Remembers a control object tied to one of our controls, so it can be untied when
    // the window goes.
    void noteAttached(CWnd& object) { attached.push_back(&object); }

    // Dispatches a message to the dialog, then runs the default handling unless the
    // handler already did. A message that arrives while a handler runs (it can, while
    // a port call waits with the window live) is held, and held messages are delivered
    // one at a time, in the order they came, once it has returned: no handler ever
    // starts inside another. Timer messages for a timer that already has one held are
    // merged into it.
    void deliver(std::uint32_t message, std::uint32_t code, std::uint32_t id, std::uintptr_t param);
    void runDefaultHandling();

    // Dispatches WM_DESTROY at once, dropping whatever is held: the window is going.
    void deliverDestroy();

    bool startDialogTimer(std::uintptr_t id, std::uint32_t period);
    bool stopDialogTimer(std::uintptr_t id);
    void stopAllTimers();

    // Runs until the dialog ends; returns at once if it already has.
    void runLoop();
    void endLoop();

    int dialogUnitsToPixelsX(int units) const;
    int dialogUnitsToPixelsY(int units) const;
    // How much larger than the font's own dialog units the dialog was made so that
    // every text fits; 1 when they already did.
    double textFitScale() const { return fitScale; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    struct CHeldMessage {
        std::uint32_t message;
        std::uint32_t code;
        std::uint32_t id;
        std::uintptr_t param;
    };

    void dispatchNow(const CHeldMessage& held);
    void hold(const CHeldMessage& held);
    void deliverNextHeld();
    void postNextHeld();
    bool stillTakes(const CHeldMessage& held) const;

    void buildControls(const DialogTemplate& dialogTemplate);
    QWidget* makeWidget(const DialogItem& item);
    void placeControls();
    void growToFitTexts();
    void pressButtonBefore(const CControlWindow& edit);

    CDialog& owner;
    const DialogTemplate& source;
    std::vector<std::unique_ptr<CControlWindow>> items;
    std::vector<CWnd*> attached;
    struct CTimer {
        int qtId;
        std::chrono::milliseconds period;
    };
    std::map<std::uintptr_t, CTimer> timers; // by our id
    std::deque<CHeldMessage> heldMessages;
    bool handlerRunning = false;
    bool nextHeldPosted = false;
    QEventLoop* loop = nullptr;
    int baseUnitX = 8;
    int baseUnitY = 16;
    double fitScale = 1;
    bool valid = true;
    bool defaultDone = false;
};

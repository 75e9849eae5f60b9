// The platform's side of the programs' window objects, and the window of one control
// made from a template item: the store that keeps an edit field's text exactly as it
// was given, and the list operations.
#pragma once

#include "Resources.h"
#include "WideString.h"

class QWidget;

struct CNativeWindow {
    explicit CNativeWindow(QWidget& widget)
        : qtWidget(&widget)
    {
    }
    virtual ~CNativeWindow() = default;
    QWidget* widget() const { return qtWidget; }

private:
    QWidget* qtWidget;
};

// One control made from a template item. Edit fields keep the text they were last
// given (the store) and give it back unchanged unless the user has typed since.
class CControlWindow final : public CNativeWindow {
public:
    CControlWindow(const DialogItem& item, QWidget& widget);

    const DialogItem& item() const { return templateItem; }
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
    CWideString store;
    bool edited = false;
};

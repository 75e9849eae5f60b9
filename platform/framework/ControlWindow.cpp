#include "ControlWindow.h"

#include "LogView.h"
#include "QtText.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

CControlWindow::CControlWindow(const DialogItem& item, QWidget& widget)
    : CNativeWindow(widget)
    , templateItem(item)
{
}

CWideString CControlWindow::text()
{
    if (auto* view = qobject_cast<CLogView*>(widget()))
        return view->text();
    if (edited) {
        // The user changed the field since we last set it: what it shows now is the text.
        if (auto* line = qobject_cast<QLineEdit*>(widget()))
            store = fromQString(line->text());
        else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget()))
            store = fromQString(plain->toPlainText());
        edited = false;
    }
    return store;
}

void CControlWindow::setText(const CWideString& text)
{
    if (auto* view = qobject_cast<CLogView*>(widget())) {
        view->setText(text);
        return;
    }
    // Kept as given, so reading it back gives exactly this text even where the widget
    // shows some characters differently.
    store = text;
    edited = false;
    const QSignalBlocker quiet(widget());
    if (auto* line = qobject_cast<QLineEdit*>(widget()))
        line->setText(toQString(text));
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget()))
        plain->setPlainText(toQString(text));
    else if (auto* label = qobject_cast<QLabel*>(widget()))
        label->setText(toQString(text));
    else if (auto* button = qobject_cast<QAbstractButton*>(widget()))
        button->setText(toQString(text));
}

int CControlWindow::addString(const CWideString& text)
{
    auto* list = qobject_cast<QComboBox*>(widget());
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
    auto* list = qobject_cast<QComboBox*>(widget());
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
    auto* list = qobject_cast<QComboBox*>(widget());
    return list ? list->currentIndex() : -1;
}

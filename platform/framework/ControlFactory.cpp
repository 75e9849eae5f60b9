#include "ControlFactory.h"

#include "ComboBoxAccessible.h"
#include "LogView.h"
#include "QtText.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <limits>

namespace {
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

QWidget* makeWidget(const DialogItem& item, QWidget* parent)
{
    switch (item.kind) {
    case ControlClass::label: {
        auto* label = new QLabel(toQString(item.text), parent);
        // A label shows its text as it stands, never as markup.
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    }
    case ControlClass::button: {
        auto* button = new QPushButton(toQString(item.text), parent);
        button->setAutoDefault(false);
        button->setDefault((item.style & 0x0F) == BS_DEFPUSHBUTTON);
        return button;
    }
    case ControlClass::comboBox:
        CComboBoxAccessible::install();
        return new QComboBox(parent);
    case ControlClass::edit:
        if ((item.style & ES_MULTILINE) && (item.style & ES_READONLY))
            return new CLogView(parent);
        if (item.style & ES_MULTILINE) {
            auto* plain = new QPlainTextEdit(parent);
            plain->setVerticalScrollBarPolicy(
                item.style & WS_VSCROLL ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
            return plain;
        }
        auto* line = new QLineEdit(parent);
        // The field sets no limit on its text; the default would cut it at 32767 units.
        line->setMaxLength(std::numeric_limits<int>::max());
        line->setFrame(item.style & WS_BORDER);
        line->setReadOnly(item.style & ES_READONLY);
        return line;
    }
    return nullptr;
}
} // namespace

std::vector<std::unique_ptr<CControlWindow>> makeControls(
    const DialogTemplate& dialogTemplate, QWidget& parent, bool& complete)
{
    std::vector<std::unique_ptr<CControlWindow>> controls;
    QWidget* previousTabStop = nullptr;
    QLabel* previousLabel = nullptr;
    complete = true;
    for (const DialogItem& item : dialogTemplate.items) {
        QWidget* widget = makeWidget(item, &parent);
        if (!widget) {
            complete = false;
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

        controls.push_back(std::make_unique<CControlWindow>(item, *widget));
    }
    return controls;
}

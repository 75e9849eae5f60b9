#include "ComboBoxAccessible.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>

namespace {
QAccessibleInterface* namedComboBoxInterface(const QString& className, QObject* object)
{
    if (className != QLatin1String("QComboBox"))
        return nullptr;
    auto* list = qobject_cast<QComboBox*>(object);
    if (!list || list->accessibleName().isEmpty())
        return nullptr;
    return new CComboBoxAccessible(list);
}

bool isOpen(const QComboBox* list)
{
    return list->view() && list->view()->isVisible();
}
} // namespace

CComboBoxAccessible::CComboBoxAccessible(QComboBox* comboBox)
    : QAccessibleWidget(comboBox, QAccessible::ComboBox)
{
}

void CComboBoxAccessible::install()
{
    static const bool installed = (QAccessible::installFactory(namedComboBoxInterface), true);
    (void)installed;
}

QComboBox* CComboBoxAccessible::list() const
{
    return static_cast<QComboBox*>(widget());
}

QString CComboBoxAccessible::text(QAccessible::Text kind) const
{
    if (kind == QAccessible::Value)
        return list()->currentText();
    return QAccessibleWidget::text(kind);
}

QAccessible::State CComboBoxAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.expandable = true;
    state.expanded = isOpen(list());
    state.collapsed = !state.expanded;
    return state;
}

QStringList CComboBoxAccessible::actionNames() const
{
    return QStringList { showMenuAction(), pressAction() } + QAccessibleWidget::actionNames();
}

void CComboBoxAccessible::doAction(const QString& actionName)
{
    if (actionName == showMenuAction() || actionName == pressAction()) {
        if (isOpen(list()))
            list()->hidePopup();
        else
            list()->showPopup();
        return;
    }
    QAccessibleWidget::doAction(actionName);
}

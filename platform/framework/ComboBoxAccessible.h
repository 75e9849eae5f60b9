// What a screen reader sees of a drop-down list that the dialog has named: the name
// (the label before it in the template), its chosen entry as the value, and the actions
// that open and close its list. Qt's own interface for a drop-down list on Linux gives
// the chosen entry as the name, so "1" would be spoken where "Bluetooth Outbound COM
// Port:" is meant; lists without a name keep Qt's interface.
#pragma once

#include <QAccessibleWidget>

class QComboBox;

class CComboBoxAccessible final : public QAccessibleWidget {
public:
    explicit CComboBoxAccessible(QComboBox* list);

    // Makes Qt ask for this interface for every named QComboBox; safe to call again.
    static void install();

    QString text(QAccessible::Text kind) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;

private:
    QComboBox* list() const;
};

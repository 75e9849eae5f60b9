#include "Dialog.h"

#include "DialogWindow.h"

namespace {
CControlWindow* find(CDialog& dialog, std::uint16_t id, ControlClass kind)
{
    CDialogWindow* window = dialogWindowOf(dialog);
    if (!window)
        return nullptr;
    CControlWindow* control = window->control(id);
    if (!control || control->item().kind != kind)
        return nullptr;
    return control;
}

bool tie(CDialog& dialog, std::uint16_t id, ControlClass kind, CWnd& object)
{
    CControlWindow* control = find(dialog, id, kind);
    if (!control)
        return false;
    if (!object.native()) {
        object.attach(control);
        dialogWindowOf(dialog)->noteAttached(object);
    }
    return object.native() == control;
}
} // namespace

void CDataExchange::control(std::uint16_t id, CButton& button)
{
    failure |= !tie(dialogRef, id, ControlClass::button, button);
}

void CDataExchange::control(std::uint16_t id, CEdit& edit)
{
    failure |= !tie(dialogRef, id, ControlClass::edit, edit);
}

void CDataExchange::control(std::uint16_t id, CComboBox& list)
{
    failure |= !tie(dialogRef, id, ControlClass::comboBox, list);
}

void CDataExchange::selectedIndex(std::uint16_t id, std::int32_t& index)
{
    CControlWindow* control = find(dialogRef, id, ControlClass::comboBox);
    if (!control)
        failure = true;
    else if (way == Exchange::toFields)
        index = control->selection();
    else
        control->setSelection(index);
}

void CDataExchange::text(std::uint16_t id, CWideString& value)
{
    CControlWindow* control = find(dialogRef, id, ControlClass::edit);
    if (!control)
        failure = true;
    else if (way == Exchange::toFields)
        value = control->text();
    else
        control->setText(value);
}

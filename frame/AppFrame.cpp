#include "AppFrame.h"

std::span<const IconGroup> padIconGroups()
{
    static const IconGroup groups[] = { { IDI_PAD_ICON, padIconFile() } };
    return groups;
}

void initCommon(CDialog& dialog, CComboBox& portList, IconHandle icon)
{
    dialog.CDialog::initDialog();
    sendMessage(dialog, WM_SETICON, ICON_BIG, icon);
    sendMessage(dialog, WM_SETICON, ICON_SMALL, icon);
    centreDialog(dialog);
    sendMessage(portList, CB_SETCURSEL, 0, 0);
}

bool openSelectedPort(
    CDialog& dialog, const std::int32_t& portIndex, Handle& portHandle, std::uint32_t access)
{
    dialog.exchangeData(Exchange::toFields);

    // "COM9:" and its terminator; 16 leaves room for any index a caller could pass.
    char16_t name[16];
    formatText(name, std::size(name), u"COM%d:", portIndex + 1);

    portHandle = openDevice(name, access, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    if (portHandle == invalidHandle) {
        showMessage(openErrorMessage, MB_OK);
        return false;
    }
    return true;
}

// What both programs build the same way: the dialog template's frame, the port list,
// the icon, and opening the port the user picked.
#pragma once

#include "Dialog.h"
#include "Framework.h"
#include "Platform.h"
#include "Resources.h"
#include "Wnd.h"

#include <cstdint>
#include <span>

inline constexpr std::uint16_t IDD_PAD_DIALOG = 102;
inline constexpr std::uint16_t IDI_PAD_ICON = 128;

// Pop-up, visible, caption, own font; an OK button in the caption bar and a task-bar
// entry. Both dialogs are placed at (0, 0) and centred once shown.
inline constexpr std::uint32_t padDialogStyle = WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT;
inline constexpr std::uint32_t padDialogExStyle = WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW;
inline constexpr std::u16string_view padDialogFont = u"System";
inline constexpr std::uint16_t padDialogPointSize = 8;

inline constexpr std::u16string_view openErrorMessage = u"Error openning COM port.";

// The icon both programs carry, a .ico file with 32x32 and 16x16 16-colour images.
std::span<const std::uint8_t> padIconFile();

// The first half of each dialog's initDialog(): the framework's initialisation, the
// icon as large and small window icon, the window centred, and "1" selected.
void initCommon(CDialog& dialog, CComboBox& portList, IconHandle icon);

// Reads the dialog's fields from its controls (so `portIndex` is current), opens
// "COM<portIndex + 1>:" with `access` and no sharing, and stores the result in
// `portHandle`, the invalid handle included. On failure shows the open error and
// returns false; nothing else changes.
bool openSelectedPort(CDialog& dialog, const std::int32_t& portIndex, Handle& portHandle,
    std::uint32_t access);

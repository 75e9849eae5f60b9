// What both programs build the same way: the dialog template's frame, the port list,
// the icon, and opening the port the user picked.
#pragma once

#include "Dialog.h"
#include "Framework.h"
#include "Platform.h"
#include "Resources.h"
#include "Version.h"
#include "Wnd.h"

#include <array>

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

// Styles of the controls both dialogs have: the port label, the port list, buttons.
inline constexpr std::uint32_t padLabelStyle = WS_CHILD | WS_VISIBLE | WS_GROUP;
inline constexpr std::uint32_t padListStyle
    = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_SORT | CBS_DROPDOWNLIST;
inline constexpr std::uint32_t padButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
static_assert(padDialogStyle == 0x90C00040 && padDialogExStyle == 0x80040000);
static_assert(
    padLabelStyle == 0x50020000 && padListStyle == 0x50210103 && padButtonStyle == 0x50010000);

// The template of either program's dialog: that frame, 139 units wide, with the
// program's caption, height, controls and initialisation record.
inline constexpr DialogTemplate padDialog(std::u16string_view caption, std::int16_t height,
    std::span<const DialogItem> items, std::span<const std::uint8_t> initRecord)
{
    return DialogTemplate {
        .id = IDD_PAD_DIALOG,
        .style = padDialogStyle,
        .exStyle = padDialogExStyle,
        .caption = caption,
        .x = 0,
        .y = 0,
        .cx = 139,
        .cy = height,
        .font = padDialogFont,
        .pointSize = padDialogPointSize,
        .items = items,
        .initRecord = initRecord,
    };
}

inline constexpr std::u16string_view openErrorMessage = u"Error openning COM port.";

// The icon both programs carry, a .ico file with 32x32 and 16x16 16-colour images.
std::span<const std::uint8_t> padIconFile();

// Icon group 128 of both programs: that icon.
std::span<const IconGroup> padIconGroups();

// The first half of each dialog's initDialog(): the framework's initialisation, the
// icon as large and small window icon, the window centred, and "1" selected.
void initCommon(CDialog& dialog, CComboBox& portList, IconHandle icon);

// Reads the dialog's fields from its controls (so `portIndex` is current), opens
// "COM<portIndex + 1>:" with `access` and no sharing, and stores the result in
// `portHandle`, the invalid handle included. On failure shows the open error and
// returns false; nothing else changes.
bool openSelectedPort(
    CDialog& dialog, const std::int32_t& portIndex, Handle& portHandle, std::uint32_t access);

// The texts of a program's version record; the numbers come from the project version.
struct PadVersionTexts {
    std::u16string_view description;
    std::u16string_view internalName; // the executable's name
    std::u16string_view productName;
};

inline constexpr std::array<VersionString, 9> padVersionStrings(const PadVersionTexts& texts)
{
    return { {
        { u"CompanyName", u"The serialpads developers" },
        { u"FileDescription", texts.description },
        { u"FileVersion", serialpadsVersionCommas },
        { u"InternalName", texts.internalName },
        { u"LegalCopyright", u"Copyright (C) 2026 The serialpads developers" },
        { u"LegalTrademarks", u"" },
        { u"OriginalFilename", texts.internalName },
        { u"ProductName", texts.productName },
        { u"ProductVersion", serialpadsVersionCommas },
    } };
}

inline constexpr VersionRecord padVersionRecord(std::span<const VersionString> strings)
{
    constexpr std::array<std::uint16_t, 4> version { serialpadsVersionMajor, serialpadsVersionMinor,
        serialpadsVersionPatch, serialpadsVersionTweak };
    return VersionRecord {
        .fileVersion = version,
        .productVersion = version,
        .flagsMask = 0x3F,
        .flags = 0,
        .os = 0x4,
        .fileType = 1, // an application
        .stringTableName = u"040904B0",
        .strings = strings,
        .translationLanguage = 0x0409,
        .translationCodePage = 0x04B0,
    };
}

// The resources a program carries, as plain data: dialog templates with their
// initialisation records, icon groups and the version record. The framework builds
// windows from these; each program defines programResources() next to its own data.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// Window and control style bits, with their usual values.
inline constexpr std::uint32_t WS_POPUP = 0x80000000u;
inline constexpr std::uint32_t WS_CHILD = 0x40000000u;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000u;
inline constexpr std::uint32_t WS_DISABLED = 0x08000000u;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000u;
inline constexpr std::uint32_t WS_BORDER = 0x00800000u;
inline constexpr std::uint32_t WS_VSCROLL = 0x00200000u;
inline constexpr std::uint32_t WS_GROUP = 0x00020000u;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000u;
inline constexpr std::uint32_t DS_SETFONT = 0x00000040u;
inline constexpr std::uint32_t WS_EX_CAPTIONOKBTN = 0x80000000u;
inline constexpr std::uint32_t WS_EX_APPWINDOW = 0x00040000u;

inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x0001;
inline constexpr std::uint32_t ES_MULTILINE = 0x0004;
inline constexpr std::uint32_t ES_AUTOVSCROLL = 0x0040;
inline constexpr std::uint32_t ES_AUTOHSCROLL = 0x0080;
inline constexpr std::uint32_t ES_READONLY = 0x0800;
inline constexpr std::uint32_t ES_WANTRETURN = 0x1000;
inline constexpr std::uint32_t CBS_DROPDOWNLIST = 0x0003;
inline constexpr std::uint32_t CBS_SORT = 0x0100;

// The message code an initialisation record uses to add a string to a list.
inline constexpr std::uint16_t initAddString = 0x0403;

// The id the labels share.
inline constexpr std::uint16_t IDC_STATIC = 0xFFFF;

enum class ControlClass : std::uint16_t {
    button = 0x0080,
    edit = 0x0081,
    label = 0x0082,
    comboBox = 0x0085,
};

// One control of a dialog template. Rectangles are in dialog units.
struct DialogItem {
    std::uint16_t id;
    ControlClass kind;
    std::u16string_view text;
    std::int16_t x, y, cx, cy;
    std::uint32_t style;
    // What a screen reader calls a control that shows no text of its own to name it.
    // Without one, such a control takes the text of the label just before it.
    std::u16string_view accessibleName {};
};

struct DialogTemplate {
    std::uint16_t id;
    std::uint32_t style;
    std::uint32_t exStyle;
    std::u16string_view caption;
    std::int16_t x, y, cx, cy;
    std::u16string_view font;
    std::uint16_t pointSize;
    std::span<const DialogItem> items;
    // Entries of a 16-bit control id, a 16-bit message, a 32-bit length and that many
    // bytes, little-endian, ended by a 16-bit zero. Parsed with every length checked.
    std::span<const std::uint8_t> initRecord;
};

struct IconGroup {
    std::uint16_t id;
    std::span<const std::uint8_t> iconFile; // the bytes of a .ico file
};

struct VersionString {
    std::u16string_view key;
    std::u16string_view value;
};

struct VersionRecord {
    std::array<std::uint16_t, 4> fileVersion;
    std::array<std::uint16_t, 4> productVersion;
    std::uint32_t flagsMask;
    std::uint32_t flags;
    std::uint32_t os;
    std::uint32_t fileType;
    std::u16string_view stringTableName; // language and code page, as hex digits
    std::span<const VersionString> strings;
    std::uint16_t translationLanguage;
    std::uint16_t translationCodePage;

    std::u16string_view string(std::u16string_view key) const
    {
        for (const VersionString& entry : strings)
            if (entry.key == key)
                return entry.value;
        return {};
    }
};

struct ProgramResources {
    std::span<const DialogTemplate> dialogs;
    std::span<const IconGroup> icons;
    const VersionRecord& version;
};

// Defined by each program beside its resources.
const ProgramResources& programResources();

// The initialisation record that fills a port list with "1" to "9", in that order.
inline consteval std::array<std::uint8_t, 110> makePortListInitRecord(std::uint16_t listId)
{
    std::array<std::uint8_t, 110> record {};
    std::size_t at = 0;
    for (std::uint8_t digit = '1'; digit <= '9'; ++digit) {
        // The control id and the message; the data's length, 32-bit; the string, NUL-ended
        // and padded to four bytes. All little-endian.
        const std::uint8_t entry[] = { std::uint8_t(listId & 0xFF), std::uint8_t(listId >> 8),
            std::uint8_t(initAddString & 0xFF), std::uint8_t(initAddString >> 8), 4, 0, 0, 0, digit,
            0, 0, 0 };
        for (std::uint8_t byte : entry)
            record[at++] = byte;
    }
    record[at++] = 0; // end of the list
    record[at++] = 0;
    return record;
}

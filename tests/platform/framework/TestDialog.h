// The dialog the framework's tests run: a template with a control of each kind, and a
// dialog that records what reaches it.
#pragma once

#include "AppFrame.h"
#include "Dialog.h"
#include "Resources.h"

#include <cstdint>
#include <vector>

inline constexpr std::uint16_t listId = 500, pressId = 501, lineId = 502, logId = 503, offId = 504,
                               hiddenId = 505;
inline constexpr std::uint16_t goodTemplate = 102, brokenTemplate = 103, missingTemplate = 104,
                               crampedTemplate = 105;

inline constexpr std::uint32_t childStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

inline constexpr DialogItem items[] = {
    { IDC_STATIC, ControlClass::label, u"Label:", 4, 4, 40, 10, WS_CHILD | WS_VISIBLE },
    { listId, ControlClass::comboBox, u"", 50, 4, 40, 80,
        childStyle | CBS_DROPDOWNLIST | CBS_SORT },
    { pressId, ControlClass::button, u"Press", 4, 20, 50, 14, childStyle },
    { lineId, ControlClass::edit, u"", 4, 40, 100, 14, childStyle | WS_BORDER | ES_AUTOHSCROLL },
    { logId, ControlClass::edit, u"", 4, 60, 100, 40,
        childStyle | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY },
    { offId, ControlClass::button, u"Off", 60, 20, 40, 14, childStyle | WS_DISABLED },
    { hiddenId, ControlClass::button, u"Hidden", 110, 20, 30, 14, WS_CHILD | WS_TABSTOP },
};

// Texts far wider than their rectangles in any font.
inline constexpr DialogItem crampedItems[] = {
    { IDC_STATIC, ControlClass::label, u"A label with a long text:", 4, 4, 30, 10,
        WS_CHILD | WS_VISIBLE },
    { pressId, ControlClass::button, u"A button with a long text", 40, 4, 30, 14, childStyle },
};

// clang-format off
// Adds "b", "a" and "c", in that order, to the sorted list: control 500, message 0x0403,
// data length, then the NUL-ended string.
inline constexpr std::uint8_t initRecord[] = {
    0xF4, 0x01, 0x03, 0x04, 2, 0, 0, 0, 'b', 0,
    0xF4, 0x01, 0x03, 0x04, 2, 0, 0, 0, 'a', 0,
    0xF4, 0x01, 0x03, 0x04, 4, 0, 0, 0, 'c', 0, 0, 0,
    0, 0,
};
// The same with its second entry's length running past the end.
inline constexpr std::uint8_t brokenRecord[] = {
    0xF4, 0x01, 0x03, 0x04, 2, 0, 0, 0, 'b', 0,
    0xF4, 0x01, 0x03, 0x04, 200, 0, 0, 0, 'a', 0, 0, 0,
};
// clang-format on

inline constexpr DialogTemplate dialogs[] = {
    { goodTemplate, padDialogStyle, padDialogExStyle, u"Framework", 0, 0, 150, 120, u"System", 8,
        items, initRecord },
    { brokenTemplate, padDialogStyle, padDialogExStyle, u"Broken", 0, 0, 150, 120, u"System", 8,
        items, brokenRecord },
    { crampedTemplate, padDialogStyle, padDialogExStyle, u"Cramped", 0, 0, 80, 30, u"System", 8,
        crampedItems, {} },
};

class CTestDialog : public CDialog {
public:
    explicit CTestDialog(std::uint16_t id = goodTemplate)
        : CDialog(id)
    {
    }
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

    std::int32_t index = -1;
    CWideString line;
    CWideString log;
    CButton press;
    CEdit lineField;
    int presses = 0;
    std::vector<std::uintptr_t> ticks;
    bool controlsAtDestroy = false;
    CWideString lineAtDestroy;
    bool bindWrongKind = false;

protected:
    void bindControls(CDataExchange& exchange) override
    {
        exchange.control(pressId, press);
        exchange.control(lineId, lineField);
        if (bindWrongKind)
            exchange.control(lineId, wrongKind);
        exchange.selectedIndex(listId, index);
        exchange.text(lineId, line);
        exchange.text(logId, log);
    }

private:
    void onPress() { ++presses; }
    void onTick(std::uintptr_t id)
    {
        ticks.push_back(id);
        defaultHandling();
    }
    void onDestroyed()
    {
        controlsAtDestroy = exchangeData(Exchange::toFields);
        lineAtDestroy = line;
    }

    CButton wrongKind;
    static const AFX_MSGMAP_ENTRY entries[];
};

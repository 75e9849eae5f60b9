// The receiver's dialog: pick a port, connect for reading, and every 25 ms add what has
// arrived to a read-only field, each carriage return becoming a line break.
//
// The field is the store of what has arrived: each tick that brings bytes reloads the
// text from the field, appends to it and puts it back. Nothing is trimmed. The port is
// closed by Disconnect and when the window is destroyed.
#pragma once

#include "Dialog.h"
#include "Framework.h"
#include "Platform.h"
#include "WideString.h"
#include "Wnd.h"

#include <cstdint>

class CReceiveDialog : public CDialog {
public:
    CReceiveDialog();
    ~CReceiveDialog() override;

    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    bool initDialog() override;

    static const AFX_MSGMAP messageMap;

    static constexpr std::uintptr_t pollTimerId = 1;
    static constexpr std::uint32_t pollPeriodMs = 25;
    static constexpr std::uint32_t readTimeoutMs = 50;
    static constexpr std::uint32_t readBufferSize = 128;

protected:
    void bindControls(CDataExchange& exchange) override;

private:
    void onConnect();
    void onDisconnect();
    void onTick(std::uintptr_t timer);
    void onDestroyed();
    void appendByte(std::uint8_t byte);

    static const AFX_MSGMAP_ENTRY messageEntries[];

    CEdit receivedField;
    CComboBox portList;
    CButton disconnectButton;
    CButton connectButton;
    std::int32_t portIndex = -1;
    CWideString text;
    IconHandle icon;
    Handle portHandle = invalidHandle;
    std::uintptr_t timerId = 0;
};

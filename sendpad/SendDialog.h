// The sender's dialog: pick a port, connect for writing, send the field's text followed
// by a carriage return, clear the field or fill in "Hello World", disconnect.
//
// Each send writes the text in the locale's encoding and a single 0x0D, in one write;
// no line feed, length or other framing is added.
#pragma once

#include "Dialog.h"
#include "Framework.h"
#include "Platform.h"
#include "WideString.h"
#include "Wnd.h"

#include <cstdint>

class CSendDialog : public CDialog {
public:
    CSendDialog();
    ~CSendDialog() override;

    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    bool initDialog() override;

    static const AFX_MSGMAP messageMap;

    // The bytes every send can hold without a buffer of its own: text, carriage return
    // and the terminating NUL.
    static constexpr std::size_t sendBufferSize = 256;

protected:
    void bindControls(CDataExchange& exchange) override;

private:
    void onConnect();
    void onDisconnect();
    void onSend();
    void onClear();
    void onHello();

    static const AFX_MSGMAP_ENTRY messageEntries[];

    CEdit textField;
    CButton clearButton;
    CButton helloButton;
    CComboBox portList;
    CButton sendButton;
    CButton disconnectButton;
    CButton connectButton;
    std::int32_t portIndex = -1;
    CWideString text;
    IconHandle icon;
    Handle portHandle = invalidHandle;
};

// What sendpad's Bluetooth cases share: the pads' own case with sendpad's dialog, and
// the clicks that send.
#pragma once

#include "SendApp.h"
#include "SendDialog.h"
#include "SendResources.h"

#include "BluetoothCase.h"

class CSendpadCase : public CPadCase<CSendApp, CSendDialog,
                         PadControls { IDC_SEND_PORT_LIST, IDC_SEND_CONNECT, IDC_SEND_DISCONNECT,
                             IDC_SEND_SEND }> {
protected:
    void sendHello()
    {
        driver.click(IDC_SEND_HELLO);
        driver.click(IDC_SEND_SEND);
    }
};

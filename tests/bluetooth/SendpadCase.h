// What sendpad's Bluetooth cases share: the program's application object, the remote
// device, the real dialog and its driver, and the clicks that connect and send.
#pragma once

#include "SendApp.h"
#include "SendDialog.h"
#include "SendResources.h"

#include "BluetoothCase.h"
#include "DialogDriver.h"
#include "RemoteDevice.h"

#include <gtest/gtest.h>

class CSendpadCase : public ::testing::Test {
protected:
    ~CSendpadCase() override
    {
        // The sender leaves its port open when its window ends; the next case needs it.
        driver.destroy();
        closeAllPorts();
    }

    std::vector<QString> clickConnect()
    {
        return driver.answeringMessages([&] { driver.click(IDC_SEND_CONNECT); });
    }

    void connect(const char* measuredAs = nullptr)
    {
        auto started = std::chrono::steady_clock::now();
        std::vector<QString> messages = clickConnect();
        if (measuredAs)
            reportMeasured(measuredAs, std::chrono::steady_clock::now() - started);
        ASSERT_TRUE(messages.empty()) << driver.lastMessageDetail().toStdString();
        ASSERT_TRUE(driver.isEnabled(IDC_SEND_SEND));
        ASSERT_TRUE(remote.waitFor("connected"));
    }

    void sendHello()
    {
        driver.click(IDC_SEND_HELLO);
        driver.click(IDC_SEND_SEND);
    }

    void disconnect()
    {
        driver.click(IDC_SEND_DISCONNECT);
        EXPECT_TRUE(remote.waitFor("closed"));
    }

    CSendApp app;
    CRemoteDevice remote;
    CSendDialog dialog;
    CDialogDriver driver { dialog };
};

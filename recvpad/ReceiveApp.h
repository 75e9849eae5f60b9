// The receiver's application object: shows the receiver's dialog once and ends.
#pragma once

#include "WinApp.h"

class CReceiveApp : public CWinApp {
public:
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    bool startUp() override;

    static const AFX_MSGMAP messageMap;
};

// The sender's application object: shows the sender's dialog once and ends.
#pragma once

#include "WinApp.h"

class CSendApp : public CWinApp {
public:
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    bool startUp() override;

    static const AFX_MSGMAP messageMap;
};

#include "SendApp.h"

#include "SendDialog.h"

const AFX_MSGMAP CSendApp::messageMap { &CWinApp::messageMap, {} };

bool CSendApp::startUp()
{
    CSendDialog dialog;
    setMainWindow(&dialog);
    dialog.runModal();
    setMainWindow(nullptr);
    // The dialog was the whole program: no message loop afterwards.
    return false;
}

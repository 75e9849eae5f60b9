#include "ReceiveApp.h"

#include "ReceiveDialog.h"

const AFX_MSGMAP CReceiveApp::messageMap { &CWinApp::messageMap, {} };

bool CReceiveApp::startUp()
{
    CReceiveDialog dialog;
    setMainWindow(&dialog);
    dialog.runModal();
    setMainWindow(nullptr);
    // The dialog was the whole program: no message loop afterwards.
    return false;
}

#include "WinApp.h"

#include "Resources.h"

namespace {
CWinApp* theApp = nullptr;
}

const AFX_MSGMAP CWinApp::messageMap { &CCmdTarget::messageMap, {} };

CWinApp::CWinApp(const char16_t* appName)
    : name(appName ? appName : u"")
{
    theApp = this;
}

CWinApp::~CWinApp()
{
    if (theApp == this)
        theApp = nullptr;
}

CWinApp* CWinApp::instance()
{
    return theApp;
}

std::u16string_view CWinApp::title() const
{
    if (!name.empty())
        return name;
    return programResources().version.string(u"ProductName");
}

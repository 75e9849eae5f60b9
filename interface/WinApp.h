// The application object. Each program has exactly one, a static object; the
// framework's entry code calls its startUp() once and ends the program when it
// returns false.
#pragma once

#include "Wnd.h"

#include <string_view>

class CWinApp : public CCmdTarget {
public:
    // Without a name the application's title is the ProductName of its version record.
    explicit CWinApp(const char16_t* appName = nullptr);
    ~CWinApp() override;

    // Returns true to have the framework run a message loop afterwards, false to end.
    virtual bool startUp() { return true; }

    std::u16string_view title() const;

    void setMainWindow(CWnd* window) { mainWindow = window; }
    CWnd* getMainWindow() const { return mainWindow; }

    // The program's application object, or null outside a program.
    static CWinApp* instance();

    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

private:
    std::u16string_view name;
    CWnd* mainWindow = nullptr;
};

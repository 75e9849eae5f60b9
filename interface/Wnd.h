// Window objects: the dialog and its controls as the programs hold them. A control
// object is tied to the control with its id the first time the dialog's data exchange
// runs, and is used only through the operations in Framework.h.
#pragma once

#include "MessageMap.h"

// The platform's side of a window; opaque to the programs.
struct CNativeWindow;

class CWnd : public CCmdTarget {
public:
    // The platform's window, or null before the window exists or after it is gone.
    CNativeWindow* native() const { return nativeWindow; }
    void attach(CNativeWindow* window) { nativeWindow = window; }

private:
    CNativeWindow* nativeWindow = nullptr;
};

class CButton : public CWnd { };
class CEdit : public CWnd { };
class CComboBox : public CWnd { };

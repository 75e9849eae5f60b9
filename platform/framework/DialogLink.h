// What a dialog window needs of the dialog it shows, and nothing more: where its
// messages go and whether the dialog has ended. The window knows no dialog class; the
// dialog makes the link when it makes its window.
#pragma once

#include "DialogQueue.h"

class CDialogLink {
public:
    virtual ~CDialogLink() = default;
    // Runs the dialog's handler of the message, if it has one.
    virtual void dispatch(const CDialogMessage& message) = 0;
    virtual bool isEnded() const = 0;
};

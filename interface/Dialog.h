// Dialogs built from a dialog template, with data exchange between controls and the
// dialog's fields.
//
// Life of a dialog window: runModal() creates the controls from the template, calls
// initDialog(), shows the window and runs until endDialog(); then WM_DESTROY is
// dispatched while the controls still exist, the dialog's timers stop, and the window
// and its controls go. The dialog object itself outlives its window.
#pragma once

#include "Wnd.h"

#include "WideString.h"

#include <cstdint>
#include <memory>

enum class Exchange {
    toFields, // controls to fields: read what the user chose and typed
    toControls, // fields to controls: show the fields' values
};

class CDialog;

// Handed to a dialog's bindControls(); each call is one entry of the exchange list.
class CDataExchange {
public:
    CDataExchange(CDialog& dialog, Exchange direction)
        : dialogRef(dialog)
        , way(direction)
    {
    }

    bool failed() const { return failure; }

    // Ties a control object to the template's control with this id, the first time;
    // fails if the id names a control of another kind.
    void control(std::uint16_t id, CButton& button);
    void control(std::uint16_t id, CEdit& edit);
    void control(std::uint16_t id, CComboBox& list);

    // A list's selected index, -1 for none.
    void selectedIndex(std::uint16_t id, std::int32_t& index);

    // An edit field's whole text. The field gives back exactly the text it was last
    // given, plus what the user typed since.
    void text(std::uint16_t id, CWideString& text);

private:
    CDialog& dialogRef;
    Exchange way;
    bool failure = false;
};

class CDialog : public CWnd {
public:
    explicit CDialog(std::uint16_t templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // Creates the window, runs it until endDialog(), then destroys the window. Returns
    // the value passed to endDialog(), or -1 if the window could not be made.
    std::intptr_t runModal();

    // The two halves of runModal() for code that drives a dialog without a loop of its
    // own: create() builds and shows the window and calls initDialog(); destroyWindow()
    // dispatches WM_DESTROY and removes the window. create() returns false, making
    // nothing, when the template is missing or malformed.
    bool create();
    void destroyWindow();
    bool isEnded() const { return ended; }
    std::intptr_t result() const { return endResult; }

    // Runs bindControls() in order in the given direction. Returns false when an entry
    // named a control that does not exist or is of the wrong kind.
    bool exchangeData(Exchange direction);

    void endDialog(std::intptr_t result);

    // The framework's initialisation: fills lists from the template's initialisation
    // record, then moves the fields to the controls. Dialogs call it first in their own
    // initDialog().
    virtual bool initDialog();

    // Runs the framework's default handling of the message being dispatched; a handler
    // that calls it keeps the framework from running it again afterwards.
    void defaultHandling();

    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

protected:
    virtual void bindControls(CDataExchange& exchange) { (void)exchange; }

    // The default OK and cancel handling: both end the dialog.
    void onOK() { endDialog(IDOK); }
    void onCancel() { endDialog(IDCANCEL); }

private:
    static const AFX_MSGMAP_ENTRY messageEntries[];
    friend class CDataExchange;

    std::uint16_t idd;
    // The window native() shows while it exists.
    std::unique_ptr<CNativeWindow> ownedWindow;
    bool ended = false;
    std::intptr_t endResult = 0;
};

#include "Dialog.h"

#include "DialogWindow.h"

#include <memory>

const AFX_MSGMAP_ENTRY CDialog::messageEntries[] = {
    MessageMapEntries<CDialog>::onClicked<&CDialog::onOK>(IDOK),
    MessageMapEntries<CDialog>::onClicked<&CDialog::onCancel>(IDCANCEL),
};

const AFX_MSGMAP CDialog::messageMap { &CCmdTarget::messageMap, messageEntries };

namespace {
CDialogWindow* windowOf(const CDialog& dialog)
{
    return static_cast<CDialogWindow*>(dialog.native());
}

const DialogTemplate* findTemplate(std::uint16_t id)
{
    for (const DialogTemplate& candidate : programResources().dialogs)
        if (candidate.id == id)
            return &candidate;
    return nullptr;
}
} // namespace

CDialog::CDialog(std::uint16_t templateId, CWnd* parent)
    : idd(templateId)
{
    (void)parent; // every dialog here is a top-level window
}

CDialog::~CDialog()
{
    destroyWindow();
}

bool CDialog::create()
{
    if (native())
        return false;
    const DialogTemplate* source = findTemplate(idd);
    if (!source)
        return false;
    auto window = std::make_unique<CDialogWindow>(*this, *source);
    if (!window->isValid())
        return false;
    ended = false;
    endResult = 0;
    attach(window.release());
    initDialog();
    if (native() && !ended)
        windowOf(*this)->show();
    return native() != nullptr;
}

std::intptr_t CDialog::runModal()
{
    if (!create())
        return -1;
    windowOf(*this)->runLoop();
    destroyWindow();
    return endResult;
}

void CDialog::destroyWindow()
{
    CDialogWindow* window = windowOf(*this);
    if (!window)
        return;
    // Handlers of WM_DESTROY still find every control; timers stop after it.
    window->deliverDestroy();
    window->stopAllTimers();
    window->hide();
    attach(nullptr);
    delete window; // unties every control object bound to it
}

void CDialog::endDialog(std::intptr_t resultValue)
{
    ended = true;
    endResult = resultValue;
    if (CDialogWindow* window = windowOf(*this))
        window->endLoop();
}

bool CDialog::initDialog()
{
    CDialogWindow* window = windowOf(*this);
    if (!window)
        return false;
    bool filled = window->applyInitRecord();
    bool exchanged = exchangeData(Exchange::toControls);
    return filled && exchanged;
}

bool CDialog::exchangeData(Exchange direction)
{
    if (!native())
        return false;
    CDataExchange exchange(*this, direction);
    bindControls(exchange);
    return !exchange.failed();
}

void CDialog::defaultHandling()
{
    if (CDialogWindow* window = windowOf(*this))
        window->runDefaultHandling();
}

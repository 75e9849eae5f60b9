#include "Dialog.h"

#include "DialogWindow.h"

#include <memory>

const AFX_MSGMAP_ENTRY CDialog::messageEntries[] = {
    MessageMapEntries<CDialog>::onClicked<&CDialog::onOK>(IDOK),
    MessageMapEntries<CDialog>::onClicked<&CDialog::onCancel>(IDCANCEL),
};

const AFX_MSGMAP CDialog::messageMap { &CCmdTarget::messageMap, messageEntries };

namespace {
// The window's way back to this dialog.
class CLinkToDialog final : public CDialogLink {
public:
    explicit CLinkToDialog(CDialog& target)
        : dialog(target)
    {
    }
    void dispatch(const CDialogMessage& message) override
    {
        dialog.dispatch(message.message, message.code, message.id, message.param);
    }
    bool isEnded() const override { return dialog.isEnded(); }

private:
    CDialog& dialog;
};

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
    auto made = std::make_unique<CDialogWindow>(std::make_unique<CLinkToDialog>(*this), *source);
    if (!made->isValid())
        return false;
    ended = false;
    endResult = 0;
    attach(made.get());
    ownedWindow = std::move(made);
    initDialog();
    if (native() && !ended)
        dialogWindowOf(*this)->show();
    return native() != nullptr;
}

std::intptr_t CDialog::runModal()
{
    if (!create())
        return -1;
    dialogWindowOf(*this)->runLoop();
    destroyWindow();
    return endResult;
}

void CDialog::destroyWindow()
{
    CDialogWindow* window = dialogWindowOf(*this);
    if (!window)
        return;
    // Handlers of WM_DESTROY still find every control; timers stop after it.
    window->deliverDestroy();
    window->stopAllTimers();
    window->hide();
    attach(nullptr);
    ownedWindow.reset(); // unties every control object bound to it
}

void CDialog::endDialog(std::intptr_t resultValue)
{
    ended = true;
    endResult = resultValue;
    if (CDialogWindow* window = dialogWindowOf(*this))
        window->endLoop();
}

bool CDialog::initDialog()
{
    CDialogWindow* window = dialogWindowOf(*this);
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
    if (CDialogWindow* window = dialogWindowOf(*this))
        window->runDefaultHandling();
}

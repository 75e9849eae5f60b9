#include "ReceiverRig.h"

#include "DialogWindow.h"
#include "DialogWindowProbe.h"
#include "Framework.h"
#include "LogView.h"
#include "ReceiveResources.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <string>

CReceiverRig::CReceiverRig()
{
    if (!device.isValid() || !dialog.create())
        return;
    device.publish();
    connect();
}

CReceiverRig::~CReceiverRig()
{
    if (dialog.native())
        dialog.destroyWindow();
}

void CReceiverRig::click(std::uint16_t id)
{
    auto* window = dialogWindowOf(dialog);
    CControlWindow* control = window ? window->control(id) : nullptr;
    if (auto* button = control ? qobject_cast<QPushButton*>(control->widget()) : nullptr)
        button->click();
    runQueued();
}

// Messages reach the dialog from the event loop; the rig runs them before it returns.
void CReceiverRig::runQueued()
{
    CDialogWindowProbe::runQueued(dialog);
}

void CReceiverRig::connect()
{
    // A failed open shows a modal message box; closing it keeps a broken setup from
    // hanging the run, and isConnected() then reports the failure.
    QTimer closer;
    closer.setSingleShot(true);
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer.start(2000);
    click(IDC_RECEIVE_CONNECT);
}

void CReceiverRig::disconnect()
{
    click(IDC_RECEIVE_DISCONNECT);
}

bool CReceiverRig::isConnected() const
{
    auto* window = dialogWindowOf(dialog);
    CControlWindow* control = window ? window->control(IDC_RECEIVE_DISCONNECT) : nullptr;
    return control && control->widget()->isEnabled();
}

void CReceiverRig::holdTimer()
{
    stopTimer(dialog, CReceiveDialog::pollTimerId);
}

void CReceiverRig::tick()
{
    dialogWindowOf(dialog)->deliver(WM_TIMER, 0, 0, CReceiveDialog::pollTimerId);
    runQueued();
}

const CLogView* CReceiverRig::field() const
{
    auto* window = dialogWindowOf(dialog);
    CControlWindow* control = window ? window->control(IDC_RECEIVE_TEXT) : nullptr;
    return control ? qobject_cast<const CLogView*>(control->widget()) : nullptr;
}

std::size_t CReceiverRig::fieldLength() const
{
    const CLogView* view = field();
    return view ? view->text().length() : 0;
}

bool CReceiverRig::receive(std::size_t bytes, std::chrono::seconds limit)
{
    // The stream is made a slice at a time so that the bytes in flight cost no memory
    // worth mentioning next to the field itself.
    constexpr std::size_t slice = 16384;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t expected = fieldLength();
    std::size_t unsent = bytes;
    std::string pending;
    std::size_t pendingUsed = 0;
    unsigned ticks = 0;
    std::size_t lastLength = fieldLength();
    auto lastGrowth = std::chrono::steady_clock::now();

    while (fieldLength() < expected || unsent != 0 || pendingUsed < pending.size()) {
        auto now = std::chrono::steady_clock::now();
        if (fieldLength() != lastLength) {
            lastLength = fieldLength();
            lastGrowth = now;
        }
        // Bytes that went missing would otherwise keep the loop waiting for ever.
        if (now >= deadline || now - lastGrowth > std::chrono::seconds(5))
            return false;
        if (pendingUsed == pending.size() && unsent != 0) {
            pending = source.next(std::min(slice, unsent));
            pendingUsed = 0;
            unsent -= pending.size();
            expected += CLineSource::unitsFor(pending);
        }
        pendingUsed += device.sendSome(std::string_view(pending).substr(pendingUsed));
        // A tick with nothing waiting would sit out the read time-out; give the bytes
        // just written a moment to reach the queue instead.
        device.waitForWaiting(1, std::chrono::milliseconds(100));
        tick();
        if (++ticks % 64 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return fieldLength() == expected;
}

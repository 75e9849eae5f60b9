#include "ReceiveDialog.h"

#include "AppFrame.h"
#include "ReceiveResources.h"

#include <algorithm>
#include <string_view>

using Entries = MessageMapEntries<CReceiveDialog>;

const AFX_MSGMAP_ENTRY CReceiveDialog::messageEntries[] = {
    Entries::onClicked<&CReceiveDialog::onConnect>(IDC_RECEIVE_CONNECT),
    Entries::onClicked<&CReceiveDialog::onDisconnect>(IDC_RECEIVE_DISCONNECT),
    Entries::onTimer<&CReceiveDialog::onTick>(),
    Entries::onDestroy<&CReceiveDialog::onDestroyed>(),
};

const AFX_MSGMAP CReceiveDialog::messageMap { &CDialog::messageMap, messageEntries };

CReceiveDialog::CReceiveDialog()
    : CDialog(IDD_PAD_DIALOG)
    , icon(loadIcon(IDI_PAD_ICON))
{
}

// Destroying the object closes nothing: the port goes with the window.
CReceiveDialog::~CReceiveDialog() = default;

void CReceiveDialog::bindControls(CDataExchange& exchange)
{
    exchange.control(IDC_RECEIVE_TEXT, receivedField);
    exchange.control(IDC_RECEIVE_PORT_LIST, portList);
    exchange.control(IDC_RECEIVE_DISCONNECT, disconnectButton);
    exchange.control(IDC_RECEIVE_CONNECT, connectButton);
    exchange.selectedIndex(IDC_RECEIVE_PORT_LIST, portIndex);
    exchange.text(IDC_RECEIVE_TEXT, text);
}

bool CReceiveDialog::initDialog()
{
    initCommon(*this, portList, icon);
    enableControl(connectButton, Enable::on);
    enableControl(disconnectButton, Enable::off);
    return true;
}

void CReceiveDialog::onConnect()
{
    if (!openSelectedPort(*this, portIndex, portHandle, GENERIC_READ))
        return;
    // Wait at most this long for the first byte of a tick; the port's other time-outs
    // stay as it has them, so a read returns as soon as bytes are there.
    COMMTIMEOUTS timeouts;
    getTimeouts(portHandle, &timeouts);
    timeouts.ReadTotalTimeoutConstant = readTimeoutMs;
    setTimeouts(portHandle, &timeouts);
    enableControl(connectButton, Enable::off);
    enableControl(disconnectButton, Enable::on);
    timerId = startTimer(*this, pollTimerId, pollPeriodMs);
}

void CReceiveDialog::onTick(std::uintptr_t /*timer: there is only one*/)
{
    std::uint8_t buffer[readBufferSize];
    zeroBytes(buffer, sizeof buffer);
    std::uint32_t count = 0;
    readDevice(portHandle, buffer, sizeof buffer, &count, nullptr);
    count = std::min<std::uint32_t>(count, sizeof buffer);

    if (count != 0) {
        exchangeData(Exchange::toFields);
        for (std::uint32_t i = 0; i < count; ++i)
            appendByte(buffer[i]);
        exchangeData(Exchange::toControls);
    }
    defaultHandling();
}

// Each byte goes through the locale's conversion on its own; the conversion keeps an
// unfinished multi-byte character until its last byte arrives, even in a later tick.
void CReceiveDialog::appendByte(std::uint8_t byte)
{
    char16_t units[8];
    const char source = char(byte);
    const int produced = byteToWide(0, 0, &source, 1, units, int(std::size(units)));
    std::u16string_view converted(units, std::size_t(std::max(produced, 0)));
    // A carriage return becomes a line break. It is still passed through the conversion
    // so that a character it cuts short shows its U+FFFD before the break, where its
    // bytes were, rather than after it.
    const bool lineEnd = byte == 0x0D;
    if (lineEnd && !converted.empty() && converted.back() == u'\r')
        converted.remove_suffix(1);
    text.append(converted);
    if (lineEnd)
        text.append(u"\r\n");
}

void CReceiveDialog::onDisconnect()
{
    closeDevice(portHandle);
    portHandle = invalidHandle;
    stopTimer(*this, timerId);
    enableControl(connectButton, Enable::on);
    enableControl(disconnectButton, Enable::off);
}

void CReceiveDialog::onDestroyed()
{
    defaultHandling();
    if (portHandle != invalidHandle) {
        closeDevice(portHandle);
        portHandle = invalidHandle;
    }
}

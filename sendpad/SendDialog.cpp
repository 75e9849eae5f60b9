#include "SendDialog.h"

#include "AppFrame.h"
#include "SendResources.h"

#include <string>
#include <vector>

using Entries = MessageMapEntries<CSendDialog>;

const AFX_MSGMAP_ENTRY CSendDialog::messageEntries[] = {
    Entries::onClicked<&CSendDialog::onConnect>(IDC_SEND_CONNECT),
    Entries::onClicked<&CSendDialog::onDisconnect>(IDC_SEND_DISCONNECT),
    Entries::onClicked<&CSendDialog::onSend>(IDC_SEND_SEND),
    Entries::onClicked<&CSendDialog::onClear>(IDC_SEND_CLEAR),
    Entries::onClicked<&CSendDialog::onHello>(IDC_SEND_HELLO),
};

const AFX_MSGMAP CSendDialog::messageMap { &CDialog::messageMap, messageEntries };

CSendDialog::CSendDialog()
    : CDialog(IDD_PAD_DIALOG)
    , icon(loadIcon(IDI_PAD_ICON))
{
}

// A port still open when the dialog ends stays open here; it is released when the
// program exits.
CSendDialog::~CSendDialog() = default;

void CSendDialog::bindControls(CDataExchange& exchange)
{
    exchange.control(IDC_SEND_TEXT, textField);
    exchange.control(IDC_SEND_CLEAR, clearButton);
    exchange.control(IDC_SEND_HELLO, helloButton);
    exchange.control(IDC_SEND_PORT_LIST, portList);
    exchange.control(IDC_SEND_SEND, sendButton);
    exchange.control(IDC_SEND_DISCONNECT, disconnectButton);
    exchange.control(IDC_SEND_CONNECT, connectButton);
    exchange.selectedIndex(IDC_SEND_PORT_LIST, portIndex);
    exchange.text(IDC_SEND_TEXT, text);
}

bool CSendDialog::initDialog()
{
    initCommon(*this, portList, icon);
    enableControl(connectButton, Enable::on);
    enableControl(disconnectButton, Enable::off);
    enableControl(sendButton, Enable::off);
    enableControl(clearButton, Enable::off);
    enableControl(helloButton, Enable::off);
    enableControl(textField, Enable::off);
    // The field already shows the empty text from the framework's initialisation.
    text.makeEmpty();
    return true;
}

void CSendDialog::onConnect()
{
    if (!openSelectedPort(*this, portIndex, portHandle, GENERIC_WRITE))
        return;
    enableControl(connectButton, Enable::off);
    enableControl(disconnectButton, Enable::on);
    enableControl(sendButton, Enable::on);
    enableControl(clearButton, Enable::on);
    enableControl(textField, Enable::on);
    focusControl(textField);
    enableControl(helloButton, Enable::on);
    showInputPanel(1);
}

void CSendDialog::onSend()
{
    char buffer[sendBufferSize];
    zeroBytes(buffer, sizeof buffer);

    // Reloading from the field each time keeps carriage returns from piling up: the
    // one appended here never reaches the field.
    exchangeData(Exchange::toFields);
    text.append(u'\r');

    const std::u16string units = text.toU16String();
    char* bytes = buffer;
    int size = int(sizeof buffer);
    // The field sets no limit on its text. A line whose bytes do not fit the buffer is
    // converted into one of its own size and still sent whole, in one write: cutting it
    // would lose what the user typed.
    std::vector<char> larger;
    const int needed = wideToBytes(0, 0, units.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed > size) {
        larger.assign(std::size_t(needed), '\0');
        bytes = larger.data();
        size = needed;
    }
    wideToBytes(0, 0, units.c_str(), -1, bytes, size, nullptr, nullptr);
    const std::size_t count = byteLength(bytes);

    std::uint32_t written = 0;
    writeDevice(portHandle, bytes, std::uint32_t(count), &written, nullptr);
}

void CSendDialog::onClear()
{
    text.makeEmpty();
    exchangeData(Exchange::toControls);
    focusControl(textField);
}

void CSendDialog::onHello()
{
    text = u"Hello World";
    exchangeData(Exchange::toControls);
}

void CSendDialog::onDisconnect()
{
    closeDevice(portHandle);
    enableControl(connectButton, Enable::on);
    enableControl(disconnectButton, Enable::off);
    enableControl(sendButton, Enable::off);
    enableControl(clearButton, Enable::off);
    enableControl(textField, Enable::off);
    enableControl(helloButton, Enable::off);
}

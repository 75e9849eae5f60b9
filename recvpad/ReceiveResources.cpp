// The receiver's resources: its dialog template with the port list's initialisation
// record, the shared icon and its version record.
#include "ReceiveResources.h"

#include "AppFrame.h"
#include "Resources.h"

namespace {
constexpr std::uint32_t textStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP
    | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | ES_WANTRETURN;
static_assert(textStyle == 0x50A11844);

// Template order is tab order.
constexpr DialogItem items[] = {
    { IDC_STATIC, ControlClass::label, u"Bluetooth Inbound COM Port:", 7, 7, 105, 12,
        padLabelStyle },
    { IDC_RECEIVE_PORT_LIST, ControlClass::comboBox, u"", 112, 7, 20, 89, padListStyle },
    { IDC_RECEIVE_CONNECT, ControlClass::button, u"Connect", 7, 23, 60, 14, padButtonStyle },
    { IDC_RECEIVE_DISCONNECT, ControlClass::button, u"Disconnect", 72, 23, 60, 14, padButtonStyle },
    { IDC_RECEIVE_TEXT, ControlClass::edit, u"", 7, 40, 125, 105, textStyle, u"Received text" },
};

constexpr auto initRecord = makePortListInitRecord(IDC_RECEIVE_PORT_LIST);

constexpr DialogTemplate dialogs[] = { padDialog(u"Recvpad", 153, items, initRecord) };

constexpr auto versionStrings = padVersionStrings({
    .description = u"Recvpad: shows the text that arrives on a serial port",
    .internalName = u"recvpad",
    .productName = u"Recvpad",
});
constexpr VersionRecord version = padVersionRecord(versionStrings);
} // namespace

const ProgramResources& programResources()
{
    static const ProgramResources resources { dialogs, padIconGroups(), version };
    return resources;
}

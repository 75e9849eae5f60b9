// The sender's resources: its dialog template with the port list's initialisation
// record, the shared icon and its version record.
#include "SendResources.h"

#include "AppFrame.h"
#include "Resources.h"

namespace {
constexpr std::uint32_t textStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
static_assert(textStyle == 0x50810080);

// Template order is tab order.
constexpr DialogItem items[] = {
    { IDC_STATIC, ControlClass::label, u"Bluetooth Outbound COM Port:", 7, 7, 105, 12,
        padLabelStyle },
    { IDC_SEND_PORT_LIST, ControlClass::comboBox, u"", 112, 7, 20, 89, padListStyle },
    { IDC_SEND_CONNECT, ControlClass::button, u"Connect", 7, 23, 60, 14, padButtonStyle },
    { IDC_SEND_DISCONNECT, ControlClass::button, u"Disconnect", 72, 23, 60, 14, padButtonStyle },
    { IDC_SEND_SEND, ControlClass::button, u"Send", 7, 40, 125, 14, padButtonStyle },
    { IDC_SEND_TEXT, ControlClass::edit, u"", 7, 58, 125, 14, textStyle, u"Text to send" },
    { IDC_SEND_CLEAR, ControlClass::button, u"Clear", 7, 75, 60, 14, padButtonStyle },
    { IDC_SEND_HELLO, ControlClass::button, u"Hello World", 72, 75, 60, 14, padButtonStyle },
};

constexpr auto initRecord = makePortListInitRecord(IDC_SEND_PORT_LIST);

constexpr DialogTemplate dialogs[] = { padDialog(u"Sendpad", 158, items, initRecord) };

constexpr auto versionStrings = padVersionStrings({
    .description = u"Sendpad: sends lines of text to a serial port",
    .internalName = u"sendpad",
    .productName = u"Sendpad",
});
constexpr VersionRecord version = padVersionRecord(versionStrings);
} // namespace

const ProgramResources& programResources()
{
    static const ProgramResources resources { dialogs, padIconGroups(), version };
    return resources;
}

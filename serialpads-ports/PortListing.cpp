// The listing of the ports: a table with a word for each state, and the notes that say
// what to do about a port.
#include "PortListing.h"

#include "AccountNames.h"
#include "PlainText.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

const char* presenceWord(EPresence presence)
{
    switch (presence) {
    case EPresence::present:
        return "present";
    case EPresence::missing:
        return "missing";
    case EPresence::notSerial:
        return "not-serial";
    case EPresence::unknown:
        return "unknown";
    case EPresence::adapterOn:
        return "adapter-on";
    case EPresence::adapterOff:
        return "adapter-off";
    case EPresence::adapterFound:
        return "adapter";
    case EPresence::noAdapter:
        return "no-adapter";
    case EPresence::invalid:
        return "invalid";
    }
    return "unknown";
}

std::string accessWord(const std::optional<CAccessVerdict>& access)
{
    if (!access)
        return "-";
    return access->kind == EAccess::allowed ? "yes" : "no";
}

std::string holderWord(const std::optional<CDeviceHolder>& holder)
{
    if (!holder)
        return "-";
    std::string name = holder->name.empty() ? "?" : plainText(holder->name, EBlanks::escape);
    return name + "[" + std::to_string(holder->pid) + "]";
}

// The line settings column: what the entry gives, the device's own ("as-is"), or none
// at all for a Bluetooth device, which has no line.
std::string lineWord(const CPortStatus& port)
{
    switch (port.kind) {
    case EEntryKind::none:
        return "as-is";
    case EEntryKind::device:
        return port.line.empty() ? "as-is" : formatLineSettings(port.line, ',');
    case EEntryKind::damagedLine:
        return "damaged";
    case EEntryKind::bluetooth:
    case EEntryKind::invalid:
    case EEntryKind::unreadable:
        break;
    }
    return "-";
}

// The link target as the user set it, without the line settings, which have a column
// of their own.
std::string linkedPath(const CPortStatus& port)
{
    return port.line.empty() ? port.linkTarget : parseDeviceEntry(port.linkTarget).path;
}

std::string leadsTo(const CPortStatus& port)
{
    switch (port.kind) {
    case EEntryKind::none:
        return plainText(port.device.string()) + " (no entry)";
    case EEntryKind::bluetooth: {
        std::string text = "bluetooth " + formatBluetoothAddress(port.bluetooth.address);
        text += port.bluetooth.channel ? " channel " + std::to_string(port.bluetooth.channel)
                                       : std::string(" channel from the device");
        if (!port.bluetoothName.empty())
            text += " (" + plainText(port.bluetoothName) + ")";
        return text;
    }
    case EEntryKind::invalid:
    case EEntryKind::damagedLine:
        return plainText(port.linkTarget);
    case EEntryKind::unreadable:
        return plainText(port.entry.string());
    case EEntryKind::device:
        break;
    }
    const std::string linked = linkedPath(port);
    std::string text = plainText(linked.empty() ? port.device.string() : linked);
    if (!port.resolved.empty() && port.resolved != port.device && port.resolved.string() != linked)
        text += " -> " + plainText(port.resolved.string());
    return text;
}

std::string note(const CPortStatus& port)
{
    std::string prefix = "port " + std::to_string(port.number) + ": ";
    // The device by its own name, which is what ls -l and the group's members know.
    const std::string linked = linkedPath(port);
    std::string device = plainText(!port.resolved.empty() ? port.resolved.string()
            : !linked.empty()                             ? linked
                                                          : port.device.string());
    if (port.kind == EEntryKind::invalid)
        return prefix + "the entry's target is not a valid Bluetooth device; set the port again.";
    if (port.kind == EEntryKind::damagedLine)
        return prefix + "the entry's line settings cannot be read (" + plainText(port.lineError)
            + "); set the port again.";
    if (port.presence == EPresence::unknown)
        return prefix + "cannot look at " + device + ": " + std::strerror(port.error) + ".";
    // A missing fallback is the usual state of an unused port and needs no word.
    if (port.presence == EPresence::missing && port.kind == EEntryKind::device)
        return prefix + device
            + " does not exist: the device is unplugged, switched off or "
              "named differently now.";
    if (port.presence == EPresence::notSerial)
        return prefix + device + " is not a serial device.";
    if (port.kind == EEntryKind::bluetooth && port.notPaired)
        return prefix + formatBluetoothAddress(port.bluetooth.address)
            + " is not paired; pair it in the desktop's Bluetooth settings.";
    if (port.access && port.access->kind == EAccess::joinGroup) {
        std::string group = plainText(groupName(port.access->group));
        return prefix + "join the group " + group + " to open " + device + " (sudo usermod -aG "
            + group + " $USER, then log out and in again).";
    }
    if (port.access && port.access->kind == EAccess::denied)
        return prefix + "you may not open " + device + ".";
    return {};
}

} // namespace

std::string formatListing(
    const std::vector<CPortStatus>& ports, const std::vector<CBluezDevice>& pairedSerial)
{
    using CRow = std::array<std::string, 6>;
    std::vector<CRow> rows { { "PORT", "STATE", "ACCESS", "HOLDER", "LINE", "TARGET" } };
    std::string notes;
    for (const CPortStatus& port : ports) {
        rows.push_back({ std::to_string(port.number), presenceWord(port.presence),
            accessWord(port.access), holderWord(port.holder), lineWord(port), leadsTo(port) });
        if (std::string line = note(port); !line.empty())
            notes += line + "\n";
    }
    // Every column but the last is as wide as its widest cell, and two blanks apart.
    std::array<std::size_t, 5> widths {};
    for (const CRow& row : rows)
        for (std::size_t column = 0; column < widths.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    std::string out;
    for (const CRow& row : rows) {
        for (std::size_t column = 0; column < widths.size(); ++column)
            out += row[column] + std::string(widths[column] - row[column].size() + 2, ' ');
        out += row.back() + "\n";
    }
    if (!notes.empty())
        out += "\n" + notes;
    if (!pairedSerial.empty()) {
        out += "\nPaired Bluetooth devices with a serial port:\n";
        for (const CBluezDevice& device : pairedSerial)
            out += "  " + plainText(device.address, EBlanks::escape) + "  " + plainText(device.name)
                + "\n";
    }
    return out;
}

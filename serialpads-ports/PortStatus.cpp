// What each port leads to and the state of it, gathered without opening any device.
#include "PortListing.h"

#include "BluetoothLink.h"
#include "PortDirectory.h"
#include "PortLock.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string readFirstLine(const fs::path& file)
{
    std::ifstream stream(file);
    std::string line;
    std::getline(stream, line);
    return line;
}

bool anyBluetoothBlocked(const fs::path& rfkillClass)
{
    for (const fs::path& killSwitch : directoryContents(rfkillClass)) {
        if (readFirstLine(killSwitch / "type") != "bluetooth")
            continue;
        if (readFirstLine(killSwitch / "soft") == "1" || readFirstLine(killSwitch / "hard") == "1")
            return true;
    }
    return false;
}

std::string readLink(const fs::path& path)
{
    std::error_code error;
    fs::path target = fs::read_symlink(path, error);
    return error ? std::string() : target.string();
}

void lookAtDevice(CPortStatus& port)
{
    CDeviceCheck check = checkDevice(port.device);
    switch (check.kind) {
    case EDeviceKind::serial:
        port.presence = EPresence::present;
        port.holder = findDeviceHolder(check.status.st_rdev);
        port.access = accessToDevice(port.device, check.status);
        break;
    case EDeviceKind::missing:
        port.presence = EPresence::missing;
        break;
    case EDeviceKind::notCharacterDevice:
    case EDeviceKind::notTerminal:
        port.presence = EPresence::notSerial;
        break;
    case EDeviceKind::unknown:
        port.presence = EPresence::unknown;
        port.error = check.error;
        break;
    }
    std::error_code error;
    port.resolved = fs::canonical(port.device, error);
}

void lookAtBluetooth(CPortStatus& port, const CListingSources& sources)
{
    port.presence = bluetoothPresence(sources);
    // The serial layer's own lock file, so the listing and a connecting pad never
    // disagree on where to look.
    if (std::filesystem::path lock = portLockPath(port.number); !lock.empty())
        port.holder = findFileHolder(lock);
    // A socket needs no permission; the user may always try.
    port.access = CAccessVerdict { EAccess::allowed };
    if (!sources.bluez)
        return;
    auto known = std::ranges::find_if(sources.bluez->devices, [&](const CBluezDevice& device) {
        return parseBluetoothAddress(device.address) == port.bluetooth.address;
    });
    port.notPaired = known == sources.bluez->devices.end() || !known->paired;
    if (known != sources.bluez->devices.end())
        port.bluetoothName = known->name;
}

} // namespace

EPresence bluetoothPresence(const CListingSources& sources)
{
    if (sources.bluez) {
        if (sources.bluez->adapters.empty())
            return EPresence::noAdapter;
        return std::ranges::any_of(sources.bluez->adapters, &CBluezAdapter::powered)
            ? EPresence::adapterOn
            : EPresence::adapterOff;
    }
    if (!bluetoothAdapterPresent(sources.bluetoothClass))
        return EPresence::noAdapter;
    return anyBluetoothBlocked(sources.rfkillClass) ? EPresence::adapterOff
                                                    : EPresence::adapterFound;
}

CPortStatus portStatus(int number, const CListingSources& sources)
{
    CPortStatus port;
    port.number = number;
    fs::path directory = portDirectory();
    if (!directory.empty())
        port.entry = directory / ("com" + std::to_string(number));
    std::u16string name = u"COM" + std::u16string(1, char16_t(u'0' + number)) + u":";
    std::optional<fs::path> device = devicePathForPort(name);
    if (!device) {
        port.kind = EEntryKind::unreadable;
        port.presence = EPresence::unknown;
        struct stat status {};
        port.error = lstat(port.entry.c_str(), &status) != 0 ? errno : EIO;
        port.device = port.entry;
        return port;
    }
    port.device = *device;
    if (port.entry.empty() || *device != port.entry) {
        port.kind = EEntryKind::none;
        lookAtDevice(port);
        return port;
    }
    port.linkTarget = readLink(port.entry);
    if (auto target = parseBluetoothTarget(port.linkTarget)) {
        port.kind = EEntryKind::bluetooth;
        port.bluetooth = *target;
        lookAtBluetooth(port, sources);
    } else if (port.linkTarget.starts_with(bluetoothTargetPrefix)) {
        port.kind = EEntryKind::invalid;
        port.presence = EPresence::invalid;
    } else if (CDeviceEntry parsed = parseDeviceEntry(port.linkTarget); !parsed.ok()) {
        port.kind = EEntryKind::damagedLine;
        port.presence = EPresence::invalid;
        port.lineError = parsed.error;
    } else {
        port.kind = EEntryKind::device;
        // An entry with settings names its device before them; that is what is opened.
        if (!parsed.settings.empty()) {
            port.line = parsed.settings;
            port.device = directory / parsed.path;
        }
        lookAtDevice(port);
    }
    return port;
}

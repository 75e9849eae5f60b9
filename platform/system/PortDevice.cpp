#include "PortDevice.h"

#include "PortDirectory.h"
#include "PortLock.h"
#include "RfcommSocket.h"
#include "TerminalDevice.h"

std::unique_ptr<CPortDevice> openPortDevice(
    int number, int flags, CKeptAcrossOpens& kept, COpenFailure& failure)
{
    failure = {};
    failure.portNumber = number;
    std::optional<CPortTarget> target = targetForPort(number);
    if (!target) {
        failure.kind = OpenFailureKind::directoryUnreadable;
        return nullptr;
    }
    if (const auto* damaged = std::get_if<CDamagedEntry>(&*target)) {
        kept.lock.reset();
        failure.kind = OpenFailureKind::lineSettingsDamaged;
        failure.path = damaged->entry;
        failure.lineKept = damaged->error;
        return nullptr;
    }

    if (const auto* device = std::get_if<CBluetoothTarget>(&*target)) {
        // The port is locked before the remote is paged, so two programs never both
        // connect to it; the lock stays with the port across reconnections.
        if (!kept.lock.valid()) {
            kept.lock = takePortLock(number, failure);
            if (!kept.lock.valid()) {
                failure.remote = formatBluetoothAddress(device->address);
                return nullptr;
            }
        }
        return CRfcommSocket::connect(*device, number, failure);
    }

    // A port that now leads to a device path holds no Bluetooth lock.
    kept.lock.reset();
    const auto& [path, line] = std::get<CDeviceTarget>(*target);
    auto terminal = CTerminalDevice::open(path, number, flags, line, kept, failure);
    // With no entry, the port is the bound Bluetooth port; its absence is the port's
    // lack of any setting, not a device that went away.
    if (!terminal && failure.kind == OpenFailureKind::noSuchDevice && failure.error == ENOENT
        && path == fallbackDeviceForPort(number))
        failure.kind = OpenFailureKind::noEntry;
    return terminal;
}

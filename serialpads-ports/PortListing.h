// What each of the ports 1 to 9 leads to, whether that is there, who has it in use and
// whether the user may open it, gathered without opening any device (PortStatus.cpp),
// and the listing that shows it (PortListing.cpp). The listing has one line per port in
// columns; every column but the last is one word, so scripts can split it on blanks (the
// line settings are joined by commas there: "9600,7E1,rtscts").
#pragma once

#include "Bluez.h"
#include "DeviceHolder.h"
#include "PortAccess.h"
#include "PortEntry.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

enum class EEntryKind {
    none, // no entry: the port is the Bluetooth serial port /dev/rfcomm<n-1>
    device, // a device path
    bluetooth, // a Bluetooth device reached by a socket
    invalid, // a "bluetooth:" target that is not a valid one
    damagedLine, // a device path whose line settings cannot be read
    unreadable, // the entry could not be looked at
};

enum class EPresence {
    present, // a serial device is there
    missing,
    notSerial,
    unknown,
    adapterOn, // Bluetooth: an adapter is there and switched on
    adapterOff, // Bluetooth: adapters are there, none switched on (or all blocked)
    adapterFound, // Bluetooth: an adapter is there; whether it is on could not be read
    noAdapter,
    invalid,
};

struct CPortStatus {
    int number = 0;
    EEntryKind kind = EEntryKind::none;
    std::filesystem::path entry; // com<n> in the port directory
    std::filesystem::path device; // the path looked at: the entry or the fallback
    std::string linkTarget; // the entry's link target as written; empty if no link
    std::filesystem::path resolved; // where the links end; empty if they lead nowhere
    CLineSettings line; // the entry's line settings, for a device path
    std::string lineError; // what is wrong with them, for damagedLine
    CBluetoothTarget bluetooth;
    std::string bluetoothName; // BlueZ's name for the device, when known
    EPresence presence = EPresence::unknown;
    std::optional<CDeviceHolder> holder;
    std::optional<CAccessVerdict> access; // nothing when there is nothing to open
    bool notPaired = false; // BlueZ answered and does not list the device as paired
    int error = 0; // errno, for EPresence::unknown
};

// Where the listing looks for what the system has; tests point these elsewhere.
struct CListingSources {
    std::optional<CBluezState> bluez;
    std::filesystem::path bluetoothClass = "/sys/class/bluetooth";
    std::filesystem::path rfkillClass = "/sys/class/rfkill";
};

// The state of the Bluetooth adapters: from BlueZ when it answered, else from sysfs.
EPresence bluetoothPresence(const CListingSources& sources);

CPortStatus portStatus(int number, const CListingSources& sources);

// The table of `ports`, the notes that say what to do about a port, and the paired
// devices that offer a serial port, each part after a blank line and only when there
// is something to say.
std::string formatListing(
    const std::vector<CPortStatus>& ports, const std::vector<CBluezDevice>& pairedSerial);

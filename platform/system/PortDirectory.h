// Which device a port name designates. "COM1:" to "COM9:" are looked up as the entries
// com1 to com9 of a port directory, each a symbolic link to a device (or the device node
// itself), so a user can point any port number at any serial device. A number with no
// entry is the Bluetooth serial port /dev/rfcomm<n-1>, the kind of port the programs
// were made for.
//
// These functions only compute paths and look at the directory entry; they open
// nothing.
#pragma once

#include "BluetoothAddress.h"
#include "LineSettings.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// The port number (1 to 9) of a name "COMn:", or nothing for any other name. The
// letters may be in either case, as device names are not case-sensitive.
std::optional<int> portNumberFromName(std::u16string_view name);

// $SERIALPADS_PORTS when it is set and not empty, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/serialpads/ports. Empty when none of these
// variables gives a usable directory.
std::filesystem::path portDirectory();

// The device a port name designates: the directory's entry for the port when there is
// one (whatever it is or points to; the caller checks that), /dev/rfcomm<n-1> when
// nothing is there. Nothing for a name that is not a port name or an entry that cannot
// be looked at.
std::optional<std::filesystem::path> devicePathForPort(std::u16string_view name);

// The bound Bluetooth serial port that port `number` (1 to 9) stands for when it has
// no entry: /dev/rfcomm<number-1>.
std::filesystem::path fallbackDeviceForPort(int number);

// A device a port leads to, and the line settings its entry gives it. An entry without
// settings is opened through its link, as it always was; one with settings names the
// device before them, and that path is opened (a relative one from the port directory).
struct CDeviceTarget {
    std::filesystem::path path;
    CLineSettings line;
};

// An entry whose line settings cannot be read: it is never opened with part of them.
struct CDamagedEntry {
    std::filesystem::path entry;
    std::string error; // what is wrong with the settings
};

// What a port leads to: a device, a Bluetooth device named by the entry's link target,
// or an entry that cannot be used as it is.
using CPortTarget = std::variant<CDeviceTarget, CBluetoothTarget, CDamagedEntry>;

// What port `number` (1 to 9) leads to, from one look at its entry: a device path as
// devicePathForPort() gives it (with the entry's settings), a Bluetooth device, or a
// damaged entry. Nothing when the entry cannot be looked at.
std::optional<CPortTarget> targetForPort(int number);

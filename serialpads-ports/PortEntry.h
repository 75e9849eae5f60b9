// Setting and removing the entries of the port directory. An entry is replaced in one
// step (a new link under a temporary name, then renamed over the old one), so a pad
// connecting at that moment finds the old entry or the new one, never none.
#pragma once

#include "BluetoothAddress.h"
#include "LineSettings.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

// Whether a status describes a device the serial layer can open as a serial port.
enum class EDeviceKind {
    serial,
    missing, // nothing there, or a link leading nowhere
    notCharacterDevice,
    notTerminal, // a character device whose kernel subsystem is not tty
    unknown, // it could not be looked at
};

struct CDeviceCheck {
    EDeviceKind kind = EDeviceKind::unknown;
    struct stat status {};
    int error = 0; // errno, for missing and unknown
};

// Looks at `path` (following links) without opening it: opening a terminal can raise
// its modem lines or reset the board behind it. A character device counts as serial
// unless sysfs says its subsystem is something other than tty (pseudo-terminals are
// not in sysfs and count as serial).
CDeviceCheck checkDevice(const std::filesystem::path& path);

// The paths of what `directory` holds, sorted; empty when it cannot be read. Unlike a
// loop over a directory_iterator, this never throws when reading fails halfway.
std::vector<std::filesystem::path> directoryContents(const std::filesystem::path& directory);

// What an entry may lead to: a device path with its line settings, or a Bluetooth
// device. The settings are stored after the path in the link target (LineSettings.h).
struct CEntryTarget {
    std::filesystem::path device; // empty for a Bluetooth device
    CLineSettings line; // for a device
    CBluetoothTarget bluetooth;
};

// The outcome of changing an entry: nothing when it was done, else the sentence that
// says why not (without the command's name).
using CEntryError = std::optional<std::string>;

// Makes entry com<number> of `directory` lead to `target`, creating the directory when
// it is missing. An existing entry is replaced; one that is a directory is not.
CEntryError writeEntry(
    const std::filesystem::path& directory, int number, const CEntryTarget& target);

// Removes entry com<number> of `directory`, which must be there and not a directory.
CEntryError removeEntry(const std::filesystem::path& directory, int number);

// A name under `byIdDirectory` (usually /dev/serial/by-id) for the same device as
// `device`, unless `path` is already such a name; nothing when there is none. Those
// names carry the adapter's make and serial number, so they stay the same when the
// device is plugged into another socket or found in another order at boot.
std::optional<std::filesystem::path> stableNameFor(
    const std::filesystem::path& path, dev_t device, const std::filesystem::path& byIdDirectory);

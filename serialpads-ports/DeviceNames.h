// A Bluetooth device named by its name rather than its address, wherever the command
// takes an address: the name is matched against the paired devices and those the last
// scan found, which the scan leaves in the user's cache directory.
#pragma once

#include "BluetoothAddress.h"
#include "Bluez.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

// $XDG_CACHE_HOME/serialpads/last-scan, else ~/.cache/serialpads/last-scan; empty when
// neither is set.
std::filesystem::path lastScanFile();

// Replaces what the last scan found; false when it cannot be written.
bool saveLastScan(const std::filesystem::path& file, const std::vector<CBluezDevice>& devices);
// What the last scan found; nothing when there was none or the file is unreadable. A
// line that is not an address and a name is skipped.
std::vector<CBluezDevice> loadLastScan(const std::filesystem::path& file);

struct CNameMatch {
    std::optional<CBluetoothAddress> address; // exactly one device is called so
    std::vector<CBluezDevice> candidates; // every device called so, one per address
};

// The devices whose name is `name`, letter case aside; paired ones first.
CNameMatch matchDeviceName(std::string_view name, const std::vector<CBluezDevice>& paired,
    const std::vector<CBluezDevice>& scanned);

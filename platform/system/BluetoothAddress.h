// How a port directory entry names a Bluetooth device directly, rather than a device
// node: the entry is a symbolic link whose target reads "bluetooth:" followed by the
// device's address, and optionally "/" and an RFCOMM channel, as in
//
//     com3 -> bluetooth:00:1A:7D:DA:71:13
//     com4 -> bluetooth:00:1A:7D:DA:71:13/2
//
// Such a target never exists as a file, so `ls -l` shows it as the user set it and no
// other program mistakes it for a device. Parsing is strict: a target that starts with
// "bluetooth:" but is not exactly this form is rejected, never read as a path.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view bluetoothTargetPrefix = "bluetooth:";

// RFCOMM's channels.
inline constexpr int firstRfcommChannel = 1;
inline constexpr int lastRfcommChannel = 30;

struct CBluetoothAddress {
    // As written, most significant byte first ("00:1A:..." gives bytes[0] == 0x00).
    std::array<std::uint8_t, 6> bytes {};

    friend bool operator==(const CBluetoothAddress&, const CBluetoothAddress&) = default;
};

struct CBluetoothTarget {
    CBluetoothAddress address;
    int channel = 0; // 0: none given, 1 to 30 otherwise

    friend bool operator==(const CBluetoothTarget&, const CBluetoothTarget&) = default;
};

// Six two-digit hexadecimal bytes joined by colons, in either case; nothing else.
std::optional<CBluetoothAddress> parseBluetoothAddress(std::string_view text);
// The address in the usual upper-case form, "00:1A:7D:DA:71:13".
std::string formatBluetoothAddress(const CBluetoothAddress& address);

// A port entry's link target; nothing unless it is exactly one of the forms above.
std::optional<CBluetoothTarget> parseBluetoothTarget(std::string_view text);
// The link target that names `target`.
std::string formatBluetoothTarget(const CBluetoothTarget& target);

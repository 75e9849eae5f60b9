// The link of a Bluetooth serial port (/dev/rfcomm<n>) as the kernel's RFCOMM layer
// keeps it. The modem lines are no proof of a link: carrier mirrors the remote's DV
// bit, which may show while the link is still being set up, stays set after the link
// has dropped, and is never raised by some remotes. The RFCOMM device state is what
// the kernel itself goes by.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The kernel's fixed major number of /dev/rfcomm*; the minor number is the port's id.
inline constexpr unsigned int rfcommMajor = 216;

// The kernel's RFCOMM socket protocol (BTPROTO_RFCOMM), declared here rather than taken
// from a development package: the value is fixed by the kernel's ABI, and the Bluetooth
// library itself is never needed.
inline constexpr int rfcommProtocol = 3;

enum class LinkState { up, connecting, down };

// What a state the kernel's RFCOMM layer reports for a bound port means for its link:
// only "connected" is up; the states on the way there are connecting; any other
// (bound but idle, closed, disconnecting) is down.
LinkState rfcommLinkState(std::uint16_t kernelState);

struct CBluetoothLink {
    LinkState state = LinkState::down;
    std::string remote; // the bound remote's address, as "00:11:22:33:44:55"
    int channel = 0;
};

// What the kernel says of the port with this id; nothing when it cannot be asked (no
// Bluetooth sockets in this system, or no such port bound).
std::optional<CBluetoothLink> bluetoothLink(unsigned int portId);

// Whether the system has a Bluetooth adapter, switched on or not, as the kernel lists
// them in `bluetoothClass`.
bool bluetoothAdapterPresent(const std::filesystem::path& bluetoothClass = "/sys/class/bluetooth");

// What BlueZ, the Linux Bluetooth service, tells any user over the system bus: the
// adapters with whether they are switched on, and the devices it knows with whether
// they are paired and which services they offer. Nothing here starts the service or
// changes anything; where the bus or the service is absent the answer is empty.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct CBluezAdapter {
    std::string address;
    bool powered = false;
};

struct CBluezDevice {
    std::string address; // as BlueZ writes it, "00:1A:7D:DA:71:13"
    std::string name; // the alias the user sees in the desktop's settings
    bool paired = false;
    std::vector<std::string> uuids; // the service classes the device offers
};

struct CBluezState {
    std::vector<CBluezAdapter> adapters;
    std::vector<CBluezDevice> devices;
};

// BlueZ's objects as its object manager lists them; nothing when the system bus cannot
// be reached, the service is not running, or it does not answer within two seconds.
std::optional<CBluezState> queryBluez();

// The paired devices that offer the Serial Port Profile, in BlueZ's order.
std::vector<CBluezDevice> pairedSerialDevices(const CBluezState& state);

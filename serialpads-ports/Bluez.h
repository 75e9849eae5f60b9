// What BlueZ, the Linux Bluetooth service, tells any user over the system bus: the
// adapters with whether they are switched on, and the devices it knows with whether
// they are paired and which services they offer. Nothing here starts the service or
// changes anything; where the bus or the service is absent the answer is empty.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

struct CBusReleaser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct CMessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using CBus = std::unique_ptr<sd_bus, CBusReleaser>;
using CMessage = std::unique_ptr<sd_bus_message, CMessageReleaser>;

struct CBluezAdapter {
    std::string address;
    bool powered = false;
    std::string path; // its object on the bus, "/org/bluez/hci0"
};

struct CBluezDevice {
    std::string address; // as BlueZ writes it, "00:1A:7D:DA:71:13"
    std::string name; // the alias the user sees in the desktop's settings
    bool paired = false;
    std::vector<std::string> uuids; // the service classes the device offers
    std::string path; // its object on the bus
    bool heard = false; // a signal strength came with it: a discovery has just seen it
};

struct CBluezState {
    std::vector<CBluezAdapter> adapters;
    std::vector<CBluezDevice> devices;
};

// BlueZ's objects as its object manager lists them; nothing when the system bus cannot
// be reached, the service is not running, or it does not answer within two seconds.
std::optional<CBluezState> queryBluez();
// The same, on a connection already open.
std::optional<CBluezState> queryBluez(sd_bus* bus);

// Whether the device says it offers the Serial Port Profile.
bool offersSerialPort(const CBluezDevice& device);

// Reads one object's interfaces, a{sa{sv}}, as the object manager and its
// InterfacesAdded signal give them, adding what it says to `state`.
bool readBluezObject(sd_bus_message* message, const char* path, CBluezState& state);
// Reads a device's changed properties, a{sv}, into `device`.
bool readDeviceProperties(sd_bus_message* message, CBluezDevice& device);

// The paired devices that offer the Serial Port Profile, in BlueZ's order.
std::vector<CBluezDevice> pairedSerialDevices(const CBluezState& state);

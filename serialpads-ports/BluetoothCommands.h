// The commands that find and pair Bluetooth devices, and the reading of a device named
// by its name, for the command line (PortsCommand.h).
#pragma once

#include "BluetoothAddress.h"
#include "PortsCommand.h"

#include <optional>
#include <string>
#include <vector>

// scan [--seconds N]
CCommandResult scanCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources);
// pair ADDRESS|NAME [--pin PIN]
CCommandResult pairCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources);

// An address as given, or the one device called `text`; otherwise why not, as the
// message the command ends with.
struct CDeviceChoice {
    std::optional<CBluetoothAddress> address;
    std::string problem;
};
CDeviceChoice chooseDevice(const std::string& text, const CCommandSources& sources);

// What the device says of its serial port now, looked up once, as a line for the user;
// a device out of reach is no failure.
std::string channelReport(const CBluetoothAddress& address);

#include "PortsCommand.h"

#include "BluetoothCommands.h"
#include "PlainText.h"
#include "PortDirectory.h"
#include "PortListing.h"

#include <cstring>
#include <span>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr const char* usageText = "Usage: serialpads-ports [list]\n"
                                  "       serialpads-ports set N PATH [SPEED [FRAMING [FLOW]]]\n"
                                  "       serialpads-ports set N ADDRESS|NAME [CHANNEL]\n"
                                  "       serialpads-ports scan [--seconds N]\n"
                                  "       serialpads-ports pair ADDRESS|NAME [--pin PIN]\n"
                                  "       serialpads-ports remove N\n"
                                  "       serialpads-ports --help | --version\n";

constexpr const char* helpText
    = "Lists and sets the serial ports 1 to 9 of sendpad and recvpad.\n"
      "\n"
      "  list                 each port: state, access, holder, line settings and\n"
      "                       what it leads to\n"
      "  set N PATH [SPEED [FRAMING [FLOW]]]\n"
      "                       port N leads to the serial device PATH, set at Connect\n"
      "                       to SPEED baud (115200), FRAMING (8N1, 7E1, 8N2...) and\n"
      "                       FLOW (none or rtscts); what is not given stays as the\n"
      "                       device has it\n"
      "  set N ADDRESS [CH]   port N leads to a paired Bluetooth device\n"
      "                       (XX:XX:XX:XX:XX:XX, or its name), on RFCOMM channel\n"
      "                       CH (1-30); without CH the device names its channel\n"
      "  scan [--seconds N]   shows the Bluetooth devices in reach (12 s)\n"
      "  pair DEVICE [--pin PIN]  pairs a Bluetooth device, asking for its PIN\n"
      "  remove N             port N has no entry again\n"
      "\n"
      "Exit status: 0 done, 1 refused or not there, 2 bad usage.\n"
      "See serialpads-ports(1).\n";

// The entry a command changes: the port number (exactly one digit from 1 to 9) and the
// port directory, or why there is none.
struct CPortChoice {
    int number = 0;
    fs::path directory;
    std::optional<CCommandResult> failure;
};

CPortChoice choosePort(const std::string& text)
{
    CPortChoice port;
    if (text.size() != 1 || text[0] < '1' || text[0] > '9')
        port.failure = commandFailed(
            exitUsage, "'" + plainText(text) + "' is not a port number: give 1 to 9.");
    else if (port.directory = portDirectory(); port.directory.empty())
        port.failure = commandFailed(
            exitRefused, "no port directory: neither SERIALPADS_PORTS nor HOME is set.");
    else
        port.number = text[0] - '0';
    return port;
}

std::optional<int> channelNumber(const std::string& text)
{
    if (text.empty() || text.size() > 2
        || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    int channel = std::stoi(text);
    if (channel < firstRfcommChannel || channel > lastRfcommChannel)
        return std::nullopt;
    return channel;
}

CCommandResult list(const CCommandSources& sources)
{
    CListingSources listing;
    if (sources.askBluez)
        listing.bluez = queryBluez();
    std::vector<CPortStatus> ports;
    for (int number = 1; number <= 9; ++number)
        ports.push_back(portStatus(number, listing));
    return { exitDone,
        formatListing(ports,
            listing.bluez ? pairedSerialDevices(*listing.bluez) : std::vector<CBluezDevice>()),
        {} };
}

std::string deviceProblem(const fs::path& path, const CDeviceCheck& check)
{
    std::string name = plainText(path.string());
    switch (check.kind) {
    case EDeviceKind::missing:
        return name + " does not exist.";
    case EDeviceKind::notCharacterDevice:
        return name + " is not a serial device (not a character device).";
    case EDeviceKind::notTerminal:
        return name + " is not a serial device (not a terminal).";
    case EDeviceKind::unknown:
        return "cannot look at " + name + ": " + std::strerror(check.error) + ".";
    case EDeviceKind::serial:
        break;
    }
    return {};
}

// A word when BlueZ answers and does not know the device as paired: the port is set all
// the same, as the user may pair it afterwards.
std::string pairingHint(const CBluetoothAddress& address)
{
    std::optional<CBluezState> bluez = queryBluez();
    if (!bluez)
        return {};
    for (const CBluezDevice& device : bluez->devices)
        if (device.paired && parseBluetoothAddress(device.address) == address)
            return {};
    return "hint: " + formatBluetoothAddress(address)
        + " is not paired with this computer; if it needs pairing: serialpads-ports pair "
        + formatBluetoothAddress(address) + "\n";
}

CCommandResult set(const std::vector<std::string>& arguments, const CCommandSources& sources)
{
    if (arguments.size() < 3)
        return commandFailed(exitUsage,
            "set takes a port number, then a device path and optional line settings, or a "
            "Bluetooth address and an optional channel.");
    CPortChoice port = choosePort(arguments[1]);
    if (port.failure)
        return *port.failure;

    const std::string& what = arguments[2];
    CEntryTarget target;
    CCommandResult result;
    std::string description;
    // Anything with a slash is a path; anything else must be an address, so that a
    // mistyped address is reported as one rather than looked for as a file.
    if (what.find('/') != std::string::npos) {
        // The words after the path are line settings.
        std::vector<std::string_view> words(arguments.begin() + 3, arguments.end());
        CParsedLine parsed = parseLineSettings(std::span<const std::string_view>(words));
        if (!parsed.ok())
            return commandFailed(exitUsage, plainText(parsed.error));
        target.line = parsed.settings;
        std::error_code error;
        target.device = fs::absolute(what, error);
        if (error)
            return commandFailed(exitRefused,
                "cannot make " + plainText(what) + " absolute: " + error.message() + ".");
        // The entry itself would become a link to itself, which leads nowhere.
        fs::path entry = port.directory / ("com" + std::to_string(port.number));
        if (target.device.lexically_normal() == entry.lexically_normal())
            return commandFailed(exitRefused,
                plainText(what) + " is the entry of port " + std::to_string(port.number)
                    + " itself; give the device it should lead to.");
        if (!isStorablePath(target.device.string()))
            return commandFailed(exitUsage,
                plainText(target.device.string())
                    + " has a blank before a digit, which the entry would read as line "
                      "settings; give another name for the device, such as its "
                      "/dev/serial/by-id name.");
        CDeviceCheck check = checkDevice(target.device);
        if (check.kind != EDeviceKind::serial)
            return commandFailed(exitRefused, deviceProblem(target.device, check));
        // The user's choice is kept; a stable name is only suggested.
        if (auto stable = stableNameFor(target.device, check.status.st_rdev, sources.byIdDirectory))
            result.out += "hint: " + plainText(stable->string())
                + " names the same device and stays the same when it is plugged in"
                  " elsewhere: serialpads-ports set "
                + std::to_string(port.number) + " " + plainText(stable->string()) + "\n";
        description = plainText(target.device.string())
            + (target.line.empty() ? ", the device's own line settings"
                                   : ", line " + formatLineSettings(target.line));
    } else {
        // A device's name stands for its address; the entry keeps the address.
        CDeviceChoice device = chooseDevice(what, sources);
        if (!device.address) {
            std::string problem = device.problem;
            const std::string neither = "is neither a Bluetooth address";
            if (auto at = problem.find(neither); at != std::string::npos)
                problem.replace(
                    at, neither.size(), "is neither a device path nor a Bluetooth address");
            return commandFailed(exitUsage, problem);
        }
        target.bluetooth.address = *device.address;
        // RFCOMM carries bytes, not a line: a speed, framing or flow control would mean
        // nothing to the device, so none is taken.
        constexpr const char* noLine = " (a Bluetooth device has no line settings: RFCOMM "
                                       "carries no speed, framing or flow control)";
        if (arguments.size() > 4)
            return commandFailed(exitUsage,
                "a Bluetooth address takes only a channel, 1 to 30" + std::string(noLine) + ".");
        if (arguments.size() == 4) {
            auto channel = channelNumber(arguments[3]);
            if (!channel)
                return commandFailed(exitUsage,
                    "'" + plainText(arguments[3]) + "' is not an RFCOMM channel: give 1 to 30"
                        + (arguments[3].size() > 2 ? std::string(noLine) : std::string()) + ".");
            target.bluetooth.channel = *channel;
        }
        if (sources.askBluez)
            result.out += pairingHint(target.bluetooth.address);
        description = "Bluetooth device " + formatBluetoothAddress(target.bluetooth.address)
            + (target.bluetooth.channel ? ", channel " + std::to_string(target.bluetooth.channel)
                                        : std::string());
    }
    if (CEntryError error = writeEntry(port.directory, port.number, target))
        return commandFailed(exitRefused, plainText(*error));
    result.out = "port " + std::to_string(port.number) + " -> " + description + "\n" + result.out;
    if (sources.askBluez && target.device.empty() && !target.bluetooth.channel)
        result.out += channelReport(target.bluetooth.address);
    return result;
}

CCommandResult remove(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 2)
        return commandFailed(exitUsage, "remove takes one port number.");
    CPortChoice port = choosePort(arguments[1]);
    if (port.failure)
        return *port.failure;
    if (CEntryError error = removeEntry(port.directory, port.number))
        return commandFailed(exitRefused, plainText(*error));
    return {};
}

} // namespace

CCommandResult commandFailed(int status, const std::string& message)
{
    CCommandResult result;
    result.status = status;
    result.err = std::string(commandName) + ": " + message + "\n";
    if (status == exitUsage)
        result.err += std::string("Try '") + commandName + " --help'.\n";
    return result;
}

CCommandResult runPortsCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources)
{
    if (arguments.empty())
        return list(sources);
    const std::string& command = arguments[0];
    if (command == "list") {
        if (arguments.size() != 1)
            return commandFailed(exitUsage, "list takes no arguments.");
        return list(sources);
    }
    if (command == "set")
        return set(arguments, sources);
    if (command == "remove")
        return remove(arguments);
    if (command == "scan")
        return scanCommand(arguments, sources);
    if (command == "pair")
        return pairCommand(arguments, sources);
    if (command == "--help" || command == "-h")
        return { exitDone, std::string(usageText) + "\n" + helpText, {} };
    if (command == "--version")
        return { exitDone, std::string(commandName) + " " + SERIALPADS_VERSION + "\n", {} };
    return commandFailed(exitUsage, "unknown command '" + plainText(command) + "'.");
}

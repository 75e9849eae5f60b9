#include "BluetoothCommands.h"

#include "BluezActions.h"
#include "DeviceNames.h"
#include "PlainText.h"
#include "ServiceDiscovery.h"
#include "Waiting.h"

#include <chrono>

namespace {

constexpr int longestScan = 300;
// How long `set` waits for the device to say which channel it offers: about a page
// time-out on a real radio.
constexpr std::chrono::milliseconds lookupLimit { 6000 };

std::string bluezProblem(EBluezProblem problem, const std::string& detail)
{
    switch (problem) {
    case EBluezProblem::serviceAbsent:
        return "the Bluetooth service is not running: start it (sudo systemctl start bluetooth).";
    case EBluezProblem::noAdapter:
        return "this computer has no Bluetooth adapter: plug one in.";
    case EBluezProblem::adapterOff:
        return "the Bluetooth adapter is switched off: bluetoothctl power on.";
    case EBluezProblem::failed:
    case EBluezProblem::none:
        break;
    }
    return "Bluetooth refused: " + plainText(detail) + ".";
}

std::string serialColumn(const CBluezDevice& device)
{
    if (offersSerialPort(device))
        return "yes";
    // What a device announces before it is paired is often incomplete (many serial
    // modules announce nothing); only a paired device's list is its whole list.
    return device.paired ? "no" : "?";
}

std::string deviceLine(const CBluezDevice& device)
{
    auto column = [](const std::string& text) { return text + std::string(8 - text.size(), ' '); };
    return device.address + "  " + column(device.paired ? "yes" : "no")
        + column(serialColumn(device))
        + (device.name.empty() ? std::string("-") : plainText(device.name));
}

std::string deviceText(const std::string& name, const CBluetoothAddress& address)
{
    return name.empty() ? formatBluetoothAddress(address)
                        : plainText(name) + " (" + formatBluetoothAddress(address) + ")";
}

std::string pairMessage(const CPairOutcome& outcome, const CBluetoothAddress& address)
{
    const std::string device = deviceText(outcome.name, address);
    const std::string again = std::string(commandName) + " pair " + formatBluetoothAddress(address);
    switch (outcome.outcome) {
    case EPairOutcome::paired:
    case EPairOutcome::alreadyPaired:
        return {};
    case EPairOutcome::serviceAbsent:
        return bluezProblem(EBluezProblem::serviceAbsent, {});
    case EPairOutcome::noAdapter:
        return bluezProblem(EBluezProblem::noAdapter, {});
    case EPairOutcome::adapterOff:
        return bluezProblem(EBluezProblem::adapterOff, {});
    case EPairOutcome::notFound:
        return device
            + " was not found: switch it on, make it discoverable (a module not connected to"
              " anything usually is), and try again; "
            + commandName + " scan shows what is in reach.";
    case EPairOutcome::wrongPin:
        return device
            + " did not accept the PIN: try again with the device's PIN (often 1234 or 0000): "
            + again + " --pin 0000";
    case EPairOutcome::rejected:
        return device
            + " rejected the pairing: put it into pairing mode, or remove the old pairing on the"
              " device, and try again.";
    case EPairOutcome::noAnswer:
        return device
            + " did not answer: check that it is switched on, within range and not connected to"
              " another computer, and try again.";
    case EPairOutcome::pinNeeded:
        return device + " asks for a PIN and there is no terminal to ask on: give it with --pin ("
            + again + " --pin 1234).";
    case EPairOutcome::declined:
        return "pairing with " + device + " called off.";
    case EPairOutcome::failed:
        break;
    }
    return "pairing with " + device + " failed: " + plainText(outcome.detail) + ".";
}

// Where a command's lines go as they come: out at once where they can, else into `out`.
std::function<void(const std::string&)> printerFor(const CCommandSources& sources, std::string& out)
{
    if (sources.print)
        return sources.print;
    return [&out](const std::string& text) { out += text; };
}

std::string countdown(int secondsLeft)
{
    return "\r\x1b[KScanning for Bluetooth devices: " + std::to_string(secondsLeft)
        + " s left (Ctrl+C stops)";
}

} // namespace

CDeviceChoice chooseDevice(const std::string& text, const CCommandSources& sources)
{
    CDeviceChoice choice;
    if ((choice.address = parseBluetoothAddress(text)))
        return choice;
    std::vector<CBluezDevice> paired;
    if (sources.askBluez)
        if (std::optional<CBluezState> state = queryBluez())
            paired = state->devices;
    CNameMatch match = matchDeviceName(
        text, paired, loadLastScan(sources.lastScan.empty() ? lastScanFile() : sources.lastScan));
    if ((choice.address = match.address))
        return choice;
    if (match.candidates.empty()) {
        choice.problem = "'" + plainText(text)
            + "' is neither a Bluetooth address (XX:XX:XX:XX:XX:XX), nor the name of a paired"
              " device or of one the last scan found ("
            + commandName + " scan).";
        return choice;
    }
    choice.problem = "'" + plainText(text) + "' names " + std::to_string(match.candidates.size())
        + " devices; give the address of the one you mean:";
    for (const CBluezDevice& candidate : match.candidates)
        choice.problem += "\n  " + candidate.address + (candidate.paired ? "  paired" : "");
    return choice;
}

std::string channelReport(const CBluetoothAddress& address)
{
    CServiceLookup lookup(address);
    const auto deadline = std::chrono::steady_clock::now() + lookupLimit;
    CServiceLookup::State state;
    while ((state = lookup.step()) == CServiceLookup::State::asking) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollDescriptor(lookup.fd(), lookup.events(), int(left.count()));
    }
    switch (state) {
    case CServiceLookup::State::found:
        return "the device offers its serial port on channel " + std::to_string(lookup.channel())
            + "; Connect looks it up again each time.\n";
    case CServiceLookup::State::noSerialPort:
        return "warning: the device answers but offers no serial port; Connect will fail unless"
               " you give a channel it listens on.\n";
    case CServiceLookup::State::asking:
    case CServiceLookup::State::failed:
        break;
    }
    return "the device is not in reach now; Connect looks its channel up.\n";
}

CCommandResult scanCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources)
{
    int seconds = sources.scanSeconds;
    if (arguments.size() == 3 && arguments[1] == "--seconds") {
        const std::string& text = arguments[2];
        if (text.empty() || text.size() > 3
            || text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1
            || std::stoi(text) > longestScan)
            return commandFailed(exitUsage,
                "'" + plainText(text) + "' is not a number of seconds: give 1 to "
                    + std::to_string(longestScan) + ".");
        seconds = std::stoi(text);
    } else if (arguments.size() != 1) {
        return commandFailed(exitUsage, "scan takes only --seconds N.");
    }

    CCommandResult result;
    const auto print = printerFor(sources, result.out);
    bool counting = false;
    int left = seconds;
    auto showCount = [&] {
        if (sources.terminal) {
            print(countdown(left));
            counting = true;
        }
    };
    CScanEvents events;
    events.stopFd = sources.stopFd;
    bool headed = false;
    events.found = [&](const CBluezDevice& device) {
        std::string text = counting ? "\r\x1b[K" : "";
        if (!headed)
            text += "ADDRESS            PAIRED  SERIAL  NAME\n";
        headed = true;
        print(text + deviceLine(device) + "\n");
        counting = false;
        // The count is drawn again at once, so it stays beneath the list.
        showCount();
    };
    events.tick = [&](int secondsLeft) {
        left = secondsLeft;
        showCount();
    };
    if (!sources.terminal)
        print("Scanning for Bluetooth devices for " + std::to_string(seconds) + " s...\n");
    CScanOutcome outcome = scanBluetooth(seconds, events);
    if (counting)
        print("\r\x1b[K");
    if (outcome.problem != EBluezProblem::none) {
        CCommandResult failure
            = commandFailed(exitRefused, bluezProblem(outcome.problem, outcome.detail));
        failure.out = result.out;
        return failure;
    }
    saveLastScan(sources.lastScan.empty() ? lastScanFile() : sources.lastScan, outcome.devices);
    std::string end = outcome.stopped ? "Stopped. " : "";
    if (outcome.devices.empty())
        end += "No Bluetooth devices found: switch the device on and make it discoverable.\n";
    else
        end += std::to_string(outcome.devices.size()) + " found; pair one with: " + commandName
            + " pair ADDRESS|NAME\n";
    print(end);
    return result;
}

CCommandResult pairCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources)
{
    std::optional<std::string> pin;
    if (arguments.size() == 4 && arguments[2] == "--pin") {
        pin = arguments[3];
        // A legacy PIN is 1 to 16 characters.
        if (pin->empty() || pin->size() > 16)
            return commandFailed(exitUsage, "a PIN has 1 to 16 characters.");
    } else if (arguments.size() != 2) {
        return commandFailed(exitUsage, "pair takes a Bluetooth address or name, and --pin PIN.");
    }
    CDeviceChoice device = chooseDevice(arguments[1], sources);
    if (!device.address)
        return commandFailed(exitUsage, device.problem);

    CCommandResult result;
    CPairRequest request;
    request.address = *device.address;
    request.pin = pin;
    request.ask = sources.ask;
    request.stopFd = sources.stopFd;
    request.seekSeconds = sources.scanSeconds;
    request.say = [print = printerFor(sources, result.out)](
                      const std::string& line) { print(line + "\n"); };
    CPairOutcome outcome = pairBluetooth(request);
    std::string message = pairMessage(outcome, *device.address);
    if (!message.empty()) {
        CCommandResult failure = commandFailed(exitRefused, message);
        failure.out = result.out;
        return failure;
    }
    const std::string text = deviceText(outcome.name, *device.address);
    result.out += (outcome.outcome == EPairOutcome::alreadyPaired ? text + " is already paired"
                                                                  : "Paired with " + text)
        + " and trusted. Next: " + commandName + " set N " + formatBluetoothAddress(*device.address)
        + "\n";
    return result;
}

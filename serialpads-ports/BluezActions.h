// What serialpads-ports asks BlueZ to do, as the user, over the system bus: look for
// devices in reach, and pair one. Each action undoes what it started (the discovery,
// the pairing agent) whichever way it ends, also when it is told to stop.
#pragma once

#include "BluetoothAddress.h"
#include "Bluez.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Why BlueZ cannot be asked at all.
enum class EBluezProblem {
    none,
    serviceAbsent, // no system bus, or no Bluetooth service on it
    noAdapter,
    adapterOff,
    failed, // BlueZ refused; `detail` gives its words
};

struct CScanEvents {
    int stopFd = -1; // readable: stop now (the user pressed Ctrl+C)
    std::function<void(const CBluezDevice&)> found; // a device seen, or what is known of it changed
    std::function<void(int secondsLeft)> tick; // about once a second
    // Ends the scan as soon as this device is seen.
    std::optional<CBluetoothAddress> until;
};

struct CScanOutcome {
    EBluezProblem problem = EBluezProblem::none;
    std::string detail;
    std::vector<CBluezDevice> devices; // those seen, in the order they were
    bool stopped = false; // stopFd ended it
};

// Discovery on the first adapter switched on, for `seconds`, then stopped again.
CScanOutcome scanBluetooth(int seconds, const CScanEvents& events);

struct CPairRequest {
    CBluetoothAddress address;
    std::optional<std::string> pin; // the legacy PIN to give, if the device asks for one
    // Asks the user and gives the answer; null where there is nobody to ask.
    std::function<std::optional<std::string>(const std::string& prompt)> ask;
    std::function<void(const std::string&)> say; // a line for the user
    int stopFd = -1;
    int seekSeconds = 10; // how long to look for a device BlueZ does not know yet
};

enum class EPairOutcome {
    paired,
    alreadyPaired,
    serviceAbsent,
    noAdapter,
    adapterOff,
    notFound, // not in reach, or not discoverable
    wrongPin, // the device did not accept the PIN
    rejected, // the device refused the pairing
    noAnswer, // the device did not answer in time
    pinNeeded, // a PIN was asked, with none given and nobody to ask
    declined, // the user said no, or stopped it
    failed, // anything else; `detail` gives BlueZ's words
};

struct CPairOutcome {
    EPairOutcome outcome = EPairOutcome::failed;
    std::string detail;
    std::string name; // the device's name, when BlueZ knows it
};

// Pairs the device through a pairing agent of its own, then marks it trusted.
CPairOutcome pairBluetooth(const CPairRequest& request);

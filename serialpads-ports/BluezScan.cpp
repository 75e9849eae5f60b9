// Looking for Bluetooth devices in reach: a discovery on the adapter in use, reported as
// BlueZ's signals come in, and stopped again whichever way the scan ends.
#include "BluezSession.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// What a scan keeps between the bus's signals.
struct CScan {
    const CScanEvents* events = nullptr;
    std::string under; // the path of the adapter's devices, "/org/bluez/hci0/"
    std::map<std::string, CBluezDevice> known; // by object path
    std::vector<std::string> seen; // paths, in the order first seen
    bool reached = false; // the device `until` names was seen

    void heard(const CBluezDevice& before, const CBluezDevice& now)
    {
        if (std::ranges::find(seen, now.path) == seen.end())
            seen.push_back(now.path);
        else if (before.name == now.name && before.paired == now.paired
            && offersSerialPort(before) == offersSerialPort(now))
            return;
        if (events->found)
            events->found(now);
        if (events->until && parseBluetoothAddress(now.address) == events->until)
            reached = true;
    }
};

int interfacesAdded(sd_bus_message* message, void* data, sd_bus_error*)
{
    auto* scan = static_cast<CScan*>(data);
    const char* path = nullptr;
    if (sd_bus_message_read_basic(message, 'o', &path) < 0 || !path)
        return 0;
    CBluezState added;
    if (!readBluezObject(message, path, added))
        return 0;
    for (CBluezDevice& device : added.devices) {
        if (device.path.rfind(scan->under, 0) != 0)
            continue; // found by another adapter
        scan->heard(std::exchange(scan->known[device.path], device), device);
    }
    return 0;
}

int propertiesChanged(sd_bus_message* message, void* data, sd_bus_error*)
{
    auto* scan = static_cast<CScan*>(data);
    const char* interface = nullptr;
    const char* path = sd_bus_message_get_path(message);
    if (!path || sd_bus_message_read_basic(message, 's', &interface) < 0
        || !interface || std::strcmp(interface, "org.bluez.Device1") != 0)
        return 0;
    auto known = scan->known.find(path);
    if (known == scan->known.end() || known->second.path.rfind(scan->under, 0) != 0)
        return 0;
    CBluezDevice before = known->second;
    CBluezDevice& device = known->second;
    device.heard = false;
    if (!readDeviceProperties(message, device))
        return 0;
    // A device BlueZ knew from before counts as found once a discovery hears it again.
    if (device.heard || std::ranges::find(scan->seen, device.path) != scan->seen.end())
        scan->heard(before, device);
    return 0;
}

} // namespace

CScanOutcome scanBluetooth(int seconds, const CScanEvents& events)
{
    CBluezConnection connection = connectBluez();
    if (connection.problem != EBluezProblem::none)
        return { connection.problem, {}, {}, false };
    sd_bus* bus = connection.bus.get();
    CScan scan;
    scan.events = &events;
    for (const CBluezDevice& device : connection.state.devices)
        scan.known[device.path] = device;

    sd_bus_slot* added = nullptr;
    sd_bus_slot* changed = nullptr;
    if (sd_bus_match_signal(bus, &added, bluezService, nullptr,
            "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", interfacesAdded, &scan)
            < 0
        || sd_bus_match_signal(bus, &changed, bluezService, nullptr,
               "org.freedesktop.DBus.Properties", "PropertiesChanged", propertiesChanged, &scan)
            < 0) {
        sd_bus_slot_unref(added);
        return { EBluezProblem::failed, "cannot follow what BlueZ finds", {}, false };
    }
    CSlot addedSlot(added), changedSlot(changed);

    const std::string adapterPath = connection.adapter->path;
    scan.under = adapterPath + "/";
    // Serial ports are on classic Bluetooth only: no time is spent looking for Low Energy
    // devices. The filter is this connection's and goes with it; an adapter that takes
    // none still discovers.
    sd_bus_call_method(bus, bluezService, adapterPath.c_str(), "org.bluez.Adapter1",
        "SetDiscoveryFilter", nullptr, nullptr, "a{sv}", 1, "Transport", "s", "bredr");
    CBusError error;
    if (sd_bus_call_method(bus, bluezService, adapterPath.c_str(), "org.bluez.Adapter1",
            "StartDiscovery", &error.error, nullptr, "")
        < 0) {
        // Another discovery of this connection cannot be under way; any other refusal is
        // the adapter's.
        return { error.name() == "org.bluez.Error.NotReady" ? EBluezProblem::adapterOff
                                                            : EBluezProblem::failed,
            error.text(), {}, false };
    }

    CScanOutcome outcome;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    auto nextTick = start;
    for (;;) {
        auto now = Clock::now();
        if (now >= nextTick) {
            if (events.tick)
                events.tick(int(std::chrono::ceil<std::chrono::seconds>(deadline - now).count()));
            nextTick += std::chrono::seconds(1);
        }
        if (scan.reached || now >= deadline)
            break;
        auto wake = std::min(deadline, nextTick);
        if (!serveBus(
                bus, events.stopFd, std::chrono::ceil<milliseconds>(wake - now), outcome.stopped))
            break;
        while (sd_bus_process(bus, nullptr) > 0) { }
    }
    // Whichever way the scan ended, the adapter is left as it was found.
    sd_bus_call_method(bus, bluezService, adapterPath.c_str(), "org.bluez.Adapter1",
        "StopDiscovery", nullptr, nullptr, "");
    for (const std::string& path : scan.seen)
        outcome.devices.push_back(scan.known[path]);
    return outcome;
}

#include "Bluez.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <systemd/sd-bus.h>

namespace {

constexpr std::string_view serialPortUuid = "00001101-0000-1000-8000-00805f9b34fb";
constexpr std::uint64_t callTimeoutMicroseconds = 2'000'000;

// Reads a variant holding a string, a boolean or a list of strings into `out`; a
// variant of another type is skipped, so an unexpected type never stops the reading.
bool readVariant(sd_bus_message* message, std::string& out)
{
    const char* text = nullptr;
    if (sd_bus_message_enter_container(message, 'v', "s") <= 0)
        return sd_bus_message_skip(message, "v") >= 0;
    bool ok = sd_bus_message_read_basic(message, 's', &text) >= 0;
    if (ok && text)
        out = text;
    return sd_bus_message_exit_container(message) >= 0 && ok;
}

bool readVariant(sd_bus_message* message, bool& out)
{
    int value = 0;
    if (sd_bus_message_enter_container(message, 'v', "b") <= 0)
        return sd_bus_message_skip(message, "v") >= 0;
    bool ok = sd_bus_message_read_basic(message, 'b', &value) >= 0;
    out = ok && value;
    return sd_bus_message_exit_container(message) >= 0 && ok;
}

bool readVariant(sd_bus_message* message, std::vector<std::string>& out)
{
    char** list = nullptr;
    if (sd_bus_message_enter_container(message, 'v', "as") <= 0)
        return sd_bus_message_skip(message, "v") >= 0;
    bool ok = sd_bus_message_read_strv(message, &list) >= 0;
    for (char** item = list; list && *item; ++item) {
        out.emplace_back(*item);
        free(*item);
    }
    free(list);
    return sd_bus_message_exit_container(message) >= 0 && ok;
}

// An array of dictionary entries, a{`entry`}: `each` reads the contents of one entry and
// says whether it could.
template <typename Each> bool readEntries(sd_bus_message* message, const char* entry, Each each)
{
    const std::string array = "{" + std::string(entry) + "}";
    if (sd_bus_message_enter_container(message, 'a', array.c_str()) < 0)
        return false;
    int entered;
    while ((entered = sd_bus_message_enter_container(message, 'e', entry)) > 0)
        if (!each() || sd_bus_message_exit_container(message) < 0)
            return false;
    return entered == 0 && sd_bus_message_exit_container(message) >= 0;
}

// One interface's properties, a{sv}: each named one is read by `read`, which returns
// false for a name it does not want, so that its value is skipped.
template <typename Read> bool readProperties(sd_bus_message* message, Read read)
{
    return readEntries(message, "sv", [&] {
        const char* name = nullptr;
        if (sd_bus_message_read_basic(message, 's', &name) < 0)
            return false;
        int handled = read(std::string_view(name ? name : ""));
        return handled > 0 || (handled == 0 && sd_bus_message_skip(message, "v") >= 0);
    });
}

} // namespace

bool readDeviceProperties(sd_bus_message* message, CBluezDevice& device)
{
    return readProperties(message, [&](std::string_view property) -> int {
        if (property == "Address")
            return readVariant(message, device.address) ? 1 : -1;
        if (property == "Alias")
            return readVariant(message, device.name) ? 1 : -1;
        if (property == "Paired")
            return readVariant(message, device.paired) ? 1 : -1;
        if (property == "UUIDs") {
            device.uuids.clear();
            return readVariant(message, device.uuids) ? 1 : -1;
        }
        if (property == "RSSI")
            device.heard = true; // only its presence matters; the value is skipped
        return 0;
    });
}

bool readBluezObject(sd_bus_message* message, const char* path, CBluezState& state)
{
    return readEntries(message, "sa{sv}", [&] {
        const char* interface = nullptr;
        if (sd_bus_message_read_basic(message, 's', &interface) < 0)
            return false;
        std::string_view name = interface ? interface : "";
        bool ok = true;
        if (name == "org.bluez.Adapter1") {
            CBluezAdapter adapter;
            adapter.path = path ? path : "";
            ok = readProperties(message, [&](std::string_view property) -> int {
                if (property == "Address")
                    return readVariant(message, adapter.address) ? 1 : -1;
                if (property == "Powered")
                    return readVariant(message, adapter.powered) ? 1 : -1;
                return 0;
            });
            state.adapters.push_back(std::move(adapter));
        } else if (name == "org.bluez.Device1") {
            CBluezDevice device;
            device.path = path ? path : "";
            ok = readDeviceProperties(message, device);
            state.devices.push_back(std::move(device));
        } else {
            ok = sd_bus_message_skip(message, "a{sv}") >= 0;
        }
        return ok;
    });
}

std::optional<CBluezState> queryBluez()
{
    sd_bus* opened = nullptr;
    if (sd_bus_open_system(&opened) < 0)
        return std::nullopt;
    CBus bus(opened);
    return queryBluez(bus.get());
}

std::optional<CBluezState> queryBluez(sd_bus* bus)
{
    sd_bus_message* made = nullptr;
    if (sd_bus_message_new_method_call(
            bus, &made, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")
        < 0)
        return std::nullopt;
    CMessage call(made);
    // Listing ports must not start the Bluetooth service as a side effect.
    sd_bus_message_set_auto_start(call.get(), 0);
    sd_bus_message* answered = nullptr;
    if (sd_bus_call(bus, call.get(), callTimeoutMicroseconds, nullptr, &answered) < 0)
        return std::nullopt;
    CMessage reply(answered);

    CBluezState state;
    bool read = readEntries(reply.get(), "oa{sa{sv}}", [&] {
        const char* path = nullptr;
        return sd_bus_message_read_basic(reply.get(), 'o', &path) >= 0
            && readBluezObject(reply.get(), path, state);
    });
    return read ? std::optional(std::move(state)) : std::nullopt;
}

bool offersSerialPort(const CBluezDevice& device)
{
    return std::ranges::any_of(device.uuids, [](const std::string& uuid) {
        return std::ranges::equal(
            uuid, serialPortUuid, [](char a, char b) { return (a | 0x20) == (b | 0x20); });
    });
}

std::vector<CBluezDevice> pairedSerialDevices(const CBluezState& state)
{
    std::vector<CBluezDevice> found;
    for (const CBluezDevice& device : state.devices)
        if (device.paired && offersSerialPort(device))
            found.push_back(device);
    return found;
}

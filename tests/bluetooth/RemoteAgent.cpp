// The remote device's pairing agent in the Bluetooth test VM: what a module's firmware
// does when it is asked for its PIN. Run by root beside BlueZ's daemon (vm/init.sh),
// which manages both emulated controllers, as the default agent, so that a pairing that
// arrives at the remote's controller is answered here.
//
//   bluetooth_remote_agent ADAPTER PIN
//
// It answers a PIN request for a device under ADAPTER ("hci1") with PIN, and refuses
// everything else: a request for the local side would mean the command under test left
// its own pairing to somebody else's agent, and a passkey or a confirmation would mean
// the pairing was not the legacy one the remote stands for. Each request is one line on
// standard output ("pin DEVICE", "refused METHOD DEVICE"); "ready" once it is the
// default agent. It ends at the end of its standard input.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* agentPath = "/org/serialpads/remote_agent";

struct CAgent {
    std::string devicesUnder; // "/org/bluez/hci1/"
    std::string pin;
};

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int refuse(sd_bus_message* message, const char* device, sd_bus_error* error)
{
    say(std::string("refused ") + sd_bus_message_get_member(message) + " "
        + (device ? device : "?"));
    return sd_bus_error_set(error, "org.bluez.Error.Rejected", "the remote does not do that");
}

int requestPinCode(sd_bus_message* message, void* data, sd_bus_error* error)
{
    auto* agent = static_cast<CAgent*>(data);
    const char* device = nullptr;
    if (sd_bus_message_read_basic(message, 'o', &device) < 0 || !device
        || std::string(device).rfind(agent->devicesUnder, 0) != 0)
        return refuse(message, device, error);
    say(std::string("pin ") + device);
    return sd_bus_reply_method_return(message, "s", agent->pin.c_str());
}

int refuseRequest(sd_bus_message* message, void*, sd_bus_error* error)
{
    const char* device = nullptr;
    sd_bus_message_read_basic(message, 'o', &device);
    return refuse(message, device, error);
}

// Release and Cancel need no answer but a reply; a service asked for by a paired device
// is let in, as a module does.
int agree(sd_bus_message* message, void*, sd_bus_error*)
{
    return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable agentTable[]
    = { SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Release", "", "", agree, 0),
          SD_BUS_METHOD("RequestPinCode", "o", "s", requestPinCode, 0),
          SD_BUS_METHOD("DisplayPinCode", "os", "", refuseRequest, 0),
          SD_BUS_METHOD("RequestPasskey", "o", "u", refuseRequest, 0),
          SD_BUS_METHOD("DisplayPasskey", "ouq", "", refuseRequest, 0),
          SD_BUS_METHOD("RequestConfirmation", "ou", "", refuseRequest, 0),
          SD_BUS_METHOD("RequestAuthorization", "o", "", refuseRequest, 0),
          SD_BUS_METHOD("AuthorizeService", "os", "", agree, 0),
          SD_BUS_METHOD("Cancel", "", "", agree, 0), SD_BUS_VTABLE_END };

// One call to BlueZ's agent manager about this agent, with its capability when given.
bool callManager(sd_bus* bus, const char* method, const char* capability = nullptr)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int called = capability
        ? sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1", method,
              &error, nullptr, "os", agentPath, capability)
        : sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1", method,
              &error, nullptr, "o", agentPath);
    if (called < 0)
        std::fprintf(stderr, "bluetooth_remote_agent: %s: %s\n", method,
            error.message ? error.message : std::strerror(-called));
    sd_bus_error_free(&error);
    return called >= 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bluetooth_remote_agent ADAPTER PIN\n");
        return 2;
    }
    CAgent agent { std::string("/org/bluez/") + argv[1] + "/", argv[2] };
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_open_system(&bus) < 0
        || sd_bus_add_object_vtable(bus, &slot, agentPath, "org.bluez.Agent1", agentTable, &agent)
            < 0
        || !callManager(bus, "RegisterAgent", "KeyboardOnly")
        || !callManager(bus, "RequestDefaultAgent"))
        return 1;
    say("ready");
    for (;;) {
        while (sd_bus_process(bus, nullptr) > 0) { }
        pollfd waits[2]
            = { { sd_bus_get_fd(bus), short(sd_bus_get_events(bus)), 0 }, { 0, POLLIN, 0 } };
        if (poll(waits, 2, -1) < 0)
            break;
        if (waits[1].revents) {
            char ignored[64];
            if (read(0, ignored, sizeof ignored) <= 0)
                break;
        }
    }
    callManager(bus, "UnregisterAgent");
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return 0;
}

// Pairing one Bluetooth device through a pairing agent of this program's own, which
// asks the user for what the device wants and is taken away again however it ends.
#include "BluezSession.h"

#include <cstring>

using std::chrono::milliseconds;

namespace {

constexpr const char* agentPath = "/org/serialpads/agent";
// How long a pairing may take: the user may be typing the PIN meanwhile.
constexpr std::uint64_t pairTimeoutMicroseconds = 120'000'000;

struct CPairing {
    const CPairRequest* request = nullptr;
    std::string name; // how the device is called in what the user is asked
    bool pinGiven = false; // a PIN went to the device
    std::optional<EPairOutcome> refused; // the agent refused, and why
    std::optional<CPairOutcome> done; // the answer to Pair
};

CPairing& pairingOf(void* data)
{
    return *static_cast<CPairing*>(data);
}

int refuse(CPairing& pairing, EPairOutcome why, sd_bus_error* error)
{
    pairing.refused = why;
    return sd_bus_error_set(error, "org.bluez.Error.Rejected", "refused by the user");
}

// A PIN or passkey: from the command line, else asked, else none.
std::optional<std::string> secretFor(CPairing& pairing, const std::string& prompt)
{
    if (pairing.request->pin)
        return pairing.request->pin;
    if (!pairing.request->ask)
        return std::nullopt;
    std::optional<std::string> answer = pairing.request->ask(prompt);
    if (answer && answer->empty())
        answer = "1234";
    return answer;
}

std::string sixDigits(std::uint32_t passkey)
{
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06u", unsigned(passkey));
    return digits;
}

int requestPinCode(sd_bus_message* message, void* data, sd_bus_error* error)
{
    CPairing& pairing = pairingOf(data);
    if (!pairing.request->pin && !pairing.request->ask)
        return refuse(pairing, EPairOutcome::pinNeeded, error);
    std::optional<std::string> pin
        = secretFor(pairing, "PIN for " + pairing.name + " (often 1234 or 0000) [1234]: ");
    if (!pin)
        return refuse(pairing, EPairOutcome::declined, error);
    pairing.pinGiven = true;
    return sd_bus_reply_method_return(message, "s", pin->c_str());
}

int requestPasskey(sd_bus_message* message, void* data, sd_bus_error* error)
{
    CPairing& pairing = pairingOf(data);
    if (!pairing.request->pin && !pairing.request->ask)
        return refuse(pairing, EPairOutcome::pinNeeded, error);
    std::optional<std::string> passkey
        = secretFor(pairing, "Passkey for " + pairing.name + " (6 digits): ");
    if (!passkey)
        return refuse(pairing, EPairOutcome::declined, error);
    char* end = nullptr;
    unsigned long value = std::strtoul(passkey->c_str(), &end, 10);
    if (passkey->empty() || *end != '\0' || value > 999999)
        return refuse(pairing, EPairOutcome::wrongPin, error);
    pairing.pinGiven = true;
    return sd_bus_reply_method_return(message, "u", std::uint32_t(value));
}

int requestConfirmation(sd_bus_message* message, void* data, sd_bus_error* error)
{
    CPairing& pairing = pairingOf(data);
    const char* device = nullptr;
    std::uint32_t passkey = 0;
    if (sd_bus_message_read(message, "ou", &device, &passkey) < 0)
        return refuse(pairing, EPairOutcome::failed, error);
    if (!pairing.request->ask)
        return refuse(pairing, EPairOutcome::pinNeeded, error);
    std::optional<std::string> answer = pairing.request->ask(
        "Does " + pairing.name + " show the passkey " + sixDigits(passkey) + "? [y/n] ");
    if (!answer || (*answer != "y" && *answer != "Y" && *answer != "yes"))
        return refuse(pairing, EPairOutcome::declined, error);
    return sd_bus_reply_method_return(message, "");
}

int displayPinCode(sd_bus_message* message, void* data, sd_bus_error*)
{
    const char* device = nullptr;
    const char* pin = nullptr;
    if (sd_bus_message_read(message, "os", &device, &pin) >= 0 && pin)
        pairingOf(data).request->say(std::string("Type the PIN ") + pin + " on the device.");
    return sd_bus_reply_method_return(message, "");
}

int displayPasskey(sd_bus_message* message, void* data, sd_bus_error*)
{
    const char* device = nullptr;
    std::uint32_t passkey = 0;
    std::uint16_t entered = 0;
    if (sd_bus_message_read(message, "ouq", &device, &passkey, &entered) >= 0)
        pairingOf(data).request->say("Type the passkey " + sixDigits(passkey) + " on the device.");
    return sd_bus_reply_method_return(message, "");
}

// The pairing this program started is the only one its agent hears of: it agrees.
int agree(sd_bus_message* message, void*, sd_bus_error*)
{
    return sd_bus_reply_method_return(message, "");
}

int cancelled(sd_bus_message* message, void* data, sd_bus_error*)
{
    pairingOf(data).request->say("The device cancelled the pairing.");
    return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable agentTable[]
    = { SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Release", "", "", agree, 0),
          SD_BUS_METHOD("RequestPinCode", "o", "s", requestPinCode, 0),
          SD_BUS_METHOD("DisplayPinCode", "os", "", displayPinCode, 0),
          SD_BUS_METHOD("RequestPasskey", "o", "u", requestPasskey, 0),
          SD_BUS_METHOD("DisplayPasskey", "ouq", "", displayPasskey, 0),
          SD_BUS_METHOD("RequestConfirmation", "ou", "", requestConfirmation, 0),
          SD_BUS_METHOD("RequestAuthorization", "o", "", agree, 0),
          SD_BUS_METHOD("AuthorizeService", "os", "", agree, 0),
          SD_BUS_METHOD("Cancel", "", "", cancelled, 0), SD_BUS_VTABLE_END };

// What BlueZ's answer to Pair means, given what the agent did meanwhile.
CPairOutcome pairAnswer(const CPairing& pairing, const std::string& error, const std::string& text)
{
    CPairOutcome outcome;
    outcome.detail = text;
    if (error.empty())
        outcome.outcome = EPairOutcome::paired;
    else if (pairing.refused)
        outcome.outcome = *pairing.refused;
    else if (error == "org.bluez.Error.AlreadyExists")
        outcome.outcome = EPairOutcome::alreadyPaired;
    else if (error == "org.bluez.Error.AuthenticationFailed")
        outcome.outcome = pairing.pinGiven ? EPairOutcome::wrongPin : EPairOutcome::rejected;
    else if (error == "org.bluez.Error.AuthenticationRejected"
        || error == "org.bluez.Error.AuthenticationCanceled")
        outcome.outcome = EPairOutcome::rejected;
    else if (error == "org.bluez.Error.AuthenticationTimeout"
        || error == "org.bluez.Error.ConnectionAttemptFailed"
        || error == "org.freedesktop.DBus.Error.NoReply")
        outcome.outcome = EPairOutcome::noAnswer;
    else if (error == "org.bluez.Error.NotReady")
        outcome.outcome = EPairOutcome::adapterOff;
    else if (error == "org.bluez.Error.DoesNotExist"
        || error == "org.freedesktop.DBus.Error.UnknownObject")
        outcome.outcome = EPairOutcome::notFound;
    else
        outcome.outcome = EPairOutcome::failed;
    return outcome;
}

int pairReplied(sd_bus_message* reply, void* data, sd_bus_error*)
{
    CPairing& pairing = pairingOf(data);
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    pairing.done = pairAnswer(pairing, error && error->name ? error->name : "",
        error && error->message ? error->message : "");
    return 0;
}

// The device as the adapter in use knows it.
const CBluezDevice* deviceWith(const CBluezConnection& connection, const CBluetoothAddress& address)
{
    const std::string under = connection.adapter ? connection.adapter->path + "/" : "";
    for (const CBluezDevice& device : connection.state.devices)
        if (device.path.rfind(under, 0) == 0 && parseBluetoothAddress(device.address) == address)
            return &device;
    return nullptr;
}

EPairOutcome outcomeOf(EBluezProblem problem)
{
    switch (problem) {
    case EBluezProblem::serviceAbsent:
        return EPairOutcome::serviceAbsent;
    case EBluezProblem::noAdapter:
        return EPairOutcome::noAdapter;
    case EBluezProblem::adapterOff:
        return EPairOutcome::adapterOff;
    default:
        return EPairOutcome::failed;
    }
}

} // namespace

CPairOutcome pairBluetooth(const CPairRequest& request)
{
    CBluezConnection connection = connectBluez();
    if (connection.problem != EBluezProblem::none)
        return { outcomeOf(connection.problem), {}, {} };
    const CBluezDevice* known = deviceWith(connection, request.address);
    if (!known) {
        // BlueZ pairs only a device it has seen; one found by an earlier scan is forgotten
        // soon after. Look for it again, just long enough.
        request.say("Looking for " + formatBluetoothAddress(request.address) + "...");
        CScanEvents events;
        events.stopFd = request.stopFd;
        events.until = request.address;
        CScanOutcome scan = scanBluetooth(request.seekSeconds, events);
        if (scan.stopped)
            return { EPairOutcome::declined, {}, {} };
        if (scan.problem != EBluezProblem::none)
            return { outcomeOf(scan.problem), scan.detail, {} };
        connection = connectBluez();
        known = connection.problem == EBluezProblem::none ? deviceWith(connection, request.address)
                                                          : nullptr;
        if (!known)
            return { EPairOutcome::notFound, {}, {} };
    }
    const std::string path = known->path;
    CPairOutcome outcome { EPairOutcome::failed, {}, known->name };
    sd_bus* bus = connection.bus.get();
    auto trust = [&] {
        sd_bus_set_property(
            bus, bluezService, path.c_str(), "org.bluez.Device1", "Trusted", nullptr, "b", 1);
    };
    if (known->paired) {
        trust();
        outcome.outcome = EPairOutcome::alreadyPaired;
        return outcome;
    }

    CPairing pairing;
    pairing.request = &request;
    pairing.name = (known->name.empty() ? std::string() : known->name + " ") + "("
        + formatBluetoothAddress(request.address) + ")";
    sd_bus_slot* agentSlot = nullptr;
    if (sd_bus_add_object_vtable(
            bus, &agentSlot, agentPath, "org.bluez.Agent1", agentTable, &pairing)
        < 0) {
        outcome.detail = "cannot offer a pairing agent";
        return outcome;
    }
    CSlot agent(agentSlot);
    CBusError registerError;
    if (sd_bus_call_method(bus, bluezService, "/org/bluez", "org.bluez.AgentManager1",
            "RegisterAgent", &registerError.error, nullptr, "os", agentPath, "KeyboardDisplay")
        < 0) {
        outcome.detail = "BlueZ took no pairing agent: " + registerError.text();
        return outcome;
    }

    sd_bus_message* made = nullptr;
    sd_bus_slot* callSlot = nullptr;
    int started = sd_bus_message_new_method_call(
        bus, &made, bluezService, path.c_str(), "org.bluez.Device1", "Pair");
    CMessage call(made);
    if (started >= 0)
        started = sd_bus_call_async(
            bus, &callSlot, call.get(), pairReplied, &pairing, pairTimeoutMicroseconds);
    CSlot pending(callSlot);
    bool stopped = false;
    if (started < 0)
        pairing.done = CPairOutcome { EPairOutcome::failed, std::strerror(-started), {} };
    while (!pairing.done)
        if (!serveBus(bus, request.stopFd, milliseconds(1000), stopped))
            break;
    if (!pairing.done) {
        // Stopped by the user, or the bus went: the pairing is called off, not left running.
        sd_bus_call_method(bus, bluezService, path.c_str(), "org.bluez.Device1", "CancelPairing",
            nullptr, nullptr, "");
        pairing.done = CPairOutcome { stopped ? EPairOutcome::declined : EPairOutcome::failed,
            stopped ? "" : "the system bus went away", {} };
    }
    sd_bus_call_method(bus, bluezService, "/org/bluez", "org.bluez.AgentManager1",
        "UnregisterAgent", nullptr, nullptr, "o", agentPath);
    pairing.done->name = outcome.name;
    outcome = *pairing.done;
    if (outcome.outcome == EPairOutcome::paired || outcome.outcome == EPairOutcome::alreadyPaired)
        trust();
    return outcome;
}

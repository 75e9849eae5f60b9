// BlueZ's side of the command against a private message bus on which the test serves
// BlueZ's objects itself, with sd-bus: the listing's query, the scan's discovery and its
// signals, the pairing with the command's own agent, and names standing for addresses.
#include "Bluez.h"
#include "PortsCommand.h"
#include "TableRow.h"
#include "TestPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

namespace {

struct CFakeObject {
    std::string address, alias;
    bool flag = false; // Powered for an adapter, Paired for a device
    std::vector<std::string> uuids;
    // How the device answers a pairing: asks for this PIN, or fails with this error.
    std::string pin = "1234";
    std::string pairError = "";
    bool trusted = false;
    struct CFake* fake = nullptr;
};

// What the fake BlueZ was asked, for the test to look at.
struct CFake {
    sd_bus* bus = nullptr;
    std::atomic<int> started = 0, stopped = 0, registered = 0, unregistered = 0, pinsAsked = 0;
    std::string agentOwner, agentPath;
    CFakeObject newcomer { "00:AA:01:01:00:01", "HC-05 new", false, {} };
    bool newcomerAdded = false;
    std::vector<CFakeObject*> devices;
};

// A property read from the fake object's `member`: a string or a flag.
template <auto member>
int get(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* object,
    sd_bus_error*)
{
    const auto& value = static_cast<CFakeObject*>(object)->*member;
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, bool>)
        return sd_bus_message_append(reply, "b", int(value));
    else
        return sd_bus_message_append(reply, "s", value.c_str());
}
int getUuids(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* object,
    sd_bus_error*)
{
    sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& uuid : static_cast<CFakeObject*>(object)->uuids)
        sd_bus_message_append(reply, "s", uuid.c_str());
    return sd_bus_message_close_container(reply);
}

int getRssi(
    sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*)
{
    return sd_bus_message_append(reply, "n", std::int16_t(-50));
}
int setTrusted(sd_bus*, const char*, const char*, const char*, sd_bus_message* value, void* object,
    sd_bus_error*)
{
    int trusted = 0;
    int read = sd_bus_message_read(value, "b", &trusted);
    static_cast<CFakeObject*>(object)->trusted = trusted;
    return read;
}

const char* deviceBase = "/org/bluez/hci0/dev_";

// A discovery hears the devices BlueZ knew (their signal strength changes) and finds one
// it did not know.
int startDiscovery(sd_bus_message* message, void* data, sd_bus_error*);
int stopDiscovery(sd_bus_message* message, void* data, sd_bus_error*)
{
    ++static_cast<CFakeObject*>(data)->fake->stopped;
    return sd_bus_reply_method_return(message, "");
}

int registerAgent(sd_bus_message* message, void* data, sd_bus_error*)
{
    auto* fake = static_cast<CFake*>(data);
    const char* path = nullptr;
    const char* capability = nullptr;
    sd_bus_message_read(message, "os", &path, &capability);
    fake->agentOwner = sd_bus_message_get_sender(message);
    fake->agentPath = path;
    ++fake->registered;
    return sd_bus_reply_method_return(message, "");
}
int unregisterAgent(sd_bus_message* message, void* data, sd_bus_error*)
{
    ++static_cast<CFake*>(data)->unregistered;
    return sd_bus_reply_method_return(message, "");
}

// Pair asks the caller's agent for the PIN, as BlueZ does for a legacy device, and
// answers once the agent has.
struct CPendingPair {
    sd_bus_message* call;
    CFakeObject* device;
};
int pinAnswered(sd_bus_message* answer, void* data, sd_bus_error*)
{
    auto* pending = static_cast<CPendingPair*>(data);
    const char* pin = nullptr;
    if (sd_bus_message_is_method_error(answer, nullptr))
        sd_bus_reply_method_errorf(
            pending->call, "org.bluez.Error.AuthenticationCanceled", "agent refused");
    else if (sd_bus_message_read(answer, "s", &pin) >= 0 && pin == pending->device->pin) {
        pending->device->flag = true;
        sd_bus_reply_method_return(pending->call, "");
    } else
        sd_bus_reply_method_errorf(
            pending->call, "org.bluez.Error.AuthenticationFailed", "Authentication Failed");
    sd_bus_message_unref(pending->call);
    delete pending;
    return 0;
}
int pair(sd_bus_message* message, void* data, sd_bus_error* error)
{
    auto* device = static_cast<CFakeObject*>(data);
    CFake* fake = device->fake;
    if (device->flag)
        return sd_bus_error_set(error, "org.bluez.Error.AlreadyExists", "Already Exists");
    if (!device->pairError.empty())
        return sd_bus_error_set(error, device->pairError.c_str(), "refused");
    if (fake->agentOwner != sd_bus_message_get_sender(message))
        return sd_bus_error_set(error, "org.bluez.Error.AuthenticationFailed", "no agent");
    ++fake->pinsAsked;
    auto* pending = new CPendingPair { sd_bus_message_ref(message), device };
    return sd_bus_call_method_async(fake->bus, nullptr, fake->agentOwner.c_str(),
        fake->agentPath.c_str(), "org.bluez.Agent1", "RequestPinCode", pinAnswered, pending, "o",
        sd_bus_message_get_path(message));
}
int cancelPairing(sd_bus_message* message, void*, sd_bus_error*)
{
    return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable adapterTable[]
    = { SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Address", "s", get<&CFakeObject::address>, 0, 0),
          SD_BUS_PROPERTY("Powered", "b", get<&CFakeObject::flag>, 0, 0),
          SD_BUS_METHOD("StartDiscovery", "", "", startDiscovery, 0),
          SD_BUS_METHOD("StopDiscovery", "", "", stopDiscovery, 0), SD_BUS_VTABLE_END };
const sd_bus_vtable agentManagerTable[]
    = { SD_BUS_VTABLE_START(0), SD_BUS_METHOD("RegisterAgent", "os", "", registerAgent, 0),
          SD_BUS_METHOD("UnregisterAgent", "o", "", unregisterAgent, 0), SD_BUS_VTABLE_END };
const sd_bus_vtable deviceTable[] = { SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Address", "s", get<&CFakeObject::address>, 0, 0),
    SD_BUS_PROPERTY("Name", "s", get<&CFakeObject::alias>, 0, 0),
    SD_BUS_PROPERTY("Alias", "s", get<&CFakeObject::alias>, 0, 0),
    SD_BUS_PROPERTY("Paired", "b", get<&CFakeObject::flag>, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("RSSI", "n", getRssi, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("UUIDs", "as", getUuids, 0, 0),
    SD_BUS_WRITABLE_PROPERTY("Trusted", "b", get<&CFakeObject::trusted>, setTrusted, 0, 0),
    SD_BUS_METHOD("Pair", "", "", pair, 0),
    SD_BUS_METHOD("CancelPairing", "", "", cancelPairing, 0), SD_BUS_VTABLE_END };

int startDiscovery(sd_bus_message* message, void* data, sd_bus_error* error)
{
    auto* adapter = static_cast<CFakeObject*>(data);
    if (!adapter->flag)
        return sd_bus_error_set(error, "org.bluez.Error.NotReady", "Resource Not Ready");
    CFake* fake = adapter->fake;
    ++fake->started;
    // The first device is in reach; the others BlueZ only remembers.
    sd_bus_emit_properties_changed(
        fake->bus, (deviceBase + std::string("0")).c_str(), "org.bluez.Device1", "RSSI", nullptr);
    if (!fake->newcomerAdded) {
        fake->newcomerAdded = true;
        std::string path = std::string(deviceBase) + "new";
        sd_bus_add_object_vtable(
            fake->bus, nullptr, path.c_str(), "org.bluez.Device1", deviceTable, &fake->newcomer);
        sd_bus_emit_interfaces_added(fake->bus, path.c_str(), "org.bluez.Device1", nullptr);
    }
    return sd_bus_reply_method_return(message, "");
}

class BluezTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int output[2];
        ASSERT_EQ(pipe(output), 0);
        daemon = fork();
        if (daemon == 0) {
            dup2(output[1], STDOUT_FILENO);
            // It warns that it cannot raise its descriptor limit, which is of no matter.
            freopen("/dev/null", "w", stderr);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address",
                static_cast<char*>(nullptr));
            _exit(127);
        }
        close(output[1]);
        FILE* stream = fdopen(output[0], "r");
        char line[512] = {};
        if (!fgets(line, sizeof line, stream))
            GTEST_SKIP() << "dbus-daemon did not start";
        fclose(stream);
        address = line;
        address.erase(address.find_last_not_of('\n') + 1);
        systemBus.emplace("DBUS_SYSTEM_BUS_ADDRESS", address.c_str());
    }

    void TearDown() override
    {
        if (server.joinable()) {
            stop = true;
            server.join();
        }
        if (bus)
            sd_bus_flush_close_unref(bus);
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
    }

    // Serves BlueZ's name and objects on the bus from a thread until the test ends.
    void serveBluez()
    {
        ASSERT_GE(sd_bus_new(&bus), 0);
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        ASSERT_GE(sd_bus_start(bus), 0);
        ASSERT_GE(sd_bus_add_object_manager(bus, nullptr, "/"), 0);
        fake.bus = bus;
        fake.newcomer.fake = &fake;
        if (withAdapter) {
            adapter.fake = &fake;
            sd_bus_add_object_vtable(
                bus, nullptr, "/org/bluez/hci0", "org.bluez.Adapter1", adapterTable, &adapter);
        }
        sd_bus_add_object_vtable(
            bus, nullptr, "/org/bluez", "org.bluez.AgentManager1", agentManagerTable, &fake);
        for (std::size_t i = 0; i < std::size(devices); ++i) {
            std::string path = deviceBase + std::to_string(i);
            devices[i].fake = &fake;
            fake.devices.push_back(&devices[i]);
            sd_bus_add_object_vtable(
                bus, nullptr, path.c_str(), "org.bluez.Device1", deviceTable, &devices[i]);
        }
        ASSERT_GE(sd_bus_request_name(bus, "org.bluez", 0), 0);
        server = std::thread([this] {
            while (!stop)
                if (sd_bus_process(bus, nullptr) == 0)
                    sd_bus_wait(bus, 50'000);
        });
    }

    std::string address;
    std::optional<CScopedVariable> systemBus;
    pid_t daemon = -1;
    sd_bus* bus = nullptr;
    std::thread server;
    std::atomic<bool> stop = false;
    bool withAdapter = true;
    CFake fake;
    CFakeObject adapter { "00:00:00:00:00:0A", "", true, {} };
    CFakeObject devices[2] = {
        { "00:1A:7D:DA:71:13", "HC-05\x1b[2J", true,
            { "00001101-0000-1000-8000-00805f9b34fb", "00001200-0000-1000-8000-00805f9b34fb" } },
        { "00:1A:7D:DA:71:14", "Headset", false, { "0000110b-0000-1000-8000-00805f9b34fb" } },
    };
};

TEST_F(BluezTest, ReadsAdaptersAndDevicesFromTheObjectManager)
{
    serveBluez();
    std::optional<CBluezState> state = queryBluez();
    ASSERT_TRUE(state);
    ASSERT_EQ(state->adapters.size(), 1u);
    EXPECT_EQ(state->adapters[0].address, "00:00:00:00:00:0A");
    EXPECT_TRUE(state->adapters[0].powered);
    ASSERT_EQ(state->devices.size(), 2u);
    // The bus lists objects in no set order.
    const CBluezDevice& serial
        = state->devices[0].address == devices[0].address ? state->devices[0] : state->devices[1];
    const CBluezDevice& headset
        = &serial == &state->devices[0] ? state->devices[1] : state->devices[0];
    EXPECT_EQ(serial.name, "HC-05\x1b[2J");
    EXPECT_TRUE(serial.paired);
    EXPECT_EQ(serial.uuids, devices[0].uuids);
    EXPECT_EQ(headset.address, devices[1].address);
    EXPECT_FALSE(headset.paired);
    EXPECT_EQ(pairedSerialDevices(*state).size(), 1u);
}

TEST_F(BluezTest, NothingWhenBluezIsNotOnTheBus)
{
    EXPECT_FALSE(queryBluez());
}

// ---- the commands against the fake -------------------------------------------------

class BluezCommandTest : public BluezTest {
protected:
    void SetUp() override
    {
        BluezTest::SetUp();
        sources.lastScan = ports.path() / "last-scan";
        sources.scanSeconds = 1;
    }

    CCommandResult run(std::vector<std::string> arguments)
    {
        return runPortsCommand(arguments, sources);
    }

    void saveScan(std::vector<std::pair<std::string, std::string>> found)
    {
        std::ofstream out(sources.lastScan);
        for (auto& [where, name] : found)
            out << where << '\t' << name << '\n';
    }

    CTestPortDirectory ports;
    CCommandSources sources;
};

TEST_F(BluezCommandTest, ScanShowsWhatItFindsAndStopsItsDiscovery)
{
    serveBluez();
    CCommandResult result = run({ "scan", "--seconds", "1" });
    EXPECT_EQ(result.status, exitDone) << result.err;
    // The paired module BlueZ knew, heard again, and the module it did not know, each
    // with whether it is paired and offers a serial port; names shown as plain text.
    EXPECT_TRUE(mentions(result.out,
        { "00:1A:7D:DA:71:13  yes     yes     HC-05\\x1B[2J\n",
            "00:AA:01:01:00:01  no      ?       HC-05 new\n" }));
    EXPECT_EQ(result.out.find("Headset"), std::string::npos)
        << "a device BlueZ knew but did not hear";
    EXPECT_EQ(fake.started, 1);
    EXPECT_EQ(fake.stopped, 1);
    // What it found is kept, for a name to stand for an address.
    std::ifstream kept(sources.lastScan);
    std::string all((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(mentions(all, { "00:AA:01:01:00:01\tHC-05 new\n" }));
}

TEST_F(BluezCommandTest, CtrlCEndsTheScanAndStopsTheDiscovery)
{
    serveBluez();
    int pressed[2];
    ASSERT_EQ(pipe(pressed), 0);
    sources.stopFd = pressed[0];
    std::thread press([&] {
        usleep(200'000);
        (void)!write(pressed[1], "x", 1);
    });
    auto start = std::chrono::steady_clock::now();
    CCommandResult result = run({ "scan", "--seconds", "60" });
    press.join();
    close(pressed[0]);
    close(pressed[1]);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(result.status, exitDone) << result.err;
    EXPECT_TRUE(mentions(result.out, { "Stopped." }));
    EXPECT_EQ(fake.stopped, 1);
}

TEST_F(BluezCommandTest, ScanOnATerminalCountsDownInPlace)
{
    serveBluez();
    sources.terminal = true;
    CCommandResult result = run({ "scan", "--seconds", "2" });
    EXPECT_TRUE(
        mentions(result.out, { "\r\x1b[KScanning for Bluetooth devices: 2 s left", "1 s left" }));
    EXPECT_EQ(result.out.find("for 2 s...\n"), std::string::npos);
}

struct BluezProblemCase : CTableRow {
    bool serve, adapter, powered;
    std::vector<std::string> arguments;
    std::string message;
};

class BluezProblemTest : public BluezCommandTest,
                         public ::testing::WithParamInterface<BluezProblemCase> { };

TEST_P(BluezProblemTest, SaysWhatStandsInTheWay)
{
    const BluezProblemCase& entry = GetParam();
    withAdapter = entry.adapter;
    adapter.flag = entry.powered;
    if (entry.serve)
        serveBluez();
    CCommandResult result = run(entry.arguments);
    EXPECT_EQ(result.status, exitRefused);
    EXPECT_TRUE(mentions(result.err, { entry.message }));
    EXPECT_EQ(fake.started - fake.stopped, 0) << "a discovery left running";
}

INSTANTIATE_TEST_SUITE_P(Problems, BluezProblemTest,
    ::testing::Values(BluezProblemCase { "ScanServiceAbsent", false, true, true, { "scan" },
                          "the Bluetooth service is not running" },
        BluezProblemCase { "ScanNoAdapter", true, false, true, { "scan" }, "no Bluetooth adapter" },
        BluezProblemCase { "ScanAdapterOff", true, true, false, { "scan" },
            "switched off: bluetoothctl power on" },
        BluezProblemCase { "PairServiceAbsent", false, true, true,
            { "pair", "00:1A:7D:DA:71:14", "--pin", "1234" },
            "the Bluetooth service is not running" },
        BluezProblemCase { "PairNoAdapter", true, false, true,
            { "pair", "00:1A:7D:DA:71:14", "--pin", "1234" }, "no Bluetooth adapter" },
        BluezProblemCase { "PairAdapterOff", true, true, false,
            { "pair", "00:1A:7D:DA:71:14", "--pin", "1234" }, "switched off" }),
    byWhat);

struct PairCase : CTableRow {
    std::vector<std::string> arguments;
    std::string pairError; // how the device answers, beyond checking the PIN
    std::optional<std::string> typed; // what the user types when asked; nothing: no terminal
    int status;
    std::string message; // in the output or the error
    bool paired;
};

class PairTest : public BluezCommandTest, public ::testing::WithParamInterface<PairCase> { };

TEST_P(PairTest, PairsWithItsOwnAgentOrSaysWhatToTry)
{
    const PairCase& entry = GetParam();
    devices[1].pairError = entry.pairError;
    std::vector<std::string> asked;
    if (entry.typed)
        sources.ask = [&](const std::string& prompt) {
            asked.push_back(prompt);
            return entry.typed;
        };
    saveScan({ { "00:1A:7D:DA:71:14", "Headset" } });
    serveBluez();
    CCommandResult result = run(entry.arguments);
    EXPECT_EQ(result.status, entry.status) << result.err;
    EXPECT_TRUE(mentions(result.out + result.err, { entry.message }));
    CFakeObject& device = entry.arguments[1] == "00:AA:01:01:00:01" ? fake.newcomer : devices[1];
    EXPECT_EQ(device.flag, entry.paired);
    EXPECT_EQ(device.trusted, entry.paired);
    // The agent is there for the pairing only.
    EXPECT_EQ(fake.registered, fake.unregistered);
    if (entry.typed && fake.pinsAsked > 0) {
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_TRUE(mentions(asked[0], { "[1234]" }));
    }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, PairTest,
    ::testing::Values(
        PairCase { "PinGiven", { "pair", "00:1A:7D:DA:71:14", "--pin", "1234" }, "", std::nullopt,
            exitDone, "Paired with Headset (00:1A:7D:DA:71:14) and trusted.", true },
        PairCase { "WrongPin", { "pair", "00:1A:7D:DA:71:14", "--pin", "0000" }, "", std::nullopt,
            exitRefused, "did not accept the PIN", false },
        PairCase { "AskedSuggests1234", { "pair", "00:1A:7D:DA:71:14" }, "", std::string(),
            exitDone, "Paired with", true },
        PairCase { "AskedWrong", { "pair", "00:1A:7D:DA:71:14" }, "", std::string("9999"),
            exitRefused, "did not accept the PIN", false },
        PairCase { "NoTerminalNoPin", { "pair", "00:1A:7D:DA:71:14" }, "", std::nullopt,
            exitRefused, "there is no terminal to ask on: give it with --pin", false },
        PairCase { "Rejected", { "pair", "00:1A:7D:DA:71:14", "--pin", "1234" },
            "org.bluez.Error.AuthenticationRejected", std::nullopt, exitRefused,
            "rejected the pairing", false },
        PairCase { "NoAnswer", { "pair", "00:1A:7D:DA:71:14", "--pin", "1234" },
            "org.bluez.Error.ConnectionAttemptFailed", std::nullopt, exitRefused, "did not answer",
            false },
        PairCase { "AlreadyPaired", { "pair", "00:1A:7D:DA:71:13" }, "", std::nullopt, exitDone,
            "is already paired", false },
        PairCase { "ByName", { "pair", "headset", "--pin", "1234" }, "", std::nullopt, exitDone,
            "Paired with Headset", true },
        // BlueZ forgets what a scan found soon after; pair looks for it again.
        PairCase { "NotKnownYet", { "pair", "00:AA:01:01:00:01", "--pin", "1234" }, "",
            std::nullopt, exitDone, "Paired with HC-05 new (00:AA:01:01:00:01)", true },
        PairCase { "NotInReach", { "pair", "00:AA:01:01:00:09", "--pin", "1234" }, "", std::nullopt,
            exitRefused, "was not found", false }),
    byWhat);

TEST_F(BluezCommandTest, ANameStandsForTheAddressItMatches)
{
    serveBluez();
    saveScan({ { "00:AA:01:01:00:01", "HC-05 new" }, { "00:AA:01:01:00:02", "Twin" },
        { "00:AA:01:01:00:03", "twin" } });
    // Matched against the scan and the paired devices, letter case aside; the entry
    // keeps the address.
    CCommandResult set = run({ "set", "1", "hc-05 NEW", "4" });
    EXPECT_EQ(set.status, exitDone) << set.err;
    std::error_code error;
    EXPECT_EQ(
        std::filesystem::read_symlink(ports.entry(1), error), "bluetooth:00:AA:01:01:00:01/4");
    CCommandResult paired = run({ "set", "2", "HC-05\x1b[2J", "2" });
    EXPECT_EQ(paired.status, exitDone) << paired.err;
    EXPECT_EQ(
        std::filesystem::read_symlink(ports.entry(2), error), "bluetooth:00:1A:7D:DA:71:13/2");
    // Unpaired devices BlueZ knows but the scan did not find are no match.
    CCommandResult headset = run({ "set", "3", "Headset" });
    EXPECT_EQ(headset.status, exitUsage);
    EXPECT_TRUE(mentions(headset.err, { "nor the name of a paired device" }));
    // Two devices of one name: refused, both listed.
    CCommandResult twins = run({ "set", "3", "TWIN" });
    EXPECT_EQ(twins.status, exitUsage);
    EXPECT_TRUE(
        mentions(twins.err, { "names 2 devices", "00:AA:01:01:00:02", "00:AA:01:01:00:03" }));
    EXPECT_FALSE(std::filesystem::is_symlink(ports.entry(3)));
}

} // namespace

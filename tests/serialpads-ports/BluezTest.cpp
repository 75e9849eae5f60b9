// The BlueZ query against a private message bus on which the test serves BlueZ's object
// manager itself, with sd-bus, so the reading of the real reply is what is tested.
#include "Bluez.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace {

struct CFakeObject {
    std::string address, alias;
    bool flag = false; // Powered for an adapter, Paired for a device
    std::vector<std::string> uuids;
};

int getAddress(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* object,
    sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", static_cast<CFakeObject*>(object)->address.c_str());
}
int getAlias(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* object,
    sd_bus_error*)
{
    return sd_bus_message_append(reply, "s", static_cast<CFakeObject*>(object)->alias.c_str());
}
int getFlag(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* object,
    sd_bus_error*)
{
    return sd_bus_message_append(reply, "b", int(static_cast<CFakeObject*>(object)->flag));
}
int getUuids(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* object,
    sd_bus_error*)
{
    sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& uuid : static_cast<CFakeObject*>(object)->uuids)
        sd_bus_message_append(reply, "s", uuid.c_str());
    return sd_bus_message_close_container(reply);
}

const sd_bus_vtable adapterTable[]
    = { SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Address", "s", getAddress, 0, 0),
          SD_BUS_PROPERTY("Powered", "b", getFlag, 0, 0), SD_BUS_VTABLE_END };
const sd_bus_vtable deviceTable[] = { SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Address", "s", getAddress, 0, 0), SD_BUS_PROPERTY("Name", "s", getAlias, 0, 0),
    SD_BUS_PROPERTY("Alias", "s", getAlias, 0, 0), SD_BUS_PROPERTY("Paired", "b", getFlag, 0, 0),
    SD_BUS_PROPERTY("RSSI", "n", nullptr, 0, 0), SD_BUS_PROPERTY("UUIDs", "as", getUuids, 0, 0),
    SD_BUS_VTABLE_END };

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
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }

    void TearDown() override
    {
        if (server.joinable()) {
            stop = true;
            server.join();
        }
        if (bus)
            sd_bus_flush_close_unref(bus);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
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
        sd_bus_add_object_vtable(
            bus, nullptr, "/org/bluez/hci0", "org.bluez.Adapter1", adapterTable, &adapter);
        for (std::size_t i = 0; i < std::size(devices); ++i) {
            std::string path = "/org/bluez/hci0/dev_" + std::to_string(i);
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
    pid_t daemon = -1;
    sd_bus* bus = nullptr;
    std::thread server;
    std::atomic<bool> stop = false;
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

} // namespace

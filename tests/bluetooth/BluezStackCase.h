// What the cases on the real stack with BlueZ's daemon share (the test VM's last phase,
// vm/init.sh, as the ordinary user): the command a user runs, the remote's service
// record switched on and off, the remote listening on the channel that record names,
// and BlueZ's own view of the remote.
#pragma once

#include <string>

// The channel controller.sh's record names: not 1, so a Connect that never looked the
// record up misses it.
inline constexpr int recordChannel = 5;

// An environment variable the VM's start-up sets; empty when unset.
std::string environmentValueOf(const char* name);

// What serialpads-ports says, standard error included, and its exit status; printed
// with the case's output.
struct CPortsRun {
    int status = -1;
    std::string out;
};
CPortsRun runPorts(const std::string& arguments);

// The remote offers its Serial Port service on recordChannel ("on"), or none ("off").
void setServiceRecord(const char* state);

// A property of the remote as the local adapter's BlueZ device ("Paired", "Trusted"),
// as BlueZ itself gives it: "true", "false", or "" when BlueZ does not know the device.
std::string remoteDeviceProperty(const std::string& address, const char* property);

// Constructed before a case's remote, so that it listens on the record's channel and,
// as the module that was paired with its PIN, lets in only a device it is paired with.
struct CListensOnTheRecordsChannel {
    CListensOnTheRecordsChannel();
    ~CListensOnTheRecordsChannel();
};

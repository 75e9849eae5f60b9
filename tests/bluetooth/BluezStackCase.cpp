#include "BluezStackCase.h"

#include "RemoteDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace {

std::string portsTool()
{
    std::error_code ignored;
    return (std::filesystem::read_symlink("/proc/self/exe", ignored)
                .parent_path()
                .parent_path()
                .parent_path()
        / "serialpads-ports" / "serialpads-ports")
        .string();
}

// Everything `command` writes on its standard output, and its exit status.
CPortsRun capture(const std::string& command)
{
    CPortsRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[512];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, got);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace

std::string environmentValueOf(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

CPortsRun runPorts(const std::string& arguments)
{
    // Standard input is not a terminal: nothing may wait for a person to type.
    CPortsRun run = capture(portsTool() + " " + arguments + " 2>&1 < /dev/null");
    std::printf("$ serialpads-ports %s\n%s", arguments.c_str(), run.out.c_str());
    std::fflush(stdout);
    return run;
}

void setServiceRecord(const char* state)
{
    runController(std::string("sdp ") + state);
}

std::string remoteDeviceProperty(const std::string& address, const char* property)
{
    // The local controller is the system's first adapter, the one serialpads-ports uses.
    std::string path = "/org/bluez/hci0/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    CPortsRun run = capture("dbus-send --system --print-reply=literal --dest=org.bluez " + path
        + " org.freedesktop.DBus.Properties.Get string:org.bluez.Device1 string:" + property
        + " 2> /dev/null");
    // "   variant       boolean true"
    std::size_t end = run.out.find_last_not_of(" \n");
    if (run.status != 0 || end == std::string::npos)
        return "";
    std::size_t start = run.out.find_last_of(' ', end);
    return run.out.substr(start + 1, end - start);
}

CListensOnTheRecordsChannel::CListensOnTheRecordsChannel()
{
    CRemoteDevice::channel = recordChannel;
    CRemoteDevice::pairedOnly = true;
}

CListensOnTheRecordsChannel::~CListensOnTheRecordsChannel()
{
    CRemoteDevice::channel = 1;
    CRemoteDevice::pairedOnly = false;
}

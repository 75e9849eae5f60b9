#include "DeviceClass.h"

#include "BluetoothLink.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

bool waitsForLink(unsigned int deviceMajor)
{
    return deviceMajor == rfcommMajor;
}

bool isKnownNonTerminal(unsigned int deviceMajor, unsigned int deviceMinor)
{
    fs::path subsystem = "/sys/dev/char/" + std::to_string(deviceMajor) + ":"
        + std::to_string(deviceMinor) + "/subsystem";
    std::error_code error;
    fs::path target = fs::read_symlink(subsystem, error);
    return !error && target.filename() != "tty";
}

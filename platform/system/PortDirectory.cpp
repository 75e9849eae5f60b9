#include "PortDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A variable that is set to the empty string counts as not set, as the XDG base
// directory rules ask.
const char* nonEmptyVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

char16_t upper(char16_t unit)
{
    return unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
}

} // namespace

std::optional<int> portNumberFromName(std::u16string_view name)
{
    if (name.size() != 5 || upper(name[0]) != u'C' || upper(name[1]) != u'O'
        || upper(name[2]) != u'M' || name[3] < u'1' || name[3] > u'9' || name[4] != u':')
        return std::nullopt;
    return int(name[3] - u'0');
}

fs::path portDirectory()
{
    if (const char* ports = nonEmptyVariable("SERIALPADS_PORTS"))
        return ports;
    // A relative XDG_CONFIG_HOME is invalid and ignored, so a program started from
    // another directory does not find different ports.
    if (const char* config = nonEmptyVariable("XDG_CONFIG_HOME"); config && *config == '/')
        return fs::path(config) / "serialpads" / "ports";
    if (const char* home = nonEmptyVariable("HOME"))
        return fs::path(home) / ".config" / "serialpads" / "ports";
    return {};
}

std::optional<fs::path> devicePathForPort(std::u16string_view name)
{
    std::optional<int> number = portNumberFromName(name);
    if (!number)
        return std::nullopt;
    fs::path fallback = fallbackDeviceForPort(*number);

    fs::path directory = portDirectory();
    if (directory.empty())
        return fallback;
    fs::path entry = directory / ("com" + std::to_string(*number));
    // lstat, not stat: a link whose device has gone is still the user's choice for this
    // port and must fail to open, not fall back to a Bluetooth port.
    struct stat status {};
    if (lstat(entry.c_str(), &status) == 0)
        return entry;
    if (errno == ENOENT || errno == ENOTDIR)
        return fallback;
    return std::nullopt;
}

fs::path fallbackDeviceForPort(int number)
{
    return "/dev/rfcomm" + std::to_string(number - 1);
}

std::optional<CPortTarget> targetForPort(int number)
{
    fs::path directory = portDirectory();
    if (directory.empty())
        return CDeviceTarget { fallbackDeviceForPort(number), {} };
    fs::path entry = directory / ("com" + std::to_string(number));

    // The link is read once, so an entry replaced meanwhile gives the old target or the
    // new one, never the path of one and the settings of the other.
    std::error_code error;
    fs::path link = fs::read_symlink(entry, error);
    if (error) {
        // Not a link: the entry is the device node itself, or something that fails to
        // open as one. A link whose device has gone is still the user's choice for this
        // port and must fail to open, not fall back to a Bluetooth port.
        if (error == std::errc::invalid_argument)
            return CDeviceTarget { entry, {} };
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
            return CDeviceTarget { fallbackDeviceForPort(number), {} };
        return std::nullopt;
    }
    const std::string target = link.string();
    // Only a symbolic link can name a Bluetooth device; a target that merely starts with
    // the prefix but is malformed stays a path, which then fails to open as one.
    if (std::optional<CBluetoothTarget> device = parseBluetoothTarget(target))
        return *device;
    if (target.starts_with(bluetoothTargetPrefix))
        return CDeviceTarget { entry, {} };
    CDeviceEntry parsed = parseDeviceEntry(target);
    if (!parsed.ok())
        return CDamagedEntry { entry, parsed.error };
    return CDeviceTarget { parsed.settings.empty() ? entry : directory / parsed.path,
        parsed.settings };
}

#include "OpenFailure.h"

#include "BluetoothLink.h"
#include "PortDirectory.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

std::string& recorded()
{
    static std::string reason;
    return reason;
}

std::string errorText(int error)
{
    return std::generic_category().message(error);
}

// The device as the user knows it: an entry of the port directory shown with where it
// leads, so both names the user may look for appear.
std::string deviceName(const fs::path& path)
{
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error)))
        return path.string();
    fs::path target = fs::read_symlink(path, error);
    if (error)
        return path.string();
    return path.string() + " (" + target.string() + ")";
}

std::string groupName(gid_t group)
{
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::string buffer(std::size_t(size > 0 ? size : 4096), '\0');
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(group);
}

std::string userName(uid_t user)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(std::size_t(size > 0 ? size : 4096), '\0');
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(user);
}

struct CDirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using CDirectory = std::unique_ptr<DIR, CDirectoryCloser>;

bool isNumber(const char* name)
{
    if (!*name)
        return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// Whether the descriptor behind /proc/<pid>/fd/<n> is open on `device`. Only the link
// is read, and only a target under /dev is looked at, so a descriptor on a network or
// user-space file system can never make this wait.
bool isOpenOn(const std::string& descriptorLink, dev_t device)
{
    char target[512];
    ssize_t length = readlink(descriptorLink.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    if (std::string_view(target, std::size_t(length)).substr(0, 5) != "/dev/")
        return false;
    struct stat status {};
    return stat(target, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == device;
}

} // namespace

void recordOpenFailure(std::string reason)
{
    recorded() = std::move(reason);
}

void clearOpenFailure()
{
    recorded().clear();
}

std::string takeOpenFailureReason()
{
    return std::exchange(recorded(), {});
}

std::optional<CDeviceHolder> findDeviceHolder(dev_t device)
{
    CDirectory processes(opendir("/proc"));
    if (!processes)
        return std::nullopt;
    while (dirent* process = readdir(processes.get())) {
        if (!isNumber(process->d_name))
            continue;
        std::string base = std::string("/proc/") + process->d_name;
        CDirectory descriptors(opendir((base + "/fd").c_str()));
        if (!descriptors)
            continue;
        while (dirent* descriptor = readdir(descriptors.get())) {
            if (!isNumber(descriptor->d_name)
                || !isOpenOn(base + "/fd/" + descriptor->d_name, device))
                continue;
            CDeviceHolder holder;
            holder.pid = std::strtol(process->d_name, nullptr, 10);
            std::ifstream comm(base + "/comm");
            std::getline(comm, holder.name);
            if (holder.name.empty())
                holder.name = "a program";
            return holder;
        }
    }
    return std::nullopt;
}

std::string noSuchDeviceReason(int portNumber, const fs::path& path, int error)
{
    std::string number = std::to_string(portNumber);
    fs::path fallback = "/dev/rfcomm" + std::to_string(portNumber - 1);
    if (path == fallback && error == ENOENT) {
        fs::path directory = portDirectory();
        std::string entry = directory.empty()
            ? "in a port directory (neither SERIALPADS_PORTS nor HOME is set)"
            : (directory / ("com" + number)).string();
        return "Port " + number + " has no entry " + entry
            + ", and there is no Bluetooth serial port " + fallback.string()
            + " (bind one with: sudo rfcomm bind " + std::to_string(portNumber - 1)
            + " <address> <channel>).";
    }
    if (error == ENOENT || error == ENOTDIR)
        return deviceName(path)
            + " does not exist: the device is unplugged, switched off or "
              "named differently now.";
    return deviceName(path) + " cannot be looked at: " + errorText(error) + ".";
}

std::string notSerialReason(const fs::path& path, mode_t type)
{
    const char* what = "a character device that is not a terminal";
    if (S_ISREG(type))
        what = "a regular file";
    else if (S_ISDIR(type))
        what = "a directory";
    else if (S_ISFIFO(type))
        what = "a named pipe";
    else if (S_ISSOCK(type))
        what = "a socket";
    else if (S_ISBLK(type))
        what = "a block device";
    return deviceName(path) + " is " + what + ", not a serial device.";
}

std::string permissionReason(const fs::path& path, uid_t owner, gid_t group, mode_t mode)
{
    std::string name = deviceName(path);
    // Serial devices are usually open to one group; joining it is the usual remedy.
    if (group != 0 && (mode & (S_IRGRP | S_IWGRP))) {
        std::string groupText = groupName(group);
        return "You may not open " + name + ": join its group " + groupText + " (sudo usermod -aG "
            + groupText + " $USER), then log out and in again.";
    }
    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%04o", unsigned(mode & 07777));
    return "You may not open " + name + ": it belongs to " + userName(owner) + " and the group "
        + groupName(group) + ", with mode " + modeText + ".";
}

std::string heldReason(const fs::path& path, dev_t device)
{
    std::string name = deviceName(path);
    if (auto holder = findDeviceHolder(device))
        return name + " is held by another program: " + holder->name + " (pid "
            + std::to_string(holder->pid) + ").";
    return name + " is held by another program.";
}

std::string silentRemoteReason(const fs::path& path, unsigned int portId, bool timedOut)
{
    std::string remote = "The Bluetooth device";
    if (auto link = bluetoothLink(portId))
        remote += " " + link->remote + " (channel " + std::to_string(link->channel) + ")";
    std::string verdict = timedOut ? " did not bring the link up in time" : " does not answer";
    return remote + " bound to " + deviceName(path) + verdict
        + ": check that it is switched on, within range and accepting connections.";
}

std::string openErrorReason(const fs::path& path, int error)
{
    std::string name = deviceName(path);
    switch (error) {
    case ENXIO:
    case ENODEV:
        return name + " is not present: the device is unplugged or switched off.";
    case EHOSTUNREACH:
    case ENETDOWN:
        return "No Bluetooth adapter is switched on to reach " + name + " (bluetoothctl power on).";
    default:
        return name + " could not be opened: " + errorText(error) + ".";
    }
}

#include "PortEntry.h"

#include "DeviceClass.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/sysmacros.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string entryName(int number)
{
    return "com" + std::to_string(number);
}

std::string failure(const std::string& what, const fs::path& path, int error)
{
    return what + " " + path.string() + ": " + std::strerror(error);
}

bool startsWith(const fs::path& path, const fs::path& base)
{
    return std::ranges::mismatch(base, path).in1 == base.end();
}

} // namespace

std::vector<fs::path> directoryContents(const fs::path& directory)
{
    std::vector<fs::path> names;
    std::error_code error;
    for (fs::directory_iterator next(directory, error), end; !error && next != end;
        next.increment(error))
        names.push_back(next->path());
    std::ranges::sort(names);
    return names;
}

CDeviceCheck checkDevice(const fs::path& path)
{
    CDeviceCheck check;
    if (::stat(path.c_str(), &check.status) != 0) {
        check.error = errno;
        check.kind = check.error == ENOENT || check.error == ENOTDIR ? EDeviceKind::missing
                                                                     : EDeviceKind::unknown;
        return check;
    }
    if (!S_ISCHR(check.status.st_mode))
        check.kind = EDeviceKind::notCharacterDevice;
    else if (isKnownNonTerminal(major(check.status.st_rdev), minor(check.status.st_rdev)))
        check.kind = EDeviceKind::notTerminal;
    else
        check.kind = EDeviceKind::serial;
    return check;
}

CEntryError writeEntry(const fs::path& directory, int number, const CEntryTarget& target)
{
    std::error_code error;
    fs::create_directories(directory, error);
    if (error)
        return "cannot make the port directory " + directory.string() + ": " + error.message();

    fs::path entry = directory / entryName(number);
    struct stat status {};
    if (lstat(entry.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return entry.string() + " is a directory; it is left as it is.";

    std::string linkTarget = target.device.empty()
        ? formatBluetoothTarget(target.bluetooth)
        : formatDeviceEntry(target.device.string(), target.line);
    // The temporary name starts with a dot and carries the process id, so it is never
    // taken for a port and two commands at once do not share it.
    fs::path temporary = directory / ("." + entryName(number) + ".new-" + std::to_string(getpid()));
    unlink(temporary.c_str());
    if (symlink(linkTarget.c_str(), temporary.c_str()) != 0)
        return failure("cannot write", temporary, errno);
    if (rename(temporary.c_str(), entry.c_str()) != 0) {
        int renameError = errno;
        unlink(temporary.c_str());
        return failure("cannot replace", entry, renameError);
    }
    return std::nullopt;
}

CEntryError removeEntry(const fs::path& directory, int number)
{
    fs::path entry = directory / entryName(number);
    struct stat status {};
    if (lstat(entry.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "port " + std::to_string(number) + " has no entry " + entry.string() + ".";
        return failure("cannot look at", entry, errno);
    }
    if (S_ISDIR(status.st_mode))
        return entry.string() + " is a directory; it is left as it is.";
    if (unlink(entry.c_str()) != 0)
        return failure("cannot remove", entry, errno);
    return std::nullopt;
}

std::optional<fs::path> stableNameFor(
    const fs::path& path, dev_t device, const fs::path& byIdDirectory)
{
    // A name under /dev/serial is already a stable one the user chose.
    if (startsWith(path.lexically_normal(), byIdDirectory.parent_path()))
        return std::nullopt;
    // A device with several interfaces has a name for each; the first in order is
    // suggested, so the suggestion does not change between runs.
    for (const fs::path& name : directoryContents(byIdDirectory)) {
        struct stat status {};
        if (::stat(name.c_str(), &status) == 0 && S_ISCHR(status.st_mode)
            && status.st_rdev == device)
            return name;
    }
    return std::nullopt;
}

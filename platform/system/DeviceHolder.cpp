#include "DeviceHolder.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct CDirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using CDirectory = std::unique_ptr<DIR, CDirectoryCloser>;

bool isNumber(std::string_view name)
{
    return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
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

// Whether the descriptor behind /proc/<pid>/fd/<n> is open on the file `path`, by the
// name the kernel gives it; nothing is looked at beyond the link.
bool isOpenOnFile(const std::string& descriptorLink, const std::string& path)
{
    char target[4096];
    ssize_t length = readlink(descriptorLink.c_str(), target, sizeof target - 1);
    return length > 0 && std::string_view(target, std::size_t(length)) == path;
}

// The first process with a descriptor for which `opensIt` says yes. Another program is
// looked for first: this one may have the device open itself (another port leading to
// the same device), but when someone else has it too, that is who keeps it busy.
template <typename Test> std::optional<CDeviceHolder> findHolder(Test opensIt)
{
    const std::string self = std::to_string(getpid());
    for (bool ownProcess : { false, true }) {
        CDirectory processes(opendir("/proc"));
        if (!processes)
            return std::nullopt;
        while (dirent* process = readdir(processes.get())) {
            if (!isNumber(process->d_name) || (process->d_name == self) != ownProcess)
                continue;
            std::string base = std::string("/proc/") + process->d_name;
            CDirectory descriptors(opendir((base + "/fd").c_str()));
            if (!descriptors)
                continue;
            while (dirent* descriptor = readdir(descriptors.get())) {
                if (!isNumber(descriptor->d_name) || !opensIt(base + "/fd/" + descriptor->d_name))
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
    }
    return std::nullopt;
}

} // namespace

std::optional<CDeviceHolder> findDeviceHolder(dev_t device)
{
    return findHolder([&](const std::string& link) { return isOpenOn(link, device); });
}

std::optional<CDeviceHolder> findFileHolder(const fs::path& path)
{
    return findHolder([&](const std::string& link) { return isOpenOnFile(link, path.string()); });
}

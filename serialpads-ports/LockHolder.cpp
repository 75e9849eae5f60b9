#include "LockHolder.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
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

// Whether /proc/<pid>/fd/<n> leads to `file`. Only the link is read, never followed,
// so a descriptor on a stalled network file system cannot make the listing wait.
bool leadsTo(const std::string& descriptorLink, const std::string& file)
{
    char target[4096];
    ssize_t length = readlink(descriptorLink.c_str(), target, sizeof target);
    return length > 0 && std::string_view(target, std::size_t(length)) == file;
}

} // namespace

fs::path bluetoothLockFile(int portNumber)
{
    std::string name = "com" + std::to_string(portNumber) + ".lock";
    // A runtime directory that is not an absolute path to a directory is unusable,
    // and a program connecting falls back to /tmp then; so does this.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code error;
    if (runtime && *runtime == '/' && fs::is_directory(runtime, error))
        return fs::path(runtime) / "serialpads" / name;
    return fs::path("/tmp") / ("serialpads-" + std::to_string(getuid())) / name;
}

std::optional<CDeviceHolder> findLockFileHolder(const fs::path& lockFile)
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
                || !leadsTo(base + "/fd/" + descriptor->d_name, lockFile.string()))
                continue;
            CDeviceHolder holder;
            holder.pid = std::strtol(process->d_name, nullptr, 10);
            std::ifstream comm(base + "/comm");
            std::getline(comm, holder.name);
            return holder;
        }
    }
    return std::nullopt;
}

#include "ProcessStats.h"

#include <ctime>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

namespace {

// The value in kB of the lines of a /proc file whose names are in `keys`, summed, in
// bytes.
std::size_t sumOfKilobytes(const char* path, std::initializer_list<std::string> keys)
{
    std::ifstream file(path);
    std::string line;
    std::size_t total = 0;
    while (std::getline(file, line)) {
        for (const std::string& key : keys) {
            if (line.rfind(key, 0) == 0) {
                std::istringstream fields(line.substr(key.size()));
                std::size_t kilobytes = 0;
                fields >> kilobytes;
                total += kilobytes * 1024;
            }
        }
    }
    return total;
}

double seconds(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

} // namespace

MemoryUse currentMemoryUse()
{
    MemoryUse use;
    use.resident = sumOfKilobytes("/proc/self/status", { "VmRSS:" });
    use.privateBytes
        = sumOfKilobytes("/proc/self/smaps_rollup", { "Private_Clean:", "Private_Dirty:" });
    return use;
}

double processCpuSeconds()
{
    return seconds(CLOCK_PROCESS_CPUTIME_ID);
}

double wallSeconds()
{
    return seconds(CLOCK_MONOTONIC);
}

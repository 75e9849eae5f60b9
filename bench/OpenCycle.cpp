// What one open of a port costs, as Connect and every reopen after a device came back
// make it: openDevice() and closeDevice() of "COM1:" on a pseudo-terminal reached
// through a private port directory, timed one by one. Uses only the interface the
// programs use, so the same source measures any build. Not a test; run by hand (see
// README.md).
//
// Usage: port_open_bench [cycles] [line settings, as after the path in an entry]
#include "Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string line = argc > 2 ? argv[2] : "";

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    std::string directory = (fs::temp_directory_path() / "serialpads-open-XXXXXX").string();
    if (!mkdtemp(directory.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string target = ptsname(master);
    if (!line.empty())
        target += " " + line;
    fs::create_symlink(target, fs::path(directory) / "com1");
    setenv("SERIALPADS_PORTS", directory.c_str(), 1);

    std::vector<double> openTimes, closeTimes;
    for (int cycle = 0; cycle < cycles + 20; ++cycle) {
        auto start = Clock::now();
        Handle port = openDevice(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
        auto opened = Clock::now();
        if (port == invalidHandle) {
            std::fprintf(stderr, "COM1: did not open\n");
            return 1;
        }
        closeDevice(port);
        auto closed = Clock::now();
        if (cycle < 20)
            continue; // warm-up
        openTimes.push_back(std::chrono::duration<double, std::micro>(opened - start).count());
        closeTimes.push_back(std::chrono::duration<double, std::micro>(closed - opened).count());
    }
    auto report = [](const char* what, std::vector<double>& times) {
        std::sort(times.begin(), times.end());
        std::printf("%s: median %.1f us, p90 %.1f us, min %.1f us\n", what, times[times.size() / 2],
            times[times.size() * 9 / 10], times.front());
    };
    std::printf("%d cycles, entry target \"%s\"\n", cycles, target.c_str());
    report("openDevice", openTimes);
    report("closeDevice", closeTimes);
    fs::remove_all(directory);
    close(master);
    return 0;
}

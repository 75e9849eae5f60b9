// Port-name resolution on arbitrary names and environments. The first byte picks how
// SERIALPADS_PORTS, XDG_CONFIG_HOME and HOME are set; the rest is the name, two bytes a
// unit. A private port directory holds every kind of entry a user might leave there:
// a link to a device that is not a terminal, a dangling link, a link to itself, a
// directory, a regular file.
//
// The name must give a port number exactly when it reads "COMn:" (n 1 to 9, letters
// in either case), and the device must be nothing, /dev/rfcomm<n-1> or the directory's
// own entry for that number. Opening never succeeds, since no entry is a terminal.
#include "Platform.h"
#include "PortDirectory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path root;
fs::path directory;
fs::path loopDirectory;
// The entries com1 to com5 exist in `directory`; the other numbers would fall back.
constexpr int lastEntry = 5;

// Ends the run as a crash, naming the broken promise, so libFuzzer keeps the input.
#define require(condition)                                                                         \
    ((condition) ? void() : (std::fprintf(stderr, "broken: %s\n", #condition), std::abort()))

void setOrUnset(const char* variable, const char* value)
{
    value ? setenv(variable, value, 1) : unsetenv(variable);
}

bool readsAsPortName(std::u16string_view name, int& number)
{
    auto is = [&](std::size_t at, char16_t upper) {
        return name[at] == upper || name[at] == char16_t(upper + (u'a' - u'A'));
    };
    if (name.size() != 5 || !is(0, u'C') || !is(1, u'O') || !is(2, u'M') || name[4] != u':'
        || name[3] < u'1' || name[3] > u'9')
        return false;
    number = name[3] - u'0';
    return true;
}

void cleanUp()
{
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = (fs::temp_directory_path() / "serialpads-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    root = pattern;
    std::atexit(cleanUp);
    directory = root / "ports";
    fs::create_directory(directory);
    fs::create_symlink("/dev/null", directory / "com1");
    fs::create_symlink(directory / "gone", directory / "com2");
    fs::create_symlink(directory / "com3", directory / "com3");
    fs::create_directory(directory / "com4");
    std::ofstream(directory / "com5") << "not a device";
    loopDirectory = root / "loop";
    fs::create_symlink(loopDirectory, loopDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t setup = data[0];
    const std::string ports = directory.string();
    const std::string loop = loopDirectory.string();
    const char* portsChoices[]
        = { nullptr, "", ports.c_str(), loop.c_str(), "/nonexistent/ports", "relative" };
    const char* configChoices[] = { nullptr, "", "/nonexistent/config", "relative" };
    const char* homeChoices[] = { nullptr, "/nonexistent/home" };
    setOrUnset("SERIALPADS_PORTS", portsChoices[setup % 6]);
    setOrUnset("XDG_CONFIG_HOME", configChoices[(setup / 6) % 4]);
    setOrUnset("HOME", homeChoices[(setup / 24) % 2]);

    std::u16string name;
    for (std::size_t at = 1; at + 1 < size; at += 2)
        name.push_back(char16_t(data[at] | data[at + 1] << 8));

    int expectedNumber = 0;
    bool isPortName = readsAsPortName(name, expectedNumber);
    std::optional<int> number = portNumberFromName(name);
    require(number.has_value() == isPortName);
    require(!number || *number == expectedNumber);

    std::optional<fs::path> device = devicePathForPort(name);
    if (!number) {
        require(!device);
    } else if (device) {
        fs::path fallback = "/dev/rfcomm" + std::to_string(*number - 1);
        fs::path entry = portDirectory() / ("com" + std::to_string(*number));
        require(*device == fallback || *device == entry);
    }
    if (number && portDirectory() == directory && *number <= lastEntry)
        require(device == directory / ("com" + std::to_string(*number)));
    if (number && portDirectory() == loopDirectory)
        require(!device);

    // The name as a program passes it, ended by its first NUL. Only names that stay
    // inside the private directory are opened (a Bluetooth port would start paging its
    // device); none of its entries is a terminal.
    std::u16string_view passed(name.c_str());
    std::optional<int> opened = portNumberFromName(passed);
    if (!opened || (portDirectory() == directory && *opened <= lastEntry))
        require(openDevice(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, invalidHandle)
            == invalidHandle);
    return 0;
}

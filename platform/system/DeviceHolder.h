// Who keeps a port busy: the search of /proc for the process with a device or a lock
// file open.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

// The program holding a device, as /proc shows it.
struct CDeviceHolder {
    std::string name;
    long pid = 0;

    friend bool operator==(const CDeviceHolder&, const CDeviceHolder&) = default;
};

// The first process found with a descriptor open on the character device `device`.
// Processes of other users are found only where /proc lets this one look at them.
std::optional<CDeviceHolder> findDeviceHolder(dev_t device);
// The first process found with a descriptor open on the file `path` (a lock file).
std::optional<CDeviceHolder> findFileHolder(const std::filesystem::path& path);

// Why opening a port failed, in one sentence that names the device and says what the
// user can do about it. The serial layer records the reason of a failed open; the
// dialog framework takes it when it tells the user that the port could not be opened,
// so the message the program chose stays as it is and the cause is shown beneath it.
//
// The sentences are built from what the system shows at the moment of failure: the
// port directory's entry, the device's type and owner, and the programs /proc lists
// as holding it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// Keeps `reason` (UTF-8) as the cause of the last failed open, replacing any earlier one.
void recordOpenFailure(std::string reason);
// Forgets the recorded cause; a successful open does this, so that a later message
// is never given the cause of an old failure.
void clearOpenFailure();
// The recorded cause, empty when there is none; taking it clears it.
std::string takeOpenFailureReason();

// The program holding a device, as /proc shows it.
struct CDeviceHolder {
    std::string name;
    long pid = 0;
};

// The first process found with a descriptor open on the character device `device`.
// Processes of other users are found only where /proc lets this one look at them.
std::optional<CDeviceHolder> findDeviceHolder(dev_t device);

// The sentences, one per kind of failure. `path` is the device path the port name led
// to (the port directory's entry or /dev/rfcomm<n-1>).
std::string noSuchDeviceReason(int portNumber, const std::filesystem::path& path, int error);
std::string notSerialReason(const std::filesystem::path& path, mode_t type);
std::string permissionReason(
    const std::filesystem::path& path, uid_t owner, gid_t group, mode_t mode);
std::string heldReason(const std::filesystem::path& path, dev_t device);
std::string silentRemoteReason(
    const std::filesystem::path& path, unsigned int portId, bool timedOut);
std::string openErrorReason(const std::filesystem::path& path, int error);

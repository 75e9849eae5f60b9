// Who holds a Bluetooth port. A program connected to a Bluetooth device through port n
// keeps an exclusive lock on the file com<n>.lock in the user's runtime directory for
// as long as it is connected, with the file open; the holder is the process that has
// that file open. Nothing here creates, opens or locks the file, so looking never
// disturbs a program that is connecting. The rules for the file's place are those of
// the serial layer, which takes the lock.
#pragma once

#include "OpenFailure.h"

#include <filesystem>
#include <optional>

// $XDG_RUNTIME_DIR/serialpads/com<n>.lock, or /tmp/serialpads-<uid>/com<n>.lock when
// XDG_RUNTIME_DIR is unset or not an absolute path.
std::filesystem::path bluetoothLockFile(int portNumber);

// The first process found with `lockFile` open, as /proc shows it; processes of other
// users are found only where /proc lets this one look at them.
std::optional<CDeviceHolder> findLockFileHolder(const std::filesystem::path& lockFile);

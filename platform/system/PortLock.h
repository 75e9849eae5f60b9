// The lock that reserves a Bluetooth port for one program. An RFCOMM socket has no device
// node another program could find busy, so a port that names a Bluetooth device is taken
// by an flock() on a lock file of its own, com<n>.lock, in $XDG_RUNTIME_DIR/serialpads
// (or /tmp/serialpads-<uid> where that is unset or unusable; the folder is made with
// mode 0700 when missing). The lock lives as long as its descriptor, so a program that
// ends or crashes lets go of it; the holder is found by the descriptor /proc lists.
#pragma once

#include "FileDescriptor.h"
#include "OpenFailure.h"

#include <filesystem>

// Whether `folder` may hold lock files, making it with mode 0700 when it is missing: only
// a real directory (not a link) of this user that nobody else may write into or look in,
// so no other user can put a lock file, or a link in its place, in our way.
bool usableLockFolder(const std::filesystem::path& folder);

// Where port `portNumber`'s lock file is; empty when no usable folder exists.
std::filesystem::path portLockPath(int portNumber);

// Takes port `portNumber`'s lock; an invalid descriptor, with `failure` set (busy, with
// its holder; or permission), when it cannot.
CFileDescriptor takePortLock(int portNumber, COpenFailure& failure);

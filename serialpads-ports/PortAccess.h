// Whether the user may open a device for reading and writing, or else what would let
// them. The decision is made on the device's owner, group and mode, so it can be tested
// on any stat data for any user, also where the tests run as root.
#pragma once

#include <filesystem>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// Who is asking: a user and every group the process has.
struct CIdentity {
    uid_t user = 0;
    std::vector<gid_t> groups;

    // The identity of this process, as the kernel checks it when a device is opened.
    static CIdentity current();
};

enum class EAccess {
    allowed,
    // Not allowed, but the device's group may read and write it: joining it helps.
    joinGroup,
    // Not allowed, and no group to join would change that.
    denied,
};

struct CAccessVerdict {
    EAccess kind = EAccess::denied;
    gid_t group = 0; // the group to join, for EAccess::joinGroup
};

// The kernel's rule for read and write permission on `status`: root may; else the
// owner's bits if the user owns it, else the group's bits if the user is in its group,
// else the others' bits. The root group is never suggested for joining.
CAccessVerdict accessFor(const struct stat& status, const CIdentity& who);

// The verdict for the device at `path` (followed through links), whose status is
// `status`. access() has the last word, as it also honours access control lists.
CAccessVerdict accessToDevice(const std::filesystem::path& path, const struct stat& status);

#include "PortAccess.h"

#include <algorithm>
#include <grp.h>
#include <unistd.h>

CIdentity CIdentity::current()
{
    CIdentity who;
    who.user = getuid();
    int count = getgroups(0, nullptr);
    if (count > 0) {
        who.groups.resize(std::size_t(count));
        count = getgroups(count, who.groups.data());
        who.groups.resize(std::size_t(std::max(count, 0)));
    }
    who.groups.push_back(getgid());
    return who;
}

CAccessVerdict accessFor(const struct stat& status, const CIdentity& who)
{
    if (who.user == 0)
        return { EAccess::allowed };
    bool member = std::ranges::find(who.groups, status.st_gid) != who.groups.end();
    mode_t mode = status.st_mode;
    // Only one class of bits applies: an owner whose own bits deny is denied even when
    // the group's or the others' bits would allow.
    mode_t wanted = who.user == status.st_uid ? (S_IRUSR | S_IWUSR)
        : member                              ? (S_IRGRP | S_IWGRP)
                                              : (S_IROTH | S_IWOTH);
    if ((mode & wanted) == wanted)
        return { EAccess::allowed };
    bool groupMay = (mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (who.user != status.st_uid && !member && groupMay && status.st_gid != 0)
        return { EAccess::joinGroup, status.st_gid };
    return { EAccess::denied };
}

CAccessVerdict accessToDevice(const std::filesystem::path& path, const struct stat& status)
{
    if (access(path.c_str(), R_OK | W_OK) == 0)
        return { EAccess::allowed };
    CAccessVerdict verdict = accessFor(status, CIdentity::current());
    // The mode allows but the system still refuses (an access control list, a
    // read-only file system): nothing the user can join would help.
    if (verdict.kind == EAccess::allowed)
        verdict.kind = EAccess::denied;
    return verdict;
}

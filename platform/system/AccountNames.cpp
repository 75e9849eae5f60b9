#include "AccountNames.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

std::string userName(uid_t user)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(std::size_t(size > 0 ? size : 4096), '\0');
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(user);
}

std::string groupName(gid_t group)
{
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::string buffer(std::size_t(size > 0 ? size : 4096), '\0');
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(group);
}

// The names of users and groups, as the system's account database gives them.
#pragma once

#include <string>
#include <sys/types.h>

// The user's name, or its number when it has none.
std::string userName(uid_t user);

// The group's name, or its number when it has none.
std::string groupName(gid_t group);

#include "PortLock.h"

#include "SystemCall.h"

#include <cstdlib>
#include <string>

namespace fs = std::filesystem;

namespace {

// The folder used when $XDG_RUNTIME_DIR gives none: in /tmp, which everybody may write,
// so it is checked as strictly as the preferred one.
fs::path fallbackLockFolder()
{
    return "/tmp/serialpads-" + std::to_string(geteuid());
}

} // namespace

bool usableLockFolder(const fs::path& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

fs::path portLockPath(int portNumber)
{
    const std::string file = "com" + std::to_string(portNumber) + ".lock";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') {
        fs::path folder = fs::path(runtime) / "serialpads";
        if (usableLockFolder(folder))
            return folder / file;
    }
    fs::path folder = fallbackLockFolder();
    if (usableLockFolder(folder))
        return folder / file;
    return {};
}

CFileDescriptor takePortLock(int portNumber, COpenFailure& failure)
{
    failure = {};
    failure.portNumber = portNumber;
    failure.path = portLockPath(portNumber);
    if (failure.path.empty()) {
        failure.kind = OpenFailureKind::permission;
        failure.error = EACCES;
        failure.path = fallbackLockFolder();
        return {};
    }
    SysResult opened
        = sys::open(failure.path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (!opened.ok()) {
        failure.kind = opened.failedWith(EACCES) || opened.failedWith(EPERM)
            ? OpenFailureKind::permission
            : OpenFailureKind::otherError;
        failure.error = opened.error;
        return {};
    }
    CFileDescriptor lock(int(opened.value));
    if (SysResult locked = sys::flock(lock.get(), LOCK_EX | LOCK_NB); !locked.ok()) {
        failure.kind
            = locked.failedWith(EWOULDBLOCK) ? OpenFailureKind::busy : OpenFailureKind::otherError;
        failure.error = locked.error;
        // Let go first, so that the search for the holder does not find this try.
        lock.reset();
        if (failure.kind == OpenFailureKind::busy)
            failure.holder = findFileHolder(failure.path);
        return {};
    }
    return lock;
}

// ui: single-instance guard (flock). Called by start-up.
#include "ui/instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ui
{

namespace
{
constexpr const char *kLockName = "bramblewick-for-Sorrel-Platform.lock";
constexpr const char *kPackageDir = "/run/bramblewick";
}

std::string default_lock_path()
{
    // The package makes /run/bramblewick writable by root and the station's group only, so no
    // other local user can plant or hold the lock there. Elsewhere (a build tree, no package) the
    // shared directories are the fallback.
    struct stat st;
    const char *dir = stat(kPackageDir, &st) == 0 && S_ISDIR(st.st_mode) && access(kPackageDir, W_OK) == 0
                          ? kPackageDir
                          : access("/run/lock", W_OK) == 0 ? "/run/lock"
                                                           : "/tmp";
    return std::string(dir) + "/" + kLockName;
}

LockResult InstanceLock::acquire(const std::string &path, std::string *error)
{
    release();
    // Read-only is enough for flock, so a lock file left by another operator (mode 0644) still
    // works. A symlink is refused, never followed: one planted in a shared directory must not
    // make the station create or touch its target. O_NONBLOCK keeps a planted FIFO from
    // hanging the open; anything but a plain file is refused below.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        int err = errno;
        if (error)
            *error = path + ": " +
                     (err == ELOOP ? std::string("is a symbolic link; refused") : std::strerror(err));
        return LOCK_UNAVAILABLE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        if (error)
            *error = path + ": not a plain file; refused";
        return LOCK_UNAVAILABLE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        if (err == EWOULDBLOCK)
            return LOCK_HELD_ELSEWHERE;
        if (error)
            *error = path + ": " + std::strerror(err);
        return LOCK_UNAVAILABLE;
    }
    fd_ = fd;
    return LOCK_ACQUIRED;
}

void InstanceLock::release()
{
    if (fd_ >= 0) {
        close(fd_); // closing the only descriptor drops the flock
        fd_ = -1;
    }
}

} // namespace ui

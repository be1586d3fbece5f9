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
}

std::string default_lock_path()
{
    const char *dir = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    return std::string(dir) + "/" + kLockName;
}

LockResult InstanceLock::acquire(const std::string &path, std::string *error)
{
    release();
    // Read-only is enough for flock, so a lock file left by another user (mode 0644) still works.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (error)
            *error = path + ": " + std::strerror(errno);
        return LOCK_UNAVAILABLE;
    }
    // umask may have narrowed the mode; a station started by another operator account must be
    // able to open the same file. Failure only matters for that case, so it is not checked.
    (void)fchmod(fd, 0666);
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

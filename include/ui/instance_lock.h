// ui: the single-instance guard of the station program. Called by start-up before anything
// else is touched.
//
// A flock on a lock file named after "bramblewick for Sorrel Platform". The kernel drops the
// lock when the process dies, however it dies, so a crashed station never blocks the next one;
// the file itself may stay behind and means nothing (it is not a pid file).
#pragma once

#include <string>

namespace ui
{

// "/run/bramblewick/bramblewick-for-Sorrel-Platform.lock" when the package's directory is there
// and writable, else the same name under /run/lock, else under /tmp.
std::string default_lock_path();

enum LockResult {
    LOCK_ACQUIRED = 0,
    LOCK_HELD_ELSEWHERE = -1, // another station holds it
    LOCK_UNAVAILABLE = -2,    // the lock file could not be opened or locked at all
};

class InstanceLock
{
  public:
    InstanceLock() = default;
    ~InstanceLock() { release(); }
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Opens (creating it mode 0644 if needed) and locks path without waiting. A symbolic link
    // or anything but a plain file at path is refused (LOCK_UNAVAILABLE) and left untouched. On
    // LOCK_UNAVAILABLE, *error (when given) gets the reason, path first.
    LockResult acquire(const std::string &path, std::string *error = nullptr);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

} // namespace ui

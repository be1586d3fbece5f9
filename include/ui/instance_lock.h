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

// "/run/lock/bramblewick-for-Sorrel-Platform.lock", or the same name under /tmp when /run/lock
// is not writable.
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

    // Opens (creating it if needed) and locks path without waiting. On LOCK_UNAVAILABLE,
    // *error (when given) gets the system's reason.
    LockResult acquire(const std::string &path, std::string *error = nullptr);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

} // namespace ui

// station core: the job guard. Holds the identity (device, inode, size, modification and change
// times) of every file the job uses as start-up checked and digested it, and watches them with
// inotify, so that no phone is written from a file that differs from its record:
// - the monitor thread asks job_guard_alarm before it takes a phone, and takes none while there
//   is an alarm (a job file changed, replaced or removed; or a release revoked, raised by the
//   factory database's watcher through job_guard_raise);
// - each download thread calls job_guard_verify before each image and again after its last
//   image was written (and verified), and fails the phone when a file is no longer the one that
//   was checked: the data it sent may have come from the changed file;
// - the window thread shows job_guard_alarm as the station's alarm.
// Every call is safe from any thread. An alarm, once raised, stays until the station restarts:
// the job in memory no longer matches the disk, and only a new start-up checks it again.
#pragma once

#include <mutex>
#include <string>
#include <sys/types.h>
#include <time.h>
#include <vector>

struct job_guard_file {
    std::string path;     // as the station opens it
    bool present = false; // false: missing at start-up (a change is its appearing)
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};

struct job_guard {
    job_guard() = default;
    ~job_guard();
    job_guard(const job_guard &) = delete;
    job_guard &operator=(const job_guard &) = delete;

    std::mutex mutex;
    std::vector<job_guard_file> files; // fixed by job_guard_open
    std::vector<int> file_watches;     // inotify watch of files[i], or -1
    int inotify_fd = -1;               // guarded by mutex; -1 when inotify is not available
    std::string alarm;                 // guarded by mutex; empty while the job is good
    std::string changed;               // guarded by mutex; the first file seen changed
};

// Start-up, before the files are digested: records each file's identity (or that it is missing:
// its phones fail as before) and starts watching it and its directory. 0, or -1 with the reason
// in *why. Without inotify the per-phone checks still hold.
int job_guard_open(job_guard *guard, const std::vector<std::string> &paths, std::string *why);

// Every file still the one recorded (this also reads the watches)? 0, or -1 with the alarm
// raised and the changed file's path in *which.
int job_guard_verify(job_guard *guard, std::string *which);

// The alarm after reading the watches: empty while the job is good.
std::string job_guard_alarm(job_guard *guard);

// Raises text as the alarm unless one is up already (the first cause is the one to show).
void job_guard_raise(job_guard *guard, const std::string &text);

// The alarm for a changed file.
std::string job_guard_changed_text(const std::string &path);

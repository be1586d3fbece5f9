// station core: the job guard: the job's files as start-up checked them, watched with inotify.
// Called by start-up (open), the monitor and download threads (verify, alarm), the window thread
// (alarm) and the factory database's watcher (raise); all under the guard's mutex.
#include "station/job_guard.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Index of the first file that is not the one recorded (gone, replaced, written, resized or its
// times changed), or -1. Caller holds the mutex.
int first_changed(const job_guard *g)
{
    for (size_t i = 0; i < g->files.size(); i++) {
        const job_guard_file &f = g->files[i];
        struct stat st {
        };
        const bool present = stat(f.path.c_str(), &st) == 0;
        if (!f.present) {
            if (present)
                return static_cast<int>(i);
            continue;
        }
        if (!present || st.st_dev != f.dev || st.st_ino != f.ino || st.st_size != f.size ||
            !same_time(st.st_mtim, f.mtime) || !same_time(st.st_ctim, f.ctime))
            return static_cast<int>(i);
    }
    return -1;
}

void raise_locked(job_guard *g, const std::string &text)
{
    if (g->alarm.empty())
        g->alarm = text;
}

void file_changed_locked(job_guard *g, const std::string &path)
{
    if (g->changed.empty())
        g->changed = path;
    raise_locked(g, job_guard_changed_text(path));
}

// Drains the watches. A write to a watched file is a change even when its times did not move
// (a coarse clock); every other event sends us to look at the files. Caller holds the mutex.
void read_watches(job_guard *g)
{
    if (g->inotify_fd < 0)
        return;
    bool look = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(g->inotify_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t off = 0; off < n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
            look = true;
            if (ev->mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
                for (size_t i = 0; i < g->file_watches.size(); i++)
                    if (g->file_watches[i] == ev->wd)
                        file_changed_locked(g, g->files[i].path);
            }
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    if (look) {
        const int i = first_changed(g);
        if (i >= 0)
            file_changed_locked(g, g->files[static_cast<size_t>(i)].path);
    }
}

} // namespace

job_guard::~job_guard()
{
    if (inotify_fd >= 0)
        close(inotify_fd);
}

std::string job_guard_changed_text(const std::string &path)
{
    return "Job file " + path +
           " changed on disk: no new phones; restart the station to load the changed job";
}

int job_guard_open(job_guard *g, const std::vector<std::string> &paths, std::string *why)
{
    std::lock_guard<std::mutex> lock(g->mutex);
    g->files.clear();
    g->file_watches.clear();
    for (const std::string &p : paths) {
        struct stat st {
        };
        if (stat(p.c_str(), &st) != 0) {
            job_guard_file missing;
            missing.path = p;
            g->files.push_back(missing);
            continue;
        }
        g->files.push_back({p, true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim});
    }
    if (g->inotify_fd < 0)
        g->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g->inotify_fd < 0) {
        *why = std::string("inotify: ") + std::strerror(errno);
        return 0; // the per-phone checks still hold
    }
    // The file itself for writes to it; its directory for a file renamed over it or removed.
    std::set<std::string> dirs;
    for (const job_guard_file &f : g->files) {
        g->file_watches.push_back(inotify_add_watch(g->inotify_fd, f.path.c_str(),
                                                    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                                                        IN_DELETE_SELF | IN_MOVE_SELF));
        std::filesystem::path dir = std::filesystem::path(f.path).parent_path();
        dirs.insert(dir.empty() ? "." : dir.string());
    }
    for (const std::string &d : dirs)
        inotify_add_watch(g->inotify_fd, d.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
    return 0;
}

int job_guard_verify(job_guard *g, std::string *which)
{
    std::lock_guard<std::mutex> lock(g->mutex);
    read_watches(g);
    // A write seen by the watches counts even when the file's times did not move (a coarse
    // clock): once changed, always changed.
    const int i = first_changed(g);
    if (i >= 0)
        file_changed_locked(g, g->files[static_cast<size_t>(i)].path);
    if (g->changed.empty())
        return 0;
    *which = g->changed;
    return -1;
}

std::string job_guard_alarm(job_guard *g)
{
    std::lock_guard<std::mutex> lock(g->mutex);
    read_watches(g);
    return g->alarm;
}

void job_guard_raise(job_guard *g, const std::string &text)
{
    std::lock_guard<std::mutex> lock(g->mutex);
    raise_locked(g, text);
}

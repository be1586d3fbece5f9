// plug-in helper: confining the process a factory plug-in runs in. Called by the helper program
// (plugin_host_main.cpp) on its only thread, after reading the station's request and before
// loading the plug-in; confine_sweep_descendants also from its SIGTERM handler.
//
// The plug-in is code from outside the project: it gets no more than judging a phone needs. When
// the station runs as root the helper becomes an unprivileged user (BRAMBLEWICK_PLUGIN_USER, else
// "nobody") with no supplementary groups; it can never regain privileges (no new privileges, so
// no set-user-id program either); memory, CPU time and processes are limited. Every process the
// plug-in starts ends with its call: the helper is their subreaper, so even one that leaves its
// session with setsid() comes back to it as an orphan, and the sweep kills and reaps them all
// before the helper answers. (The station adds a PID namespace around the helper when bubblewrap
// is available, which also covers a helper killed at its time-out.)
#include "pluginhost/confine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                       \
    __has_feature(memory_sanitizer)
#define BW_SANITIZED 1
#endif
#endif

namespace
{

constexpr rlim_t kMemoryBase = rlim_t(2) << 30; // the plug-in's own memory, beside its bytes
constexpr rlim_t kProcessesAsUser = 256;        // every helper of the station runs as that user
constexpr rlim_t kProcessesAsOperator = 4096;   // counts the operator's other processes too

void set_limit(int resource, rlim_t value)
{
    struct rlimit now;
    if (getrlimit(resource, &now) == 0 && now.rlim_max != RLIM_INFINITY && now.rlim_max < value)
        value = now.rlim_max; // only ever lowered
    struct rlimit l = {value, value};
    setrlimit(resource, &l);
}

int drop_privileges(std::string *why)
{
    if (geteuid() != 0 && getuid() != 0)
        return 0;
    const char *name = getenv("BRAMBLEWICK_PLUGIN_USER");
    if (!name || !*name)
        name = "nobody";
    struct passwd *pw = getpwnam(name);
    if (!pw || pw->pw_uid == 0) {
        *why = std::string("no unprivileged user \"") + name + "\" to run the plug-in as";
        return -1;
    }
    if (setgroups(0, nullptr) != 0 || setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0 ||
        setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0) {
        *why = std::string("cannot become user \"") + name + "\": " + strerror(errno);
        return -1;
    }
    if (setuid(0) == 0) { // must be impossible now
        *why = "root could be regained after dropping it";
        return -1;
    }
    return 0;
}

// Appends the decimal numbers of buf[0..n) to pids (up to max); returns the new count.
int parse_pids(const char *buf, ssize_t n, pid_t *pids, int count, int max)
{
    pid_t v = 0;
    bool in = false;
    for (ssize_t i = 0; i <= n; i++) {
        if (i < n && buf[i] >= '0' && buf[i] <= '9') {
            v = v * 10 + (buf[i] - '0');
            in = true;
        } else if (in) {
            if (count < max)
                pids[count++] = v;
            v = 0;
            in = false;
        }
    }
    return count;
}

// SIGKILL to every living child of every thread of this process (from /proc, with system calls
// only: this runs in a signal handler too). True when there was one.
bool kill_children()
{
    int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    bool any = false;
    char ents[2048];
    long n;
    while ((n = syscall(SYS_getdents64, dir, ents, sizeof ents)) > 0) {
        for (long off = 0; off < n;) {
            const auto *d = reinterpret_cast<const struct dirent64 *>(ents + off);
            off += d->d_reclen;
            if (d->d_name[0] < '0' || d->d_name[0] > '9')
                continue;
            char path[64] = "";
            strcat(path, d->d_name); // a thread id: digits only, short
            strcat(path, "/children");
            int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            char buf[4096];
            pid_t pids[512];
            int count = 0;
            ssize_t r;
            while ((r = read(fd, buf, sizeof buf)) > 0)
                count = parse_pids(buf, r, pids, count, 512);
            close(fd);
            for (int i = 0; i < count; i++)
                any |= kill(pids[i], SIGKILL) == 0;
        }
    }
    close(dir);
    return any;
}

} // namespace

int confine_process(uint64_t bytes, int timeout_ms, std::string *why)
{
    // Orphans of the plug-in's processes come back here, whatever session they left for.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
#ifndef BW_SANITIZED // the sanitizers reserve terabytes of address space
    set_limit(RLIMIT_AS, kMemoryBase + 2 * bytes);
#endif
    // CPU time: the call's time-out on every core twice over is more than any answer needs.
    const rlim_t cpu = static_cast<rlim_t>(timeout_ms) / 1000 * 2 + 10;
    set_limit(RLIMIT_CPU, cpu);
    const bool root = geteuid() == 0 || getuid() == 0;
    set_limit(RLIMIT_NPROC, root ? kProcessesAsUser : kProcessesAsOperator);
    set_limit(RLIMIT_CORE, 0); // a plug-in that crashes on every phone must not fill the disk
    if (drop_privileges(why) != 0)
        return -1;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *why = std::string("no-new-privileges refused: ") + strerror(errno);
        return -1;
    }
    return 0;
}

void confine_sweep_descendants()
{
    // A killed child's own children are this process's once it is reaped: round after round
    // until none is left. The bound only guards against a process table that never empties.
    for (int round = 0; round < 100000; round++) {
        const bool killed = kill_children();
        pid_t r = waitpid(-1, nullptr, __WALL | (killed ? 0 : WNOHANG));
        if (r < 0 && errno == ECHILD)
            return;
        if (r < 0 && errno != EINTR)
            return;
    }
}

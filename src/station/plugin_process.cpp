// station core: starting, talking to, timing out and reaping the plug-in helper program. Called
// by the plug-in host on the main thread (start-up check) and on download threads (per phone).
#include "station/plugin_process.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

extern char **environ;

#ifndef BW_PLUGIN_HOST_INSTALLED
#define BW_PLUGIN_HOST_INSTALLED "/usr/libexec/bramblewick/bramblewick-plugin-host"
#endif

namespace
{

constexpr const char *kHostName = "bramblewick-plugin-host";
constexpr int kCancelPollMs = 20;
constexpr int kAnsweredEndMs = 2000; // an answered helper ends by itself within this
constexpr int kAskedEndMs = 500;     // a helper asked to end (SIGTERM) does within this
constexpr const char *kBwrap = "/usr/bin/bwrap";

// bubblewrap's arguments up to the program: the same file system (the plug-in may read and write
// what it could before), a PID namespace of its own with a /proc to match, and the whole
// namespace killed when the station's thread that started it goes.
std::vector<std::string> sandbox_args()
{
    return {"bwrap", "--die-with-parent", "--unshare-pid", "--bind", "/", "/",
            "--dev-bind", "/dev", "/dev", "--proc", "/proc", "--"};
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// The helper's descriptors are first moved above the numbers they get in the child, so the
// child's dup2 to 3 and 4 can never overwrite one with the other.
int high_fd(int fd)
{
    return fcntl(fd, F_DUPFD_CLOEXEC, 10);
}

// The PID namespace every run of the helper gets when Debian's bubblewrap is there and works on
// this machine (tried once): the plug-in's processes cannot outlive the helper, even when the
// station kills it. Null without. BRAMBLEWICK_PLUGIN_SANDBOX=none turns it off.
const char *sandbox_path()
{
    const char *off = getenv("BRAMBLEWICK_PLUGIN_SANDBOX");
    if (off && strcmp(off, "none") == 0)
        return nullptr;
    static const char *path = []() -> const char * {
        if (access(kBwrap, X_OK) != 0)
            return nullptr;
        std::vector<std::string> args = sandbox_args();
        args.push_back("/bin/true");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        int status = -1;
        const int r = posix_spawn(&pid, kBwrap, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (r != 0)
            return nullptr;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kBwrap : nullptr;
    }();
    return path;
}

// Waits up to ms for every holder of the helper's end of the socket to be gone: the helper and
// whatever the plug-in started (they inherit it), or the whole PID namespace around them. True
// when they are.
bool wait_for_hang_up(int mine, int ms)
{
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::milliseconds(ms);
    char sink[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now()).count();
        if (left <= 0)
            return false;
        struct pollfd pfd = {mine, POLLIN, 0};
        const int p = poll(&pfd, 1, static_cast<int>(left));
        if (p < 0 && errno == EINTR)
            continue;
        if (p <= 0)
            return false;
        const ssize_t n = recv(mine, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

// Reaps pid, waiting up to ms; true with *status when it was reaped (or cannot be: -1).
bool reap_within(pid_t pid, int ms, int *status)
{
    for (int waited = 0;; waited += 5) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR) {
            *status = -1; // ECHILD: someone reaps children for us
            return true;
        }
        if (waited >= ms)
            return false;
        usleep(5000);
    }
}

// Ends the helper and everything it started, and reaps it. A helper that answered or hung up
// ends by itself once the plug-in's processes are gone; one that did neither is asked (SIGTERM:
// its handler kills the plug-in's processes, setsid() or not). Either way its process group is
// killed when the grace is over. Returns its wait status, or -1 when it cannot be had.
int end_and_reap(pid_t pid, int mine, bool ended)
{
    if (!ended)
        kill(pid, SIGTERM);
    const int grace = ended ? kAnsweredEndMs : kAskedEndMs;
    wait_for_hang_up(mine, grace);
    int status = 0;
    if (!reap_within(pid, grace, &status)) {
        kill(-pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    kill(-pid, SIGKILL); // whatever is left of its group
    // Inside a PID namespace the kernel ends the rest when its first process goes.
    wait_for_hang_up(mine, kAskedEndMs);
    return status;
}

void say_how_it_ended(int status)
{
    // bubblewrap passes on a signal's end as 128 + its number.
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) > 128 &&
        WEXITSTATUS(status) < 128 + NSIG && sandbox_path())
        status = WEXITSTATUS(status) - 128; // a wait status "killed by that signal"

    if (status >= 0 && WIFSIGNALED(status))
        fprintf(stderr, "%s: the plug-in ended by signal %d (%s)\n", kHostName, WTERMSIG(status),
                strsignal(WTERMSIG(status)));
    else if (status >= 0 && WIFEXITED(status))
        fprintf(stderr, "%s: ended with status %d before answering\n", kHostName,
                WEXITSTATUS(status));
    else
        fprintf(stderr, "%s: ended before answering\n", kHostName);
}

bool send_all(int fd, const std::vector<uint8_t> &out)
{
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The call's output file in dir (see plugin_process_run), opened for writing; *path gets its
// name. /dev/null (and *path empty) when there is no dir or the file cannot be made.
int open_output(const std::string &dir, std::string *path)
{
    static std::atomic<unsigned> serial{0};
    path->clear();
    if (!dir.empty()) {
        char stamp[32];
        const time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        for (int attempt = 0; attempt < 8; attempt++) {
            const std::string name =
                dir + "/" + stamp + "-" + std::to_string(serial.fetch_add(1) + 1) + ".log";
            int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
            if (fd >= 0) {
                *path = name;
                return fd;
            }
            if (errno != EEXIST)
                break;
        }
    }
    return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

// A call that wrote nothing leaves no file behind.
void remove_if_empty(const std::string &path)
{
    struct stat st;
    if (!path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        unlink(path.c_str());
}

// posix_spawn of the helper with sock as its descriptor 3 and buf_fd (or nothing) as 4, stdin
// from /dev/null, standard output and error to out_fd, every other descriptor closed, default
// signals, and a process group of its own (a Ctrl-C meant for the station must not kill a
// phone's check); inside bubblewrap when it works here. 0 or an errno value.
int spawn_host(const std::string &path, int sock, int buf_fd, int out_fd, int timeout_ms,
               pid_t *pid)
{
    const char *sandbox = sandbox_path();
    // bubblewrap would start and then fail: a missing helper is told the way posix_spawn tells it.
    if (sandbox && access(path.c_str(), X_OK) != 0)
        return errno;
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
        posix_spawn_file_actions_adddup2(&fa, out_fd, 2);
    }
    posix_spawn_file_actions_adddup2(&fa, sock, PLUGIN_HOST_SOCKET_FD);
    if (buf_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, buf_fd, PLUGIN_HOST_BUFFER_FD);
    posix_spawn_file_actions_addclosefrom_np(&fa, PLUGIN_HOST_BUFFER_FD + 1);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGQUIT, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    std::vector<std::string> args;
    if (sandbox) {
        args = sandbox_args();
        args.push_back(path);
    } else {
        args.push_back(kHostName);
    }
    args.push_back("--timeout-ms=" + std::to_string(timeout_ms));
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int r = posix_spawn(pid, sandbox ? sandbox : path.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return r;
}

} // namespace

int plugin_shared_buffer_alloc(plugin_shared_buffer *b, int size)
{
    *b = plugin_shared_buffer();
    if (size <= 0)
        return -1;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t map_size = (static_cast<size_t>(size) + page - 1) / page * page;
    int fd = memfd_create("bramblewick-plugin-read", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    // Sealed at its size: the helper cannot shrink the file under the station's mapping.
    if (ftruncate(fd, static_cast<off_t>(map_size)) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        close(fd);
        return -1;
    }
    void *map = mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return -1;
    }
    b->fd = fd;
    b->map = static_cast<unsigned char *>(map);
    b->map_size = map_size;
    b->offset = map_size - static_cast<size_t>(size);
    b->size = size;
    return 0;
}

void plugin_shared_buffer_free(plugin_shared_buffer *b)
{
    if (b->map)
        munmap(b->map, b->map_size);
    close_fd(b->fd);
    *b = plugin_shared_buffer();
}

int plugin_process_run(const std::string &host_path, const plugin_request &req_in,
                       const plugin_shared_buffer *buf, int timeout_ms,
                       const std::atomic<int> *cancel, plugin_reply *reply,
                       const std::string &output_dir)
{
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    plugin_request req = req_in;
    if (buf) {
        req.read_size = static_cast<uint32_t>(buf->size);
        req.data_offset = static_cast<uint32_t>(buf->offset);
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        fprintf(stderr, "%s: no socket: %s\n", kHostName, strerror(errno));
        return PLUGIN_RUN_NOT_STARTED;
    }
    int mine = pair[0];
    int child_sock = high_fd(pair[1]);
    close(pair[1]);
    int child_buf = buf ? high_fd(buf->fd) : -1;
    std::string output_path;
    int output = open_output(output_dir, &output_path);
    int child_out = output >= 0 ? high_fd(output) : -1;
    close_fd(output);
    pid_t pid = -1;
    int r = child_sock < 0 || (buf && child_buf < 0)
                ? errno
                : spawn_host(host_path, child_sock, child_buf, child_out, timeout_ms, &pid);
    close_fd(child_sock);
    close_fd(child_buf);
    close_fd(child_out);
    if (r != 0) {
        remove_if_empty(output_path);
        fprintf(stderr, "%s: cannot start %s: %s\n", kHostName, host_path.c_str(), strerror(r));
        close(mine);
        return PLUGIN_RUN_NOT_STARTED;
    }

    // A helper that dies before reading the request is seen below as an early end.
    send_all(mine, plugin_encode_request(req));

    std::vector<uint8_t> in;
    uint8_t chunk[4096];
    int result = PLUGIN_RUN_CRASHED;
    bool hung_up = false;
    for (;;) {
        if (cancel && cancel->load()) {
            result = PLUGIN_RUN_CANCELLED;
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            result = PLUGIN_RUN_TIMED_OUT;
            break;
        }
        struct pollfd pfd = {mine, POLLIN, 0};
        const int wait_ms = cancel ? std::min<long>(left.count(), kCancelPollMs)
                                   : static_cast<int>(std::min<long>(left.count(), INT_MAX));
        const int p = poll(&pfd, 1, wait_ms);
        if (p < 0 && errno != EINTR)
            break;
        if (p <= 0)
            continue;
        ssize_t n = recv(mine, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            hung_up = true;
            break; // the helper ended without a whole reply
        }
        in.insert(in.end(), chunk, chunk + n);
        long d = plugin_decode_reply(in.data(), in.size(), reply);
        if (d > 0) {
            result = PLUGIN_RUN_ANSWERED;
            break;
        }
        if (d < 0) {
            fprintf(stderr, "%s: malformed reply\n", kHostName);
            break;
        }
    }
    const int status = end_and_reap(pid, mine, result == PLUGIN_RUN_ANSWERED || hung_up);
    close(mine);
    remove_if_empty(output_path);
    if (result == PLUGIN_RUN_CRASHED)
        say_how_it_ended(status);
    else if (result == PLUGIN_RUN_TIMED_OUT)
        fprintf(stderr, "%s: no answer from the plug-in within %d ms; ended it\n", kHostName,
                timeout_ms);
    return result;
}

std::string plugin_host_default_path()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.find_last_of('/') + 1);
        std::string beside = dir + kHostName;
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return BW_PLUGIN_HOST_INSTALLED;
}

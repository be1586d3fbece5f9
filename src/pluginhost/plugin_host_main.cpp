// bramblewick-plugin-host: runs the factory's post-flash plug-in away from the station.
//
// Started only by the station's plug-in host (src/station/plugin_process.cpp) with fork+exec
// (posix_spawn), once to check the plug-in at start-up and once per phone it judges; it never
// serves a second request. It finds its socket to the station on descriptor 3 and, for a phone,
// the read-back bytes in a shared memory file on descriptor 4. It reads one request, loads the
// plug-in, finds its five exports, starts it, makes the one call asked for, writes one reply and
// ends without finalising the plug-in (as the station never did). A crash or a hang here costs
// only this process: the station sees the socket close or its time-out pass, kills and reaps it.
// Before the plug-in is loaded the process is confined (pluginhost/confine.h); whatever the
// plug-in started is killed before the reply goes out. Its one argument, --timeout-ms=N, is the
// station's time-out for the run.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "pluginhost/confine.h"
#include "pluginhost/plugin_wire.h"
#include "station/bramblewick_plugin.h"

namespace
{

// Error numbers as plugin_handler_init reports them.
enum { LOAD_FAILED = 2, EXPORT_MISSING = 3, INIT_FAILED = 4 };

bool read_request(plugin_request *req)
{
    std::vector<uint8_t> buf;
    uint8_t chunk[4096];
    for (;;) {
        long r = plugin_decode_request(buf.data(), buf.size(), req);
        if (r > 0)
            return true;
        if (r < 0)
            return false;
        ssize_t n = read(PLUGIN_HOST_SOCKET_FD, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf.insert(buf.end(), chunk, chunk + n);
    }
}

void write_reply(const plugin_reply &reply)
{
    std::vector<uint8_t> out = plugin_encode_reply(reply);
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = send(PLUGIN_HOST_SOCKET_FD, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the station gave up on us
        done += static_cast<size_t>(n);
    }
}

// The read-back bytes as the plug-in sees them: a private copy-on-write view of the shared file
// (writes stay here), ending exactly where an inaccessible guard page begins, so a plug-in that
// writes past its buffer faults at once instead of corrupting what follows.
char *map_read_buffer(const plugin_request &req)
{
    struct stat st;
    const long page = sysconf(_SC_PAGESIZE);
    if (fstat(PLUGIN_HOST_BUFFER_FD, &st) != 0 || st.st_size <= 0 || st.st_size % page != 0 ||
        static_cast<uint64_t>(req.data_offset) + req.read_size != static_cast<uint64_t>(st.st_size))
        return nullptr;
    const size_t file_size = static_cast<size_t>(st.st_size);
    void *area = mmap(nullptr, file_size + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return nullptr;
    // Mapped in at once, read-only, so reading the bytes takes no page faults; writable after,
    // page by page on first write only.
    void *view = mmap(area, file_size, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE,
                      PLUGIN_HOST_BUFFER_FD, 0);
    if (view == MAP_FAILED || mprotect(view, file_size, PROT_READ | PROT_WRITE) != 0)
        return nullptr;
    return static_cast<char *>(view) + req.data_offset;
}

// The reply, once nothing the plug-in started is left; then the end.
[[noreturn]] void answer(const plugin_reply &reply)
{
    fflush(nullptr); // the plug-in's own output, before the station ends this process
    confine_sweep_descendants();
    write_reply(reply);
    _exit(0);
}

// SIGTERM from the station (a time-out, a stop): the plug-in's processes go with this one.
void on_term(int)
{
    confine_sweep_descendants();
    _exit(128 + SIGTERM);
}

int timeout_from(int argc, char **argv)
{
    constexpr const char *kArg = "--timeout-ms=";
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], kArg, strlen(kArg)) == 0)
            return atoi(argv[i] + strlen(kArg));
    return 60000;
}

// The plug-in's library is opened before the helper gives up root, so a build or install tree
// only root can walk still works; it is then loaded through its descriptor. A bare name is left
// to the loader's search path. -1 when there is nothing to open first.
int open_library(const std::string &name)
{
    if (name.find('/') == std::string::npos)
        return -1;
    return open(name.c_str(), O_RDONLY | O_CLOEXEC);
}

template <typename F> F lookup(void *dll, const char *name)
{
    return reinterpret_cast<F>(dlsym(dll, name));
}

} // namespace

int main(int argc, char **argv)
{
    struct stat st;
    if (fstat(PLUGIN_HOST_SOCKET_FD, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        fprintf(stderr, "bramblewick-plugin-host: started by bramblewick only (its socket is "
                        "descriptor 3)\n");
        return 2;
    }
    // Die with the station's thread that started us; and if the station is already gone, end
    // now rather than run a plug-in nobody waits for.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct pollfd pfd = {PLUGIN_HOST_SOCKET_FD, POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLHUP | POLLRDHUP | POLLERR)))
        _exit(3);
    struct sigaction sa = {};
    sa.sa_handler = on_term;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);

    plugin_request req;
    if (!read_request(&req)) {
        fprintf(stderr, "bramblewick-plugin-host: malformed request from the station\n");
        _exit(2);
    }

    const int lib_fd = open_library(req.dll_name);
    std::string why;
    if (confine_process(req.read_size, timeout_from(argc, argv), &why) != 0) {
        fprintf(stderr, "bramblewick-plugin-host: the plug-in is not run: %s\n", why.c_str());
        _exit(2);
    }
    plugin_reply reply;
    const std::string load_name =
        lib_fd >= 0 ? "/proc/self/fd/" + std::to_string(lib_fd) : req.dll_name;
    void *dll = dlopen(load_name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dll && lib_fd >= 0) // no /proc: by its name, as far as this user may reach it
        dll = dlopen(req.dll_name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dll) {
        reply.errorno = LOAD_FAILED;
        answer(reply);
    }
    auto get_name = lookup<LPPLUGIN_GET_NAME>(dll, "plugin_get_name");
    auto finalize = lookup<LPPLUGIN_FINALIZE>(dll, "plugin_finalize");
    auto init = lookup<LPPLUGIN_INIT>(dll, "plugin_init");
    auto get_error_str = lookup<LPPLUGIN_GET_ERROR_STR>(dll, "plugin_get_error_str");
    auto finish_cb = lookup<LPPLUGIN_DOWNLOAD_FINISH_CB>(dll, "plugin_download_finish_cb");
    if (!get_name || !finalize || !init || !get_error_str || !finish_cb) {
        reply.errorno = EXPORT_MISSING;
        answer(reply);
    }
    int plugin_errorno = 0; // the plug-in's own number is not passed on
    void *state = init(&plugin_errorno);
    if (!state) {
        reply.errorno = INIT_FAILED;
        answer(reply);
    }

    if (req.kind == PLUGIN_KIND_CHECK) {
        const char *name = get_name();
        reply.name.assign(name ? name : "", name ? strnlen(name, PLUGIN_TEXT_MAX - 1) : 0);
    } else {
        char *buf = map_read_buffer(req);
        if (!buf) {
            fprintf(stderr, "bramblewick-plugin-host: the read-back bytes cannot be mapped\n");
            _exit(2);
        }
        std::vector<char> version(req.version.begin(), req.version.end());
        version.push_back('\0');
        // The phone's device stays with the station: the plug-in gets no handle to it.
        reply.verdict = finish_cb(state, nullptr, buf, static_cast<int>(req.read_size),
                                  req.program_okay, version.data());
    }
    answer(reply);
}

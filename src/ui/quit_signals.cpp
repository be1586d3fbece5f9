// ui: SIGINT, SIGTERM and SIGHUP into a pipe for the front-ends' loops (terminal_window, station_window).
#include "quit_signals.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ui
{

namespace
{

std::atomic<int> g_write_fd{-1};

void on_signal(int sig)
{
    int saved = errno;
    int fd = g_write_fd.load();
    if (fd >= 0) {
        // A hang-up (closed terminal, dropped SSH session) leaves nobody to answer: as SIGTERM.
        char c = sig == SIGINT ? 'i' : 't';
        (void)!write(fd, &c, 1); // a full pipe already holds a request
    }
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals()
{
    if (pipe2(fd_, O_NONBLOCK | O_CLOEXEC) != 0) {
        fd_[0] = fd_[1] = -1;
        return;
    }
    g_write_fd.store(fd_[1]);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
    sigaction(SIGHUP, &sa, &old_hup_);
}

QuitSignals::~QuitSignals()
{
    if (fd_[0] < 0)
        return;
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGHUP, &old_hup_, nullptr);
    g_write_fd.store(-1);
    close(fd_[0]);
    close(fd_[1]);
}

std::string QuitSignals::take()
{
    std::string got;
    char buf[64];
    ssize_t n;
    while (fd_[0] >= 0 && (n = read(fd_[0], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

} // namespace ui

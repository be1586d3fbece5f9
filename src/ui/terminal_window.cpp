// ui (terminal): the terminal front-end's loop. Called by start-up through StationWindow::run.
#include "terminal_window.h"

#include "station/post_plugin_handler.h"
#include "terminal_view.h"
#include "ui/job_summary.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace ui {

std::string station_caption()
{
    return "V2.0.30.0 - Flashing program for Sorrel platform (Connect devices to PC to start "
           "download)";
}

namespace {

// Signals reach the loop through a pipe: the handler only writes one byte.
int g_signal_pipe_write = -1;

void on_signal(int)
{
    int saved = errno;
    if (g_signal_pipe_write >= 0) {
        char c = 's';
        (void)!write(g_signal_pipe_write, &c, 1);
    }
    errno = saved;
}

class Pipe {
public:
    Pipe()
    {
        if (pipe2(fd_, O_NONBLOCK | O_CLOEXEC) != 0)
            fd_[0] = fd_[1] = -1;
    }
    ~Pipe()
    {
        for (int fd : fd_)
            if (fd >= 0)
                close(fd);
    }
    bool ok() const { return fd_[0] >= 0; }
    int read_end() const { return fd_[0]; }
    int write_end() const { return fd_[1]; }
    // Empties the pipe; true when anything was in it.
    bool drain() const
    {
        char buf[64];
        bool any = false;
        while (read(fd_[0], buf, sizeof buf) > 0)
            any = true;
        return any;
    }

private:
    int fd_[2];
};

// Catches SIGINT and SIGTERM into a pipe for the life of the loop, then puts the old handlers
// back.
class SignalsToPipe {
public:
    explicit SignalsToPipe(int write_fd)
    {
        g_signal_pipe_write = write_fd;
        struct sigaction sa = {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~SignalsToPipe()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
        g_signal_pipe_write = -1;
    }

private:
    struct sigaction old_int_ = {}, old_term_ = {};
};

// Single keys without Enter while the table is shown; restored on every way out.
class RawKeys {
public:
    explicit RawKeys(int fd) : fd_(fd)
    {
        if (isatty(fd_) && tcgetattr(fd_, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
        }
    }
    ~RawKeys()
    {
        if (active_)
            tcsetattr(fd_, TCSANOW, &saved_);
    }
    bool active() const { return active_; }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string time_stamp()
{
    station_time t = station_local_time();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u ", t.wHour, t.wMinute, t.wSecond);
    return buf;
}

int terminal_columns(FILE *out)
{
    winsize ws{};
    if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 0;
}

}  // namespace

void TerminalWindow::run(StationSetup &setup)
{
    FILE *out = opt_.out;
    Station station(setup.options);
    Pipe wake, signals;
    if (!wake.ok() || !signals.ok()) {
        messages_.show("Cannot create the terminal's event pipes", kCaptionError,
                       MessageIcon::Error);
        return;
    }
    int wake_fd = wake.write_end();
    station.set_wake_hook([wake_fd] {
        char c = 'm';
        (void)!write(wake_fd, &c, 1);   // a full pipe already means "wake up"
    });

    // The header: caption, job summary, plug-in and log, printed once.
    bool colour = opt_.redraw_in_place;
    std::fprintf(out, "%s%s%s\n", colour ? "\033[1m" : "", station_caption().c_str(),
                 colour ? "\033[0m" : "");
    const char *plugin_name =
        setup.options.post_plugin_handle ? plugin_handler_get_name(setup.options.post_plugin_handle)
                                         : nullptr;
    SummaryJob job = summary_job_from(*setup.options.ini_content);
    std::fprintf(out, "%s\n", summary_ansi(job_summary(job, plugin_name), colour).c_str());
    if (!setup.log_path.empty())
        std::fprintf(out, "Production log: %s\n", setup.log_path.c_str());
    std::fprintf(out, "\n");
    std::fflush(out);

    EventLines events;
    bool dirty = true;
    DeviceList &list = station.device_list();
    list.set_observer([&](const DeviceListChange &change) {
        if (opt_.redraw_in_place) {
            dirty = true;
        } else {
            std::string lines = events.lines_for(list, change);
            if (!lines.empty()) {
                // Each line gets the time stamp, not just the first of a change.
                std::string stamped;
                size_t start = 0;
                while (start < lines.size()) {
                    size_t end = lines.find('\n', start);
                    if (opt_.time_stamps)
                        stamped += time_stamp();
                    stamped += lines.substr(start, end + 1 - start);
                    start = end + 1;
                }
                std::fputs(stamped.c_str(), out);
                std::fflush(out);
            }
        }
        if (opt_.companion)
            opt_.companion->row_changed(list, change);
    });

    SignalsToPipe catch_signals(signals.write_end());
    RawKeys keys(opt_.in_fd);
    if (station.start() != 0) {
        list.set_observer(nullptr);
        messages_.show("The station could not start", kCaptionError, MessageIcon::Error);
        return;
    }
    if (opt_.companion)
        opt_.companion->started(station);

    int drawn_lines = 0;
    int64_t last_draw = 0;
    auto draw = [&](bool force) {
        if (!opt_.redraw_in_place || (!dirty && !force))
            return;
        int64_t t = now_ms();
        if (!force && t - last_draw < 100)
            return;   // at most ten redraws a second, however busy the phones are
        last_draw = t;
        dirty = false;
        std::string frame;
        if (drawn_lines > 0)
            frame += "\r\033[" + std::to_string(drawn_lines) + "A";
        std::string table = render_table(list, true, terminal_columns(out));
        std::string status = opt_.companion ? opt_.companion->status_line() + "   " : "";
        table += status + "q: quit\n";
        drawn_lines = 0;
        size_t start = 0;
        while (start < table.size()) {
            size_t end = table.find('\n', start);
            frame += table.substr(start, end - start) + "\033[K\n";
            ++drawn_lines;
            start = end + 1;
        }
        frame += "\033[J";
        std::fputs(frame.c_str(), out);
        std::fflush(out);
    };

    int64_t next_tick = now_ms() + 1000;
    auto serve = [&] {
        wake.drain();
        station.process_pending_messages();
        if (now_ms() >= next_tick) {
            next_tick += 1000;
            station.one_second_timer();
            if (opt_.companion)
                opt_.companion->tick();
            dirty = true;
        }
    };
    // While the quit question waits for its key, the phones go on being served.
    messages_.set_pump([&] { serve(); });

    for (;;) {
        draw(false);
        pollfd fds[3] = {{wake.read_end(), POLLIN, 0},
                         {signals.read_end(), POLLIN, 0},
                         {keys.active() ? opt_.in_fd : -1, POLLIN, 0}};
        int timeout = static_cast<int>(std::max<int64_t>(0, next_tick - now_ms()));
        if (dirty && opt_.redraw_in_place)
            timeout = std::min(timeout, 100);
        int n = poll(fds, 3, timeout);
        if (n < 0 && errno != EINTR)
            break;
        serve();

        if (opt_.companion && opt_.companion->finished()) {
            // The run's length was given up front: that is the operator's answer.
            opt_.companion->stopping();
            station.stop();
            break;
        }
        bool quit_asked = signals.drain();
        if (keys.active() && (fds[2].revents & POLLIN)) {
            char key = 0;
            while (read(opt_.in_fd, &key, 1) == 1)
                if (key == 'q' || key == 'Q')
                    quit_asked = true;
        }
        if (quit_asked) {
            draw(true);
            if (confirm_quit(messages_, station)) {
                if (opt_.companion)
                    opt_.companion->stopping();
                break;
            }
            drawn_lines = 0;   // the question moved the cursor: draw below it afresh
            dirty = true;
        }
    }
    messages_.set_pump(nullptr);
    station.stop();   // idempotent; covers a failed poll
    dirty = true;
    draw(true);
    list.set_observer(nullptr);
}

}  // namespace ui

// ui (terminal): the terminal front-end's loop. Called by start-up through StationWindow::run.
#include "terminal_window.h"
#include "util/printable.h"

#include "quit_signals.h"
#include "station/post_plugin_handler.h"
#include "terminal_keys.h"
#include "terminal_view.h"
#include "ui/job_summary.h"
#include "util/diag.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ui
{

std::string station_caption()
{
    return "V2.0.30.0 - Flashing program for Sorrel platform (Connect devices to PC to start "
           "download)";
}

namespace
{

class Pipe
{
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

// While the live table is on the terminal, the protocol layers' diagnostic lines (standard
// output and error) would scroll it apart: both streams go into a pipe instead, which a thread
// drains. The lines are kept with their runs (util/diag.h): the table shows a failed row's last
// line beneath it, and the last lines of no run beneath the table. The table itself is written to a
// copy of the original standard output. Restored (and the reader joined) on destruction, after the
// station's threads have ended.
class StreamCapture
{
  public:
    explicit StreamCapture(std::function<void()> wake) : wake_(std::move(wake))
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        saved_out_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        saved_err_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        int screen_fd = saved_out_ >= 0 ? fcntl(saved_out_, F_DUPFD_CLOEXEC, 0) : -1;
        screen_ = screen_fd >= 0 ? fdopen(screen_fd, "w") : nullptr;
        if (!screen_ || saved_err_ < 0 || dup2(p[1], STDOUT_FILENO) < 0 ||
            dup2(p[1], STDERR_FILENO) < 0) {
            close(p[0]);
            close(p[1]);
            restore();
            return;
        }
        close(p[1]);
        read_fd_ = p[0];
        reader_ = std::thread([this] { read_loop(); });
    }
    ~StreamCapture() { restore(); }

    // The terminal, for the table and the quit question; null when capturing failed.
    FILE *screen() const { return screen_; }

  private:
    void read_loop()
    {
        char buf[4096];
        for (;;) {
            // Once restore() asks us to stop, only what is already in the pipe is read: a process
            // started meanwhile (the plug-in's helper) may hold a write end for ever.
            pollfd fds[2] = {{read_fd_, POLLIN, 0}, {stop_.read_end(), POLLIN, 0}};
            const int nfds = stop_.ok() ? 2 : 1;
            if (poll(fds, nfds, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                if (nfds == 2 && (fds[1].revents & POLLIN))
                    break;
                continue;
            }
            ssize_t n = read(read_fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            wake_(); // a redraw shows the lines as kept
        }
    }

    void restore()
    {
        if (saved_out_ >= 0) {
            std::fflush(stdout);
            std::fflush(stderr);
            dup2(saved_out_, STDOUT_FILENO); // the pipe's last write ends close here
            dup2(saved_err_, STDERR_FILENO);
        }
        if (stop_.ok()) {
            char c = 'x';
            (void)!write(stop_.write_end(), &c, 1);
        }
        if (reader_.joinable())
            reader_.join();
        for (int *fd : {&read_fd_, &saved_out_, &saved_err_}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
        if (screen_)
            std::fclose(screen_);
        screen_ = nullptr;
    }

    std::function<void()> wake_;
    Pipe stop_; // restore() -> read_loop: stop once the pipe is empty
    int read_fd_ = -1, saved_out_ = -1, saved_err_ = -1;
    FILE *screen_ = nullptr;
    std::thread reader_;
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

// Each line gets the time stamp, not just the first of a change.
std::string stamp_lines(const std::string &lines, bool stamps)
{
    std::string stamped;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (stamps)
            stamped += time_stamp();
        stamped += lines.substr(start, end + 1 - start);
        start = end + 1;
    }
    return stamped;
}

int terminal_columns(FILE *out)
{
    winsize ws{};
    if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 0;
}

} // namespace

void TerminalWindow::run(StationSetup &setup)
{
    FILE *out = opt_.out;
    Station station(setup.options);
    if (setup.on_station)
        setup.on_station(station);
    Pipe wake;
    // From here on SIGINT and SIGTERM are requests to the loop instead of killing the station.
    QuitSignals signals;
    if (!wake.ok() || !signals.ok()) {
        messages_.show("Cannot create the terminal's event pipes", kCaptionError,
                       MessageIcon::Error);
        return;
    }
    int wake_fd = wake.write_end();
    station.set_wake_hook([wake_fd] {
        char c = 'm';
        (void)!write(wake_fd, &c, 1); // a full pipe already means "wake up"
    });

    // The header: caption, job summary, plug-in and log, printed once.
    bool colour = opt_.redraw_in_place;
    std::fprintf(out, "%s%s%s\n", colour ? "\033[1m" : "", station_caption().c_str(),
                 colour ? "\033[0m" : "");
    const char *plugin_name = setup.options.post_plugin_handle
                                  ? plugin_handler_get_name(setup.options.post_plugin_handle)
                                  : nullptr;
    SummaryJob job = summary_job_from(*setup.options.ini_content);
    std::vector<SummaryRun> runs = job_summary(job, plugin_name);
    for (SummaryRun &run : job_findings_runs(job_check_findings(*setup.options.ini_content, setup.job_path)))
        runs.push_back(std::move(run));
    for (SummaryRun &run : release_summary(setup.release_text, setup.release_red))
        runs.push_back(std::move(run));
    std::fprintf(out, "%s\n", summary_ansi(runs, colour).c_str());
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
                std::fputs(stamp_lines(lines, opt_.time_stamps).c_str(), out);
                std::fflush(out);
            }
        }
        if (opt_.companion)
            opt_.companion->row_changed(list, change);
    });

    TerminalKeys keys(opt_.in_fd, 0); // polled with the other sources
    std::unique_ptr<StreamCapture> capture;
    FILE *messages_stream = messages_.stream();
    if (opt_.redraw_in_place && out == stdout) {
        capture = std::make_unique<StreamCapture>([wake_fd] {
            char c = 'd';
            (void)!write(wake_fd, &c, 1);
        });
        if (capture->screen()) {
            out = capture->screen();
            messages_.set_stream(out);
        } else {
            capture.reset();
        }
    }
    if (station.start() != 0) {
        list.set_observer(nullptr);
        messages_.set_stream(messages_stream);
        capture.reset();
        messages_.show("The station could not start", kCaptionError, MessageIcon::Error);
        return;
    }
    if (opt_.companion)
        opt_.companion->started(station);
    // The mapping is read by the start: what ended it early goes under the header.
    if (!station.port_mapping_problem().empty()) {
        std::fprintf(out, "%s\n\n",
                     summary_ansi(mapping_summary(station.port_mapping_problem()), colour)
                         .substr(1) // the panel's line break: the header already ended its line
                         .c_str());
        std::fflush(out);
    }

    int drawn_lines = 0;
    int64_t last_draw = 0;
    auto draw = [&](bool force) {
        if (!opt_.redraw_in_place || (!dirty && !force))
            return;
        int64_t t = now_ms();
        if (!force && t - last_draw < 100)
            return; // at most ten redraws a second, however busy the phones are
        last_draw = t;
        dirty = false;
        std::string frame;
        if (drawn_lines > 0)
            frame += "\r\033[" + std::to_string(drawn_lines) + "A";
        // The station-wide alarm stands above the table, in red.
        std::string table;
        const std::string alarm = station.alarm();
        if (!alarm.empty())
            table += "\033[1;97;41m " + alarm + " \033[0m\n";
        const std::string outside = setup.outside_alarm ? setup.outside_alarm() : "";
        if (!outside.empty())
            table += "\033[1;97;41m " + outside + " \033[0m\n";
        table += render_table(list, true, terminal_columns(out), &station.health());
        if (setup.record_state)
            table += setup.record_state() + "\n"; // a line of its own, above the keys
        std::string status = "Tally: " + station.tally_text() + "   ";
        if (opt_.companion)
            status += opt_.companion->status_line() + "   ";
        table += status + "q: quit\n";
        if (capture) {
            // The lines of no run (a run's own stand beneath its row when it fails).
            int width = std::max(20, terminal_columns(out));
            for (const std::string &line : diag_unowned_lines())
                table += "\033[2m" + printable(line).substr(0, static_cast<size_t>(width - 1)) +
                         "\033[0m\n";
        }
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

    // Line mode: the alarm and the fixtures' suspect marks as they come and go, the tally once a
    // minute and at the end (the live table has it in its footer).
    std::string alarm_shown;
    std::string outside_shown;
    std::vector<bool> suspect_shown;
    int64_t next_tally = now_ms() + 60000;
    auto report_health = [&](bool final) {
        if (opt_.redraw_in_place)
            return;
        std::string lines;
        if (final || now_ms() >= next_tally) {
            next_tally = now_ms() + 60000;
            lines += "Tally: " + station.tally_text() + "\n";
        }
        const std::string alarm = station.alarm();
        if (alarm != alarm_shown) {
            lines += alarm.empty() ? "Alarm over: the production log is written again\n"
                                   : "ALARM: " + alarm + "\n";
            alarm_shown = alarm;
        }
        const std::string outside = setup.outside_alarm ? setup.outside_alarm() : "";
        if (outside != outside_shown) {
            lines += outside.empty() ? "Alarm over: no other live station has this station id\n"
                                     : "ALARM: " + outside + "\n";
            outside_shown = outside;
        }
        suspect_shown.resize(static_cast<size_t>(list.GetItemCount()));
        for (int r = 0; r < list.GetItemCount(); ++r) {
            const fixture_tally *f = health_fixture(station.health(), r);
            bool suspect = f && fixture_suspect(*f);
            if (suspect != suspect_shown[static_cast<size_t>(r)]) {
                suspect_shown[static_cast<size_t>(r)] = suspect;
                lines += row_label(list, r) +
                         (suspect ? ": suspect fixture, its last phones failed: " +
                                        fixture_health_text(station.health(), r) + "\n"
                                  : ": no longer suspect\n");
            }
        }
        if (!lines.empty()) {
            std::fputs(stamp_lines(lines, opt_.time_stamps).c_str(), out);
            std::fflush(out);
        }
    };

    int64_t next_tick = now_ms() + 1000;
    std::string last_record;
    auto serve = [&] {
        wake.drain();
        station.process_pending_messages();
        if (now_ms() >= next_tick) {
            next_tick += 1000;
            station.one_second_timer();
            if (opt_.companion)
                opt_.companion->tick();
            dirty = true;
            // Line mode: the factory record's state when it changed.
            if (!opt_.redraw_in_place && setup.record_state) {
                std::string record = setup.record_state();
                if (record != last_record) {
                    last_record = record;
                    std::fprintf(out, "%s%s\n", opt_.time_stamps ? time_stamp().c_str() : "",
                                 record.c_str());
                    std::fflush(out);
                }
            }
        }
        report_health(false);
    };
    // While the quit question waits for its key, the phones go on being served.
    messages_.set_pump([&] { serve(); });

    for (;;) {
        draw(false);
        pollfd fds[3] = {{wake.read_end(), POLLIN, 0},
                         {signals.read_fd(), POLLIN, 0},
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
        const std::string sigs = signals.take();
        if (sigs.find('t') != std::string::npos) {
            // SIGTERM: the system ends the station (a shutdown, a service stop); nobody is there
            // to answer, and waiting for an answer would only get the station killed.
            if (opt_.companion)
                opt_.companion->stopping();
            station.stop();
            break;
        }
        bool quit_asked = !sigs.empty();
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
            drawn_lines = 0; // the question moved the cursor: draw below it afresh
            dirty = true;
        }
    }
    messages_.set_pump(nullptr);
    station.stop(); // idempotent; covers a failed poll
    report_health(true);
    dirty = true;
    draw(true);
    list.set_observer(nullptr);
    if (capture) {
        messages_.set_stream(messages_stream);
        capture.reset(); // the station's threads are gone: nothing writes any more
    }
    station.report_unwritten_log(stderr);
}

} // namespace ui

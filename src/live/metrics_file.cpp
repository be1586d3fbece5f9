// live: the --metrics file. Its own thread, started and stopped by start-up on the main thread.
#include "live/metrics_file.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace
{

std::string label_value(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void metric(std::string *out, const char *name, const char *type, const char *help)
{
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

} // namespace

std::string metrics_text(const std::string &station, const MetricsFigures &f)
{
    const std::string st = "station=\"" + label_value(station) + "\"";
    std::string out;
    metric(&out, "bramblewick_phones_total", "counter",
           "Phones whose run ended since the station started, by result.");
    const std::pair<const char *, int> results[] = {{"passed", f.tally.programmed},
                                                    {"failed", f.tally.failed},
                                                    {"interrupted", f.tally.interrupted}};
    for (const auto &[name, n] : results)
        out += "bramblewick_phones_total{" + st + ",result=\"" + name + "\"} " + std::to_string(n) +
               "\n";

    metric(&out, "bramblewick_first_pass_yield_ratio", "gauge",
           "Share of phones that passed at their first run (NaN before the first).");
    char buf[32];
    if (f.tally.first_runs > 0)
        std::snprintf(buf, sizeof buf, "%.4f",
                      static_cast<double>(f.tally.first_runs_passed) / f.tally.first_runs);
    else
        std::snprintf(buf, sizeof buf, "NaN");
    out += "bramblewick_first_pass_yield_ratio{" + st + "} " + buf + "\n";

    metric(&out, "bramblewick_fixtures", "gauge", "Fixtures by state.");
    const fixture_state states[] = {fixture_state::idle,        fixture_state::running,
                                    fixture_state::passed,      fixture_state::failed,
                                    fixture_state::interrupted, fixture_state::held};
    int suspect = 0;
    for (fixture_state s : states) {
        int n = 0;
        for (const auto &[key, fx] : f.fixtures)
            n += fx.run.state == s;
        out += "bramblewick_fixtures{" + st + ",state=\"" + fixture_state_name(s) + "\"} " +
               std::to_string(n) + "\n";
    }
    for (const auto &[key, fx] : f.fixtures)
        suspect += fx.run.suspect;
    metric(&out, "bramblewick_fixtures_suspect", "gauge", "Fixtures whose last phones all failed.");
    out += "bramblewick_fixtures_suspect{" + st + "} " + std::to_string(suspect) + "\n";

    if (f.record_backlog) {
        metric(&out, "bramblewick_record_backlog", "gauge",
               "Records in the log the factory database has not confirmed.");
        out += "bramblewick_record_backlog{" + st + "} " + std::to_string(*f.record_backlog) + "\n";
    }
    if (f.record_refused) {
        metric(&out, "bramblewick_record_refused", "gauge",
               "Records the factory database refused (kept in the log).");
        out += "bramblewick_record_refused{" + st + "} " + std::to_string(*f.record_refused) + "\n";
    }
    if (f.live_connected) {
        metric(&out, "bramblewick_live_connected", "gauge",
               "1 while the live state reaches the factory database.");
        out += "bramblewick_live_connected{" + st + "} " + (*f.live_connected ? "1" : "0") +
               std::string("\n");
    }
    return out;
}

int metrics_write_file(const std::string &path, const std::string &text)
{
    // Beside the file, so the rename stays within one file system; not ending in .prom, so
    // the collector never reads it half-written.
    const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -errno;
    size_t done = 0;
    int rc = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            rc = n < 0 ? -errno : -EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && rc == 0)
        rc = -errno;
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        rc = -errno;
    if (rc != 0)
        unlink(tmp.c_str());
    return rc;
}

struct MetricsWriter::Impl {
    MetricsOptions opt;
    std::shared_ptr<LiveBoard> board;
    std::function<void(MetricsFigures *)> extra;
    std::mutex mu;
    std::condition_variable cv;
    bool quitting = false; // guarded by mu
    long writes = 0;       // guarded by mu
    std::thread thread;
    bool failing = false; // the thread's own

    void write_once()
    {
        MetricsFigures f;
        f.tally = board->tally();
        f.fixtures = board->fixtures();
        if (extra)
            extra(&f);
        int rc = metrics_write_file(opt.path, metrics_text(opt.station, f));
        if (rc != 0 && !failing && opt.report)
            std::fprintf(opt.report, "bramblewick: cannot write the metrics file %s: %s\n",
                         opt.path.c_str(), std::strerror(-rc));
        else if (rc == 0 && failing && opt.report)
            std::fprintf(opt.report, "bramblewick: the metrics file %s is written again\n",
                         opt.path.c_str());
        failing = rc != 0;
        if (rc == 0) {
            std::lock_guard<std::mutex> lock(mu);
            ++writes;
        }
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "bw-metrics");
        std::unique_lock<std::mutex> lock(mu);
        while (!quitting) {
            lock.unlock();
            write_once();
            lock.lock();
            cv.wait_for(lock, std::chrono::milliseconds(opt.period_ms),
                        [this] { return quitting; });
        }
        lock.unlock();
        write_once(); // the figures at the quit
    }
};

MetricsWriter::MetricsWriter(MetricsOptions options, std::shared_ptr<LiveBoard> board,
                             std::function<void(MetricsFigures *)> extra)
    : impl_(std::make_shared<Impl>())
{
    impl_->opt = std::move(options);
    impl_->board = std::move(board);
    impl_->extra = std::move(extra);
}

MetricsWriter::~MetricsWriter()
{
    stop();
}

int MetricsWriter::start()
{
    if (impl_->thread.joinable() || impl_->opt.path.empty())
        return -1;
    try {
        impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}

void MetricsWriter::stop()
{
    if (!impl_->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->quitting = true;
    }
    impl_->cv.notify_all();
    impl_->thread.join();
}

long MetricsWriter::writes() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->writes;
}

// record db: the shipper. Its own thread, started and stopped by the station's front-end set-up
// (start-up), never a download or window thread; the front-ends only read its state. Every
// libpq call happens on this thread. Beside it, a counter thread it starts and joins counts the
// outbox's lines; the two share only what `mu` guards.
#include "recorddb/shipper.h"

#include "recorddb/record_db.h"
#include "record/csv_lines.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using json = nlohmann::json;

namespace
{

using Clock = std::chrono::steady_clock;

constexpr off_t kMaxRecordBytes = 16 << 20; // a detail record is a few kB; beyond this, garbage
constexpr off_t kMaxBatchBytes = 8 << 20;
constexpr const char *kProgressName = ".shipped";

// One complete line of a file: [start, end), its "\n" at end; line_no counts from 1.
struct Line {
    off_t start = 0, end = 0;
    long line_no = 0;
};

struct OutboxFile {
    off_t shipped = 0; // every line before it is in the database or refused
    long shipped_line = 0;
    off_t scanned = 0; // every complete line before it is in `pending` or shipped
    long scanned_line = 0;
    std::deque<Line> pending;
    std::map<off_t, long> refused; // start offset -> line number
    bool seen = false;             // found by the last directory pass
    // The CSV beside it: a record is sent only once its CSV line is written, so a station killed
    // between the two never leaves a row that no CSV line has (start-up completes the CSV).
    csv_lines csv;
    bool csv_missing = false; // no CSV beside it (removed): nothing to wait for
    bool waits_for_csv = false; // the next record's CSV line is not written yet
};

bool is_outbox_name(const char *name)
{
    size_t n = std::strlen(name);
    return n > 10 && std::strncmp(name, "log_", 4) == 0 && std::strcmp(name + n - 6, ".jsonl") == 0;
}

bool blank(const std::string &text)
{
    return text.find_first_not_of(" \t\r") == std::string::npos;
}

// Empty when the record can be sent; otherwise why not.
std::string check_record(const std::string &text, json *out)
{
    *out = json::parse(text, nullptr, false);
    if (out->is_discarded())
        return "not valid JSON (or not UTF-8)";
    if (!out->is_object())
        return "not a JSON object";
    auto key_text = [&](const char *key) {
        auto it = out->find(key);
        return it != out->end() && it->is_string() && !it->get_ref<const std::string &>().empty();
    };
    if (!key_text("station") || !key_text("csv_file"))
        return "no station or csv_file text";
    auto line = out->find("csv_line");
    if (line == out->end() || !line->is_number_integer())
        return "no integer csv_line";
    return "";
}

std::string clock_text(time_t t, bool with_day)
{
    struct tm tm_local = {};
    localtime_r(&t, &tm_local);
    char buf[32];
    std::strftime(buf, sizeof buf, with_day ? "%m-%d %H:%M" : "%H:%M", &tm_local);
    return buf;
}

} // namespace

std::string record_state_line(const ShipperState &s)
{
    std::string line = "record: ";
    if (s.connected && s.waiting == 0)
        line += "up to date";
    else
        line += std::to_string(s.waiting) + " waiting";
    if (!s.connected) {
        if (s.unreachable_since) {
            time_t now = time(nullptr);
            struct tm a = {}, b = {};
            localtime_r(&now, &a);
            localtime_r(&s.unreachable_since, &b);
            bool today = a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
            line += ", database unreachable since " + clock_text(s.unreachable_since, !today);
        } else {
            line += ", connecting to the database";
        }
    }
    if (s.refused)
        line += ", " + std::to_string(s.refused) + " refused (kept in the log)";
    return line;
}

struct Shipper::Impl : std::enable_shared_from_this<Shipper::Impl> {
    explicit Impl(ShipperOptions o) : opt(std::move(o))
    {
        if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            stop_pipe[0] = stop_pipe[1] = -1;
    }
    ~Impl()
    {
        for (int fd : stop_pipe)
            if (fd >= 0)
                close(fd);
    }

    const ShipperOptions opt;
    int stop_pipe[2] = {-1, -1};

    mutable std::mutex mu; // guards st, ended, done and on_disk
    ShipperState st;
    bool ended = false;
    std::condition_variable ended_cv;
    // What the footer counts: the complete lines in each file (the counter thread's, which
    // never waits on the database) less those the database has confirmed or refused (the
    // shipping thread's, at their offset). A record is waiting from the moment it is on disk,
    // whatever the shipping thread is blocked in.
    struct Done {
        off_t offset = 0;
        long lines = 0;
    };
    std::map<std::string, Done> done;
    std::map<std::string, long> on_disk;
    bool counting = false; // the counter thread runs

    // The counter thread's own.
    struct Count {
        off_t scanned = 0;
        long lines = 0;
    };
    std::map<std::string, Count> counts;
    void count_loop();
    void count_pass();
    long waiting_on_disk() const; // under mu

    // The thread's own.
    std::map<std::string, OutboxFile> files; // by name: the stamps sort in time order
    pg_conn *conn = nullptr;
    int inotify_fd = -1, watch = -1;
    int backoff_ms = 0;
    Clock::time_point next_attempt{};
    Clock::time_point last_scan{};
    bool refused_retried = false;
    bool shipped_since_connect = false; // a statement succeeded on this connection
    bool progress_error_reported = false;

    void run();
    int wait_ms() const { return opt.statement_timeout_ms + 5000; }
    std::string path(const std::string &name) const { return opt.log_dir + "/" + name; }
    void report(const std::string &text)
    {
        if (opt.report) {
            std::fprintf(opt.report, "bramblewick: record: %s\n", text.c_str());
            std::fflush(opt.report);
        }
    }

    void load_progress();
    void save_progress();
    void scan();
    void read_new_lines(const std::string &name, OutboxFile &f, off_t size);
    void read_csv(const std::string &name, OutboxFile &f);
    bool read_span(const std::string &name, off_t start, off_t end, std::string *out);
    void connect_db();
    void drop_connection(const std::string &why);
    void unreachable(const std::string &why);
    static bool sendable(const OutboxFile &f);
    bool has_pending() const;
    void ship_batch();
    void retry_refused();
    void refuse(const std::string &name, OutboxFile &f, const Line &l, const std::string &why);
    void publish();
};

void Shipper::Impl::load_progress()
{
    FILE *in = std::fopen(path(kProgressName).c_str(), "re");
    if (!in)
        return; // none yet: everything is sent, and the database keeps what it has
    char buf[1024];
    while (std::fgets(buf, sizeof buf, in)) {
        char kind[16], name[512];
        long long offset = 0;
        long line_no = 0;
        if (std::sscanf(buf, "%15s %lld %ld %511s", kind, &offset, &line_no, name) != 4 ||
            offset < 0 || !is_outbox_name(name))
            continue;
        OutboxFile &f = files[name];
        if (std::strcmp(kind, "shipped") == 0) {
            f.shipped = f.scanned = offset;
            f.shipped_line = f.scanned_line = line_no;
        } else if (std::strcmp(kind, "refused") == 0) {
            f.refused[offset] = line_no;
        }
    }
    std::fclose(in);
}

void Shipper::Impl::save_progress()
{
    // Not synced: a progress lost to a power cut only means a harmless resend.
    std::string tmp = path(std::string(kProgressName) + ".tmp");
    FILE *out = std::fopen(tmp.c_str(), "we");
    bool ok = out != nullptr;
    if (ok) {
        std::fputs("# what the factory database has confirmed of each detail record file\n", out);
        for (const auto &[name, f] : files) {
            if (f.shipped > 0)
                std::fprintf(out, "shipped %lld %ld %s\n", static_cast<long long>(f.shipped),
                             f.shipped_line, name.c_str());
            for (const auto &[offset, line_no] : f.refused)
                std::fprintf(out, "refused %lld %ld %s\n", static_cast<long long>(offset), line_no,
                             name.c_str());
        }
        ok = std::fflush(out) == 0 && !std::ferror(out);
        ok = std::fclose(out) == 0 && ok;
        ok = ok && std::rename(tmp.c_str(), path(kProgressName).c_str()) == 0;
    }
    if (!ok) {
        unlink(tmp.c_str());
        if (!progress_error_reported)
            report("cannot write " + path(kProgressName) + " (" + std::strerror(errno) +
                   "); the next start sends everything again");
        progress_error_reported = true;
    } else {
        progress_error_reported = false;
    }
}

void Shipper::Impl::scan()
{
    last_scan = Clock::now();
    if (inotify_fd >= 0 && watch < 0)
        watch = inotify_add_watch(inotify_fd, opt.log_dir.c_str(),
                                  IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE |
                                      IN_MOVED_FROM);
    DIR *dir = opendir(opt.log_dir.c_str());
    if (!dir)
        return; // no log directory yet: nothing to send
    for (auto &entry : files)
        entry.second.seen = false;
    while (dirent *e = readdir(dir)) {
        if (!is_outbox_name(e->d_name))
            continue;
        struct stat sb;
        if (fstatat(dirfd(dir), e->d_name, &sb, 0) != 0 || !S_ISREG(sb.st_mode))
            continue;
        OutboxFile &f = files[e->d_name];
        f.seen = true;
        if (sb.st_size < f.scanned) {
            report(path(e->d_name) + " is shorter than before: it is read again from its start");
            f = OutboxFile();
            f.seen = true;
        }
        if (sb.st_size > f.scanned)
            read_new_lines(e->d_name, f, sb.st_size);
        read_csv(e->d_name, f);
    }
    closedir(dir);
    for (auto it = files.begin(); it != files.end();) {
        if (!it->second.seen) {
            if (!it->second.pending.empty())
                report(path(it->first) + " is gone with " +
                       std::to_string(it->second.pending.size()) + " records not shipped");
            it = files.erase(it);
        } else {
            ++it;
        }
    }
}

void Shipper::Impl::read_csv(const std::string &name, OutboxFile &f)
{
    const std::string csv = path(name.substr(0, name.size() - 6) + ".csv");
    int fd = open(csv.c_str(), O_RDONLY | O_CLOEXEC);
    f.csv_missing = fd < 0 && errno == ENOENT;
    if (fd < 0)
        return;
    struct stat sb;
    if (fstat(fd, &sb) == 0 && sb.st_size < f.csv.scanned)
        f.csv = csv_lines(); // made again, or shortened: counted again
    const long before = f.csv.count;
    csv_lines_read(&f.csv, fd);
    close(fd);
    if (f.csv.count != before)
        f.waits_for_csv = false;
}

void Shipper::Impl::read_new_lines(const std::string &name, OutboxFile &f, off_t size)
{
    int fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    std::string buf(1 << 20, '\0');
    off_t pos = f.scanned, line_start = f.scanned;
    while (pos < size) {
        ssize_t n = pread(fd, buf.data(), buf.size(), pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (const char *p = buf.data(), *end = buf.data() + n;
             (p = static_cast<const char *>(std::memchr(p, '\n', end - p))) != nullptr; ++p) {
            off_t nl = pos + (p - buf.data());
            f.pending.push_back({line_start, nl, ++f.scanned_line});
            line_start = nl + 1;
        }
        pos += n;
    }
    close(fd);
    f.scanned = line_start; // an unended last line is read again once it has its end
}

bool Shipper::Impl::read_span(const std::string &name, off_t start, off_t end, std::string *out)
{
    int fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->resize(static_cast<size_t>(end - start));
    size_t done = 0;
    while (done < out->size()) {
        ssize_t n =
            pread(fd, out->data() + done, out->size() - done, start + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    bool whole = done == out->size();
    out->resize(done);
    return whole;
}

void Shipper::Impl::unreachable(const std::string &why)
{
    std::lock_guard<std::mutex> lock(mu);
    st.connected = false;
    st.last_error = why;
    if (!st.unreachable_since) {
        st.unreachable_since = time(nullptr);
        report("database unreachable (" + why + "); records wait in " + opt.log_dir);
    }
}

void Shipper::Impl::drop_connection(const std::string &why)
{
    record_db_close(conn);
    conn = nullptr;
    unreachable(why);
    // A server that restarted answers again soon: try at once. A connection that fails again
    // before anything went through is an outage that lasts: back off, doubling each time.
    next_attempt = Clock::now();
    if (!shipped_since_connect) {
        next_attempt += std::chrono::milliseconds(backoff_ms);
        backoff_ms = std::min(backoff_ms * 2, opt.backoff_max_ms);
    }
}

void Shipper::Impl::connect_db()
{
    std::string error;
    RecordDbResult rc = RECORD_DB_TRANSIENT;
    pg_conn *c = record_db_connect(opt.conninfo, opt.connect_timeout_ms, opt.statement_timeout_ms,
                                   stop_pipe[0], &error, &rc);
    if (c) {
        rc = record_db_ensure_schema(c, wait_ms(), stop_pipe[0], &error);
        if (rc != RECORD_DB_OK) {
            record_db_close(c);
            c = nullptr;
        }
    }
    if (!c) {
        if (rc == RECORD_DB_STOPPED)
            return;
        unreachable(error);
        next_attempt = Clock::now() + std::chrono::milliseconds(backoff_ms);
        backoff_ms = std::min(backoff_ms * 2, opt.backoff_max_ms);
        return;
    }
    conn = c;
    shipped_since_connect = false;
    std::lock_guard<std::mutex> lock(mu);
    if (st.unreachable_since)
        report("database reachable again");
    st.connected = true;
    st.unreachable_since = 0;
    st.last_error.clear();
}

bool Shipper::Impl::sendable(const OutboxFile &f)
{
    return !f.pending.empty() && (!f.waits_for_csv || f.csv_missing);
}

bool Shipper::Impl::has_pending() const
{
    for (const auto &entry : files)
        if (sendable(entry.second))
            return true;
    return false;
}

void Shipper::Impl::refuse(const std::string &name, OutboxFile &f, const Line &l,
                           const std::string &why)
{
    f.refused[l.start] = l.line_no;
    report(path(name) + " line " + std::to_string(l.line_no) + " refused: " + why +
           "; it stays in the file");
}

void Shipper::Impl::ship_batch()
{
    auto it = std::find_if(files.begin(), files.end(),
                           [](const auto &e) { return sendable(e.second); });
    const std::string &name = it->first;
    OutboxFile &f = it->second;

    // An over-long line is refused unread: it cannot be a record.
    const Line first = f.pending.front();
    if (first.end - first.start > kMaxRecordBytes) {
        refuse(name, f, first, "longer than " + std::to_string(kMaxRecordBytes >> 20) + " MiB");
        f.pending.pop_front();
        f.shipped = first.end + 1;
        f.shipped_line = first.line_no;
        save_progress();
        return;
    }
    size_t count = 0;
    while (count < f.pending.size() && count < static_cast<size_t>(opt.batch_records)) {
        const Line &l = f.pending[count];
        if (count > 0 &&
            (l.end - l.start > kMaxRecordBytes || l.end - first.start > kMaxBatchBytes))
            break;
        ++count;
    }
    std::string span;
    if (!read_span(name, first.start, f.pending[count - 1].end, &span)) {
        report("cannot read " + path(name) + ": " + std::strerror(errno));
        last_scan = {}; // look at the directory again: the file may be gone
        return;
    }

    enum Kind { BLANK, INVALID, RECORD };
    struct Item {
        Kind kind = RECORD;
        json record;
        std::string why;
    };
    std::vector<Item> items(count);
    json batch = json::array();
    for (size_t i = 0; i < count; ++i) {
        const Line &l = f.pending[i];
        std::string text = span.substr(static_cast<size_t>(l.start - first.start),
                                       static_cast<size_t>(l.end - l.start));
        if (blank(text)) {
            items[i].kind = BLANK;
            continue;
        }
        items[i].why = check_record(text, &items[i].record);
        if (!items[i].why.empty()) {
            items[i].kind = INVALID;
            continue;
        }
        if (!f.csv_missing && items[i].record["csv_line"].get<long>() > f.csv.count) {
            count = i; // its CSV line is not written yet: it and what follows wait
            break;
        }
        batch.push_back(items[i].record);
    }
    if (count == 0) {
        f.waits_for_csv = true;
        return;
    }

    // The whole batch in one statement; when the database refuses it, one record at a time, so
    // only the records it refuses stay behind.
    size_t done = count; // items consumed (confirmed or refused)
    long new_rows = 0, confirmed = 0;
    std::string error;
    int inserted = 0;
    RecordDbResult rc = batch.empty() ? RECORD_DB_OK
                                      : record_db_insert_runs(conn, batch.dump(), wait_ms(),
                                                              stop_pipe[0], &inserted, &error);
    if (rc == RECORD_DB_OK) {
        new_rows = inserted;
        confirmed = static_cast<long>(batch.size());
    } else if (rc == RECORD_DB_REFUSED) {
        for (size_t i = 0; i < count; ++i) {
            if (items[i].kind != RECORD)
                continue;
            json one = json::array();
            one.push_back(items[i].record);
            RecordDbResult r1 =
                record_db_insert_runs(conn, one.dump(), wait_ms(), stop_pipe[0], &inserted, &error);
            if (r1 == RECORD_DB_OK) {
                new_rows += inserted;
                ++confirmed;
            } else if (r1 == RECORD_DB_REFUSED) {
                items[i].kind = INVALID;
                items[i].why = "by the database: " + error;
            } else {
                done = i;
                rc = r1;
                break;
            }
        }
        if (done == count)
            rc = RECORD_DB_OK;
    } else {
        done = 0;
    }

    for (size_t i = 0; i < done; ++i) {
        const Line l = f.pending.front();
        if (items[i].kind == INVALID)
            refuse(name, f, l, items[i].why);
        f.pending.pop_front();
        f.shipped = l.end + 1;
        f.shipped_line = l.line_no;
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        st.sent += new_rows;
        st.confirmed += confirmed;
    }
    if (done > 0)
        save_progress();
    if (rc == RECORD_DB_OK) {
        shipped_since_connect = true;
        backoff_ms = opt.backoff_first_ms;
    } else
        drop_connection(error);
}

void Shipper::Impl::retry_refused()
{
    // Once per start: the database may have been mended since (encoding, limits).
    bool changed = false;
    for (auto &[name, f] : files) {
        for (auto it = f.refused.begin(); it != f.refused.end();) {
            off_t start = it->first;
            Line l{start, start, it->second};
            std::string text;
            // The line's end: the first "\n" from its start, within the longest record.
            std::string chunk;
            bool found = false;
            for (off_t pos = start; pos - start < kMaxRecordBytes && !found;) {
                read_span(name, pos, pos + 65536, &chunk);
                if (chunk.empty())
                    break;
                size_t nl = chunk.find('\n');
                text += chunk.substr(0, nl);
                found = nl != std::string::npos;
                pos += 65536;
            }
            json record;
            std::string why = found ? check_record(text, &record) : "no longer readable";
            if (!why.empty()) {
                ++it;
                continue; // still not a record; reported when it was refused
            }
            json one = json::array();
            one.push_back(record);
            std::string error;
            int inserted = 0;
            RecordDbResult rc =
                record_db_insert_runs(conn, one.dump(), wait_ms(), stop_pipe[0], &inserted, &error);
            if (rc == RECORD_DB_OK) {
                report(path(name) + " line " + std::to_string(l.line_no) +
                       ", refused before, is in the database now");
                it = f.refused.erase(it);
                changed = true;
                std::lock_guard<std::mutex> lock(mu);
                st.sent += inserted;
                st.confirmed += 1;
            } else if (rc == RECORD_DB_REFUSED) {
                ++it;
            } else {
                if (changed)
                    save_progress();
                drop_connection(error);
                return;
            }
        }
    }
    if (changed)
        save_progress();
    refused_retried = true;
}

void Shipper::Impl::publish()
{
    long waiting = 0, refused = 0;
    std::map<std::string, Done> now_done;
    for (const auto &[name, f] : files) {
        waiting += static_cast<long>(f.pending.size());
        refused += static_cast<long>(f.refused.size());
        now_done[name] = Done{f.shipped, f.shipped_line};
    }
    std::lock_guard<std::mutex> lock(mu);
    st.waiting = waiting;
    st.refused = refused;
    done = std::move(now_done);
}

long Shipper::Impl::waiting_on_disk() const
{
    long waiting = 0;
    for (const auto &[name, lines] : on_disk) {
        auto d = done.find(name);
        waiting += std::max(0L, lines - (d == done.end() ? 0 : d->second.lines));
    }
    return waiting;
}

void Shipper::Impl::count_pass()
{
    std::map<std::string, Done> from;
    {
        std::lock_guard<std::mutex> lock(mu);
        from = done;
    }
    std::map<std::string, Count> now;
    if (DIR *dir = opendir(opt.log_dir.c_str())) {
        while (dirent *e = readdir(dir)) {
            struct stat sb;
            if (!is_outbox_name(e->d_name) || fstatat(dirfd(dir), e->d_name, &sb, 0) != 0 ||
                !S_ISREG(sb.st_mode))
                continue;
            auto known = counts.find(e->d_name);
            Count c;
            if (known != counts.end() && known->second.scanned <= sb.st_size) {
                c = known->second;
            } else if (auto d = from.find(e->d_name);
                       d != from.end() && d->second.offset <= sb.st_size) {
                c = Count{d->second.offset, d->second.lines}; // confirmed lines need no reading
            }
            int fd = c.scanned < sb.st_size ? openat(dirfd(dir), e->d_name, O_RDONLY | O_CLOEXEC)
                                            : -1;
            char buf[65536];
            for (ssize_t n; fd >= 0 && (n = pread(fd, buf, sizeof buf, c.scanned)) != 0;) {
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    break;
                c.lines += std::count(buf, buf + n, '\n');
                c.scanned += n;
            }
            if (fd >= 0)
                close(fd);
            now[e->d_name] = c;
        }
        closedir(dir);
    }
    counts = std::move(now);
    std::map<std::string, long> lines;
    for (const auto &[name, c] : counts)
        lines[name] = c.lines;
    std::lock_guard<std::mutex> lock(mu);
    on_disk = std::move(lines);
}

void Shipper::Impl::count_loop()
{
    int ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int wd = -1;
    for (;;) {
        if (ifd >= 0 && wd < 0)
            wd = inotify_add_watch(ifd, opt.log_dir.c_str(),
                                   IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM);
        count_pass();
        pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {ifd, POLLIN, 0}};
        int n = poll(fds, 2, opt.check_period_ms);
        if ((n < 0 && errno != EINTR) || (fds[0].revents & POLLIN))
            break;
        alignas(inotify_event) char buf[4096];
        for (ssize_t r; ifd >= 0 && (r = read(ifd, buf, sizeof buf)) > 0;)
            for (char *p = buf; p < buf + r;) {
                auto *ev = reinterpret_cast<inotify_event *>(p);
                if (ev->mask & IN_IGNORED)
                    wd = -1;
                p += sizeof(inotify_event) + ev->len;
            }
    }
    if (ifd >= 0)
        close(ifd);
}

void Shipper::Impl::run()
{
    backoff_ms = opt.backoff_first_ms;
    next_attempt = Clock::now();
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    load_progress();
    publish();
    // The counter starts from what was confirmed, so it reads only the lines not yet shipped.
    std::thread counter;
    try {
        std::shared_ptr<Impl> self = shared_from_this();
        counter = std::thread([self] { self->count_loop(); });
        std::lock_guard<std::mutex> lock(mu);
        counting = true;
    } catch (const std::system_error &) {
        // Without it the count is what this thread has read.
    }
    scan();
    publish();
    bool busy = false;
    for (;;) {
        Clock::time_point now = Clock::now();
        int timeout = 0;
        if (!busy) {
            auto until_check = last_scan + std::chrono::milliseconds(opt.check_period_ms) - now;
            auto until = conn ? until_check : std::min(until_check, next_attempt - now);
            timeout = static_cast<int>(std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(until).count()));
        }
        pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {inotify_fd, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            break;
        bool look = Clock::now() - last_scan >= std::chrono::milliseconds(opt.check_period_ms);
        if (fds[1].revents & POLLIN) {
            alignas(inotify_event) char buf[4096];
            ssize_t r;
            while ((r = read(inotify_fd, buf, sizeof buf)) > 0) {
                for (char *p = buf; p < buf + r;) {
                    auto *ev = reinterpret_cast<inotify_event *>(p);
                    if (ev->mask & IN_IGNORED)
                        watch = -1; // the directory went away; the next pass watches it again
                    p += sizeof(inotify_event) + ev->len;
                }
            }
            look = true;
        }
        if (look)
            scan();
        if (!conn && Clock::now() >= next_attempt)
            connect_db();
        if (conn && !refused_retried)
            retry_refused();
        busy = conn && has_pending();
        if (busy)
            ship_batch();
        publish();
    }
    record_db_close(conn);
    conn = nullptr;
    if (inotify_fd >= 0)
        close(inotify_fd);
    if (counter.joinable()) {
        char c = 's'; // should this thread have left its loop on its own
        (void)!write(stop_pipe[1], &c, 1);
        counter.join();
    }
    std::lock_guard<std::mutex> lock(mu);
    st.running = false;
    st.connected = false;
    ended = true;
    ended_cv.notify_all();
}

Shipper::Shipper(ShipperOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {}

Shipper::~Shipper()
{
    stop();
}

int Shipper::start()
{
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (impl_->st.running || impl_->ended || impl_->stop_pipe[0] < 0 ||
            impl_->opt.conninfo.empty())
            return -1;
        impl_->st.running = true;
    }
    std::shared_ptr<Impl> impl = impl_;
    try {
        std::thread([impl] { impl->run(); }).detach(); // stop() waits for `ended`
    } catch (const std::system_error &) {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->st.running = false;
        return -1;
    }
    return 0;
}

void Shipper::stop()
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    if (!impl_->st.running)
        return;
    char c = 's';
    (void)!write(impl_->stop_pipe[1], &c, 1);
    impl_->ended_cv.wait_for(lock, std::chrono::milliseconds(impl_->opt.stop_wait_ms),
                             [this] { return impl_->ended; });
}

ShipperState Shipper::state() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    ShipperState s = impl_->st;
    if (impl_->counting)
        s.waiting = std::max(s.waiting, impl_->waiting_on_disk());
    return s;
}

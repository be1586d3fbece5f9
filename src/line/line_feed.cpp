// line feed: LISTEN, snapshot, publish, on the feed's own thread; the hub's calls on any thread.
#include "line/line_feed.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

using nlohmann::json;
using Clock = std::chrono::steady_clock;

void line_hub_publish(line_hub *hub, std::string doc)
{
    {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->doc = std::move(doc);
        ++hub->generation;
    }
    hub->changed.notify_all();
}

void line_hub_stop(line_hub *hub)
{
    {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->stopping = true;
    }
    hub->changed.notify_all();
}

std::string line_hub_latest(line_hub *hub, uint64_t *generation)
{
    std::lock_guard<std::mutex> lock(hub->mutex);
    if (generation)
        *generation = hub->generation;
    return hub->doc;
}

int line_hub_wait(line_hub *hub, uint64_t *seen, std::string *doc, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(hub->mutex);
    hub->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return hub->stopping || hub->generation != *seen; });
    if (hub->stopping)
        return -1;
    if (hub->generation == *seen)
        return 0;
    *seen = hub->generation;
    *doc = hub->doc;
    return 1;
}

namespace
{

std::string one_line(const char *message)
{
    std::string s = message ? message : "";
    for (char &c : s)
        if (c == '\n' || c == '\t')
            c = ' ';
    for (size_t at; (at = s.find("  ")) != std::string::npos;)
        s.erase(at, 1);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Waits until fd is readable, the stop pipe is, or timeout_ms passes. false when stopped.
bool wait_readable(int fd, int stop_fd, int timeout_ms, bool *readable)
{
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    *readable = false;
    int n = poll(fds, fd >= 0 ? 2 : 1, std::max(timeout_ms, 0));
    if (n < 0 && errno != EINTR)
        return false;
    if (n > 0 && fds[0].revents)
        return false;
    *readable = n > 0 && fd >= 0 && fds[1].revents != 0;
    return true;
}

PGconn *connect(const std::string &conninfo, std::string *error)
{
    // The caller's string comes in through dbname's expansion; what follows it wins: this
    // program only reads, and a statement that hangs must not hold the line's picture.
    const char *keys[] = {
        "dbname",          "application_name",    "client_encoding",  "connect_timeout",  "options",
        "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout", nullptr};
    const char *values[] = {conninfo.c_str(),
                            "bramblewick-line",
                            "UTF8",
                            "5",
                            "-c statement_timeout=10000 -c default_transaction_read_only=on",
                            "10",
                            "5",
                            "3",
                            "15000",
                            nullptr};
    PGconn *conn = PQconnectdbParams(keys, values, 1);
    if (!conn) {
        *error = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        *error = one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    PGresult *res = PQexec(conn, "LISTEN bramblewick_line");
    bool ok = res && PQresultStatus(res) == PGRES_COMMAND_OK;
    if (!ok)
        *error = one_line(res ? PQresultErrorMessage(res) : PQerrorMessage(conn));
    PQclear(res);
    if (!ok) {
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

// Serialised with any invalid UTF-8 (a database in SQL_ASCII lets a station write such bytes)
// replaced rather than thrown on.
std::string dump(const json &doc)
{
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The last line seen, marked as not current, with the reason as an alarm.
std::string down_doc(json last, const std::string &error)
{
    if (!last.is_object())
        last = {{"stations", json::array()}, {"alarms", json::array()}};
    json alarms = json::array();
    alarms.push_back({{"kind", "database"}, {"text", "factory database: " + error}});
    for (json &a : last["alarms"])
        if (a.value("kind", "") != "database")
            alarms.push_back(std::move(a));
    last["alarms"] = std::move(alarms);
    last["database"] = {{"ok", false}, {"error", error}};
    return dump(last);
}

// Drops every notification received so far; true when there was one.
bool drain_notifications(PGconn *conn)
{
    bool any = false;
    while (PGnotify *n = PQnotifies(conn)) {
        any = true;
        PQfreemem(n);
    }
    return any;
}

void run(line_feed *feed)
{
    const line_feed_settings &s = feed->settings;
    int stop_fd = feed->stop_pipe[0];
    json last; // the last line the database gave
    bool stopped = false;
    while (!stopped) {
        std::string error;
        PGconn *conn = connect(s.conninfo, &error);
        if (!conn) {
            line_hub_publish(feed->hub, down_doc(last, error));
            bool readable;
            stopped = !wait_readable(-1, stop_fd, s.retry_ms, &readable);
            continue;
        }
        json record;
        Clock::time_point record_taken;
        for (;;) {
            // What the notifications read so far announce is in the snapshot about to be taken;
            // one that comes during it may not be, and is left queued for the wait below.
            PQconsumeInput(conn);
            drain_notifications(conn);
            json doc;
            Clock::time_point taken = Clock::now();
            // The record's part only on the refresh: it changes as phones finish, not with
            // every fixture's row.
            bool refresh_record =
                record.is_null() || taken - record_taken >= std::chrono::milliseconds(s.refresh_ms);
            if (line_live(conn, &doc, &error) != 0 ||
                (refresh_record && line_record(conn, s.alarms, &record, &error) != 0)) {
                line_hub_publish(feed->hub, down_doc(last, error));
                break;
            }
            if (refresh_record)
                record_taken = taken;
            line_merge(&doc, record, s.alarms);
            doc["database"] = {{"ok", true}};
            last = doc;
            line_hub_publish(feed->hub, dump(doc));

            // Until a notification or the refresh, whichever comes first.
            Clock::time_point refresh = taken + std::chrono::milliseconds(s.refresh_ms);
            bool lost = false;
            while (!stopped && !lost) {
                bool readable = false;
                if (drain_notifications(conn)) { // the next snapshot holds what they announce
                    // Let a burst of rows (a station writing its fixtures) settle into one
                    // snapshot, without making the first change wait long.
                    int gap =
                        LINE_FEED_MIN_GAP_MS -
                        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             Clock::now() - taken)
                                             .count());
                    if (gap > 0 && !wait_readable(-1, stop_fd, gap, &readable))
                        stopped = true;
                    break;
                }
                int left = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(refresh - Clock::now())
                        .count());
                if (left <= 0)
                    break;
                if (!wait_readable(PQsocket(conn), stop_fd, left, &readable)) {
                    stopped = true;
                    break;
                }
                if (readable && !PQconsumeInput(conn)) {
                    error = one_line(PQerrorMessage(conn));
                    lost = true;
                }
            }
            if (lost) {
                line_hub_publish(feed->hub, down_doc(last, error));
                break;
            }
            if (stopped)
                break;
        }
        PQfinish(conn);
        if (!stopped) {
            bool readable;
            stopped = !wait_readable(-1, stop_fd, s.retry_ms, &readable);
        }
    }
}

} // namespace

int line_feed_start(line_feed *feed, const line_feed_settings &settings, line_hub *hub)
{
    if (pipe2(feed->stop_pipe, O_CLOEXEC) != 0)
        return -errno;
    feed->settings = settings;
    feed->hub = hub;
    feed->thread = std::thread(run, feed);
    return 0;
}

void line_feed_stop(line_feed *feed)
{
    if (feed->stop_pipe[1] >= 0) {
        char c = 1;
        ssize_t w = write(feed->stop_pipe[1], &c, 1);
        (void)w;
    }
    if (feed->thread.joinable())
        feed->thread.join();
    for (int &fd : feed->stop_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

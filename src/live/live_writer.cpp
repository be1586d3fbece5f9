// live: the live state's writer. Its own thread and its own libpq connection; started and
// stopped by start-up on the main thread. The window thread only feeds the board.
#include "live/live_writer.h"

#include "record/detail_record.h"
#include "recorddb/record_db.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

namespace
{

// The station row, and what was there before it: another live program's run id and host make
// this one a twin. `twin_run_id` is the other program's when the row was another live one's,
// else the twin this writer still remembers ($13), else null.
std::string station_upsert_sql(int twin_fresh_s)
{
    const std::string fresh =
        "heartbeat > now() - interval '" + std::to_string(twin_fresh_s) + " seconds'";
    return "WITH prev AS (SELECT run_id, host, stopped IS NULL AND " + fresh +
           " AS live FROM bramblewick.station WHERE station = $1), "
           // A past run's fixtures (it died or quit) are not this run's: gone once it takes over.
           "gone AS (DELETE FROM bramblewick.fixture_state WHERE station = $1 AND EXISTS "
           "(SELECT 1 FROM prev WHERE run_id <> $2 AND NOT live)), "
           "up AS (INSERT INTO bramblewick.station AS s (station, run_id, host, program_version, "
           "job_sha256, job_description, started, heartbeat, stopped, programmed, failed, "
           "interrupted, first_pass_yield, phones_per_hour, twin_run_id, updated) "
           "VALUES ($1, $2, $3, $4, $5, $6, $7::timestamptz, now(), NULL, $8::integer, "
           "$9::integer, $10::integer, $11::double precision, $12::double precision, $13, now()) "
           "ON CONFLICT (station) DO UPDATE SET run_id = EXCLUDED.run_id, host = EXCLUDED.host, "
           "program_version = EXCLUDED.program_version, job_sha256 = EXCLUDED.job_sha256, "
           "job_description = EXCLUDED.job_description, started = EXCLUDED.started, "
           "heartbeat = now(), stopped = NULL, programmed = EXCLUDED.programmed, "
           "failed = EXCLUDED.failed, interrupted = EXCLUDED.interrupted, "
           "first_pass_yield = EXCLUDED.first_pass_yield, "
           "phones_per_hour = EXCLUDED.phones_per_hour, "
           "twin_run_id = CASE WHEN s.run_id <> EXCLUDED.run_id AND s.stopped IS NULL AND s." +
           fresh +
           " THEN s.run_id ELSE EXCLUDED.twin_run_id END, updated = now() RETURNING 1) "
           "SELECT (SELECT run_id FROM prev), (SELECT host FROM prev), (SELECT live FROM prev), "
           "(SELECT count(*) FROM up)";
}

// A clean quit: only while the row is still this program's (a twin's row is left to it).
const char *kStationStoppedSql =
    "UPDATE bramblewick.station SET heartbeat = now(), stopped = now(), "
    "programmed = $3::integer, failed = $4::integer, interrupted = $5::integer, "
    "first_pass_yield = $6::double precision, phones_per_hour = $7::double precision, "
    "twin_run_id = NULL, updated = now() WHERE station = $1 AND run_id = $2";

// Every due fixture in one statement, from a JSON array.
const char *kFixturesSql =
    "INSERT INTO bramblewick.fixture_state AS f (station, fixture, position, state, suspect, "
    "stage, progress, status_text, run_started, updated) "
    "SELECT $1, r.fixture, r.position, r.state, r.suspect, r.stage, r.progress, r.status_text, "
    "r.run_started, now() FROM jsonb_to_recordset($2::jsonb) AS r(fixture text, position "
    "integer, state text, suspect boolean, stage text, progress integer, status_text text, "
    "run_started timestamptz) "
    "ON CONFLICT (station, fixture) DO UPDATE SET position = EXCLUDED.position, "
    "state = EXCLUDED.state, suspect = EXCLUDED.suspect, stage = EXCLUDED.stage, "
    "progress = EXCLUDED.progress, status_text = EXCLUDED.status_text, "
    "run_started = EXCLUDED.run_started, updated = now()";

json fixture_json(const live_fixture &f)
{
    const run_snapshot &r = f.run;
    json j;
    j["fixture"] = f.key;
    j["position"] = r.row;
    j["state"] = fixture_state_name(r.state);
    j["suspect"] = r.suspect;
    j["stage"] = r.stage.empty() ? json(nullptr) : json(detail_escape_text(r.stage));
    j["progress"] =
        r.progress_percent < 0 ? json(nullptr) : json(std::min(r.progress_percent, 100));
    j["status_text"] =
        r.status_text.empty() ? json(nullptr) : json(detail_escape_text(r.status_text));
    j["run_started"] =
        r.run_started_utc_ms > 0 ? json(detail_utc_text(r.run_started_utc_ms)) : json(nullptr);
    return j;
}

std::string number_text(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// Texts from the database (another station's host) shown with their control characters
// escaped, so none reaches a terminal raw.
std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

std::string live_twin_alarm(const std::string &station, const LiveState &state)
{
    if (state.twin_run_id.empty())
        return "";
    return "Another station with the station id \"" + printable(station) +
           "\" is running on host " +
           (state.twin_host.empty() ? std::string("(unknown)") : printable(state.twin_host)) +
           ": its records and live state mix with this one's. Give each station its own "
           "--station-id.";
}

struct LiveWriter::Impl {
    Impl(LiveOptions o, std::shared_ptr<LiveBoard> b) : opt(std::move(o)), board(std::move(b))
    {
        if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            stop_pipe[0] = stop_pipe[1] = -1;
        opt.heartbeat_ms = std::clamp(opt.heartbeat_ms, 100, 5000);
        // Any byte may come from outside; the database takes valid UTF-8 without NUL, escaped
        // as the detail record escapes it (so the station id matches the record's).
        opt.station = detail_escape_text(opt.station);
        opt.host = detail_escape_text(opt.host);
        if (opt.job_description)
            opt.job_description = detail_escape_text(*opt.job_description);
    }
    ~Impl()
    {
        record_db_close(conn);
        for (int fd : stop_pipe)
            if (fd >= 0)
                close(fd);
    }

    LiveOptions opt;
    std::shared_ptr<LiveBoard> board;
    int stop_pipe[2] = {-1, -1};

    mutable std::mutex mu;
    std::condition_variable cv;
    bool changed = false;  // guarded by mu: the board changed since the thread last looked
    bool quitting = false; // guarded by mu
    bool ended = false;    // guarded by mu
    LiveState st;          // guarded by mu

    // The thread's own.
    struct mirror {
        live_fixture f;
        uint64_t written_seq = 0;
        Clock::time_point written_at{};
    };
    pg_conn *conn = nullptr;
    std::map<std::string, mirror> fixtures;
    uint64_t seen_seq = 0;
    Clock::time_point started = Clock::now();
    int64_t started_utc_ms = 0;
    Clock::time_point next_station{};
    Clock::time_point last_station{};
    live_tally written_tally;
    bool tally_written = false;
    bool outage_reported = false;
    std::string twin_run_id, twin_host;
    Clock::time_point twin_seen{};

    int wait_ms() const { return opt.statement_timeout_ms + 2000; }
    std::chrono::milliseconds interval() const
    {
        return std::chrono::milliseconds(opt.fixture_interval_ms);
    }

    bool is_quitting()
    {
        std::lock_guard<std::mutex> lock(mu);
        return quitting;
    }

    void set_error(const std::string &error)
    {
        std::lock_guard<std::mutex> lock(mu);
        st.connected = false;
        st.last_error = error;
    }

    void drop_connection(const std::string &error)
    {
        record_db_close(conn);
        conn = nullptr;
        set_error(error);
        if (!outage_reported && opt.report) {
            std::fprintf(opt.report,
                         "bramblewick: live state: database unreachable (%s); the line's view "
                         "shows this station again once it answers\n",
                         error.c_str());
            std::fflush(opt.report);
        }
        outage_reported = true;
    }

    bool connect(int timeout_ms)
    {
        std::string error;
        RecordDbResult rc;
        conn = record_db_connect(opt.conninfo, timeout_ms, opt.statement_timeout_ms, stop_pipe[0],
                                 &error, &rc);
        if (conn &&
            record_db_ensure_schema(conn, wait_ms(), stop_pipe[0], &error) != RECORD_DB_OK) {
            record_db_close(conn);
            conn = nullptr;
        }
        if (!conn) {
            drop_connection(error);
            return false;
        }
        if (outage_reported && opt.report) {
            std::fprintf(opt.report, "bramblewick: live state: database reachable again\n");
            std::fflush(opt.report);
        }
        outage_reported = false;
        // Nothing was kept while it was away: bring every fixture and the station current.
        for (auto &[key, m] : fixtures)
            m.written_seq = 0;
        next_station = Clock::now();
        tally_written = false;
        std::lock_guard<std::mutex> lock(mu);
        st.connected = true;
        st.last_error.clear();
        return true;
    }

    void pull()
    {
        {
            std::lock_guard<std::mutex> lock(mu);
            changed = false;
        }
        for (live_fixture &f : board->changed_since(seen_seq, &seen_seq)) {
            mirror &m = fixtures[f.key];
            m.f = std::move(f);
        }
    }

    struct tally_text {
        std::string programmed, failed, interrupted;
        std::optional<std::string> yield, per_hour;
    };
    tally_text tally_params(const live_tally &t) const
    {
        tally_text p;
        p.programmed = std::to_string(t.programmed);
        p.failed = std::to_string(t.failed);
        p.interrupted = std::to_string(t.interrupted);
        if (t.first_runs > 0)
            p.yield = number_text(100.0 * t.first_runs_passed / t.first_runs);
        double hours =
            std::max<double>(std::chrono::duration<double>(Clock::now() - started).count(), 1.0) /
            3600.0;
        p.per_hour = number_text(t.programmed / hours);
        return p;
    }

    RecordDbResult write_station()
    {
        live_tally t = board->tally();
        tally_text p = tally_params(t);
        Clock::time_point now = Clock::now();
        bool twin_now =
            !twin_run_id.empty() && now - twin_seen < std::chrono::seconds(opt.twin_fresh_s);
        RecordDbRows rows;
        std::string error;
        RecordDbResult rc =
            record_db_query(conn, station_upsert_sql(opt.twin_fresh_s),
                            {opt.station, opt.run_id, opt.host, opt.program_version, opt.job_sha256,
                             opt.job_description, detail_utc_text(started_utc_ms), p.programmed,
                             p.failed, p.interrupted, p.yield, p.per_hour,
                             twin_now ? std::optional<std::string>(twin_run_id) : std::nullopt},
                            wait_ms(), stop_pipe[0], &rows, &error);
        if (rc != RECORD_DB_OK) {
            if (rc == RECORD_DB_REFUSED && opt.report)
                std::fprintf(opt.report, "bramblewick: live state: station row refused: %s\n",
                             error.c_str());
            set_error(error);
            return rc == RECORD_DB_REFUSED ? RECORD_DB_TRANSIENT : rc;
        }
        const bool other =
            rows.size() == 1 && rows[0].size() == 4 && rows[0][0] && *rows[0][0] != opt.run_id;
        if (other && !(rows[0][2] && *rows[0][2] == "t")) {
            for (auto &[key, m] : fixtures) // the past run's rows went: ours are written anew
                m.written_seq = 0;
        }
        if (other && rows[0][2] && *rows[0][2] == "t") {
            twin_run_id = *rows[0][0];
            twin_host = rows[0][1].value_or("");
            twin_seen = now;
            twin_now = true;
        } else if (!twin_now) {
            twin_run_id.clear();
            twin_host.clear();
        }
        written_tally = t;
        tally_written = true;
        last_station = now;
        next_station = now + std::chrono::milliseconds(opt.heartbeat_ms);
        std::lock_guard<std::mutex> lock(mu);
        ++st.station_writes;
        st.twin_run_id = twin_now ? twin_run_id : "";
        st.twin_host = twin_now ? twin_host : "";
        return RECORD_DB_OK;
    }

    // The fixtures whose latest state is not written yet: those last written an interval ago
    // or more (every one when `all`).
    RecordDbResult write_fixtures(bool all)
    {
        Clock::time_point now = Clock::now();
        json rows = json::array();
        std::vector<mirror *> due;
        for (auto &[key, m] : fixtures) {
            if (m.f.seq == m.written_seq || (!all && now - m.written_at < interval()))
                continue;
            rows.push_back(fixture_json(m.f));
            due.push_back(&m);
        }
        if (due.empty())
            return RECORD_DB_OK;
        std::string error;
        RecordDbResult rc = record_db_query(
            conn, kFixturesSql,
            {opt.station, rows.dump(-1, ' ', false, json::error_handler_t::replace)}, wait_ms(),
            stop_pipe[0], nullptr, &error);
        if (rc == RECORD_DB_REFUSED && opt.report) {
            // Not worth a reconnect: these states are dropped, the next change tries again.
            std::fprintf(opt.report, "bramblewick: live state: fixture rows refused: %s\n",
                         error.c_str());
            std::fflush(opt.report);
        } else if (rc != RECORD_DB_OK) {
            set_error(error);
            return rc;
        }
        for (mirror *m : due) {
            m->written_seq = m->f.seq;
            m->written_at = now;
        }
        std::lock_guard<std::mutex> lock(mu);
        st.fixture_writes += rc == RECORD_DB_OK ? static_cast<long>(due.size()) : 0;
        return RECORD_DB_OK;
    }

    RecordDbResult write_due()
    {
        pull();
        Clock::time_point now = Clock::now();
        bool tally_changed = !tally_written ||
                             board->tally().programmed != written_tally.programmed ||
                             board->tally().failed != written_tally.failed ||
                             board->tally().interrupted != written_tally.interrupted;
        if (now >= next_station || (tally_changed && now - last_station >= interval())) {
            RecordDbResult rc = write_station();
            if (rc != RECORD_DB_OK)
                return rc;
        }
        return write_fixtures(false);
    }

    // When the next write falls due: the heartbeat, or a changed fixture's interval.
    Clock::time_point next_due() const
    {
        Clock::time_point t = next_station;
        for (const auto &[key, m] : fixtures)
            if (m.f.seq != m.written_seq)
                t = std::min(t, m.written_at + interval());
        return t;
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "bw-live"); // for top -H and the benchmark
        started_utc_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        int backoff = opt.backoff_first_ms;
        while (!is_quitting()) {
            if (!conn && !connect(opt.connect_timeout_ms)) {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait_for(lock, std::chrono::milliseconds(backoff), [this] { return quitting; });
                backoff = std::min(backoff * 2, opt.backoff_max_ms);
                continue;
            }
            RecordDbResult rc = write_due();
            if (rc == RECORD_DB_STOPPED)
                break;
            if (rc != RECORD_DB_OK) {
                drop_connection(st_error());
                std::unique_lock<std::mutex> lock(mu);
                cv.wait_for(lock, std::chrono::milliseconds(backoff), [this] { return quitting; });
                backoff = std::min(backoff * 2, opt.backoff_max_ms);
                continue;
            }
            backoff = opt.backoff_first_ms;
            Clock::time_point due = next_due();
            std::unique_lock<std::mutex> lock(mu);
            cv.wait_until(lock, due, [this] { return quitting || changed; });
        }
        finish();
    }

    std::string st_error() const
    {
        std::lock_guard<std::mutex> lock(mu);
        return st.last_error;
    }

    // The clean quit: every fixture's last state, then `stopped`.
    void finish()
    {
        if (conn || connect(opt.final_write_ms)) {
            pull();
            if (write_fixtures(true) == RECORD_DB_OK) {
                tally_text p = tally_params(board->tally());
                std::string error;
                if (record_db_query(conn, kStationStoppedSql,
                                    {opt.station, opt.run_id, p.programmed, p.failed, p.interrupted,
                                     p.yield, p.per_hour},
                                    opt.final_write_ms, stop_pipe[0], nullptr,
                                    &error) == RECORD_DB_OK) {
                    std::lock_guard<std::mutex> lock(mu);
                    ++st.station_writes;
                } else if (opt.report) {
                    std::fprintf(opt.report,
                                 "bramblewick: live state: cannot mark the station "
                                 "stopped: %s\n",
                                 error.c_str());
                }
            }
        }
        record_db_close(conn);
        conn = nullptr;
        std::lock_guard<std::mutex> lock(mu);
        st.connected = false;
        st.running = false;
        ended = true;
        cv.notify_all();
    }
};

LiveWriter::LiveWriter(LiveOptions options, std::shared_ptr<LiveBoard> board)
    : station_(options.station), impl_(std::make_shared<Impl>(std::move(options), board))
{
    std::weak_ptr<Impl> weak = impl_;
    board->listen([weak] {
        if (auto impl = weak.lock()) {
            std::lock_guard<std::mutex> lock(impl->mu);
            impl->changed = true;
            impl->cv.notify_all();
        }
    });
}

LiveWriter::~LiveWriter()
{
    stop();
}

int LiveWriter::start()
{
    std::shared_ptr<Impl> impl = impl_;
    {
        std::lock_guard<std::mutex> lock(impl->mu);
        if (impl->st.running || impl->ended || impl->stop_pipe[0] < 0 || impl->opt.conninfo.empty())
            return -1;
        impl->st.running = true;
    }
    try {
        std::thread([impl] { impl->run(); }).detach(); // stop() waits for `ended`
    } catch (const std::system_error &) {
        std::lock_guard<std::mutex> lock(impl->mu);
        impl->st.running = false;
        return -1;
    }
    return 0;
}

void LiveWriter::stop()
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    if (!impl_->st.running)
        return;
    impl_->quitting = true;
    impl_->cv.notify_all();
    const auto first = std::chrono::milliseconds(impl_->opt.final_write_ms + 500);
    if (impl_->cv.wait_for(lock, first, [this] { return impl_->ended; }))
        return;
    // The last write takes too long: cut every libpq wait short.
    char c = 's';
    (void)!write(impl_->stop_pipe[1], &c, 1);
    impl_->cv.wait_for(lock, std::chrono::seconds(1), [this] { return impl_->ended; });
}

LiveState LiveWriter::state() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->st;
}

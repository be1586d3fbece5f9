// record db: released jobs in the factory database. release_db_look runs on the caller's thread
// (start-up, --check); ReleaseWatch on a thread of its own while the station runs.
#include "recorddb/release_db.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include "recorddb/record_db.h"

namespace
{

constexpr const char *kAddSql =
    "INSERT INTO bramblewick.job_release (sha256, product, sequence, key_id, first_station) "
    "SELECT sha256, product, sequence, key_id, station FROM jsonb_to_record($1::jsonb) AS "
    "p(sha256 text, product text, sequence bigint, key_id text, station text) "
    "ON CONFLICT (sha256) DO NOTHING";

constexpr const char *kLookSql =
    "SELECT coalesce((SELECT max(sequence) FROM bramblewick.job_release "
    "                 WHERE product = p.product AND revoked_at IS NULL), 0), "
    "       r.revoked_at IS NOT NULL, coalesce(r.revoked_at::text, ''), "
    "       coalesce(r.revoked_by, ''), coalesce(r.reason, '') "
    "FROM jsonb_to_record($1::jsonb) AS p(sha256 text, product text) "
    "LEFT JOIN bramblewick.job_release r ON r.sha256 = p.sha256";

// One look on an open connection.
RecordDbResult look(pg_conn *conn, const std::string &param, bool add, int timeout_ms, int stop_fd,
                    release_db_answer *a)
{
    RecordDbRows rows;
    RecordDbResult rc = RECORD_DB_OK;
    if (add)
        rc = record_db_query(conn, kAddSql, {param}, timeout_ms, stop_fd, &rows, &a->error);
    if (rc == RECORD_DB_OK)
        rc = record_db_query(conn, kLookSql, {param}, timeout_ms, stop_fd, &rows, &a->error);
    if (rc != RECORD_DB_OK)
        return rc;
    if (rows.size() != 1 || rows[0].size() != 5) {
        a->error = "unexpected answer from the database";
        return RECORD_DB_TRANSIENT;
    }
    a->reached = true;
    const auto text = [&](int c) { return rows[0][c].value_or(""); };
    a->highest = std::strtoll(text(0).c_str(), nullptr, 10);
    a->revoked = text(1) == "t";
    a->revoked_at = text(2);
    a->revoked_by = text(3);
    a->reason = text(4);
    return RECORD_DB_OK;
}

std::string param_of(const release_info &r, const std::string &station)
{
    nlohmann::json j = {{"sha256", r.sha256},
                        {"product", r.product},
                        {"sequence", r.sequence},
                        {"key_id", r.key_id},
                        {"station", station}};
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

void release_db_look(const std::string &conninfo, const release_info &release,
                     const std::string &station, bool add, int timeout_ms,
                     release_db_answer *answer)
{
    *answer = release_db_answer{};
    pg_conn *conn = record_db_connect(conninfo, timeout_ms, timeout_ms, -1, &answer->error);
    if (!conn)
        return;
    if (record_db_ensure_schema(conn, timeout_ms, -1, &answer->error) == RECORD_DB_OK)
        look(conn, param_of(release, station), add, timeout_ms, -1, answer);
    record_db_close(conn);
}

std::string release_db_revoked_text(const release_info &release, const release_db_answer &a)
{
    std::string text = "Release " + release.product + " sequence " +
                       std::to_string(release.sequence) + " was revoked";
    if (!a.revoked_by.empty())
        text += " by " + a.revoked_by;
    if (!a.revoked_at.empty())
        text += " at " + a.revoked_at;
    if (!a.reason.empty())
        text += ": " + a.reason;
    return text + ". No new phones with this job";
}

ReleaseWatch::ReleaseWatch(std::string conninfo, release_info release, std::string station,
                           int period_s, std::function<void(const std::string &)> on_revoked)
    : conninfo_(std::move(conninfo)), release_(std::move(release)), station_(std::move(station)),
      period_s_(period_s), on_revoked_(std::move(on_revoked))
{
}

ReleaseWatch::~ReleaseWatch()
{
    stop();
}

int ReleaseWatch::start()
{
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return -1;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}

void ReleaseWatch::stop()
{
    if (thread_.joinable()) {
        char c = 's';
        (void)!write(stop_pipe_[1], &c, 1);
        thread_.join();
    }
    for (int &fd : stop_pipe_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void ReleaseWatch::run()
{
    const int timeout_ms = 10000;
    const std::string param = param_of(release_, station_);
    pg_conn *conn = nullptr;
    for (;;) {
        release_db_answer a;
        if (!conn) {
            conn = record_db_connect(conninfo_, timeout_ms, timeout_ms, stop_pipe_[0], &a.error);
            if (conn && record_db_ensure_schema(conn, timeout_ms, stop_pipe_[0], &a.error) !=
                            RECORD_DB_OK) {
                record_db_close(conn);
                conn = nullptr;
            }
        }
        // Added on every look: the insert does nothing once the release is there, and a
        // database that was down at start-up learns of the release when it is back.
        if (conn && look(conn, param, true, timeout_ms, stop_pipe_[0], &a) != RECORD_DB_OK) {
            record_db_close(conn);
            conn = nullptr;
        }
        if (a.reached && a.revoked) {
            on_revoked_(release_db_revoked_text(release_, a));
            break;
        }
        pollfd p = {stop_pipe_[0], POLLIN, 0};
        int n;
        do
            n = poll(&p, 1, period_s_ * 1000);
        while (n < 0 && errno == EINTR);
        if (n > 0)
            break;
    }
    record_db_close(conn);
}

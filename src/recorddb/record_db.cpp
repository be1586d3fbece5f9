// record db: the factory record's libpq calls. Called by the shipper, on its thread only.
#include "recorddb/record_db.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <libpq-fe.h>
#include <poll.h>

namespace
{

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until the connection's socket is ready for `events`; false with *result set on stop,
// time-out or a broken socket.
bool wait_socket(PGconn *conn, short events, Clock::time_point deadline, int stop_fd,
                 RecordDbResult *result, std::string *error)
{
    for (;;) {
        pollfd fds[2] = {{PQsocket(conn), events, 0}, {stop_fd, POLLIN, 0}};
        if (fds[0].fd < 0) {
            *result = RECORD_DB_TRANSIENT;
            *error = "no connection";
            return false;
        }
        int n = poll(fds, stop_fd >= 0 ? 2 : 1, remaining_ms(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (stop_fd >= 0 && (fds[1].revents & POLLIN)) {
            *result = RECORD_DB_STOPPED;
            *error = "stopped";
            return false;
        }
        if (n > 0)
            return true; // readable, writable, or an error libpq reports on its next call
        *result = RECORD_DB_TRANSIENT;
        *error = "no answer from the database in time";
        return false;
    }
}

std::string one_line(const char *message)
{
    // One line for the report and the state: libpq's messages run over several.
    std::string s;
    for (const char *c = message ? message : ""; *c; ++c) {
        bool space = *c == '\n' || *c == '\t' || *c == ' ';
        if (!space)
            s += *c;
        else if (!s.empty() && s.back() != ' ')
            s += ' ';
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// The data's own fault (resending cannot help): data exceptions, integrity constraints and
// program limits such as an index entry too large.
bool refused_by_data(const char *sqlstate)
{
    return sqlstate &&
           (std::strncmp(sqlstate, "22", 2) == 0 || std::strncmp(sqlstate, "23", 2) == 0 ||
            std::strncmp(sqlstate, "54", 2) == 0);
}

// Sends one command (params may be null) and collects its results. On success *last holds the
// last result (the caller clears it).
RecordDbResult run(PGconn *conn, const char *sql, const char *param, int timeout_ms, int stop_fd,
                   PGresult **last, std::string *error)
{
    *last = nullptr;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int sent = param ? PQsendQueryParams(conn, sql, 1, nullptr, &param, nullptr, nullptr, 0)
                     : PQsendQuery(conn, sql);
    if (!sent) {
        *error = one_line(PQerrorMessage(conn));
        return RECORD_DB_TRANSIENT;
    }
    RecordDbResult result = RECORD_DB_OK;
    // Push the command out; a long batch may need several rounds on a full socket.
    for (;;) {
        int f = PQflush(conn);
        if (f == 0)
            break;
        if (f < 0) {
            *error = one_line(PQerrorMessage(conn));
            return RECORD_DB_TRANSIENT;
        }
        if (!wait_socket(conn, POLLOUT | POLLIN, deadline, stop_fd, &result, error))
            return result;
        if (!PQconsumeInput(conn)) {
            *error = one_line(PQerrorMessage(conn));
            return RECORD_DB_TRANSIENT;
        }
    }
    RecordDbResult outcome = RECORD_DB_OK;
    for (;;) {
        while (PQisBusy(conn)) {
            if (!wait_socket(conn, POLLIN, deadline, stop_fd, &result, error)) {
                if (*last)
                    PQclear(*last);
                *last = nullptr;
                return result;
            }
            if (!PQconsumeInput(conn)) {
                *error = one_line(PQerrorMessage(conn));
                if (*last)
                    PQclear(*last);
                *last = nullptr;
                return RECORD_DB_TRANSIENT;
            }
        }
        PGresult *res = PQgetResult(conn);
        if (!res)
            break;
        ExecStatusType st = PQresultStatus(res);
        if (outcome == RECORD_DB_OK && st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            outcome = refused_by_data(state) ? RECORD_DB_REFUSED : RECORD_DB_TRANSIENT;
            *error = one_line(PQresultErrorMessage(res));
            if (error->empty())
                *error = one_line(PQerrorMessage(conn));
        }
        if (*last)
            PQclear(*last);
        *last = res;
    }
    if (outcome != RECORD_DB_OK) {
        if (*last)
            PQclear(*last);
        *last = nullptr;
        // A refusal on a connection that broke meanwhile is the connection's fault.
        if (PQstatus(conn) != CONNECTION_OK)
            outcome = RECORD_DB_TRANSIENT;
    }
    return outcome;
}

void ignore_notice(void *, const char *) {}

} // namespace

PGconn *record_db_connect(const std::string &conninfo, int timeout_ms, int statement_timeout_ms,
                          int stop_fd, std::string *error, RecordDbResult *result)
{
    RecordDbResult dummy;
    if (!result)
        result = &dummy;
    *result = RECORD_DB_TRANSIENT;
    // The caller's string comes in through dbname's expansion; what follows it wins. The records
    // are UTF-8 whatever the environment says, so the client encoding is not theirs to change.
    const char *keys[] = {"application_name", "dbname", "client_encoding", nullptr};
    const char *values[] = {"bramblewick", conninfo.c_str(), "UTF8", nullptr};
    PGconn *conn = PQconnectStartParams(keys, values, 1);
    if (!conn) {
        *error = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) == CONNECTION_BAD) {
        *error = one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    while (st != PGRES_POLLING_OK) {
        if (st == PGRES_POLLING_FAILED) {
            *error = one_line(PQerrorMessage(conn));
            PQfinish(conn);
            return nullptr;
        }
        short events = st == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        if (!wait_socket(conn, events, deadline, stop_fd, result, error)) {
            if (*result == RECORD_DB_TRANSIENT)
                *error = "no connection within " + std::to_string(timeout_ms / 1000) + " s";
            PQfinish(conn);
            return nullptr;
        }
        st = PQconnectPoll(conn);
    }
    PQsetNoticeProcessor(conn, ignore_notice, nullptr); // "already exists, skipping" and such
    PQsetnonblocking(conn, 1);
    std::string set = "SET statement_timeout = " + std::to_string(statement_timeout_ms);
    PGresult *res = nullptr;
    *result = run(conn, set.c_str(), nullptr, timeout_ms, stop_fd, &res, error);
    if (res)
        PQclear(res);
    if (*result != RECORD_DB_OK) {
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

void record_db_close(PGconn *conn)
{
    if (conn)
        PQfinish(conn);
}

RecordDbResult record_db_ensure_schema(PGconn *conn, int timeout_ms, int stop_fd,
                                       std::string *error)
{
    PGresult *res = nullptr;
    RecordDbResult rc =
        run(conn, "SELECT coalesce(max(version), 0) FROM bramblewick.schema_version", nullptr,
            timeout_ms, stop_fd, &res, error);
    if (rc == RECORD_DB_OK) {
        int version = PQntuples(res) == 1 ? std::atoi(PQgetvalue(res, 0, 0)) : 0;
        PQclear(res);
        if (version >= RECORD_DB_SCHEMA_VERSION)
            return RECORD_DB_OK;
    } else if (rc == RECORD_DB_STOPPED || PQstatus(conn) != CONNECTION_OK) {
        return rc;
    }
    // Not there yet (no schema, no table, or an older version): the script creates what is
    // missing, in one transaction.
    rc = run(conn, record_db_schema_sql(), nullptr, timeout_ms, stop_fd, &res, error);
    if (res)
        PQclear(res);
    if (rc != RECORD_DB_OK) {
        *error = "cannot create the schema: " + *error;
        // Leave no aborted transaction behind on this connection.
        PGresult *rb = nullptr;
        std::string ignored;
        if (PQstatus(conn) == CONNECTION_OK &&
            run(conn, "ROLLBACK", nullptr, timeout_ms, stop_fd, &rb, &ignored) == RECORD_DB_OK)
            PQclear(rb);
        return rc == RECORD_DB_STOPPED ? rc : RECORD_DB_TRANSIENT;
    }
    return RECORD_DB_OK;
}

RecordDbResult record_db_insert_runs(PGconn *conn, const std::string &json_array, int timeout_ms,
                                     int stop_fd, int *inserted, std::string *error)
{
    *inserted = 0;
    PGresult *res = nullptr;
    RecordDbResult rc = run(conn, "SELECT bramblewick.insert_runs($1::jsonb)", json_array.c_str(),
                            timeout_ms, stop_fd, &res, error);
    if (rc == RECORD_DB_OK) {
        if (PQntuples(res) == 1)
            *inserted = std::atoi(PQgetvalue(res, 0, 0));
        PQclear(res);
    }
    return rc;
}

RecordDbResult record_db_query(PGconn *conn, const char *sql, const char *param, int timeout_ms,
                               int stop_fd, std::vector<std::vector<std::string>> *rows,
                               std::string *error)
{
    rows->clear();
    PGresult *res = nullptr;
    RecordDbResult rc = run(conn, sql, param, timeout_ms, stop_fd, &res, error);
    if (rc != RECORD_DB_OK)
        return rc;
    for (int r = 0; res && r < PQntuples(res); r++) {
        std::vector<std::string> row;
        for (int c = 0; c < PQnfields(res); c++)
            row.emplace_back(PQgetvalue(res, r, c));
        rows->push_back(std::move(row));
    }
    if (res)
        PQclear(res);
    return RECORD_DB_OK;
}

// record db: the factory record's PostgreSQL calls, through libpq. Called by the shipper on its
// own thread only; nothing else in the station touches libpq.
//
// Every call is asynchronous underneath: it waits on the connection's socket with a deadline
// and gives up at once when stop_fd (a pipe's read end, or -1) becomes readable, so a database
// that is slow, down or half-gone never holds the caller longer than its time-out.
#pragma once

#include <string>

struct pg_conn;

// How a call ended. REFUSED: the database rejected the data itself (a data exception, a broken
// constraint, a program limit such as an over-long index entry); sending it again would fail
// again. TRANSIENT: the connection, the server or a time-out; worth a retry on a new
// connection. STOPPED: stop_fd woke the call.
enum RecordDbResult {
    RECORD_DB_OK = 0,
    RECORD_DB_REFUSED = -1,
    RECORD_DB_TRANSIENT = -2,
    RECORD_DB_STOPPED = -3
};

// The schema version this program creates and ships into (db/schema.sql).
inline constexpr int RECORD_DB_SCHEMA_VERSION = 2;

// The embedded db/schema.sql.
const char *record_db_schema_sql();

// Connects to conninfo (key=value string or URI), forcing UTF-8 as the client encoding and
// statement_timeout_ms as the server's statement time-out. The open connection, or null with
// the reason in *error (and the result in *result when not null).
pg_conn *record_db_connect(const std::string &conninfo, int timeout_ms, int statement_timeout_ms,
                           int stop_fd, std::string *error, RecordDbResult *result = nullptr);
void record_db_close(pg_conn *conn);

// Applies the schema unless the database already has this version or a later one (so a role
// without the right to create objects works once an administrator has applied it).
RecordDbResult record_db_ensure_schema(pg_conn *conn, int timeout_ms, int stop_fd,
                                       std::string *error);

// Inserts the records of json_array (a JSON array of detail records) that are not in the
// table yet, in one statement: all or none. *inserted: how many were new.
RecordDbResult record_db_insert_runs(pg_conn *conn, const std::string &json_array, int timeout_ms,
                                     int stop_fd, int *inserted, std::string *error);

// live: the live state's writer, which keeps this station's rows of bramblewick.station and
// bramblewick.fixture_state current in the factory database. Started and stopped by the
// program's start-up on the main thread; runs on a thread of its own with its own libpq
// connection, never a download thread or the window thread, which only feed the live board it
// reads (live/live_board.h) and read its state.
//
// Live state is not a record: nothing is queued while the database is away. Each fixture is
// written at most once a second whatever its row does meanwhile (its latest state wins), and
// the first write after a (re)connect brings every fixture current. The station row's
// heartbeat is refreshed every heartbeat_ms; stop() ends with a last write that sets `stopped`.
//
// A second live program with the same station id (another run id whose heartbeat is fresh and
// not stopped) is a twin: both write the row in turn, each setting twin_run_id to the other,
// and alarm() names the other's host until it has been silent for twin_fresh_s.
#pragma once

#include "live/live_board.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

struct LiveOptions {
    std::string conninfo; // libpq connection string or URI; required
    std::string station;  // station id
    std::string run_id;   // this program's (station_run_id())
    std::string host;
    std::string program_version;
    std::optional<std::string> job_sha256;
    std::optional<std::string> job_description;
    int heartbeat_ms = 2000;        // the station row at least this often (at most 5000)
    int fixture_interval_ms = 1000; // one write per fixture per this at most
    int connect_timeout_ms = 5000;
    int statement_timeout_ms = 5000; // the server's, per statement; the wait is this plus 2 s
    int backoff_first_ms = 1000;     // first wait after a failure; doubled up to backoff_max_ms
    int backoff_max_ms = 15000;
    int twin_fresh_s = 15;     // a heartbeat this recent is a live program
    int final_write_ms = 2000; // stop(): how long the last write may take
    FILE *report = stderr;     // the database's comings and goings
};

struct LiveState {
    bool running = false;
    bool connected = false;
    long fixture_writes = 0; // fixture rows written
    long station_writes = 0; // station rows written
    std::string last_error;
    std::string twin_run_id; // the twin's run id and host, empty when none
    std::string twin_host;
};

// "Another station with id X is running on host H ..." for a twin; empty when none.
std::string live_twin_alarm(const std::string &station, const LiveState &state);

class LiveWriter
{
  public:
    LiveWriter(LiveOptions options, std::shared_ptr<LiveBoard> board);
    ~LiveWriter(); // stop()
    LiveWriter(const LiveWriter &) = delete;
    LiveWriter &operator=(const LiveWriter &) = delete;

    // Starts the thread; -1 when it could not be (or was already) started.
    int start();
    // Brings the rows current, sets `stopped`, and ends the thread. Waits final_write_ms and a
    // half second, then cuts every libpq wait short and waits one second more: a thread still
    // inside a host name lookup is left to end on its own. Idempotent.
    void stop();
    // Any thread.
    LiveState state() const;
    std::string alarm() const { return live_twin_alarm(station_, state()); }

    struct Impl;

  private:
    std::string station_;
    std::shared_ptr<Impl> impl_;
};

// record db: the shipper, which sends the station's detail records to the factory database.
// Runs on a thread of its own, started and stopped by the station's front-end set-up (start-up,
// for either front-end); never a download thread or the window thread, which only read its
// state. libpq is called on that thread alone; a second thread it starts only counts lines.
//
// The outbox is the log directory itself: every log_*.jsonl there, one record a line. The
// shipper never gets a record from the station directly, so whatever happens to the database
// (down, slow, restarted, refusing a record), the phones and the window go on at their pace and
// nothing is lost: the file stays, and what the database lacks is sent once it answers again.
//
// What the database has confirmed of each file is kept beside the files in <log dir>/.shipped
// (a byte offset and line number per file, and the lines the database refused), rewritten after
// every confirmed batch. It only saves work: a start without it sends everything again, which
// the database's unique key (station, run id, CSV file, CSV line) makes harmless.
//
// New lines are seen through an inotify watch on the directory, and by a check every few
// seconds besides (a watch can fail or overflow). Only lines ended by "\n" are taken: the one
// being written waits for its end. A second thread of the shipper's counts the lines on disk
// the same way, so the state's count of waiting records holds while the shipping thread waits
// on a database that does not answer.
#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

struct ShipperOptions {
    std::string conninfo; // libpq connection string or URI; required
    std::string log_dir = "log";
    int connect_timeout_ms = 10000;
    int statement_timeout_ms = 15000; // the server's, per statement; the wait is this plus 5 s
    int check_period_ms = 5000;       // look at the directory this often besides the watch
    int backoff_first_ms = 1000;      // first wait after a failure; doubled up to backoff_max_ms
    int backoff_max_ms = 30000;
    int batch_records = 500; // records per statement at most
    int stop_wait_ms = 3000; // how long stop() waits for the thread (see stop())
    FILE *report = stderr;   // refusals and the database's comings and goings
};

struct ShipperState {
    bool running = false;         // the thread has started and not ended
    bool connected = false;       // connected, schema in place
    time_t unreachable_since = 0; // start of the current outage; 0 when none
    std::string last_error;       // why the database was last unreachable
    long waiting = 0; // complete lines on disk not yet confirmed (nor refused), read or not
    long refused = 0;             // lines the database (or the shipper) refused; kept in the files
    long sent = 0;                // rows this shipper added to the database
    long confirmed = 0;           // lines confirmed (new rows and ones already there)
};

// The front-ends' line: "record: up to date", "record: 12 waiting", "record: 12 waiting,
// database unreachable since 14:05", with ", 1 refused (kept in the log)" when any.
std::string record_state_line(const ShipperState &state);

class Shipper
{
  public:
    explicit Shipper(ShipperOptions options);
    ~Shipper(); // stop()
    Shipper(const Shipper &) = delete;
    Shipper &operator=(const Shipper &) = delete;

    // Starts the thread; -1 when it could not be (or was already) started.
    int start();
    // Wakes the thread and waits up to stop_wait_ms for it to end. Every libpq wait watches the
    // stop pipe, so only a host name lookup can hold it longer: such a thread is left to end on
    // its own, and touches nothing outside its own state. Idempotent.
    void stop();
    // Any thread: a copy of the current state.
    ShipperState state() const;
    std::string state_line() const { return record_state_line(state()); }

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

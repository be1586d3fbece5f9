// live: the station's live board, the latest snapshot of every fixture row and the run's tally,
// as the run events left them. Fed by a run event subscriber on the window thread (take); read
// by the live state's writer and the metrics file's writer, each on a thread of its own. The
// window thread only copies a snapshot under the board's mutex and wakes the readers: nothing it
// does here waits for a database or a disk.
#pragma once

#include "station/run_events.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The fixture's name in the factory record: "1".."64" for a mapped fixture, "NA<row>" for an
// unmapped row.
std::string live_fixture_key(const run_snapshot &run);

struct live_fixture {
    std::string key;
    run_snapshot run; // its row is the fixture's place on the screen
    uint64_t seq = 0; // the board's change count at its last change
};

struct live_tally {
    int programmed = 0;  // runs that passed
    int failed = 0;      // runs that failed
    int interrupted = 0; // runs the station itself ended (quit, end of simulation)
    int first_runs = 0;  // first runs of a phone with a result, and how many of them passed
    int first_runs_passed = 0;
};

class LiveBoard
{
  public:
    // Window thread: keeps the event's row snapshot, counts a result, and wakes the listeners.
    // first_runs/first_runs_passed: the station's own first-pass counts at this moment.
    void take(const run_event &ev, int first_runs, int first_runs_passed);
    // Any thread, before the station starts: `fn` runs (outside the board's lock) after every
    // change. It must only wake its thread.
    void listen(std::function<void()> fn);

    // Any thread: the fixtures changed after change count `since` (every fixture for 0), and
    // the current count.
    std::vector<live_fixture> changed_since(uint64_t since, uint64_t *now_seq) const;
    live_tally tally() const;
    std::map<std::string, live_fixture> fixtures() const;

  private:
    mutable std::mutex mu_;
    std::map<std::string, live_fixture> fixtures_; // guarded by mu_
    live_tally tally_;                             // guarded by mu_
    uint64_t seq_ = 0;                             // guarded by mu_
    std::vector<std::function<void()>> listeners_;
};

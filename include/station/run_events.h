// station core: the typed events of a run, the one source the views and records of a run are
// built from (the window, the terminal, the CSV and detail record, the factory record's live
// state). Published by the station's window-side handlers on the window thread, in the order
// they happen, to every subscriber (Station::subscribe). A subscriber runs on the window thread:
// it must return quickly and must not call back into the station; slow work (a database) is
// handed to a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum class run_event_kind {
    attached, // a phone took the row: a new run
    stage,    // the run's step changed ("Image" column)
    status,   // the run's status text changed ("Status" column)
    progress, // the long operation's progress changed
    result,   // the run's result is final (once per run)
    recorded, // the run's log line is on disk (after result; later when the log was blocked)
    detached, // the run's thread is done with the row; its last event
    fixture,  // the fixture's own state changed (suspect, held, cleared), no run involved
};

// What a fixture row is doing, as a line lead would name it.
enum class fixture_state {
    idle,        // no phone, or a passed phone already taken out
    running,     // a run in progress
    passed,      // the last run passed and the phone is still in the fixture
    failed,      // the last run failed
    interrupted, // the last run was ended by the station itself (quit, end of simulation)
    held,        // a phone that failed again and again stays on the bus: "Remove the phone"
};

// Lower-case name of a state ("idle", "running", ...), as the factory record stores it.
const char *fixture_state_name(fixture_state s);

// A snapshot of one row and its current run, taken when the event happened.
struct run_snapshot {
    int row = -1;    // the device list's row
    int fixture = 0; // the fixture's number from the port mapping; 0 for an unmapped ("NA") row
    std::string interface_1, interface_2;
    std::string bootrom_interface; // the name the run's phone came in under; "" without a run
    fixture_state state = fixture_state::idle;
    bool suspect = false;           // the fixture's last phones all failed
    std::string stage;              // the "Image" text
    std::string status_text;        // the "Status" text
    int progress_percent = -1;      // 0..100, or -1 when no long operation is under way
    int status_code = 0;            // the result code, once there is one
    bool recorded = false;          // the run's log line is on disk
    int64_t run_started_utc_ms = 0; // 0 when the row has no run
    int64_t at_utc_ms = 0;          // when the event happened
    uint64_t run_id = 0;            // the run's number in this station (1, 2, ...); 0: no run
    bool interrupted = false;       // the result is the station's own stop, not the phone's
};

struct run_event {
    run_event_kind kind;
    run_snapshot run;
};

using run_event_subscriber = std::function<void(const run_event &)>;

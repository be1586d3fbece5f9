// station core: the shift's tally, each fixture's health, and the guard against a phone that
// fails again and again while it sits in boot ROM mode. Counted by the window-side handlers
// (attach, result, detach) and the one-second timer in the window thread; the monitor thread
// asks the guard before it takes a phone. The front-ends only show what is here.
//
// Words as counted here:
// - a run: one attach of a phone to a row, ending in one result (one CSV line);
// - a retry: a run on a boot ROM device that failed its previous run and has been listed in every
//   monitor pass since (it never left the bus, so it is the same phone); any other run is a
//   phone's first run. Without a die ID the station cannot tell phones apart otherwise: a phone
//   unplugged and put back is a new phone.
// - first-pass yield: first runs that passed / first runs that have a result.
// - an interrupted run: one the station ended itself (a quit, the simulation's end). Its line
//   says "Station stopped", code 1, but it tells nothing of the phone or the fixture: it is
//   counted apart, and left out of the yield, the fixture's health and the phone's strikes.
// - the shift's tally counts a run when its log line is on disk (shift_count), so what it says
//   has been made holds after a crash; fixture health counts it at its result.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct tag_list_item;
class DeviceList;

enum {
    FIXTURE_SUSPECT_FAILS = 3, // phones failed in a row on one fixture: cable or fixture suspect
    PHONE_HOLD_FAILS = 3,      // failed runs in a row of one phone that stays on the bus
};

inline constexpr const char *kRemoveThePhone = "Remove the phone";
// The views' ninth column, after the device list's eight: fixture_health_text.
inline constexpr const char *kFixtureHealthTitle = "Fixture health";
// Its background while the fixture is suspect (amber, 0xRRGGBB).
inline constexpr uint32_t STATION_COLOUR_SUSPECT = 0xFFBF00;

// One fixture (one row of the device list).
struct fixture_tally {
    int passed = 0;               // runs that passed
    int failed = 0;               // runs that failed
    int phones_failed_in_row = 0; // phones whose runs all failed since the last pass here
    bool retry = false;           // the row's current run is a retry
};

struct shift_tally {
    int programmed = 0;  // runs that passed
    int failed = 0;      // runs that failed (retries included); interrupted ones are not
    int interrupted = 0; // runs the station ended itself
    int first_runs = 0;  // first runs with a result
    int first_runs_passed = 0;
    uint32_t start_tick = 0; // station_tick_ms() when the station started
};

// Boot ROM devices that failed and have not left the bus since. Shared by the monitor (what each
// pass lists; whether to take a device) and the window thread (results).
struct phone_strikes {
    std::mutex mu;
    std::map<std::string, int> fails; // boot ROM interface name -> failed runs; guarded by mu
};

// A row showing kRemoveThePhone, and what its Status said before.
struct phone_hold {
    const tag_list_item *item;
    std::string name;
    std::string status_before;
};

// Window thread only, but for `strikes`.
struct station_health {
    shift_tally shift;
    std::vector<fixture_tally> fixtures; // index = row (rows are only ever appended once running)
    std::vector<phone_hold> holds;
    phone_strikes strikes;
};

// Monitor thread, after each pass's enumeration: the boot ROM interface names it listed. A name
// not listed has left the bus: its failures are forgotten.
void strikes_listed(phone_strikes *s, const std::vector<std::string> &bootrom_names);
// Monitor thread: true while the phone on `name` must not be started again.
bool strikes_held(phone_strikes *s, const std::string &name);

// Window thread: a run attached to `row` for the boot ROM device on `name`.
void health_attach(station_health *h, int row, const std::string &name);
// Window thread: the run on `row` (boot ROM device on `name`) ended with `code`: the fixture's
// health and the phone's strikes. An interrupted run changes neither. True when the run was the
// phone's first (for shift_count).
bool health_result(station_health *h, int row, const std::string &name, int code,
                   bool interrupted = false);
// Window thread: a run's log line is on disk: the shift's tally counts it.
void shift_count(shift_tally *t, int code, bool first_run, bool interrupted);
// Window thread: the run's detach, its row showing `status_now`. True when its phone is now held:
// the row is then to say kRemoveThePhone until the phone is gone (health_tick).
bool health_detach(station_health *h, const tag_list_item *item, const std::string &status_now);
// Window thread, once a second: the holds whose phones have left the bus end; those whose rows
// still show their record go to *released, with the Status their rows are to get back.
void health_tick(station_health *h, const DeviceList &list, std::vector<phone_hold> *released);

const fixture_tally *health_fixture(const station_health &h, int row);
bool fixture_suspect(const fixture_tally &t);
// "3 passed, 1 failed", with " - suspect" while suspect; empty for a fixture without results.
std::string fixture_health_text(const station_health &h, int row);
// "12 programmed, 1 failed, first-pass yield 92.3% (12/13), 140.5 phones/h"; after "failed",
// "3 interrupted, " when there are any. `now` is station_tick_ms().
std::string shift_tally_text(const shift_tally &t, uint32_t now);

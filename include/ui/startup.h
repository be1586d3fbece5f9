// ui: the program's start-up and shutdown, shared by every front-end. Called by main() with the
// front-end's operator messages and station window; tests call it with recording ones.
//
// Start-up, in order: single-instance lock; the job (flasher.ini in the working directory);
// the post-flash plug-in and, when one is loaded, the job's one-file image description; the job's
// files guarded and digested (once, for the release check and the detail record alike) and,
// when this station trusts release keys, the release checked; the production log when the job
// asks for one, with its detail record beside it; the DKB image; the factory record's shipper,
// the live state's writer and the metrics file's writer when configured (each a thread of its
// own); the station window until the
// operator's confirmed quit. Every failure is one operator message and the end of the program;
// the exit code is 0 on every path.
#pragma once

#include "job/job_check.h"
#include "recorddb/record_config.h"
#include "station/station.h"
#include "ui/operator_messages.h"

#include <cstdio>
#include <functional>
#include <string>

namespace ui
{

struct ProgramOptions {
    std::string lock_path;                // empty: default_lock_path()
    std::string job_path = "flasher.ini"; // relative to the working directory
    std::string plugin_ini;               // empty: the plug-in host's "./post_plugin.ini"
    std::string plugin_host;              // empty: plugin_host_default_path()
    std::string log_dir = "log";
    std::string port_mapping_path = PORT_MAPPING_DEFAULT_PATH;
    bool virtual_devices_only = false; // --simulate: leave real phones alone
    std::string station_id;            // the detail record's "station"; empty: the host name
    // The factory record's database: --record-db CONNINFO, else [record] database of the
    // station configuration file.
    std::string record_db;
    std::string station_config = STATION_CONFIG_DEFAULT_PATH;
    // --metrics FILE: the station's figures for node_exporter's textfile collector.
    std::string metrics_path;
};

// What start-up hands to the window: everything the station needs, and what the front-end
// shows (log path, plug-in name).
struct StationSetup {
    station_options options; // job, DKB image, plug-in, log stream (taken over), mapping
    std::string log_path;    // the CSV log being written; empty without one
    std::string job_path;    // the job file as given (its directory is the job's directory)
    // The factory record's state line for the status bar or footer, from any thread; empty
    // when no database is configured.
    std::function<std::string()> record_state;
    // Run by the window on its thread with its station, before start(): whoever takes the run
    // events subscribes here (the live state, the metrics file). May be empty.
    std::function<void(Station &)> on_station;
    // A station-wide alarm from outside the station (another live station with this station
    // id), shown like the station's own; any thread, empty text when none. May be empty.
    std::function<std::string()> outside_alarm;
    // The job's release for the summary: "Released: ..." (release_red false), a red note when
    // this station trusts keys but the job is not released; empty when releases are not in use.
    std::string release_text;
    bool release_red = false;
};

// The station window as start-up sees it. run() creates the station from setup.options, runs
// the window until the operator's confirmed quit (which stops the station: do_exit raised,
// log closed) and returns then.
class StationWindow
{
  public:
    virtual ~StationWindow() = default;
    virtual void run(StationSetup &setup) = 0;
};

// The station-wide alarm line: the station's own, then the outside one (either may be empty).
std::string join_alarms(const std::string &station_alarm,
                        const std::function<std::string()> &outside_alarm);

// The whole program. Returns 0 on every path.
int run_program(const ProgramOptions &options, OperatorMessages &messages, StationWindow &window);

// --check: reads the job exactly as run_program does (the same parser, container verification
// and plug-in loading, with the same operator messages when they fail), prints the plan and
// every finding of the job check to out, and returns 0 when the job can program phones, 1 when
// it cannot. Takes no lock, touches no USB device, writes no log.
// geometry is the NAND the phones are expected to report (--page-size, --pages-per-block,
// --oob-size), for images with spare bytes and the blank share of each image.
int run_check(const ProgramOptions &options, OperatorMessages &messages, FILE *out,
              const job_geometry &geometry = {});

// --make-release: writes release.txt beside the job for every file the job uses (read as
// run_check reads the job), lists them on out, and returns 0; 1 when it cannot.
int run_make_release(const ProgramOptions &options, OperatorMessages &messages, FILE *out);

// The window's close request: asks "Are you sure you want to quit?"; on Yes stops the station
// (raises do_exit, closes the log) and returns true; otherwise changes nothing and returns false.
// On the window thread, never from inside a message handler.
bool confirm_quit(OperatorMessages &messages, Station &station);

} // namespace ui

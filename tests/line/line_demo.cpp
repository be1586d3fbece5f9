// tests: the demonstration line's SQL.
#include "line_demo.h"

#include "recorddb/record_db.h"
#include "support/pg_cluster.h"

#include <cstdio>

namespace
{
const char *kStates[] = {"running", "running", "passed",  "idle",
                         "running", "failed",  "running", "passed"};
const char *kStages[] = {"Boot ROM",     "DKB agent", "Erase",  "system.img",
                         "userdata.img", "Verify",    "Plug-in"};
} // namespace

bool line_demo_write(const std::string &conninfo, int stations, int fixtures, bool silent,
                     std::string *error)
{
    pg_query(conninfo, std::string("SET client_min_messages = warning;") + record_db_schema_sql(),
             error);
    if (!error->empty())
        return false;
    std::string sql = "SET client_min_messages = warning;"
                      "TRUNCATE bramblewick.station CASCADE; TRUNCATE bramblewick.phone_run;";
    for (int s = 1; s <= stations; ++s) {
        char id[32];
        std::snprintf(id, sizeof id, "line1-st%02d", s);
        bool quiet = silent && s == stations;
        sql +=
            std::string("INSERT INTO bramblewick.station (station, run_id, host, program_version,"
                        " job_sha256, job_description, started, heartbeat, programmed, failed,"
                        " first_pass_yield, phones_per_hour) VALUES ('") +
            id + "', 'run" + std::to_string(s) + "', 'flash-pc-" + std::to_string(s) +
            "', '2.0.30', 'e3b0c44298fc1c149afbf4c8996fb924', 'Sorrel P1 retail build 7.1." +
            std::to_string(s) + "', now() - interval '7 hours', now() - interval '" +
            (quiet ? "70" : "1") + " s', " + std::to_string(900 + 37 * s) + ", " +
            std::to_string(10 + 3 * s) + ", " + std::to_string(99.0 - 0.6 * s) + ", " +
            std::to_string(110 + 9 * s) + ");";
        for (int f = 1; f <= fixtures; ++f) {
            bool suspect = s == 2 && f == 5;
            const char *state = suspect ? "failed" : kStates[(f * 3 + s) % 8];
            bool running = std::string(state) == "running";
            std::string status = running                          ? "Writing"
                                 : std::string(state) == "passed" ? "Passed"
                                 : std::string(state) == "failed" ? "NAND write failed (code 0x11)"
                                                                  : "Ready";
            sql += std::string("INSERT INTO bramblewick.fixture_state (station, fixture, position,"
                               " state, suspect, stage, progress, status_text, run_started)"
                               " VALUES ('") +
                   id + "', '" + std::to_string(f) + "', " + std::to_string(f - 1) + ", '" + state +
                   "', " + (suspect ? "true" : "false") + ", " +
                   (running ? std::string("'") + kStages[(f + s) % 7] + "'" : "NULL") + ", " +
                   (running ? std::to_string((f * 13 + s * 7) % 100) : "NULL") + ", '" + status +
                   "', " + (running ? "now() - interval '40 s'" : "NULL") + ");";
        }
        int every = 20 + (s * 7) % 11;
        sql += std::string("INSERT INTO bramblewick.phone_run (station, csv_file, csv_line, finish,"
                           " passed, record) SELECT '") +
               id + "', 'demo.csv', g + 2, now() - g * interval '" + std::to_string(every) +
               " s', g % " + std::to_string(17 + s) +
               " <> 0, '{}' FROM generate_series(0, 86400 / " + std::to_string(every) +
               ") g WHERE now() - g * interval '" + std::to_string(every) +
               " s' >= date_trunc('day', now());";
    }
    pg_query(conninfo, sql, error);
    return error->empty();
}

bool line_demo_status(const std::string &conninfo, const std::string &station, int fixture,
                      const std::string &text, std::string *error)
{
    pg_query(conninfo,
             "UPDATE bramblewick.fixture_state SET status_text = '" + text +
                 "', updated = now() WHERE station = '" + station + "' AND fixture = '" +
                 std::to_string(fixture) + "'",
             error);
    return error->empty();
}

// line view: the whole line as one JSON document, read from the factory database's live state
// (bramblewick.station, bramblewick.fixture_state) and today's finished phones
// (bramblewick.phone_run). Called by the line program's feed thread (line_feed.h), which owns
// the connection; nothing here keeps state between calls.
//
// Only SELECTs. Times come from the database's clock (now()), so a line program on a PC whose
// clock is off still sees a station silent exactly when its heartbeat is 30 s old.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct pg_conn;

// The alarm thresholds of --yield-alarm and --yield-window.
struct line_alarm_settings {
    double yield_alarm_percent = 90.0; // a station whose last phones passed less than this ...
    int yield_window = 20;             // ... over its last this many finished phones
};

// A station that has not quit and whose heartbeat is older than this is silent.
inline constexpr int LINE_SILENT_AFTER_S = 30;

// The live part: {"stations": [...], "alarms": [...]}, every station of the live table (by id)
// with its fixtures (in their screen order), and the alarms they raise (silent, suspect, two
// programs with one station id). 0, or -1 with the reason in *error.
int line_live(pg_conn *conn, nlohmann::json *out, std::string *error);
// The record's part, per live station: today's phones by hour, and its last phones for the
// yield alarm. Heavier than the live part, and it changes only as phones finish.
int line_record(pg_conn *conn, const line_alarm_settings &settings, nlohmann::json *out,
                std::string *error);
// Puts the record's part into the live part's stations (their tally's today figures, their
// today_by_hour) and adds the yield alarms.
void line_merge(nlohmann::json *doc, const nlohmann::json &record,
                const line_alarm_settings &settings);

// All of it: fills *out with {"stations": [...], "alarms": [...], "as_of": ...}: every station of
// the live table (ordered by id) with its tally, its fixtures (in their screen order) and its
// phones per hour today. 0, or -1 with the server's or the connection's message in *error
// (*out is then left as it was).
int line_snapshot(pg_conn *conn, const line_alarm_settings &settings, nlohmann::json *out,
                  std::string *error);

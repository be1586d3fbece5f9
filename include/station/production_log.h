// station core: the CSV production log. The program creates the file at start-up
// (log_create_file); the station takes it over (log_adopt) and the result handler appends one
// line per finished run (log_write_line) in the window thread. Lines end in CR LF, the stored format of
// the log. Every line is written durably (durable_log.h): on disk before the row shows the
// result, or kept, in order, while the log cannot be written.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "station/device_list.h"
#include "station/durable_log.h"

inline constexpr const char *LOG_HEADER =
    "Fixture ID,MPU Die ID,Start Time,Finish Time,Section,Status code\r\n";

// Creates dir (an existing one is fine) and in it log_YYYYMMDD_HHMMSS.csv named after `when`,
// opened with O_EXCL so an existing file is never truncated: when the name is taken, the next
// free of log_..._2.csv, log_..._3.csv ... is used. Writes the header. Returns the open stream
// (and its path through *path when not null), or null when no file could be created.
FILE *log_create_file(const char *dir, const station_time &when, std::string *path = nullptr);

// Appends field to line as one CSV field: unchanged when it holds no comma, double quote, CR or
// LF; otherwise inside double quotes with every quote doubled.
void csv_append_field(std::string &line, const char *field);

// A run's line: fixture, die ID, start (null: an empty field), finish, section, status code;
// CR LF. The log completion rebuilds a line from a detail record with it.
std::string log_format_fields(const char *fixture, const char *die_id, const station_time *start,
                              const station_time &finish, const char *section, int status_code);

// The same line from the texts a row shows, cut where the list control's fields cut them
// (fixture and die ID 29 characters, section 255).
std::string log_format_run(const std::string &fixture, const std::string &die_id,
                           const station_time *start, const station_time &finish,
                           const std::string &section, int status_code);

// Makes the stream from log_create_file (at path) the log's only file (any other is closed); the
// stream is closed. 0, or a
// negative errno (log left without a file: logging off).
int log_adopt(durable_log *log, FILE *stream, const std::string &path);

// Appends `line` (log_format_run). With a detail line, the log's first file is the detail
// record's: the detail line goes there first, and the two are kept together when either cannot
// be written. 0 when it is on disk or there is no log; a negative errno when it is kept.
int log_write_line(durable_log *log, std::string line, const std::string *detail_line = nullptr);

// The station-wide alarm while lines are kept: why, and what it means. Empty when none is.
std::string log_alarm_text(const durable_log &log);

// Writes the lines still kept (after the last flush at shutdown) to `to`, after a line saying
// which log they belong to, so no line is lost without a trace. Nothing when none is kept.
void log_report_unwritten(const durable_log &log, FILE *to);

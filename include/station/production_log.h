// station core: the CSV production log. The program creates the file at start-up
// (log_create_file); the station takes it over (log_adopt) and the result handler appends one
// line per finished run (log_msg) in the window thread. Lines end in CR LF, the stored format of
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

// The line for row nItem: fixture (column 0, 29 characters at most), die ID (column 4, 29),
// the record's start time, finish, section (column 3, 255, unless given), the record's status
// code; CR LF.
std::string log_format_line(const DeviceList &list, int nItem, const station_time &finish,
                            const char *section = nullptr);

// The same line from its fields (start null: an empty field), as the log completion rebuilds it
// from a detail record.
std::string log_format_fields(const char *fixture, const char *die_id, const station_time *start,
                              const station_time &finish, const char *section, int status_code);

// The same line from the texts a row shows, cut as above (fixture and die ID 29 characters,
// section 255).
std::string log_format_run(const std::string &fixture, const std::string &die_id,
                           const station_time *start, const station_time &finish,
                           const std::string &section, int status_code);

// Makes the stream from log_create_file (at path) the log's only file (any other is closed); the
// stream is closed. 0, or a
// negative errno (log left without a file: logging off).
int log_adopt(durable_log *log, FILE *stream, const std::string &path);

// Appends the line for row nItem, finished at `finish` (Section `section` when given, else column
// 3). With a detail line, the log's first file is the detail record's: the detail line goes
// there first, and the two are kept together when either cannot be written. 0 when it is on
// disk, or when there is no log or the row has no record; a negative errno when it is kept.
int log_msg(durable_log *log, const DeviceList &list, int nItem, const station_time &finish,
            const char *section = nullptr, const std::string *detail_line = nullptr);

// Appends `line` (log_format_run) with its detail line as log_msg does; 0 without a log.
int log_write_line(durable_log *log, std::string line, const std::string *detail_line = nullptr);

// The station-wide alarm while lines are kept: why, and what it means. Empty when none is.
std::string log_alarm_text(const durable_log &log);

// Writes the lines still kept (after the last flush at shutdown) to `to`, after a line saying
// which log they belong to, so no line is lost without a trace. Nothing when none is kept.
void log_report_unwritten(const durable_log &log, FILE *to);

// station core: the CSV production log. The program creates the file at start-up
// (log_create_file); the result handler appends one line per finished run (log_msg) in the window
// thread. Lines end in CR LF, the stored format of the log; every line is flushed as it is
// written, so a line is in the file as soon as its phone has finished.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "station/device_list.h"

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
// the record's start time, finish, section (column 3, 255), the record's status code; CR LF.
std::string log_format_line(const DeviceList &list, int nItem, const station_time &finish);

// Appends the line for row nItem to logging_fd and flushes it; nothing when logging_fd is null
// or the row has no record.
void log_msg(FILE *logging_fd, const DeviceList &list, int nItem);
// The same with the finish time given (the result handler's, shared with the detail record).
void log_msg(FILE *logging_fd, const DeviceList &list, int nItem, const station_time &finish);

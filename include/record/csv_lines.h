// record: counting the complete lines of a CSV log as it grows, so a detail line is matched
// with its CSV line (it carries the CSV line's number). Called by start-up's log completion on
// the main thread and by the shipper on its own thread; each caller owns its counts.
//
// A line ends at an LF outside double quotes: a quoted field may hold CR or LF, and a line
// still being written (no LF yet, or one cut off by a kill) is not counted.
#pragma once

#include <cstddef>
#include <sys/types.h>

struct csv_lines {
    off_t scanned = 0;   // bytes taken so far
    off_t end = 0;       // just past the last complete line's LF
    long count = 0;      // complete lines, the header included
    bool quoted = false; // inside a quoted field at `scanned`
};

// Takes size more bytes of the file (those at lines->scanned).
void csv_lines_feed(csv_lines *lines, const char *data, size_t size);
// Takes whatever the open file holds past lines->scanned. 0, or a negative errno.
int csv_lines_read(csv_lines *lines, int fd);

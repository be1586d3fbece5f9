// station core: durable append-only files, and the entries kept while they cannot be written.
// The window thread writes the production log through it (production_log.h); nothing here is
// shared between threads, nothing here locks.
//
// durable_file_append writes at the end of the last good line and syncs the data before it
// reports success, so a line reported written survives a power cut. A write that fails (full
// disk, I/O error, the file or its directory removed) leaves the file as it was: a part-written
// tail is cut back off, and the next attempt writes at the same offset anyway, so a line is
// never torn or doubled. A file removed while open is made again at its path (and its
// directory with it), with the content it had, read back from the still-open old file.
//
// durable_log holds one or more files written together: an entry has one part per file (say a
// detail record line and its CSV line), written in the files' order. An entry that cannot be
// written whole is kept, and every later entry is kept behind it, until a flush gets them all
// out in order; parts already written are never written again.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

struct durable_file {
    int fd = -1;
    std::string path;   // where it is made again when removed; empty: it is not
    off_t good_end = 0; // end of the last part known to be on disk
};

// Opens path for appending after its present content, creating it (not its directory) when
// missing. 0, or a negative errno.
int durable_file_open(durable_file *f, const std::string &path);
// Takes over an open descriptor of the file at path, read-write (a removed file is made again
// from what it held); appends after its present end.
// 0, or a negative errno (fd is closed then).
int durable_file_adopt(durable_file *f, int fd, const std::string &path);
// Cuts off a part-written tail, if any is left, and closes. Safe on a closed file.
void durable_file_close(durable_file *f);
// Writes size bytes at good_end and syncs them. 0 (good_end moved past them), or a negative
// errno with good_end unchanged and the file cut back to it as far as the disk allows.
int durable_file_append(durable_file *f, const char *data, size_t size);

struct durable_entry {
    std::vector<std::string> parts; // parts[i] goes to files[i]
    size_t written = 0;             // parts already on disk
};

struct durable_log {
    std::vector<durable_file> files;
    std::deque<durable_entry> kept; // not yet wholly on disk, oldest first
    int error = 0;                  // negative errno of the last failure while entries are kept
    std::string error_path;         // the file it happened on
};

// Writes an entry (one part per file) after the kept ones. 0 when it and every entry before it
// are on disk; otherwise the error, with the entry kept.
int durable_log_write(durable_log *log, std::vector<std::string> parts);
// Writes the kept entries in order, stopping at the first that fails. 0 when none is left.
int durable_log_flush(durable_log *log);
// Closes every file; kept entries stay in log->kept.
void durable_log_close(durable_log *log);

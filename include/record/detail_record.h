// record: the detail record, one JSON line per finished phone in log/log_<stamp>.jsonl beside
// the CSV log (log_<stamp>.csv), in the same order, each line written and synced before its CSV
// line. Lines are built with nlohmann-json, never by hand.
//
// Who calls what, on which thread:
// - start-up (main thread, before any station thread): detail_job_digests once, then
//   detail_log_open beside the CSV it just created;
// - the download thread and the window-side handlers fill a detail_run per run (it lives in the
//   row's tag_list_item; station/device_list.h says who writes which field);
// - the result handler (window thread): detail_record_format; the station writes the line with
//   its CSV line through its durable log, the detail first.
//
// Texts from outside (file names, descriptions, stage texts, a phone's version) may hold any
// byte. JSON needs valid UTF-8, so every text goes through detail_escape_text, whose rule is
// reversible and keeps valid UTF-8 text unchanged:
//   each byte b of an invalid UTF-8 sequence, each NUL byte, and each byte of a valid
//   character in U+EF00..U+EFFF (private use, the escape range itself) is written as the
//   character U+EF00 + b.
// detail_unescape_text turns every character of U+EF00..U+EFFF back into its byte, which gives
// the original bytes exactly. The result holds no NUL, so it also fits a PostgreSQL text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct flashini_content;

// ---- Texts ------------------------------------------------------------------------------------
std::string detail_escape_text(std::string_view raw);
std::string detail_unescape_text(std::string_view escaped);

// ---- The job, digested once at start-up --------------------------------------------------------
struct detail_image {
    std::string file;      // flasher.ini's file name, or the container section's own
    std::string desc;      // the Image text while it is written
    uint32_t nand_loc = 0; // NAND range [nand_loc, nand_loc_end)
    uint32_t nand_loc_end = 0;
    std::optional<int64_t> size;       // image bytes; none when the file could not be read
    std::optional<std::string> sha256; // lower-case hex of the image bytes; none likewise
    bool in_container = false;         // a section of the job's one-file image
    bool skip_flash = false;           // listed, but not written (its file is missing)
};

struct detail_job {
    std::optional<std::string> sha256;           // of flasher.ini
    std::vector<detail_image> images;            // every image of the job, in job order
    std::optional<std::string> container_sha256; // of the one-file image, for a one-file job
    bool one_file = false;
    // Every file read whole, by its path as the station opens it (not in the record): the
    // release check takes these digests rather than reading the files again.
    std::map<std::string, std::string> file_sha256;
};

// Digests of the job file at ini_path and of every image of job: each file read once, a
// container in one pass for its own digest and every section's. A file that cannot be read
// gets no digest and no size but stays listed. 0, or -ENOMEM.
int detail_job_digests(const flashini_content *job, const char *ini_path, detail_job *out);

// The signed release the job was checked against; the record's "release", null without one.
struct detail_release {
    std::string product;
    int64_t sequence = 0;
    std::string key_id;
    std::string sha256; // of release.txt
};

// ---- One run, as the station collected it ------------------------------------------------------
struct detail_step {
    std::string stage; // the "Image" text
    uint32_t start_ms; // from the phone's attach
    uint32_t ms;       // until the next stage or the result
    uint64_t bytes;    // moved over USB, both directions, during the stage
    // The stage wrote an image leaving out blank pages (misc:skip_blank): how many blocks it
    // erased instead of writing and how many trailing pages it did not send.
    bool blank_counted = false;
    uint64_t blank_blocks = 0, blank_pages = 0;
};

// What the agent reported of the NAND (get NAND info, and whether init found a bad-block table).
struct detail_nand {
    uint32_t manu_id, device_id, no_of_blocks, page_size, block_size, oob_size, bus_width;
    bool found_bbm;
};

struct detail_run {
    // Set by the attach (window thread) from what the monitor found.
    uint16_t bootrom_vid = 0, bootrom_pid = 0;
    // Set by the download thread, each before the send that follows it, and read by the window
    // thread only in the handlers of those sends.
    std::optional<std::string> bootrom_version; // "<version> <date %08X> <processor> <%02X>"
    std::optional<std::string> agent_interface; // where the agent was taken
    std::optional<std::string> agent_wait; // how the wait for it ended ("found", "timed out", ...)
    std::optional<detail_nand> nand;
    bool plugin_judged = false;
    int plugin_result = 0;
    std::string result_text;  // the Status text that follows the result (a failure's message)
    uint64_t bytes_moved = 0; // over USB since the attach, as of the latest send
    // What the latest image write left out (misc:skip_blank), for the stage it closes.
    bool blank_pending = false;
    uint64_t pending_blank_blocks = 0, pending_blank_pages = 0;
    // Window thread only.
    int64_t start_utc_ms = 0;       // attach, milliseconds since 1970 (UTC)
    std::vector<detail_step> steps; // in order; the last one open until the result
    uint64_t step_bytes_mark = 0;   // bytes_moved when the open step began
};

// Window thread: a new "Image" text at at_ms after the attach closes the open step and opens one.
void detail_run_stage(detail_run *run, const char *stage, uint32_t at_ms);
// Window thread: the result at at_ms closes the open step.
void detail_run_close(detail_run *run, uint32_t at_ms);

// ---- The line -----------------------------------------------------------------------------------
// What the run's CSV line says, and what the row knew beside it.
struct detail_row {
    int csv_line = 0; // line number in the CSV, the header being 1
    std::string fixture, die_id, interface_1, interface_2, section, status_text;
    int status_code = 0;
    // The station ended the run itself (a quit): code 1, "Station stopped", yet no failure.
    bool interrupted = false;
    int64_t start_utc_ms = 0, finish_utc_ms = 0;
    std::optional<std::string> plugin_name; // with run.plugin_judged
    // The run's diagnostic lines, in order (the last ones when there were more): milliseconds
    // since the attach, and the text.
    std::vector<std::pair<uint32_t, std::string>> diagnostics;
};

// The open .jsonl and what every line repeats. Owned by the window thread once the station runs.
struct detail_log {
    int fd = -1;
    std::string path;     // log/log_<stamp>.jsonl
    std::string csv_file; // the CSV's file name, no directory
    std::string station;  // station id
    std::string run_id;   // this program start's (station_run_id()): tells twin stations apart
    std::string program;  // the program's version
    detail_job job;
    std::optional<detail_release> release;
    int next_csv_line = 2; // the first line after the header
};

// Creates <csv_path less ".csv">.jsonl (never an existing file) and fills log's fd, path and
// csv_file; station, program and job are the caller's. 0, or a negative errno.
int detail_log_open(const std::string &csv_path, detail_log *log);
void detail_log_close(detail_log *log);

// The station's id when none is given: the host name ("unknown" when it has none).
std::string detail_default_station_id();
// The program's version, as the record's "program".
const char *detail_program_version();

// UTC ISO 8601 with milliseconds: "2026-12-09T01:15:00.123Z".
std::string detail_utc_text(int64_t utc_ms);

// The record's JSON text, one line ending in "\n". 0, or -ENOMEM.
int detail_record_format(const detail_log &log, const detail_row &row, const detail_run &run,
                         std::string *line);

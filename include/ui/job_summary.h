// ui: the job summary shown above the device list, as formatted runs. Called once by each
// front-end when its window opens: the Qt panel renders the runs as rich text, the terminal as
// ANSI (or plain text when the output is not a terminal).
#pragma once

#include <string>
#include <vector>

#include "job/job_check.h"

namespace ui
{

// One piece of text in one format. Runs are in display order; "\n" and "\t" are part of texts.
struct SummaryRun {
    std::string text;
    bool bold = false;
    bool red = false;
    bool green = false;
    bool operator==(const SummaryRun &) const = default;
};

// What the summary reads from the job, in a form a test can build directly.
struct SummaryJob {
    std::string one_file_image; // empty for a job that lists its files
    std::string description;    // the one-file image's description, may be empty
    std::string creationtime;   // 12 characters YYYYMMDDhhmm in UTC (not terminated)
    struct Entry {
        std::string filename;
        bool skip_flash = false;
    };
    std::vector<Entry> entries;
};

SummaryJob summary_job_from(const flashini_content &job);

// The summary's runs; plugin_name is null when no plug-in is loaded. The local time comes from
// the process's time zone (TZ honoured).
std::vector<SummaryRun> job_summary(const SummaryJob &job, const char *plugin_name);

// The job check's findings, shown after the summary before the first phone: each on a line of
// its own, "Problem: ..." in bold red, "Warning: ..." in red. No runs when there are none.
std::vector<SummaryRun> job_findings_runs(const std::vector<job_finding> &findings);
// The port mapping's problem (Station::port_mapping_problem) as the panel's last line, in red,
// led by "\n"; no runs when there is none. The front-ends append it once the station started.
std::vector<SummaryRun> mapping_summary(const std::string &problem);

// The job's release as a line of its own led by "\n": green when released, red (a refusal, or a
// job this station cannot call released); no runs for an empty text.
std::vector<SummaryRun> release_summary(const std::string &text, bool red);

// The text alone, runs concatenated.
std::string summary_text(const std::vector<SummaryRun> &runs);
// ANSI rendering for the terminal: bold and red as escape sequences, or none when colour is
// false.
std::string summary_ansi(const std::vector<SummaryRun> &runs, bool colour);

} // namespace ui

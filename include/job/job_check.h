// job layer: the job check. Looks at a parsed job the way the station will run it and names what
// would make phones fail, before the first phone: `bramblewick --check` prints the findings and
// the plan, the job summary panel of both front-ends shows the findings in red. Called on the
// window (main) thread at start-up, after flashini_parse_file; reads file sizes (findings) and
// file contents (the plan's SHA-256 sums), never a USB device.
//
// The phone reports its NAND geometry only when it is programmed; images that carry spare bytes
// are measured against the geometry given here (the virtual phone's and the example jobs').
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/flashini_parser.h"

struct job_geometry {
    uint32_t page_size = 2048;
    uint32_t oob_size = 64;
    uint32_t block_size = 131072;
};

// One finding, a line of text naming the entry and its file.
struct job_finding {
    bool problem;     // true: phones fail (or the layout is not what the job says); false: warning
    std::string text; // without "problem:"/"warning:" and without line end
};

// Problems, in the order of the job's entries: an image longer than its range; two image ranges
// that overlap; an erase range that overlaps an image; an end address at or before its start;
// an image file that is missing (or empty, unreadable, or outside its container) and may not be
// skipped; a BBM method the station does not know. Warnings: a missing file that will be
// skipped.
std::vector<job_finding> job_check_findings(const flashini_content &job,
                                            const job_geometry &geometry = {});

// The same, plus one warning for every image file (and the one-file image) outside the job's
// directory (the directory of job_path): an absolute path elsewhere, a ../ that climbs out, or a
// symbolic link that leads out. Such files are still read; the warning says where they are.
std::vector<job_finding> job_check_findings(const flashini_content &job,
                                            const std::string &job_path,
                                            const job_geometry &geometry = {});

// Number of findings that are problems.
int job_check_problem_count(const std::vector<job_finding> &findings);

// The plugin the station loaded, as the plan shows it; name null for none.
struct job_check_plugin {
    const char *name = nullptr;
    int extra_read_addr = 0;
    int extra_read_size = 0;
};

// The plan: every step in the order the station runs them, each image with its file, size,
// range, how full the range is, spare bytes or not, and the skip rule; the relocation area and
// chip selects; the plug-in; the container's description and date; each file's SHA-256. Lines
// end in "\n". job_path is the job file's name as the station read it.
std::string job_check_plan(const flashini_content &job, const char *job_path,
                           const job_check_plugin &plugin, const job_geometry &geometry = {});

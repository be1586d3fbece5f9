// ui: job summary runs (file names, creation time in UTC and local time, plug-in, additional
// and missing files). Called by the Qt window and the terminal front-end.
#include "ui/job_summary.h"
#include "util/printable.h"

#include "job/flashini_parser.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace ui
{

namespace
{

// Builds the runs while tracking the current format, the way a rich-text control applies
// "bold on/off" and "colour" to whatever is inserted next.
class RunWriter
{
  public:
    void bold(bool on) { bold_ = on; }
    void red(bool on) { red_ = on; }
    bool is_red() const { return red_; }
    void text(const std::string &s)
    {
        if (s.empty())
            return;
        if (!runs_.empty() && runs_.back().bold == bold_ && runs_.back().red == red_)
            runs_.back().text += s;
        else
            runs_.push_back({s, bold_, red_});
    }
    std::vector<SummaryRun> take() { return std::move(runs_); }

  private:
    std::vector<SummaryRun> runs_;
    bool bold_ = false;
    bool red_ = false;
};

// "%.4s-%.2s-%.2s %.2s:%.2s" over the twelve characters, each piece stopping early at a
// terminator just as %.Ns does.
std::string creation_text(const std::string &ct)
{
    std::string padded = ct.substr(0, 12);
    padded.resize(12, '\0');
    auto piece = [&](size_t pos, size_t len) {
        std::string s = padded.substr(pos, len);
        return s.substr(0, s.find('\0'));
    };
    return piece(0, 4) + "-" + piece(4, 2) + "-" + piece(6, 2) + " " + piece(8, 2) + ":" +
           piece(10, 2);
}

// The creation time (UTC) in local time, with the zone's standard offset in hours.
std::string local_creation_text(const std::string &utc_text)
{
    short year = 0, month = 0, day = 0, hour = 0, minute = 0;
    // Fields the text does not carry stay 0, as a zeroed record would.
    std::sscanf(utc_text.c_str(), "%hd-%hd-%hd %hd:%hd", &year, &month, &day, &hour, &minute);

    tzset();
    struct tm utc = {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    time_t t = timegm(&utc);
    struct tm local = {};
    char buf[128];
    if (t == static_cast<time_t>(-1) || !localtime_r(&t, &local)) {
        // Out of the C library's range: show the UTC fields unchanged rather than garbage.
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
    }
    // glibc's timezone holds the standard (non-DST) offset in seconds west of UTC.
    // (0.0 - x keeps UTC itself from printing as "-0.0".)
    double standard_hours = 0.0 - static_cast<double>(timezone) / 3600.0;
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d + %2.1f Hrs (Local time)",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, standard_hours);
    return buf;
}

void one_file_job(RunWriter &w, const SummaryJob &job, const char *plugin_name)
{
    w.text(job.one_file_image);
    if (!job.description.empty())
        w.text(" [" + job.description + "]");
    w.text("\n");
    w.bold(true);
    w.text("Creation Time: ");
    w.bold(false);
    std::string utc = creation_text(job.creationtime);
    w.text(utc + " (UTC)");
    w.bold(true);
    w.text(",\t");
    w.bold(false);
    w.text(local_creation_text(utc));
    if (plugin_name)
        w.text(std::string("\nUsing external plugin: ") + plugin_name);

    bool first = true;
    for (const auto &e : job.entries) {
        if (e.filename == job.one_file_image)
            continue; // carried by the container
        if (first) {
            w.bold(true);
            w.text("\nAdditional files: ");
            w.bold(false);
            first = false;
        } else {
            w.text(", ");
        }
        if (e.skip_flash) {
            bool was_red = w.is_red();
            w.bold(true);
            w.red(true);
            w.text(e.filename + "[missing, skip allowed]");
            w.red(was_red);
            w.bold(false);
        } else {
            w.text(e.filename);
        }
    }
}

void list_job(RunWriter &w, const SummaryJob &job)
{
    for (size_t i = 0; i < job.entries.size(); ++i) {
        const auto &e = job.entries[i];
        if (e.skip_flash) {
            bool was_red = w.is_red();
            w.red(true);
            w.text(e.filename + "[missing and skip]");
            w.red(was_red);
        } else {
            w.text(e.filename);
        }
        if (i + 1 < job.entries.size())
            w.text(", ");
    }
}

} // namespace

SummaryJob summary_job_from(const flashini_content &c)
{
    SummaryJob job;
    job.one_file_image.assign(c.one_file_image, strnlen(c.one_file_image, sizeof c.one_file_image));
    job.description.assign(
        c.one_file_image_description,
        strnlen(c.one_file_image_description, sizeof c.one_file_image_description));
    job.creationtime.assign(c.creationtime, sizeof c.creationtime);
    if (c.partition_info_list) {
        for (int i = 0; i < c.partition_info_list->no_of_partition_info; ++i) {
            const flashini_partition_info &p = c.partition_info_list->partition_info[i];
            job.entries.push_back({std::string(p.filename, strnlen(p.filename, sizeof p.filename)),
                                   p.skip_flash != 0});
        }
    }
    return job;
}

std::vector<SummaryRun> job_summary(const SummaryJob &job, const char *plugin_name)
{
    RunWriter w;
    w.bold(true);
    w.text("Filename: ");
    w.bold(false);
    if (!job.one_file_image.empty())
        one_file_job(w, job, plugin_name);
    else
        list_job(w, job);
    return w.take();
}

std::vector<SummaryRun> job_findings_runs(const std::vector<job_finding> &findings)
{
    std::vector<SummaryRun> runs;
    for (const job_finding &f : findings)
        runs.push_back({std::string("\n") + (f.problem ? "Problem: " : "Warning: ") + f.text,
                        f.problem, true});
    return runs;
}

std::vector<SummaryRun> mapping_summary(const std::string &problem)
{
    if (problem.empty())
        return {};
    return {{"\n", false, false}, {problem, false, true}};
}

std::vector<SummaryRun> release_summary(const std::string &text, bool red)
{
    if (text.empty())
        return {};
    SummaryRun line{text, true, red};
    line.green = !red;
    return {{"\n", false, false}, line};
}

std::string summary_text(const std::vector<SummaryRun> &runs)
{
    std::string s;
    for (const auto &r : runs)
        s += r.text;
    return s;
}

std::string summary_ansi(const std::vector<SummaryRun> &runs, bool colour)
{
    if (!colour)
        return printable(summary_text(runs));
    std::string s;
    for (const auto &r : runs) {
        const char *hue = r.red ? "31" : r.green ? "32" : "";
        if (r.bold || *hue)
            s += std::string("\033[") + (r.bold ? "1" : "") + (r.bold && *hue ? ";" : "") + hue +
                 "m" + printable(r.text) + "\033[0m";
        else
            s += printable(r.text);
    }
    return s;
}

} // namespace ui

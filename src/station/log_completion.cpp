// station core: completing half-written logs, at start-up on the main thread.
#include "station/log_completion.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>
#include <vector>

#include "record/csv_lines.h"
#include "record/detail_record.h"
#include "station/durable_log.h"
#include "station/production_log.h"

namespace
{

using json = nlohmann::json;

// The detail record's "2026-12-09T01:15:00.123Z" as the station's local time; false when the
// text is not one.
bool local_time_of(const json &j, const char *key, station_time *out)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_string())
        return false;
    struct tm tm {
    };
    int ms = 0;
    if (std::sscanf(it->get_ref<const std::string &>().c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ",
                    &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec,
                    &ms) != 7)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const time_t t = timegm(&tm);
    *out = station_local_time_at(static_cast<int64_t>(t) * 1000 + ms);
    return true;
}

std::string text_of(const json &j, const char *key)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_string())
        return {};
    return detail_unescape_text(it->get_ref<const std::string &>());
}

// The CSV line of a detail record, or empty when it lacks what the line needs.
std::string csv_line_of(const json &j)
{
    station_time start{}, finish{};
    auto code = j.find("status_code");
    if (!local_time_of(j, "finish", &finish) || code == j.end() || !code->is_number_integer())
        return {};
    const bool has_start = local_time_of(j, "start", &start);
    return log_format_fields(text_of(j, "fixture").c_str(), text_of(j, "die_id").c_str(),
                             has_start ? &start : nullptr, finish, text_of(j, "section").c_str(),
                             code->get<int>());
}

// The file's whole content. 0, or a negative errno.
int read_file(const std::string &path, std::string *out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    char buf[65536];
    int r = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r = n < 0 ? -errno : 0;
            break;
        }
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return r;
}

// The CSV lines the detail lines past csv_count hold, in order, stopping at one that cannot
// be made or would leave a gap (*why says which).
std::string missing_lines(const std::string &detail, long csv_count, int *added, std::string *why)
{
    std::string lines;
    long line_no = 0;
    for (size_t at = 0, nl; (nl = detail.find('\n', at)) != std::string::npos; at = nl + 1) {
        ++line_no;
        json j = json::parse(detail.begin() + static_cast<long>(at),
                             detail.begin() + static_cast<long>(nl), nullptr, false);
        auto n = j.is_object() ? j.find("csv_line") : j.end();
        if (n == j.end() || !n->is_number_integer())
            continue; // not a record: the shipper reports it when it refuses it
        const long csv_line = n->get<long>();
        if (csv_line <= csv_count)
            continue;
        std::string line = csv_line == csv_count + 1 ? csv_line_of(j) : std::string();
        if (line.empty()) {
            *why = "detail line " + std::to_string(line_no) + " (CSV line " +
                   std::to_string(csv_line) + ") cannot complete the CSV, which ends at line " +
                   std::to_string(csv_count);
            break;
        }
        lines += line;
        ++csv_count;
        ++*added;
    }
    return lines;
}

} // namespace

int log_complete(const std::string &csv_path, const std::string &jsonl_path, int *added,
                 std::string *why)
{
    *added = 0;
    why->clear();
    std::string detail;
    int r = read_file(jsonl_path, &detail);
    if (r != 0) {
        *why = "cannot read " + jsonl_path + ": " + std::strerror(-r);
        return r;
    }
    int fd = open(csv_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        r = -errno;
        *why = "cannot open " + csv_path + ": " + std::strerror(-r);
        return r;
    }
    csv_lines csv;
    r = csv_lines_read(&csv, fd);
    const std::string lines = r == 0 ? missing_lines(detail, csv.count, added, why) : "";
    if (r != 0 || lines.empty()) {
        if (r != 0)
            *why = "cannot read " + csv_path + ": " + std::strerror(-r);
        close(fd);
        return r;
    }
    // A CSV line cut off by the kill gives way to the whole line.
    if (csv.scanned > csv.end && ftruncate(fd, csv.end) != 0) {
        r = -errno;
        close(fd);
        *added = 0;
        *why = "cannot cut off the part-written line of " + csv_path + ": " + std::strerror(-r);
        return r;
    }
    durable_file f;
    if ((r = durable_file_adopt(&f, fd, csv_path)) == 0)
        r = durable_file_append(&f, lines.data(), lines.size());
    durable_file_close(&f);
    if (r != 0) {
        *added = 0;
        *why = "cannot write " + csv_path + ": " + std::strerror(-r);
    }
    return r;
}

int log_complete_dir(const std::string &dir, FILE *report)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return errno == ENOENT ? 0 : -errno;
    std::vector<std::string> bases;
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        const std::string ext = ".jsonl";
        if (name.size() > 4 + ext.size() && name.compare(0, 4, "log_") == 0 &&
            name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            bases.push_back(dir + "/" + name.substr(0, name.size() - ext.size()));
    }
    closedir(d);
    std::sort(bases.begin(), bases.end());
    int first = 0;
    for (const std::string &base : bases) {
        if (access((base + ".csv").c_str(), F_OK) != 0)
            continue; // no CSV to complete: an operator removed it
        int added = 0;
        std::string why;
        int r = log_complete(base + ".csv", base + ".jsonl", &added, &why);
        if (added > 0)
            fprintf(report,
                    "bramblewick: %s.csv: %d line%s completed from the detail record (the station "
                    "stopped between the two)\n",
                    base.c_str(), added, added == 1 ? "" : "s");
        if (!why.empty())
            fprintf(report, "bramblewick: %s\n", why.c_str());
        if (r != 0 && first == 0)
            first = r;
    }
    return first;
}

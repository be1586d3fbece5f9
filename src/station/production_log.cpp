// station core: the CSV production log. log_create_file is called by the program at start-up,
// log_adopt by the station's constructor, the rest by the result handler (DeviceCompleted), the
// one-second timer and the front-ends, in the window thread.
#include "station/production_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool sync_dir(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

} // namespace

FILE *log_create_file(const char *dir, const station_time &when, std::string *path)
{
    mkdir(dir, 0777); // an existing directory is fine
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02d%02d%02d", when.wYear, when.wMonth, when.wDay,
             when.wHour, when.wMinute, when.wSecond);
    // Never truncate an earlier run's log: a second start within the same second gets a name of
    // its own.
    for (int n = 1; n <= 1000; n++) {
        char suffix[16] = "";
        if (n > 1)
            snprintf(suffix, sizeof suffix, "_%d", n);
        const std::string name = std::string(dir) + "/log_" + stamp + suffix + ".csv";
        // Read-write: should the file be removed, its content is read back to make it again.
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        FILE *f = fdopen(fd, "w");
        if (!f) {
            close(fd);
            unlink(name.c_str());
            return nullptr;
        }
        // The file and its name on disk before any phone is taken.
        if (fputs(LOG_HEADER, f) == EOF || fflush(f) != 0 || fdatasync(fd) != 0 || !sync_dir(dir)) {
            fclose(f);
            unlink(name.c_str());
            return nullptr;
        }
        if (path)
            *path = name;
        return f;
    }
    return nullptr;
}

void csv_append_field(std::string &line, const char *field)
{
    if (!strpbrk(field, ",\"\r\n")) {
        line += field;
        return;
    }
    line += '"';
    for (const char *c = field; *c; c++) {
        if (*c == '"')
            line += '"';
        line += *c;
    }
    line += '"';
}

static void append_time(std::string &line, const station_time &t)
{
    char buf[40];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond);
    line += buf;
}

std::string log_format_fields(const char *fixture, const char *die_id, const station_time *start,
                              const station_time &finish, const char *section, int status_code)
{
    std::string line;
    csv_append_field(line, fixture);
    line += ',';
    csv_append_field(line, die_id);
    line += ',';
    if (start)
        append_time(line, *start);
    line += ',';
    append_time(line, finish);
    line += ',';
    csv_append_field(line, section);
    line += ',';
    line += std::to_string(status_code);
    line += "\r\n";
    return line;
}

int log_adopt(durable_log *log, FILE *stream, const std::string &path)
{
    durable_log_close(log);
    log->files.clear();
    int r = fflush(stream) == 0 ? 0 : -errno;
    int fd = r == 0 ? dup(fileno(stream)) : -1;
    if (r == 0 && fd < 0)
        r = -errno;
    fclose(stream);
    if (r != 0)
        return r;
    durable_file f;
    if ((r = durable_file_adopt(&f, fd, path)) != 0)
        return r;
    log->files.push_back(std::move(f));
    return 0;
}

std::string log_format_run(const std::string &fixture, const std::string &die_id,
                           const station_time *start, const station_time &finish,
                           const std::string &section, int status_code)
{
    // Cut where the list control's fields cut them.
    return log_format_fields(fixture.substr(0, 29).c_str(), die_id.substr(0, 29).c_str(), start,
                             finish, section.substr(0, 255).c_str(), status_code);
}

int log_write_line(durable_log *log, std::string line, const std::string *detail_line)
{
    if (log->files.empty())
        return 0;
    std::vector<std::string> parts;
    if (log->files.size() > 1)
        parts.push_back(detail_line ? *detail_line : std::string());
    parts.push_back(std::move(line));
    return durable_log_write(log, std::move(parts));
}

std::string log_alarm_text(const durable_log &log)
{
    if (log.kept.empty())
        return {};
    const size_t n = log.kept.size();
    return "Production log cannot be written (" + std::string(strerror(-log.error)) + ": " +
           log.error_path + "): " + std::to_string(n) + (n == 1 ? " line" : " lines") +
           " kept; no new phone is taken until it can be written";
}

void log_report_unwritten(const durable_log &log, FILE *to)
{
    if (log.kept.empty())
        return;
    fprintf(to, "bramblewick: %zu production log entries could not be written; their lines:\n",
            log.kept.size());
    for (const durable_entry &e : log.kept)
        for (size_t i = e.written; i < e.parts.size() && i < log.files.size(); ++i)
            fprintf(to, "%s: %s", log.files[i].path.c_str(), e.parts[i].c_str());
    fflush(to);
}

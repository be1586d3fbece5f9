// station core: the CSV production log. log_create_file is called by the program at start-up,
// log_msg by the result handler (DeviceCompleted) in the window thread.
#include "station/production_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
        if (fputs(LOG_HEADER, f) == EOF || fflush(f) != 0) {
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

std::string log_format_line(const DeviceList &list, int nItem, const station_time &finish)
{
    const tag_list_item *item = list.GetItemData(nItem);
    char die_id[30];
    char fixture[30];
    char section[256];
    list.GetItemText(nItem, COL_DIE_ID, die_id, sizeof die_id);
    list.GetItemText(nItem, COL_FIXTURE_ID, fixture, sizeof fixture);
    list.GetItemText(nItem, COL_IMAGE, section, sizeof section);

    std::string line;
    csv_append_field(line, fixture);
    line += ',';
    csv_append_field(line, die_id);
    line += ',';
    if (item)
        append_time(line, item->startTime);
    line += ',';
    append_time(line, finish);
    line += ',';
    csv_append_field(line, section);
    line += ',';
    line += std::to_string(item ? item->status_code : 0);
    line += "\r\n";
    return line;
}

void log_msg(FILE *logging_fd, const DeviceList &list, int nItem)
{
    log_msg(logging_fd, list, nItem, station_local_time());
}

void log_msg(FILE *logging_fd, const DeviceList &list, int nItem, const station_time &finish)
{
    if (!logging_fd || !list.GetItemData(nItem))
        return;
    std::string line = log_format_line(list, nItem, finish);
    fwrite(line.data(), 1, line.size(), logging_fd);
    fflush(logging_fd);
}

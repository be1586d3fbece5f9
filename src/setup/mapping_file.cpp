// setup: the port mapping file's writer (see setup/mapping_file.h). Runs on the front-end's
// thread after --learn-ports has ended.
#include "setup/mapping_file.h"

#include "station/device_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace setup
{
namespace
{

namespace fs = std::filesystem;

// Interface names come from enumeration (hub port paths, "1-1.4.2"); anything that iniparser
// would read as a comment, a quote or a section must not reach the file.
bool name_fits(const std::string &name)
{
    if (name.empty() || name.size() >= STATION_NAME_MAX)
        return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-' || c == '.' || c == '_' || c == ':'))
            return false;
    return true;
}

std::string dir_of(const std::string &path)
{
    fs::path dir = fs::path(path).parent_path();
    return dir.empty() ? "." : dir.string();
}

std::string utc_stamp(const char *format)
{
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char buf[64];
    strftime(buf, sizeof buf, format, &tm);
    return buf;
}

int fail(std::string *error, const std::string &what)
{
    *error = what;
    return -1;
}

// Writes text to a new file and makes it durable; 0 or -1 (errno set, the file removed).
int write_durably(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    int saved = 0;
    if (done != text.size() || fsync(fd) != 0)
        saved = errno ? errno : EIO;
    if (close(fd) != 0 && !saved)
        saved = errno;
    if (saved) {
        unlink(path.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

} // namespace

std::string format_port_mapping(const std::vector<PortEntry> &entries, const std::string &stamp)
{
    std::string out = "# Fixture port mapping: the hub port (interface name) of every fixture.\n"
                      "# Written by bramblewick --learn-ports, " +
                      stamp + ".\n[ports]\nNoOfPorts = " + std::to_string(entries.size()) + "\n";
    for (size_t i = 0; i < entries.size(); ++i)
        out += "\n[Port" + std::to_string(i + 1) +
               "]\nInterfaceName = " + entries[i].interface_name +
               "\nPortNo = " + std::to_string(entries[i].fixture) + "\n";
    return out;
}

int check_mapping_writable(const std::string &path, std::string *error)
{
    // The nearest directory that exists must let us in: below it the rest can be made.
    fs::path dir = dir_of(path);
    std::error_code ec;
    while (!fs::exists(dir, ec) && dir.has_parent_path() && dir != dir.parent_path())
        dir = dir.parent_path();
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        const std::string why = strerror(errno);
        return fail(error, "cannot write " + path + ": " + dir.string() + ": " + why +
                               " (run as root, or give another FILE)");
    }
    if (fs::is_directory(path, ec))
        return fail(error, "cannot write " + path + ": it is a directory");
    return 0;
}

int write_port_mapping(const std::string &path, const std::vector<PortEntry> &entries,
                       std::string *backup, std::string *error)
{
    backup->clear();
    if (entries.empty())
        return fail(error, "no port entries to write");
    if (entries.size() > MAPPING_MAX_ENTRIES)
        return fail(error, "more than " + std::to_string(int(MAPPING_MAX_ENTRIES)) +
                               " port entries: the station reads no more");
    for (const PortEntry &e : entries)
        if (!name_fits(e.interface_name) || e.fixture < 1)
            return fail(error, "port entry \"" + e.interface_name + "\" (fixture " +
                                   std::to_string(e.fixture) + ") cannot be written");

    std::error_code ec;
    fs::create_directories(dir_of(path), ec);
    if (ec)
        return fail(error, "cannot make " + dir_of(path) + ": " + ec.message());

    const std::string tmp = path + ".new";
    if (write_durably(tmp, format_port_mapping(entries, utc_stamp("%Y-%m-%d %H:%M:%S UTC"))) != 0) {
        const std::string why = strerror(errno);
        return fail(error, "cannot write " + tmp + ": " + why);
    }

    // The previous file stays under a name of its own; a second run in the same second gets
    // a numbered one rather than overwriting the first copy.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        std::string base = path + ".bak-" + utc_stamp("%Y%m%d-%H%M%S");
        std::string name = base;
        for (int n = 2; fs::exists(name, ec); ++n)
            name = base + "." + std::to_string(n);
        fs::copy_file(path, name, ec);
        if (ec) {
            unlink(tmp.c_str());
            return fail(error,
                        "cannot keep a copy of " + path + " as " + name + ": " + ec.message());
        }
        *backup = name;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return fail(error, "cannot replace " + path + ": " + strerror(e));
    }
    int dfd = open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd); // the rename itself survives a power cut
        close(dfd);
    }
    return 0;
}

} // namespace setup

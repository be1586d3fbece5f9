// station core: durable append-only files. Called by the production log in the window thread.
#include "station/durable_log.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int pwrite_all(int fd, const char *p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return -errno;
        if (w == 0)
            return -EIO;
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return 0;
}

// True when the open file has no name any more (it, or its directory, was removed): what is
// written to it then is lost when it is closed.
bool removed(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_nlink == 0;
}

std::string parent_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p
int make_dirs(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
    std::string up = parent_of(dir);
    if (up != dir) {
        if (int r = make_dirs(up))
            return r;
    }
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return -errno;
    return 0;
}

// A new file's name must survive a power cut too.
int sync_dir(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int r = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

// Makes the removed file again at its path with its first `keep` bytes, read back from the
// old, nameless one.
int remake(durable_file *f, off_t keep)
{
    if (f->path.empty())
        return -ENOENT;
    const std::string dir = parent_of(f->path);
    if (int r = make_dirs(dir))
        return r;
    // Never over another file that took the name meanwhile.
    int nfd = open(f->path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (nfd < 0)
        return -errno;
    int r = 0;
    char buf[65536];
    for (off_t at = 0; r == 0 && at < keep;) {
        size_t want = static_cast<size_t>(std::min<off_t>(keep - at, sizeof buf));
        ssize_t n = pread(f->fd, buf, want, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r = n < 0 ? -errno : -EIO;
            break;
        }
        r = pwrite_all(nfd, buf, static_cast<size_t>(n), at);
        at += n;
    }
    if (r == 0 && fdatasync(nfd) != 0)
        r = -errno;
    if (r == 0)
        r = sync_dir(dir);
    if (r != 0) {
        close(nfd);
        unlink(f->path.c_str());
        return r;
    }
    close(f->fd);
    f->fd = nfd;
    return 0;
}

} // namespace

int durable_file_adopt(durable_file *f, int fd, const std::string &path)
{
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        int r = -errno;
        close(fd);
        return r;
    }
    durable_file_close(f);
    f->fd = fd;
    f->path = path;
    f->good_end = end;
    return 0;
}

int durable_file_open(durable_file *f, const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    return durable_file_adopt(f, fd, path);
}

void durable_file_close(durable_file *f)
{
    if (f->fd < 0)
        return;
    struct stat st;
    if (fstat(f->fd, &st) == 0 && st.st_size > f->good_end)
        (void)!ftruncate(f->fd, f->good_end);
    close(f->fd);
    f->fd = -1;
}

int durable_file_append(durable_file *f, const char *data, size_t size)
{
    if (f->fd < 0)
        return -EBADF;
    int r = 0;
    if (removed(f->fd) && (r = remake(f, f->good_end)) != 0)
        return r;
    r = pwrite_all(f->fd, data, size, f->good_end);
    if (r == 0 && fdatasync(f->fd) != 0)
        r = -errno;
    if (r != 0) {
        // A disk that filled up part-way through leaves the head of the line: cut it off. Should
        // that fail too, the next attempt overwrites those bytes with the same line.
        (void)!ftruncate(f->fd, f->good_end);
        return r;
    }
    // Removed while we wrote: the line is only in the nameless file, so it goes with the rest.
    if (removed(f->fd) && (r = remake(f, f->good_end + static_cast<off_t>(size))) != 0)
        return r;
    f->good_end += static_cast<off_t>(size);
    return 0;
}

int durable_log_flush(durable_log *log)
{
    while (!log->kept.empty()) {
        durable_entry &e = log->kept.front();
        while (e.written < e.parts.size()) {
            durable_file &f = log->files.at(e.written);
            const std::string &part = e.parts[e.written];
            if (int r = durable_file_append(&f, part.data(), part.size())) {
                log->error = r;
                log->error_path = f.path;
                return r;
            }
            ++e.written;
        }
        log->kept.pop_front();
    }
    log->error = 0;
    log->error_path.clear();
    return 0;
}

int durable_log_write(durable_log *log, std::vector<std::string> parts)
{
    parts.resize(log->files.size());
    log->kept.push_back(durable_entry{std::move(parts), 0});
    return durable_log_flush(log);
}

void durable_log_close(durable_log *log)
{
    for (durable_file &f : log->files)
        durable_file_close(&f);
}

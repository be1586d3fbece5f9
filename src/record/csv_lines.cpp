// record: CSV line counting. The caller's thread; nothing shared.
#include "record/csv_lines.h"

#include <cerrno>
#include <unistd.h>

void csv_lines_feed(csv_lines *lines, const char *data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        // A doubled quote inside a quoted field toggles twice: still inside.
        if (data[i] == '"') {
            lines->quoted = !lines->quoted;
        } else if (data[i] == '\n' && !lines->quoted) {
            lines->count++;
            lines->end = lines->scanned + static_cast<off_t>(i) + 1;
        }
    }
    lines->scanned += static_cast<off_t>(size);
}

int csv_lines_read(csv_lines *lines, int fd)
{
    char buf[65536];
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, lines->scanned);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return 0;
        csv_lines_feed(lines, buf, static_cast<size_t>(n));
    }
}

// benchmark of the production log's durability: the cost per phone (one CSV line each) of the
// durable write (write + fdatasync, durable_log.h) next to the buffered write it replaced
// (fwrite + fflush, no sync), on the same filesystem in the same run.
//
// Prints a Markdown section; nothing here asserts on time.
// Usage: bench_log [directory, default: the working directory] [lines, default 200]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/vfs.h>
#include <unistd.h>

#include "station/durable_log.h"

namespace
{

using clock_type = std::chrono::steady_clock;

const char kLine[] = "3,,2026-12-09 01:15:00,2026-12-09 01:16:12,Finished,0\r\n";

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    const int lines = argc > 2 ? atoi(argv[2]) : 200;
    if (lines < 1) {
        fprintf(stderr, "usage: bench_log [directory] [lines, 1 or more]\n");
        return 2;
    }
    const std::string durable_path = dir + "/bench_log_durable.csv";
    const std::string buffered_path = dir + "/bench_log_buffered.csv";
    unlink(durable_path.c_str());

    durable_log log;
    log.files.emplace_back();
    if (int r = durable_file_open(&log.files[0], durable_path)) {
        fprintf(stderr, "bench_log: cannot open %s: error %d\n", durable_path.c_str(), r);
        return 1;
    }
    auto t0 = clock_type::now();
    for (int i = 0; i < lines; ++i)
        if (durable_log_write(&log, {kLine}) != 0) {
            fprintf(stderr, "bench_log: a durable write failed\n");
            return 1;
        }
    const double durable = seconds_since(t0) / lines;
    durable_log_close(&log);

    FILE *f = fopen(buffered_path.c_str(), "w");
    if (!f) {
        fprintf(stderr, "bench_log: cannot open %s\n", buffered_path.c_str());
        return 1;
    }
    t0 = clock_type::now();
    for (int i = 0; i < lines; ++i) {
        fwrite(kLine, 1, sizeof kLine - 1, f);
        fflush(f);
    }
    const double buffered = seconds_since(t0) / lines;
    fclose(f);

    struct statfs sf {
    };
    statfs(dir.c_str(), &sf);
    unlink(durable_path.c_str());
    unlink(buffered_path.c_str());

    printf("## Production log\n\n");
    printf("One CSV line per phone, %d lines, in %s (filesystem type 0x%lx).\n\n", lines,
           dir.c_str(), static_cast<unsigned long>(sf.f_type));
    printf("| figure | value | measured against (same run) |\n|---|---|---|\n");
    printf("| durable line (write + fdatasync), per phone | %.1f us | buffered line (fwrite + "
           "fflush, no sync, as before): %.1f us; the durable one costs %.0fx that |\n",
           durable * 1e6, buffered * 1e6, buffered > 0 ? durable / buffered : 0.0);
    return 0;
}

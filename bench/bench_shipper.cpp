// benchmark of the factory record: how fast the shipper moves detail records into a local
// PostgreSQL (in batches, next to one statement per record), and how long the backlog of a
// shift written while the database was down takes to drain once it is back (next to what the
// measured rate predicts; the shipper's reconnect back-off is part of the real figure).
//
// Prints figures only; nothing here asserts on time. Usage: bench_shipper [records] [backlog]
// (default 5000 and 1000). Runs a throwaway server of its own (tests/support/pg_cluster).
#include "recorddb/record_maker.h"
#include "recorddb/shipper.h"
#include "support/pg_cluster.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <libpq-fe.h>
#include <thread>
#include <unistd.h>

namespace
{

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

bool admin(const PgCluster &c, const std::string &sql)
{
    std::string error;
    pg_query(c.conninfo(), sql, &error);
    return error.empty();
}

// A log directory holding `records` phones of one shift; its path.
std::string write_shift(int records)
{
    char tmpl[] = "/tmp/bw-bench-ship-XXXXXX";
    if (!mkdtemp(tmpl))
        return "";
    std::vector<std::string> lines;
    for (int l = 2; l < records + 2; ++l)
        lines.push_back(make_record("bench", "log_20261209_011500.csv", l, l % 20 != 0).dump());
    append_lines(std::string(tmpl) + "/log_20261209_011500.jsonl", lines);
    return tmpl;
}

ShipperOptions options(const PgCluster &c, const std::string &db, const std::string &dir)
{
    ShipperOptions o;
    o.conninfo = c.conninfo() + " dbname=" + db;
    o.log_dir = dir;
    o.report = nullptr; // the outage's lines are expected here
    return o;
}

// Seconds until the shipper has confirmed `records`, or -1 after a minute.
double time_to_ship(Shipper &s, long records, clock_type::time_point t0)
{
    while (seconds_since(t0) < 600) {
        ShipperState st = s.state();
        if (st.confirmed >= records && st.waiting == 0)
            return seconds_since(t0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

double rate(const PgCluster &c, const char *db, int records, int batch)
{
    std::string dir = write_shift(records);
    if (dir.empty() || !admin(c, std::string("CREATE DATABASE ") + db))
        return -1;
    ShipperOptions o = options(c, db, dir);
    o.batch_records = batch;
    double t;
    {
        Shipper s(o);
        auto t0 = clock_type::now();
        s.start();
        t = time_to_ship(s, records, t0);
    }
    std::filesystem::remove_all(dir);
    return t > 0 ? records / t : -1;
}

} // namespace

int main(int argc, char **argv)
{
    int records = argc > 1 ? std::atoi(argv[1]) : 5000;
    int backlog = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (records < 1 || backlog < 1) {
        std::fprintf(stderr, "usage: bench_shipper [records] [backlog]\n");
        return 2;
    }
    std::printf("## Factory record (PostgreSQL)\n\n");
    PgCluster cluster;
    std::string why;
    if (!cluster.create(&why)) {
        std::printf("Not measured: %s.\n", why.c_str());
        return 0;
    }

    // 1. Rate: the shipper's batches, next to one statement per record.
    double batched = rate(cluster, "rate_batched", records, 500);
    int single_records = std::min(records, 2000);
    double single = rate(cluster, "rate_single", single_records, 1);

    // 2. The backlog: a shift written while the server was down, shipped once it is back.
    std::string dir = write_shift(0);
    admin(cluster, "CREATE DATABASE backlog");
    double drain = -1, after_connect = -1;
    {
        Shipper s(options(cluster, "backlog", dir));
        cluster.stop("fast");
        s.start();
        std::vector<std::string> lines;
        for (int l = 2; l < backlog + 2; ++l)
            lines.push_back(make_record("bench", "log_20261209_011500.csv", l, true).dump());
        append_lines(dir + "/log_20261209_011500.jsonl", lines);
        while (s.state().waiting < backlog)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // Down long enough for the back-off to have grown as in a real outage.
        std::this_thread::sleep_for(std::chrono::seconds(8));
        cluster.start();
        auto t0 = clock_type::now();
        clock_type::time_point connected{};
        while (seconds_since(t0) < 600) {
            ShipperState st = s.state();
            if (st.connected && connected == clock_type::time_point{})
                connected = clock_type::now();
            if (st.confirmed >= backlog && st.waiting == 0) {
                drain = seconds_since(t0);
                after_connect =
                    std::chrono::duration<double>(clock_type::now() - connected).count();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    std::filesystem::remove_all(dir);

    std::printf("A throwaway server on a Unix socket of this machine (fsync off); records of ~%zu "
                "bytes.\n\n",
                make_record("bench", "log_20261209_011500.csv", 2, true).dump().size());
    std::printf("| figure | value | measured against (same run) |\n|---|---|---|\n");
    std::printf("| shipping rate, %d records, batches of 500 | %.0f records/s | batches of one "
                "record (%d records): %.0f records/s |\n",
                records, batched, single_records, single);
    std::printf("| backlog of a %d-phone shift written while the database was down: from the "
                "server's start to up to date | %.2f s | the batched rate predicts %.2f s; the "
                "rest is the reconnect back-off (at most 30 s) |\n",
                backlog, drain, batched > 0 ? backlog / batched : -1.0);
    std::printf("| the same, from the shipper's reconnect to up to date | %.2f s | |\n",
                after_connect);
    return 0;
}

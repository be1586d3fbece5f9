// benchmark of the live state with 64 fixtures: a station flashing 64 virtual phones at once,
// first without the live state, then with its writer on a throwaway PostgreSQL server. Prints
// the live-state writes per second and the CPU they cost the station (the writer's own thread,
// and the whole process's difference) against the flashing's own CPU in the same run.
//
// Prints a Markdown section. Prints figures only; nothing here asserts on time.
// Usage: bench_live [MiB per phone, default 8] [rounds of 64 phones, default 2]
//
// The board is fed by the station's run events. Until the station publishes them, the rows'
// changes stand in: each change of a row becomes the same snapshot an event would carry, so the
// writer sees the same rate of changes. The report says which feed ran.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "job/flashini_parser.h"
#include "live/live_writer.h"
#include "station/station.h"
#include "support/pg_cluster.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

namespace
{

using clock_type = std::chrono::steady_clock;

using bench::cpu_seconds;
using bench::seconds_since;

// CPU seconds of this process's threads named `name` (live or ended since: only live ones).
double thread_cpu_seconds(const char *name)
{
    double total = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string c;
        std::getline(comm, c);
        if (c != name)
            continue;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string f;
        unsigned long ut = 0, st = 0;
        for (int i = 1; i <= 13 && rest >> f; ++i) {
            if (i == 12)
                ut = std::stoul(f);
            if (i == 13)
                st = std::stoul(f);
        }
        total += static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(d);
    return total;
}

flashini_content *make_job(const bench::TempDir &dir, size_t mib)
{
    const std::string image = (dir.path / "image.bin").string();
    bench::write_random_file(image, mib);
    const std::string ini = (dir.path / "flasher.ini").string();
    std::ofstream(ini) << "[misc]\ncrc = 1\n[map]\ntotal = 1\n[map1]\nfilename = " << image
                       << "\ndesc = image\nnand_loc = 0\nnand_loc_end = " << (mib << 20) << "\n";
    return flashini_parse_file(ini.c_str());
}

// 64 fixtures, each known by its boot ROM name (a mapping holds 64 entries).
std::string write_mapping(const bench::TempDir &dir)
{
    std::string s = "[ports]\nNoOfPorts = 64\n";
    for (int k = 1; k <= 64; k++)
        s += "[Port" + std::to_string(k) + "]\nInterfaceName = sim-f" + std::to_string(k) +
             "\nPortNo = " + std::to_string(k) + "\n";
    const std::string path = (dir.path / "ports.ini").string();
    std::ofstream(path) << s;
    return path;
}

// The snapshot a run event would carry for `row`, from the row itself.
run_snapshot row_snapshot(const DeviceList &list, int row)
{
    run_snapshot s;
    s.row = row;
    s.fixture = std::atoi(list.text(row, COL_FIXTURE_ID).c_str());
    s.stage = list.text(row, COL_IMAGE);
    s.status_text = list.text(row, COL_STATUS);
    const std::string progress = list.text(row, COL_PROGRESS);
    s.progress_percent = progress.empty() ? -1 : std::atoi(progress.c_str());
    const tag_list_item *rec = list.GetItemData(row);
    s.state = !rec                    ? fixture_state::idle
              : !rec->completed       ? fixture_state::running
              : rec->status_code == 0 ? fixture_state::passed
                                      : fixture_state::failed;
    return s;
}

struct Round {
    double seconds = 0, cpu = 0, writer_cpu = 0;
    long events = 0, stand_in = 0, fixture_writes = 0, station_writes = 0;
};

// One round of 64 phones; with a writer when `conninfo` is not empty.
bool run_round(const flashini_content *job, const std::vector<uint8_t> &dkb,
               const std::string &mapping, const std::string &conninfo, Round *r)
{
    station_options o;
    o.ini_content = job;
    o.dkb_buf = dkb.data();
    o.dkb_size = static_cast<int>(dkb.size());
    o.port_mapping_path = mapping;
    o.ack_period_ms = 1000;
    Station station(o);
    auto board = std::make_shared<LiveBoard>();
    std::unique_ptr<LiveWriter> writer;
    std::set<const tag_list_item *> done;
    int completed = 0;
    station.device_list().set_observer([&](const DeviceListChange &c) {
        if (c.kind != DeviceListChange::CellsChanged)
            return;
        const tag_list_item *rec = station.device_list().GetItemData(c.row);
        if (rec && rec->completed && done.insert(rec).second)
            ++completed;
        if (writer && r->events == 0) { // the stand-in while no run event arrives
            ++r->stand_in;
            board->take({run_event_kind::stage, row_snapshot(station.device_list(), c.row)}, 0, 0);
        }
    });
    if (!conninfo.empty()) {
        station.subscribe([&](const run_event &ev) {
            ++r->events;
            board->take(ev, 0, 0);
        });
        LiveOptions lo;
        lo.conninfo = conninfo;
        lo.station = "bench";
        lo.run_id = "bench-run";
        lo.report = nullptr;
        writer = std::make_unique<LiveWriter>(lo, board);
        if (writer->start() != 0)
            return false;
        auto t0 = clock_type::now();
        while (!writer->state().connected && seconds_since(t0) < 10)
            usleep(10000);
    }
    if (station.start() != 0)
        return false;
    const double w0 = thread_cpu_seconds("bw-live"), c0 = cpu_seconds();
    const long f0 = writer ? writer->state().fixture_writes : 0;
    const long s0 = writer ? writer->state().station_writes : 0;
    auto t0 = clock_type::now();
    std::vector<std::shared_ptr<vphone::Phone>> phones;
    for (int k = 1; k <= 64; k++) {
        vphone::PhoneOptions po;
        po.nand.block_count = 2048;
        phones.push_back(vphone::plug_phone("sim-f" + std::to_string(k), po));
    }
    while (completed < 64 && seconds_since(t0) < 3600) {
        station.wait_for_messages(5);
        station.process_pending_messages();
    }
    // The writer's last coalesced writes of this round.
    for (auto t1 = clock_type::now(); writer && seconds_since(t1) < 1.2;) {
        station.wait_for_messages(5);
        station.process_pending_messages();
    }
    r->seconds = seconds_since(t0);
    r->cpu = cpu_seconds() - c0;
    r->writer_cpu = thread_cpu_seconds("bw-live") - w0;
    if (writer) {
        r->fixture_writes = writer->state().fixture_writes - f0;
        r->station_writes = writer->state().station_writes - s0;
    }
    for (auto &p : phones)
        p->unplug();
    station.stop();
    if (writer)
        writer->stop();
    vbus::reset();
    return completed == 64;
}

} // namespace

int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 8;
    const int rounds = argc > 2 ? atoi(argv[2]) : 2;
    if (mib == 0 || mib > 64 || rounds < 1 || rounds > 20) {
        fprintf(stderr, "usage: bench_live [MiB per phone 1..64] [rounds 1..20]\n");
        return 2;
    }
    FILE *out = bench::report_stream();
    if (!out)
        return 1;
    PgCluster cluster;
    std::string why;
    if (!cluster.create(&why)) {
        fprintf(out, "## Live state\n\nNot measured: %s\n", why.c_str());
        return 0;
    }
    bench::TempDir dir("bench-live");
    const std::vector<uint8_t> dkb = bench::read_file(BW_DKB_IMAGE_PATH);
    flashini_content *job = make_job(dir, mib);
    const std::string mapping = write_mapping(dir);
    if (!job)
        return 1;

    Round bare, live;
    for (int i = 0; i < rounds; ++i) {
        Round a, b;
        if (!run_round(job, dkb, mapping, "", &a) ||
            !run_round(job, dkb, mapping, cluster.conninfo(), &b)) {
            fprintf(stderr, "bench_live: a round of 64 phones did not pass\n");
            return 1;
        }
        bare.seconds += a.seconds, bare.cpu += a.cpu;
        live.seconds += b.seconds, live.cpu += b.cpu, live.writer_cpu += b.writer_cpu;
        live.events += b.events, live.stand_in += b.stand_in;
        live.fixture_writes += b.fixture_writes, live.station_writes += b.station_writes;
    }
    flashini_destroy(job);

    const long changes = live.events + live.stand_in;
    fprintf(out, "## Live state, 64 fixtures\n\n");
    fprintf(out,
            "%d round(s) of 64 virtual phones at once, %zu MiB each, first without the live "
            "state, then with its writer on a local PostgreSQL server (Unix socket). Fed by "
            "%s.\n\n",
            rounds, mib,
            live.events > 0 ? "the station's run events"
                            : "the rows' changes (the station published no run events)");
    fprintf(out, "| figure | value | beside it |\n|---|---|---|\n");
    fprintf(out, "| row changes offered | %.0f /s | %ld in %.1f s |\n", changes / live.seconds,
            changes, live.seconds);
    fprintf(
        out,
        "| fixture rows written | %.1f /s | 64 fixtures, each written at most once a second |\n",
        live.fixture_writes / live.seconds);
    fprintf(out, "| station rows written | %.2f /s | heartbeat every 2 s, and tally changes |\n",
            live.station_writes / live.seconds);
    fprintf(out,
            "| the writer thread's CPU | %.3f s (%.2f %% of the flashing's) | flashing "
            "without live state: %.2f s CPU in %.1f s |\n",
            live.writer_cpu, 100.0 * live.writer_cpu / bare.cpu, bare.cpu, bare.seconds);
    fprintf(out,
            "| the whole process's CPU with live state | %.2f s (%+.1f %%) | the difference "
            "includes the rounds' own noise |\n",
            live.cpu, 100.0 * (live.cpu - bare.cpu) / bare.cpu);
    return 0;
}

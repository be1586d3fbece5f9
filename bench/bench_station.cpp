// benchmark of the whole station against virtual phones, in one process: one phone flashing a
// large image at full speed, 16 and 64 phones in parallel, the monitor's idle CPU with 64
// fixtures, and memory per phone. Each figure comes with the baseline it is measured against
// in the same run (the bare virtual bus, one phone alone, the enumeration alone).
//
// Prints a Markdown section. Prints figures only; nothing here asserts on time.
// Usage: bench_station [MiB for the single phone, default 256] [MiB per parallel phone, default 8]
//
// The virtual phone runs in this process: its agent parses every command and stores every page on
// the station's own thread. Its CPU time is clocked per thread inside its request handler and
// reported apart from the station's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <set>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_bus.h"
#include "bench_util.h"
#include "job/flashini_parser.h"
#include "station/station.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "util/crc16.h"
#include "vphone/phone.h"

namespace
{

using clock_type = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;

using bench::cpu_seconds;
using bench::seconds_since;

long rss_kib()
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmRSS:", 6) == 0)
            v = strtol(line + 6, nullptr, 10);
    fclose(f);
    return v;
}

size_t heap_bytes()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// A temporary directory of this program's own.
struct TempDir : bench::TempDir {
    TempDir() : bench::TempDir("bench-station") {}
};
using bench::read_file;

// A job of one image of mib MiB of pseudo-random bytes, with CRC checks on every RAM block.
flashini_content *make_job(const TempDir &dir, size_t mib)
{
    const std::string image = (dir.path / "image.bin").string();
    bench::write_random_file(image, mib);
    const std::string ini = (dir.path / "flasher.ini").string();
    std::ofstream(ini) << "[misc]\ncrc = 1\n[map]\ntotal = 1\n[map1]\nfilename = " << image
                       << "\ndesc = image\nnand_loc = 0\nnand_loc_end = " << (mib << 20) << "\n";
    return flashini_parse_file(ini.c_str());
}

std::string write_mapping(const TempDir &dir, int fixtures)
{
    // A mapping holds 64 entries at most: past 32 fixtures each gets its boot ROM name alone
    // (its row then takes the agent on its unclaimed other name).
    const bool both = 2 * fixtures <= 64;
    std::string s = "[ports]\nNoOfPorts = " + std::to_string(both ? 2 * fixtures : fixtures) + "\n";
    int entry = 0;
    for (int k = 1; k <= fixtures; k++) {
        const std::string n = std::to_string(k);
        s += "[Port" + std::to_string(++entry) + "]\nInterfaceName = sim-f" + n +
             "\nPortNo = " + n + "\n";
        if (both)
            s += "[Port" + std::to_string(++entry) + "]\nInterfaceName = simagent-f" + n +
                 "\nPortNo = " + n + "\n";
    }
    const std::string path = (dir.path / ("ports" + std::to_string(fixtures) + ".ini")).string();
    std::ofstream(path) << s;
    return path;
}

// A station on this thread (the window thread) with `fixtures` mapped fixtures.
struct Bench {
    Bench(const flashini_content *job, const std::vector<uint8_t> &dkb, const std::string &mapping)
    {
        station_options o;
        o.ini_content = job;
        o.dkb_buf = dkb.data();
        o.dkb_size = static_cast<int>(dkb.size());
        o.port_mapping_path = mapping;
        o.ack_period_ms = 1000;
        station = std::make_unique<Station>(o);
        station->device_list().set_observer([this](const DeviceListChange &c) {
            if (c.kind != DeviceListChange::CellsChanged)
                return;
            const tag_list_item *rec = station->device_list().GetItemData(c.row);
            if (rec && rec->completed && counted.insert(rec).second) {
                completed++;
                failed += rec->status_code != 0;
            }
        });
        if (station->start() != 0) {
            fprintf(stderr, "bench_station: the station did not start\n");
            exit(1);
        }
    }
    ~Bench()
    {
        station->stop();
        vbus::reset();
    }
    // Runs the window thread until n results have arrived; false after timeout_s.
    bool pump_until_completed(int n, double timeout_s)
    {
        auto t0 = clock_type::now();
        while (completed < n) {
            if (seconds_since(t0) > timeout_s)
                return false;
            station->wait_for_messages(5);
            station->process_pending_messages();
        }
        return true;
    }
    // Runs the window thread for s seconds, asleep unless a message arrives (an idle window
    // thread costs nothing, so idle figures are the monitor's).
    void pump_for(double s)
    {
        auto t0 = clock_type::now();
        for (double left = s; left > 0; left = s - seconds_since(t0)) {
            station->wait_for_messages(static_cast<int>(std::min(left * 1000, 100.0)) + 1);
            station->process_pending_messages();
        }
    }

    std::unique_ptr<Station> station;
    std::set<const tag_list_item *> counted;
    int completed = 0, failed = 0;
};

// CPU time the virtual phones spend handling the station's requests. Their boot ROM and agent do
// all their work inside bulk_out, on the station's thread; this wrapper clocks it there.
std::atomic<int64_t> g_phone_cpu_ns{0};

int64_t thread_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double phone_cpu_seconds()
{
    return static_cast<double>(g_phone_cpu_ns.load()) / 1e9;
}

class TimedDevice : public vbus::Device
{
  public:
    explicit TimedDevice(std::shared_ptr<vbus::Device> inner) : inner_(std::move(inner)) {}
    void connected(vbus::Link *link) override { inner_->connected(link); }
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        const int64_t t0 = thread_cpu_ns();
        const bool ok = inner_->bulk_out(data, len);
        g_phone_cpu_ns += thread_cpu_ns() - t0;
        return ok;
    }

  private:
    std::shared_ptr<vbus::Device> inner_;
};

vphone::PhoneOptions phone_options(int fixture, uint32_t block_count)
{
    vphone::PhoneOptions po;
    po.bus.plug = [](const std::string &instance, uint16_t vid, uint16_t pid,
                     std::shared_ptr<vbus::Device> dev, vbus::Timing timing) {
        return vbus::plug(instance, vid, pid, std::make_shared<TimedDevice>(std::move(dev)),
                          timing);
    };
    po.bus.unplug = [](const std::string &instance) { return vbus::unplug(instance); };
    po.nand.block_count = block_count;
    po.agent_instance = "simagent-f" + std::to_string(fixture);
    return po;
}

// The bare virtual bus (bench::Sink), fed in 65537-byte writes (the station's RAM block size),
// with no protocol at all: its rate and its CPU per MiB.
void bare_bus(size_t mib, double *mib_s, double *cpu_per_mib)
{
    vbus::plug("sim-sink", 0x1286, 0x8111, std::make_shared<bench::Sink>());
    usb_dev_handle *h = usb_open(usb_make_device_path(0x1286, 0x8111, "sim-sink").c_str());
    if (!h) {
        fprintf(stderr, "bench_station: cannot open the sink\n");
        exit(1);
    }
    std::vector<char> block(65537, 0x5A);
    size_t total = mib << 20, sent = 0;
    double c0 = cpu_seconds();
    auto t0 = clock_type::now();
    while (sent < total) {
        int n = static_cast<int>(std::min<size_t>(block.size(), total - sent));
        if (usb_bulk_write(h, USB_EP_BULK_OUT, block.data(), n, 5000) != n) {
            fprintf(stderr, "bench_station: sink write failed\n");
            exit(1);
        }
        sent += static_cast<size_t>(n);
    }
    double s = seconds_since(t0);
    *cpu_per_mib = (cpu_seconds() - c0) / mib;
    *mib_s = mib / s;
    usb_close(h);
    vbus::reset();
}

// CPU seconds per MiB of crc16 and of memcpy, the per-byte work every block costs at least.
void per_byte_floor(double *crc_s, double *copy_s)
{
    std::vector<unsigned char> a(64 << 20, 0x33), b(64 << 20);
    auto t0 = clock_type::now();
    volatile unsigned c = crc16(a.data(), static_cast<uint32_t>(a.size()));
    (void)c;
    *crc_s = seconds_since(t0) / 64;
    t0 = clock_type::now();
    memcpy(b.data(), a.data(), a.size());
    *copy_s = seconds_since(t0) / 64;
}

} // namespace

int main(int argc, char **argv)
{
    const size_t big = argc > 1 ? strtoul(argv[1], nullptr, 10) : 256;
    const size_t small = argc > 2 ? strtoul(argv[2], nullptr, 10) : 8;
    if (big == 0 || big > 1024 || small == 0 || small > 128) {
        fprintf(stderr, "usage: bench_station [MiB 1..1024] [MiB per parallel phone 1..128]\n");
        return 2;
    }
    const std::vector<uint8_t> dkb = read_file(BW_DKB_IMAGE_PATH);
    FILE *out = bench::report_stream();
    if (!out)
        return 1;

    TempDir dir;
    const std::string map64 = write_mapping(dir, 64), map1 = write_mapping(dir, 1);
    double floor_crc, floor_copy;
    per_byte_floor(&floor_crc, &floor_copy);

    // 1. One phone, one image of `big` MiB, against the bare bus moving the same bytes.
    double bus_mib_s, bus_cpu;
    bare_bus(big, &bus_mib_s, &bus_cpu);
    double one_mib_s = 0, one_cpu = 0, one_s = 0, one_phone_cpu = 0;
    {
        flashini_content *job = make_job(dir, big);
        if (!job)
            return 1;
        Bench b(job, dkb, map1);
        // Room for the image and the chip's reserved last 1/32.
        const uint32_t blocks = static_cast<uint32_t>((big << 20) / 131072) * 2 + 64;
        double c0 = cpu_seconds(), p0 = phone_cpu_seconds();
        auto t0 = clock_type::now();
        auto phone = vphone::plug_phone("sim-f1", phone_options(1, blocks));
        if (!phone || !b.pump_until_completed(1, 3600) || b.failed) {
            fprintf(stderr, "bench_station: the single phone did not pass\n");
            return 1;
        }
        one_s = seconds_since(t0);
        one_cpu = (cpu_seconds() - c0) / big;
        one_phone_cpu = (phone_cpu_seconds() - p0) / big;
        one_mib_s = big / one_s;
        phone->unplug();
        b.pump_for(0.2);
        flashini_destroy(job);
    }

    // 2. 16 and 64 phones at once, one image of `small` MiB each.
    struct Parallel {
        int n;
        double seconds, cpu_s, phone_cpu_s, phones_per_min, mib_s, cores;
        double rss_per_phone_kib, heap_per_phone_kib, nand_per_phone_kib;
    };
    std::vector<Parallel> par;
    long rss_idle = 0;
    size_t heap_idle = 0;
    for (int n : {16, 64}) {
        flashini_content *job = make_job(dir, small);
        if (!job)
            return 1;
        Bench b(job, dkb, map64);
        b.pump_for(0.3);
        rss_idle = rss_kib();
        heap_idle = heap_bytes();
        std::vector<std::shared_ptr<vphone::Phone>> phones;
        double c0 = cpu_seconds(), p0 = phone_cpu_seconds();
        auto t0 = clock_type::now();
        for (int k = 1; k <= n; k++)
            phones.push_back(
                vphone::plug_phone("sim-f" + std::to_string(k), phone_options(k, 2048)));
        if (!b.pump_until_completed(n, 3600) || b.failed) {
            fprintf(stderr, "bench_station: %d of %d parallel phones failed\n", b.failed, n);
            return 1;
        }
        Parallel p{};
        p.n = n;
        p.seconds = seconds_since(t0);
        p.cpu_s = cpu_seconds() - c0;
        p.phone_cpu_s = phone_cpu_seconds() - p0;
        p.phones_per_min = n / p.seconds * 60;
        p.mib_s = n * static_cast<double>(small) / p.seconds;
        p.cores = p.cpu_s / p.seconds;
        // Every phone finished and is being acknowledged: its download thread, row record and
        // agent device are alive, and its virtual NAND holds the image (blocks plus spare areas).
        const double nand_kib = small * 1024.0 * (131072.0 + 64 * 64) / 131072.0;
        p.nand_per_phone_kib = nand_kib;
        p.rss_per_phone_kib = static_cast<double>(rss_kib() - rss_idle) / n;
        p.heap_per_phone_kib = (static_cast<double>(heap_bytes()) - heap_idle) / 1024.0 / n;
        par.push_back(p);
        for (auto &ph : phones)
            ph->unplug();
        b.pump_for(0.3);
        flashini_destroy(job);
    }

    // 3. The monitor idle: 64 and 1 mapped fixtures, no phone, 5 s each; and the enumeration
    //    alone, which every 100 ms pass makes once.
    double idle64 = 0, idle1 = 0;
    {
        flashini_content *job = make_job(dir, 1);
        for (int fixtures : {64, 1}) {
            Bench b(job, dkb, fixtures == 64 ? map64 : map1);
            b.pump_for(0.5);
            double c0 = cpu_seconds();
            auto t0 = clock_type::now();
            b.pump_for(5.0);
            double pct = (cpu_seconds() - c0) / seconds_since(t0) * 100;
            (fixtures == 64 ? idle64 : idle1) = pct;
        }
        flashini_destroy(job);
    }
    std::vector<std::string> paths;
    double c0 = cpu_seconds();
    for (int i = 0; i < 200; i++) {
        paths.clear();
        usb_enumerate(&paths);
    }
    const double enum_ms = (cpu_seconds() - c0) / 200 * 1000;

    fprintf(out, "## Station and virtual phones\n\n");
    fprintf(
        out,
        "Virtual phones at full speed (no bus delay), CRC-16 checked on every RAM block. The "
        "virtual phones run in the same process, on the station's threads (their agent checks "
        "each block with a bit-by-bit CRC-16 and stores it page by page): the CPU time spent "
        "inside them is clocked per thread and given apart; the station's figure is the process's "
        "user + system time less the phones'.\n\n");
    fprintf(out, "| figure | value | measured against (same run) |\n|---|---|---|\n");
    fprintf(out,
            "| one phone, %zu MiB image | %.1f MiB/s (%.1f s) | bare virtual bus to a phone "
            "that only stores the bytes, 65537-byte writes: %.1f MiB/s |\n",
            big, one_mib_s, one_s, bus_mib_s);
    fprintf(out,
            "| station CPU per MiB flashed, one phone | %.2f ms (whole process %.2f ms, of "
            "which the virtual phone %.2f ms) | bare bus %.2f ms; crc16 %.2f ms, memcpy %.2f ms "
            "per MiB |\n",
            (one_cpu - one_phone_cpu) * 1000, one_cpu * 1000, one_phone_cpu * 1000, bus_cpu * 1000,
            floor_crc * 1000, floor_copy * 1000);
    for (const Parallel &p : par) {
        fprintf(out,
                "| %d phones at once, %zu MiB each | %.0f phones/min, %.1f MiB/s aggregate "
                "(%.1f s) | one phone alone: %.1f MiB/s |\n",
                p.n, small, p.phones_per_min, p.mib_s, p.seconds, one_mib_s);
        const double mib = p.n * static_cast<double>(small);
        fprintf(out,
                "| CPU, %d phones | %.2f cores busy in all; station %.2f ms per MiB (virtual "
                "phones %.2f ms) | one phone alone: station %.2f ms per MiB |\n",
                p.n, p.cores, (p.cpu_s - p.phone_cpu_s) / mib * 1000, p.phone_cpu_s / mib * 1000,
                (one_cpu - one_phone_cpu) * 1000);
    }
    // The virtual phone's own memory: its RAM and its NAND's copy of the image.
    const double phone_ram_kib = vphone::PhoneOptions{}.ram_size / 1024.0;
    for (const Parallel &p : par)
        fprintf(out,
                "| memory per phone, %d finished phones held | heap +%.0f KiB (RSS +%.0f KiB); "
                "the rest (station, and the virtual phone's own bookkeeping): about %.0f KiB | the "
                "virtual phone's RAM %.0f KiB + its "
                "NAND's copy of the image %.0f KiB |\n",
                p.n, p.heap_per_phone_kib, p.rss_per_phone_kib,
                p.heap_per_phone_kib - phone_ram_kib - p.nand_per_phone_kib, phone_ram_kib,
                p.nand_per_phone_kib);
    fprintf(out,
            "| monitor idle, 64 fixtures, no phone | %.2f %% of one core | 1 fixture: %.2f "
            "%%; one enumeration alone: %.3f ms CPU (10 per second) |\n",
            idle64, idle1, enum_ms);
    fclose(out);
    return 0;
}

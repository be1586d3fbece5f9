// benchmark of how soon a fixture takes its next phone, against virtual phones in one process:
// - unplug to ready: a finished phone (acknowledged once a second) is unplugged and the next one
//   put on the same port at once; the time until its row is cleared, and until the next phone's
//   boot ROM gets its first frame. Measured with the station's unplug check (every 50 ms) and,
//   in the same run, with the acknowledgement alone noticing the unplug (the check at 1 s);
// - plug storm: 64 phones plugged within 50 ms; the time from each plug to the phone's first
//   boot ROM frame, against one phone plugged alone in the same run.
//
// Prints a Markdown section. Prints figures only; nothing here asserts on time.
// Usage: bench_ready [unplugs per setting, default 10]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "job/flashini_parser.h"
#include "station/station.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

namespace
{

using clock_type = std::chrono::steady_clock;

double ms_between(clock_type::time_point a, clock_type::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// A temporary directory of this program's own.
struct TempDir : bench::TempDir {
    TempDir() : bench::TempDir("bench-ready") {}
};
using bench::read_file;

// A job of one small image.
flashini_content *make_job(const TempDir &dir)
{
    const std::string image = (dir.path / "image.bin").string();
    std::ofstream(image, std::ios::binary) << std::string(64 * 1024, 'Z');
    const std::string ini = (dir.path / "flasher.ini").string();
    std::ofstream(ini) << "[map]\ntotal = 1\n[map1]\nfilename = " << image
                       << "\ndesc = image\nnand_loc = 0\nnand_loc_end = 0x20000\n";
    return flashini_parse_file(ini.c_str());
}

// 64 fixtures, one name each, as a hub of 64 ports is mapped.
std::string write_mapping(const TempDir &dir)
{
    std::string s = "[ports]\nNoOfPorts = 64\n";
    for (int k = 1; k <= 64; k++)
        s += "[Port" + std::to_string(k) + "]\nInterfaceName = sim-f" + std::to_string(k) +
             "\nPortNo = " + std::to_string(k) + "\n";
    const std::string path = (dir.path / "ports.ini").string();
    std::ofstream(path) << s;
    return path;
}

// When each boot ROM got its first frame from the station, by instance.
std::mutex g_frames_mutex;
std::map<std::string, clock_type::time_point> g_first_frame; // guarded by g_frames_mutex

class FirstFrame : public vbus::Device
{
  public:
    FirstFrame(std::string instance, std::shared_ptr<vbus::Device> inner)
        : instance_(std::move(instance)), inner_(std::move(inner))
    {
    }
    void connected(vbus::Link *link) override { inner_->connected(link); }
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        if (!seen_.exchange(true)) {
            std::lock_guard<std::mutex> lock(g_frames_mutex);
            g_first_frame.emplace(instance_, clock_type::now());
        }
        return inner_->bulk_out(data, len);
    }

  private:
    const std::string instance_;
    std::shared_ptr<vbus::Device> inner_;
    std::atomic<bool> seen_{false};
};

vphone::PhoneOptions phone_options()
{
    vphone::PhoneOptions po;
    po.nand.block_count = 64;
    po.bus.plug = [](const std::string &instance, uint16_t vid, uint16_t pid,
                     std::shared_ptr<vbus::Device> dev, vbus::Timing timing) {
        if (pid != 0x8111) // the boot ROM, not the agent
            dev = std::make_shared<FirstFrame>(instance, std::move(dev));
        return vbus::plug(instance, vid, pid, std::move(dev), timing);
    };
    po.bus.unplug = [](const std::string &instance) { return vbus::unplug(instance); };
    return po;
}

bool first_frame(const std::string &instance, clock_type::time_point *t)
{
    std::lock_guard<std::mutex> lock(g_frames_mutex);
    auto it = g_first_frame.find(instance);
    if (it == g_first_frame.end())
        return false;
    *t = it->second;
    g_first_frame.erase(it);
    return true;
}

// A station on this thread (the window thread), with the station's real timings.
struct Bench {
    Bench(const flashini_content *job, const std::vector<uint8_t> &dkb, const std::string &mapping,
          int unplug_check_ms)
    {
        station_options o;
        o.ini_content = job;
        o.dkb_buf = dkb.data();
        o.dkb_size = static_cast<int>(dkb.size());
        o.port_mapping_path = mapping;
        o.unplug_check_ms = unplug_check_ms;
        station = std::make_unique<Station>(o);
        if (station->start() != 0) {
            fprintf(stderr, "bench_ready: the station did not start\n");
            exit(1);
        }
    }
    ~Bench()
    {
        station->stop();
        vbus::reset();
    }
    bool pump_until(const std::function<bool()> &cond, double timeout_s)
    {
        auto t0 = clock_type::now();
        while (!cond()) {
            if (ms_between(t0, clock_type::now()) > timeout_s * 1000)
                return false;
            station->wait_for_messages(1);
            station->process_pending_messages();
        }
        return true;
    }
    void pump_for(double s)
    {
        pump_until([] { return false; }, s);
    }
    // The row of fixture 1 has a finished phone's record; null once cleared.
    const tag_list_item *record(int row) { return station->device_list().GetItemData(row); }

    std::unique_ptr<Station> station;
};

struct Spread {
    double median = 0, max = 0;
};

Spread spread(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.back()};
}

// `n` unplugs of a finished phone in fixture 1, each at a random point of its acknowledgement
// second, the next phone put in at once. Times to the row's clear and to the next phone's
// first boot ROM frame, in ms.
void unplug_to_ready(const flashini_content *job, const std::vector<uint8_t> &dkb,
                     const std::string &mapping, int unplug_check_ms, int n, Spread *cleared,
                     Spread *ready)
{
    Bench b(job, dkb, mapping, unplug_check_ms);
    std::mt19937 rng(7);
    std::vector<double> clear_ms, ready_ms;
    auto phone = vphone::plug_phone("sim-f1", phone_options());
    clock_type::time_point t;
    for (int i = 0; i <= n; i++) {
        // Finished and acknowledged: the row shows its result.
        if (!phone || !b.pump_until(
                          [&] {
                              const tag_list_item *r = b.record(0);
                              return r && r->completed && r->status_code == 0;
                          },
                          30)) {
            fprintf(stderr, "bench_ready: a phone did not pass\n");
            exit(1);
        }
        first_frame("sim-f1", &t); // this phone's own, not needed
        if (i == n)
            break;
        b.pump_for(0.05 + std::uniform_real_distribution<double>(0, 0.95)(rng));
        const auto t0 = clock_type::now();
        phone->unplug();
        phone = vphone::plug_phone("sim-f1", phone_options());
        bool was_cleared = false;
        clock_type::time_point t_clear{};
        b.pump_until(
            [&] {
                const tag_list_item *r = b.record(0);
                if (!was_cleared && (!r || !r->completed)) {
                    was_cleared = true;
                    t_clear = clock_type::now();
                }
                std::lock_guard<std::mutex> lock(g_frames_mutex);
                return g_first_frame.count("sim-f1") != 0;
            },
            30);
        if (!first_frame("sim-f1", &t) || !was_cleared) {
            fprintf(stderr, "bench_ready: the next phone was not taken\n");
            exit(1);
        }
        clear_ms.push_back(ms_between(t0, t_clear));
        ready_ms.push_back(ms_between(t0, t));
    }
    phone->unplug();
    *cleared = spread(clear_ms);
    *ready = spread(ready_ms);
}

// Plugs `count` phones within `window_ms` from a thread of their own (the fixtures' hands)
// while this thread serves the window; ms from each plug to its first boot ROM frame.
std::vector<double> storm(const flashini_content *job, const std::vector<uint8_t> &dkb,
                          const std::string &mapping, int count, int window_ms,
                          double *last_plugged_ms)
{
    Bench b(job, dkb, mapping, 50);
    b.pump_for(0.3);
    std::vector<clock_type::time_point> plugged(static_cast<size_t>(count));
    std::vector<std::shared_ptr<vphone::Phone>> phones(static_cast<size_t>(count));
    std::atomic<bool> all_plugged{false};
    std::thread hands([&] {
        const auto t0 = clock_type::now();
        for (int k = 0; k < count; k++) {
            std::this_thread::sleep_until(
                t0 + std::chrono::microseconds(static_cast<int64_t>(window_ms) * 1000 * k /
                                               std::max(1, count - 1)));
            phones[static_cast<size_t>(k)] =
                vphone::plug_phone("sim-f" + std::to_string(k + 1), phone_options());
            plugged[static_cast<size_t>(k)] = clock_type::now();
        }
        all_plugged = true;
    });
    const bool all = b.pump_until(
        [&] {
            std::lock_guard<std::mutex> lock(g_frames_mutex);
            return all_plugged && static_cast<int>(g_first_frame.size()) == count;
        },
        60);
    hands.join();
    if (!all) {
        fprintf(stderr, "bench_ready: not every phone of the storm got a frame\n");
        exit(1);
    }
    std::vector<double> ms;
    for (int k = 0; k < count; k++) {
        clock_type::time_point t;
        first_frame("sim-f" + std::to_string(k + 1), &t);
        ms.push_back(ms_between(plugged[static_cast<size_t>(k)], t));
    }
    *last_plugged_ms = ms.back();
    for (auto &p : phones)
        if (p)
            p->unplug();
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? atoi(argv[1]) : 10;
    if (n < 1 || n > 1000) {
        fprintf(stderr, "usage: bench_ready [unplugs per setting 1..1000]\n");
        return 2;
    }
    const std::vector<uint8_t> dkb = read_file(BW_DKB_IMAGE_PATH);
    FILE *out = bench::report_stream();
    if (!out)
        return 1;

    TempDir dir;
    flashini_content *job = make_job(dir);
    if (!job)
        return 1;
    const std::string mapping = write_mapping(dir);

    Spread clear50, ready50, clear1000, ready1000;
    unplug_to_ready(job, dkb, mapping, 50, n, &clear50, &ready50);
    unplug_to_ready(job, dkb, mapping, 1000, n, &clear1000, &ready1000);
    double alone_ms = 0, last_ms = 0;
    storm(job, dkb, mapping, 1, 0, &alone_ms);
    const Spread storm64 = spread(storm(job, dkb, mapping, 64, 50, &last_ms));
    flashini_destroy(job);

    fprintf(out, "## Ready for the next phone\n\n");
    fprintf(out,
            "Station timings as shipped (monitor pass every 100 ms, acknowledgement every 1 s); "
            "virtual phones at full speed. Unplugs land at random points of the acknowledgement "
            "second; the next phone is put on the same port at once.\n\n");
    fprintf(out, "| figure | value | measured against (same run) |\n|---|---|---|\n");
    fprintf(out,
            "| unplug to row cleared, %d unplugs | median %.0f ms, max %.0f ms (goal: 200 ms) "
            "| acknowledgement alone: median %.0f ms, max %.0f ms |\n",
            n, clear50.median, clear50.max, clear1000.median, clear1000.max);
    fprintf(out,
            "| unplug to the next phone's first boot ROM frame | median %.0f ms, max %.0f ms | "
            "acknowledgement alone: median %.0f ms, max %.0f ms |\n",
            ready50.median, ready50.max, ready1000.median, ready1000.max);
    fprintf(out,
            "| plug storm, 64 phones within 50 ms: plug to first boot ROM frame | last plugged "
            "%.0f ms; median %.0f ms, slowest %.0f ms (goal: 500 ms) | one phone alone: %.0f ms "
            "|\n",
            last_ms, storm64.median, storm64.max, alone_ms);
    fclose(out);
    return 0;
}

// benchmark of the detail record: what one line costs a phone (formatting, the write with its
// fdatasync, its bytes) next to that phone's own flash time, all from the same run; and the
// job digests the station takes once at start-up, next to the job's size.
//
// Prints a Markdown section. Prints figures only; nothing here asserts on time.
// Usage: bench_record [MiB of images per phone, default 16] [phones, default 4]
//        [records timed, default 200]
//
// The phones are virtual phones flashed by the whole station in this process, one after the
// other, with the CSV log and its detail record on; the line costs are then timed alone on a
// record rebuilt from the last phone's line, into a file on the same disk.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "job/flashini_parser.h"
#include "bench_util.h"
#include "record/detail_record.h"
#include "station/durable_log.h"
#include "station/production_log.h"
#include "station/station.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

namespace
{

using clock_type = std::chrono::steady_clock;
using nlohmann::json;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The job: boot, kernel and rootfs images making up mib MiB, in the job directory.
std::string write_job(const std::filesystem::path &dir, size_t mib)
{
    const size_t total = mib << 20;
    const size_t sizes[3] = {total / 16, total * 3 / 16, total - total / 16 - total * 3 / 16};
    const char *names[3] = {"boot", "kernel", "rootfs"};
    std::ostringstream ini;
    ini << "[misc]\nlogging = 1\nloop_test = 1\n[map]\ntotal = 3\n";
    uint64_t x = 0x9E3779B97F4A7C15ull;
    uint32_t at = 0;
    for (int i = 0; i < 3; i++) {
        const std::string file = (dir / (std::string(names[i]) + ".img")).string();
        std::vector<char> bytes(sizes[i]);
        for (char &c : bytes) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            c = static_cast<char>(x);
        }
        std::ofstream(file, std::ios::binary).write(bytes.data(), bytes.size());
        // Ranges with a block to spare, block-aligned (128 KiB).
        const uint32_t end = at + ((sizes[i] + (2u << 17) - 1) & ~((1u << 17) - 1));
        ini << "[map" << i + 1 << "]\nfilename = " << file << "\ndesc = " << names[i]
            << "\nnand_loc = " << at << "\nnand_loc_end = " << end << "\n";
        at = end;
    }
    const std::string path = (dir / "flasher.ini").string();
    std::ofstream(path) << ini.str();
    return path;
}

// The run's parts of a line, rebuilt from its JSON: what the station had when it wrote it.
void rebuild(const json &j, detail_row *row, detail_run *run)
{
    auto s = [](const json &v) { return v.get<std::string>(); };
    row->csv_line = j["csv_line"];
    row->fixture = s(j["fixture"]);
    row->interface_1 = s(j["interface_1"]);
    row->interface_2 = s(j["interface_2"]);
    row->section = s(j["section"]);
    row->status_text = s(j["status_text"]);
    row->status_code = j["status_code"];
    row->start_utc_ms = 1796778900123;
    row->finish_utc_ms = row->start_utc_ms + 5000;
    run->bootrom_vid = 0x1286;
    run->bootrom_pid = 0x8104;
    run->bootrom_version = s(j["bootrom_version"]);
    run->agent_interface = s(j["agent_interface"]);
    const json &n = j["nand"];
    run->nand = detail_nand{n["manu_id"],    n["device_id"], n["no_of_blocks"], n["page_size"],
                            n["block_size"], n["oob_size"],  n["bus_width"],    n["found_bbm"]};
    for (const json &st : j["steps"])
        run->steps.push_back({s(st["stage"]), st["start_ms"], st["ms"], st["bytes"]});
}

} // namespace

int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 16;
    const int phones = argc > 2 ? atoi(argv[2]) : 4;
    const int records = argc > 3 ? atoi(argv[3]) : 200;
    if (mib < 1 || phones < 1 || records < 1) {
        fprintf(stderr, "usage: bench_record [MiB >= 1] [phones >= 1] [records >= 1]\n");
        return 2;
    }
    FILE *out = bench::report_stream();
    if (!out)
        return 1;
    // On the disk the station's log would be on, not in memory: fdatasync must reach a device.
    char tmpl[] = "bw-bench-record-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = std::filesystem::absolute(tmpl);
    const std::string ini = write_job(dir, mib);
    flashini_content *job = flashini_parse_file(ini.c_str());
    if (!job) {
        fprintf(stderr, "bench_record: job not parsed\n");
        return 1;
    }

    // Start-up: the job's digests, once.
    auto detail = std::make_shared<detail_log>();
    detail->station = "bench";
    detail->program = detail_program_version();
    auto t0 = clock_type::now();
    if (detail_job_digests(job, ini.c_str(), &detail->job) != 0)
        return 1;
    const double digest_s = seconds_since(t0);

    // The phones, one after the other, through the whole station.
    std::string log_path;
    FILE *csv = log_create_file((dir / "log").c_str(), station_local_time(), &log_path);
    if (!csv || detail_log_open(log_path, detail.get()) != 0) {
        fprintf(stderr, "bench_record: no log\n");
        return 1;
    }
    std::ifstream dkb_file(BW_DKB_IMAGE_PATH, std::ios::binary);
    const std::vector<uint8_t> dkb((std::istreambuf_iterator<char>(dkb_file)), {});
    std::vector<json> lines;
    {
        station_options o;
        o.ini_content = job;
        o.dkb_buf = dkb.data();
        o.dkb_size = static_cast<int>(dkb.size());
        o.port_mapping_path.clear();
        o.poll_period_ms = 20;
        o.logging_fd = csv;
        o.detail = detail;
        Station station(o);
        if (station.start() != 0)
            return 1;
        vphone::PhoneOptions po;
        po.nand.block_count = static_cast<uint32_t>(((mib << 20) >> 17) + 64);
        for (int p = 0; p < phones; p++) {
            auto phone = vphone::plug_phone("sim-" + std::to_string(p), po);
            auto start = clock_type::now();
            while (lines.size() < static_cast<size_t>(p + 1)) {
                if (seconds_since(start) > 600) {
                    fprintf(stderr, "bench_record: phone %d never finished\n", p);
                    return 1;
                }
                station.wait_for_messages(5);
                station.process_pending_messages();
                std::istringstream in(read_text(detail->path));
                lines.clear();
                for (std::string l; std::getline(in, l);)
                    lines.push_back(json::parse(l));
            }
            phone->unplug();
        }
        station.stop();
        vbus::reset();
    }
    double flash_ms = 0;
    size_t line_bytes = 0;
    for (const json &j : lines) {
        if (j["status_code"] != 0) {
            fprintf(stderr, "bench_record: a phone failed: %s\n", j.dump().c_str());
            return 1;
        }
        for (const json &st : j["steps"])
            flash_ms += st["ms"].get<double>();
        line_bytes += j.dump().size() + 1;
    }
    flash_ms /= lines.size();
    const double record_bytes = static_cast<double>(line_bytes) / lines.size();
    const std::string csv_text = read_text(log_path);
    const double csv_bytes =
        static_cast<double>(csv_text.size() - strlen(LOG_HEADER)) / static_cast<double>(phones);

    // The line alone, as the result handler makes it: format, then write + fdatasync.
    detail_row row;
    detail_run run;
    rebuild(lines.back(), &row, &run);
    std::string line;
    t0 = clock_type::now();
    for (int i = 0; i < records; i++)
        detail_record_format(*detail, row, run, &line);
    const double format_ms = seconds_since(t0) * 1000 / records;
    detail_log timed;
    if (detail_log_open((dir / "timed.csv").string(), &timed) != 0)
        return 1;
    // Written as the station writes it: through the durable log's file.
    durable_file timed_file;
    if (durable_file_adopt(&timed_file, timed.fd, timed.path) != 0)
        return 1;
    timed.fd = -1;
    t0 = clock_type::now();
    for (int i = 0; i < records; i++) {
        detail_record_format(*detail, row, run, &line);
        if (durable_file_append(&timed_file, line.data(), line.size()) != 0)
            return 1;
    }
    const double write_ms = seconds_since(t0) * 1000 / records;
    durable_file_close(&timed_file);
    detail_log_close(detail.get());
    flashini_destroy(job);
    std::filesystem::remove_all(dir);

    fprintf(out, "## Detail record\n\n");
    fprintf(out,
            "%d virtual phones, each flashed with %zu MiB of images (3 images) by the whole "
            "station, one after the other; the record's line timed %d times on its own, written "
            "to a file on the same disk as the log.\n\n",
            phones, mib, records);
    fprintf(out, "| figure | value | compared with |\n|---|---|---|\n");
    fprintf(out, "| flash time of one phone (its steps) | %.1f ms | |\n", flash_ms);
    fprintf(out, "| detail line, formatting | %.3f ms | %.4f %% of the phone's flash time |\n",
            format_ms, 100 * format_ms / flash_ms);
    fprintf(out,
            "| detail line, formatting + write + fdatasync | %.3f ms | %.3f %% of the phone's "
            "flash time |\n",
            write_ms, 100 * write_ms / flash_ms);
    fprintf(out, "| bytes per phone, detail line | %.0f B | CSV line %.0f B |\n", record_bytes,
            csv_bytes);
    fprintf(out, "| job digests at start-up (once) | %.1f ms for %zu MiB | %.0f MiB/s |\n",
            digest_s * 1000, mib, mib / digest_s);
    fclose(out);
    return 0;
}

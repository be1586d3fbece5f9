// Test harness for whole-station tests: a job written to a temporary directory, a station whose
// window thread is the test's own thread, a record of every row's stage texts, and helpers to
// read the CSV log and its detail record. Phones are virtual phones on the virtual bus.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "job/flashini_parser.h"
#include "record/detail_record.h"
#include "station/post_plugin_handler.h"
#include "station/production_log.h"
#include "station/station.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

namespace harness
{

inline std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed, const char *prefix = "")
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(x >> 16);
    }
    for (size_t i = 0; prefix[i] && i < n; i++)
        v[i] = static_cast<uint8_t>(prefix[i]);
    return v;
}

// A small NAND: 64 blocks of 128 KiB, 2 KiB pages.
inline vphone::NandGeometry small_nand()
{
    vphone::NandGeometry g;
    g.block_count = 64;
    return g;
}

struct Image {
    std::string desc;
    uint32_t start, end;
    std::vector<uint8_t> bytes;
};

// The default job's images: three ranges, one description holding a comma.
inline std::vector<Image> default_images()
{
    return {
        {"boot", 0x0, 0x40000, pattern(5000, 1, "BWIMG1")},
        {"kernel", 0x40000, 0x80000, pattern(70000, 2)},
        {"rootfs, main", 0x80000, 0x100000, pattern(200000, 3)},
    };
}

// Options of a phone on the small NAND, its agent coming back under agent_instance ("" = the
// boot ROM's own name).
inline vphone::PhoneOptions phone_options(const std::string &agent_instance = "")
{
    vphone::PhoneOptions po;
    po.nand = small_nand();
    po.agent_instance = agent_instance;
    return po;
}

// True when the phone's NAND holds every image at its range, the rest of each range erased.
inline ::testing::AssertionResult nand_holds(const vphone::Nand &nand,
                                             const std::vector<Image> &images)
{
    for (const Image &im : images) {
        if (nand.read_main(im.start, im.bytes.size()) != im.bytes)
            return ::testing::AssertionFailure() << im.desc << " not at " << im.start;
        std::vector<uint8_t> rest =
            nand.read_main(im.start + im.bytes.size(), im.end - im.start - im.bytes.size());
        for (uint8_t b : rest)
            if (b != 0xFF)
                return ::testing::AssertionFailure() << "rest of " << im.desc << " not erased";
    }
    return ::testing::AssertionSuccess();
}

struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/bw_station_XXXXXX";
        path = mkdtemp(tmpl);
        // Plug-ins write their traces here, and when the tests run as root a plug-in runs as an
        // unprivileged user.
        std::filesystem::permissions(path, std::filesystem::perms::all);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

struct JobDeleter {
    void operator()(flashini_content *c) const { flashini_destroy(c); }
};
using Job = std::unique_ptr<flashini_content, JobDeleter>;

// Writes the images and a flasher.ini listing them (plus `extra` lines, e.g. a [misc] section
// and erase ranges), and parses it.
inline Job make_job(const TempDir &dir, const std::vector<Image> &images, const std::string &extra)
{
    std::ostringstream ini;
    ini << extra << "\n[map]\ntotal = " << images.size() << "\n";
    for (size_t i = 0; i < images.size(); i++) {
        std::string file = (dir.path / ("image" + std::to_string(i) + ".bin")).string();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(images[i].bytes.data()),
                   static_cast<std::streamsize>(images[i].bytes.size()));
        ini << "[map" << i + 1 << "]\nfilename = " << file << "\ndesc = \"" << images[i].desc
            << "\"\nnand_loc = " << images[i].start << "\nnand_loc_end = " << images[i].end << "\n";
    }
    std::string path = (dir.path / "flasher.ini").string();
    std::ofstream(path) << ini.str();
    return Job(flashini_parse_file(path.c_str()));
}

inline int count_lines(const std::string &s)
{
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

// The log's lines without the header, each with its two time stamps checked and replaced by "T",
// so tests can compare whole lines.
inline std::vector<std::string> log_lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line); // header
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    while (std::getline(in, line)) {
        EXPECT_FALSE(line.empty() || line.back() != '\r') << "line must end in CR LF: " << line;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(std::regex_replace(line, stamp, "T"));
    }
    return out;
}

// A station run by the test's thread, with a log file, its detail record (station "test-station",
// the job's digests with ini_path as its job file) and a record of stage texts per row.
class StationRun
{
  public:
    StationRun(const flashini_content *job, station_options o = {},
               const std::string &ini_path = "")
    {
        dkb_ = read_file(BW_DKB_IMAGE_PATH);
        o.ini_content = job;
        o.dkb_buf = dkb_.data();
        o.dkb_size = static_cast<int>(dkb_.size());
        if (o.port_mapping_path == PORT_MAPPING_DEFAULT_PATH)
            o.port_mapping_path.clear();
        if (o.agent_wait_ms == 10000)
            o.agent_wait_ms = 3000;
        o.poll_period_ms = 20;
        o.logging_fd = log_create_file((dir.path / "log").c_str(), station_local_time(), &log_path);
        o.log_path = log_path;
        auto detail = std::make_shared<detail_log>();
        detail->station = "test-station";
        detail->program = detail_program_version();
        if (o.logging_fd && detail_job_digests(job, ini_path.c_str(), &detail->job) == 0 &&
            detail_log_open(log_path, detail.get()) == 0) {
            detail_path = detail->path;
            o.detail = detail;
        }
        station = std::make_unique<Station>(o);
        station->device_list().set_observer([this](const DeviceListChange &c) { observe(c); });
    }
    ~StationRun()
    {
        if (station)
            station->stop();
        vbus::reset();
    }

    int start() { return station->start(); }
    DeviceList &list() { return station->device_list(); }

    // Drains messages until cond() holds; false after timeout_ms.
    bool pump_until(const std::function<bool()> &cond, int timeout_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            station->wait_for_messages(10);
            station->process_pending_messages();
        }
        return true;
    }
    // Drains messages for ms.
    void pump_for(int ms)
    {
        pump_until([] { return false; }, ms);
    }

    std::string log_text() const
    {
        std::ifstream f(log_path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    int logged() const { return count_lines(log_text()) - 1; }
    std::string detail_text() const
    {
        std::ifstream f(detail_path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    int row_of(const std::string &interface_1) const
    {
        for (int i = 0; i < station->device_list().GetItemCount(); i++)
            if (station->device_list().text(i, COL_INTERFACE_1) == interface_1)
                return i;
        return -1;
    }
    std::string cell(int row, int col) const { return station->device_list().text(row, col); }

    // Every text the row's "Image" column showed, in order.
    std::map<int, std::vector<std::string>> images;
    // Every text the row's "Status" column showed, in order.
    std::map<int, std::vector<std::string>> statuses;
    // Called from the window thread on every change, after it was recorded.
    std::function<void(const DeviceListChange &)> on_change;

    TempDir dir;
    std::string log_path;
    std::string detail_path;
    std::unique_ptr<Station> station;

  private:
    void observe(const DeviceListChange &c)
    {
        if (c.kind == DeviceListChange::RowInserted) {
            // Rows after the new one move down.
            std::map<int, std::vector<std::string>> im, st;
            for (auto &[r, v] : images)
                im[r >= c.row ? r + 1 : r] = std::move(v);
            for (auto &[r, v] : statuses)
                st[r >= c.row ? r + 1 : r] = std::move(v);
            images = std::move(im);
            statuses = std::move(st);
        }
        if (c.kind == DeviceListChange::CellsChanged) {
            // Colour-only notifications repeat the text: keep each text once.
            auto record = [&](std::vector<std::string> &v, int col) {
                if (v.empty() || v.back() != cell(c.row, col))
                    v.push_back(cell(c.row, col));
            };
            if (c.columns & column_bit(COL_IMAGE))
                record(images[c.row], COL_IMAGE);
            if (c.columns & column_bit(COL_STATUS))
                record(statuses[c.row], COL_STATUS);
        }
        if (on_change)
            on_change(c);
    }

    std::vector<uint8_t> dkb_;
};

} // namespace harness

// ui: the virtual production line of --simulate. Created by main(); runs beside the station in
// the window thread of either front-end (a StationCompanion).
//
// Fixtures 1..N each hold one virtual phone at a time (vphone::plug_phone) under the instance
// "sim-<n>"; the port mapping written for the run gives fixture n the interface names "sim-<n>"
// and "simagent-<n>", so a phone whose agent comes back under the other name stays on its row.
// A phone is taken out a moment after its result shows, and the next one is put in, until the
// operator quits or the duration ends. At the duration's end no phone is put in any more and the
// phones in progress are let finish (at most drain_s more) before the line reports finished().
// It follows the station's run events (which phone's run ended how), never the rows' texts. With a
// fault rate, that share of phones is built to fail. With a weak-block rate, that share of phones
// gets a NAND block that stores one wrong bit where the job's first image starts: such a phone
// passes unless the job verifies after writing.
#pragma once

#include "station_companion.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace ui
{

struct SimulationOptions {
    int phones = 0;            // fixtures, 1..32 (two mapped names each, 64 at most)
    double fault_rate = 0.0;   // share of phones built to fail, 0..1
    double usb_mbps = 0.0;     // link speed in megabytes a second; 0 = as fast as possible
    int duration_s = 0;        // 0: until the operator quits
    uint32_t page_size = 2048; // NAND geometry of every phone
    uint32_t pages_per_block = 64;
    uint32_t oob_size = 64;
    uint32_t block_count = 2048;
    uint32_t bad_blocks = 4; // factory-bad blocks per phone, at random places
    uint32_t seed = 1;       // the line's random choices (faults, agent names, bad blocks)
    int swap_delay_ms = 800; // from a result to the phone's removal, and on to the next one
    // Share of phones with a weak block where the job's first image starts, 0..1.
    double weak_block_rate = 0.0;
    int drain_s = 60; // after the duration: how long the phones in progress may take to finish
};

// Writes the run's port mapping (fixtures 1..phones) to a new file under the temporary
// directory; returns its path, or empty with *error set.
std::string write_simulation_ports(int phones, std::string *error);

class ProductionLine : public StationCompanion
{
  public:
    explicit ProductionLine(SimulationOptions options);
    ~ProductionLine() override;

    void started(Station &station) override;
    void row_changed(const DeviceList &list, const DeviceListChange &change) override;
    void tick() override;
    bool finished() const override;
    void stopping() override;
    std::string status_line() const override;

    // The closing report: phones programmed, failures, throughput, the CSV log.
    std::string summary(const std::string &log_path) const;

    bool has_run() const { return start_ != std::chrono::steady_clock::time_point{}; }
    // Runs on disk as the station's tally counts them: passed, failed (a held phone's retries
    // included), ended by the station itself.
    int passed() const { return passed_; }
    int failed() const { return failed_; }
    int interrupted() const { return interrupted_; }
    int phones_in() const { return phones_in_; }
    // First results of the phones that had a weak block.
    int weak_passed() const { return weak_passed_; }
    int weak_failed() const { return weak_failed_; }

  private:
    struct Fixture;
    void put_phone_in(int fixture);
    void take_phone_out(int fixture);
    void run_event(const ::run_event &ev);
    // The duration is over: no phone goes in any more.
    bool past_duration() const;

    SimulationOptions opt_;
    // Fixture number of each boot ROM name the line plugs its phones under.
    std::map<std::string, int> fixture_of_;
    std::vector<std::unique_ptr<Fixture>> fixtures_; // index = fixture number - 1
    std::mt19937 rng_;
    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point end_{}; // set by stopping()
    bool running_ = false;
    int passed_ = 0, failed_ = 0, interrupted_ = 0; // as the station's tally counts them
    int phones_in_ = 0;                             // phones put in so far
    uint64_t image_bytes_ = 0;                      // image bytes one phone receives
    bool crc_on_ = false;                           // the job's transfers carry a CRC
    bool verify_on_ = false;                        // the job reads every image back
    int64_t weak_block_ = -1; // where the first image starts (a block), -1 for no image
    int weak_passed_ = 0, weak_failed_ = 0;
};

} // namespace ui

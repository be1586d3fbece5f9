// ui: the virtual production line (--simulate). Called by the front-ends in the window thread
// through StationCompanion; it puts virtual phones in and takes them out, never touching rows.
#include "simulate.h"

#include "romcode/romcode_protocol.h"
#include "station/fixture_health.h"
#include "vphone/phone.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace ui
{

namespace
{

using Clock = std::chrono::steady_clock;

std::string boot_instance(int fixture)
{
    return "sim-" + std::to_string(fixture);
}
std::string agent_instance(int fixture)
{
    return "simagent-" + std::to_string(fixture);
}

double seconds_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Image bytes one phone receives: every entry that is written, at its size in the file.
uint64_t job_image_bytes(const flashini_content *job)
{
    uint64_t total = 0;
    if (!job || !job->partition_info_list)
        return 0;
    for (int i = 0; i < job->partition_info_list->no_of_partition_info; ++i) {
        const flashini_partition_info &p = job->partition_info_list->partition_info[i];
        if (p.skip_flash)
            continue;
        if (p.file_size > 0) {
            total += static_cast<uint64_t>(p.file_size);
            continue;
        }
        struct stat st;
        if (stat(p.filename, &st) == 0 && st.st_size > p.offset_in_file)
            total += static_cast<uint64_t>(st.st_size - p.offset_in_file);
    }
    return total;
}

// The block holding the first page of the first image that is written: a weak block there is
// programmed by every phone of the job. -1 when the job writes nothing.
int64_t first_image_block(const flashini_content *job, uint32_t block_size)
{
    if (!job || !job->partition_info_list)
        return -1;
    for (int i = 0; i < job->partition_info_list->no_of_partition_info; ++i) {
        const flashini_partition_info &p = job->partition_info_list->partition_info[i];
        if (!p.skip_flash && p.nand_loc_end > p.nand_loc_start)
            return p.nand_loc_start / block_size;
    }
    return -1;
}

} // namespace

struct ProductionLine::Fixture {
    // HELD: a phone stuck in boot ROM mode, left in until its row asks for its removal.
    enum State { EMPTY, PROGRAMMING, HELD, DONE } state = EMPTY;
    bool stuck = false; // the phone's boot ROM refuses every bootstrap
    bool weak = false;  // the phone in it has a weak block
    std::shared_ptr<vphone::Phone> phone;
    Clock::time_point next_step{}; // DONE: when to take the phone out; EMPTY: when to put one in
};

std::string write_simulation_ports(int phones, std::string *error)
{
    // Two names per fixture and at most 64 entries in all.
    if (phones < 1 || phones > 32) {
        *error = "--simulate takes 1 to 32 phones";
        return {};
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/bramblewick-ports-XXXXXX.ini";
    int fd = mkstemps(path.data(), 4);
    if (fd < 0) {
        *error = "cannot create the simulation's port mapping " + path;
        return {};
    }
    std::string text = "[ports]\nNoOfPorts = " + std::to_string(2 * phones) + "\n";
    for (int f = 1; f <= phones; ++f) {
        for (int k = 0; k < 2; ++k) {
            text += "[Port" + std::to_string(2 * f - 1 + k) +
                    "]\nInterfaceName = " + (k == 0 ? boot_instance(f) : agent_instance(f)) +
                    "\nPortNo = " + std::to_string(f) + "\n";
        }
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
        *error = "cannot write the simulation's port mapping " + path;
        return {};
    }
    return path;
}

ProductionLine::ProductionLine(SimulationOptions options) : opt_(options), rng_(options.seed)
{
    for (int f = 0; f < opt_.phones; ++f) {
        fixtures_.push_back(std::make_unique<Fixture>());
        fixture_of_[boot_instance(f + 1)] = f + 1;
    }
}

ProductionLine::~ProductionLine()
{
    // The station has stopped by now: the phones left in the fixtures go off the bus.
    for (auto &f : fixtures_)
        if (f->phone)
            f->phone->unplug();
}

void ProductionLine::started(Station &station)
{
    station.subscribe([this](const ::run_event &ev) { run_event(ev); });
    image_bytes_ = job_image_bytes(station.job());
    crc_on_ = station.job() && station.job()->enable_crc != 0;
    verify_on_ = station.job() && station.job()->verify != 0;
    weak_block_ = first_image_block(station.job(), opt_.page_size * opt_.pages_per_block);
    if (weak_block_ >= opt_.block_count)
        weak_block_ = -1;
    start_ = Clock::now();
    running_ = true;
    for (int f = 1; f <= opt_.phones; ++f)
        put_phone_in(f);
}

void ProductionLine::put_phone_in(int fixture)
{
    Fixture &fx = *fixtures_[static_cast<size_t>(fixture - 1)];
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    vphone::PhoneOptions po;
    if (chance(rng_) < 0.5) { // both boot ROM identities occur on a real line
        po.rom_vid = 0x8086;
        po.rom_pid = 0xD001;
    }
    // Some fixtures bring the agent back under their other interface name.
    if (chance(rng_) < 0.25)
        po.agent_instance = agent_instance(fixture);
    po.nand.page_size = opt_.page_size;
    po.nand.block_size = opt_.page_size * opt_.pages_per_block;
    po.nand.oob_size = opt_.oob_size;
    po.nand.ecc_size = std::min<uint32_t>(opt_.oob_size, 16); // hardware ECC, as on the phones
    po.nand.block_count = opt_.block_count;
    // (Drawn only when asked for, so a line without weak blocks makes the choices it always did.)
    fx.weak = weak_block_ >= 0 && opt_.weak_block_rate > 0 && chance(rng_) < opt_.weak_block_rate;
    std::set<uint32_t> bad;
    std::uniform_int_distribution<uint32_t> block(1, opt_.block_count - 1);
    while (bad.size() < std::min(opt_.bad_blocks, opt_.block_count / 8))
        bad.insert(block(rng_));
    if (opt_.usb_mbps > 0)
        po.timing.bytes_per_sec = static_cast<uint64_t>(opt_.usb_mbps * 1e6);
    bool stuck = false;
    if (chance(rng_) < opt_.fault_rate) {
        // One of the ways phones fail on a line: a cable pulled during the bootstrap or during
        // the images, a flash that cannot be programmed, corrupted transfers. Each is set up
        // to hit this job for sure: the agent-side ones need images, the CRC one needs CRC.
        std::vector<int> kinds = {0, 4};
        if (image_bytes_ > 0)
            kinds.insert(kinds.end(), {1, 2});
        if (crc_on_)
            kinds.push_back(3);
        if (verify_on_ && weak_block_ >= 0)
            kinds.push_back(5);
        switch (kinds[std::uniform_int_distribution<size_t>(0, kinds.size() - 1)(rng_)]) {
        case 0: {
            vphone::BootromFault f;
            f.kind = vphone::BootromFault::UNPLUG_AFTER_BYTES;
            f.bytes = std::uniform_int_distribution<uint64_t>(1, 40000)(rng_); // < TIM + DKB
            po.bootrom.faults.push_back(f);
            break;
        }
        case 1:
            po.faults.unplug_after_bytes = std::uniform_int_distribution<uint64_t>(
                1, std::max<uint64_t>(1, image_bytes_ / 2))(rng_);
            break;
        case 2:
            po.faults.device_errors.push_back(
                {vphone::agent_cmd::WRITE_FLASH, vphone::AGENT_ERR_PROGRAM, 0});
            break;
        case 3:
            po.faults.corrupt_crc_from = std::uniform_int_distribution<int>(0, 2)(rng_);
            break;
        case 4:
            // A boot ROM that refuses its greeting, run after run: the phone never leaves boot
            // ROM mode, so the station tries it again until it asks for the phone's removal.
            for (int n = 1; n <= 4 * PHONE_HOLD_FAILS; ++n) {
                vphone::BootromFault f;
                f.kind = vphone::BootromFault::STATUS;
                f.cmd = SOR_CMD_GET_VERSION;
                f.occurrence = n;
                po.bootrom.faults.push_back(f);
            }
            stuck = true;
            break;
        default:
            fx.weak = true;
            break;
        }
    }
    fx.stuck = stuck;
    if (fx.weak) {
        // A good block, so the image is really written there and not relocated.
        bad.erase(static_cast<uint32_t>(weak_block_));
        po.nand.weak_blocks.push_back(static_cast<uint32_t>(weak_block_));
    }
    po.nand.bad_blocks.assign(bad.begin(), bad.end());
    fx.phone = vphone::plug_phone(boot_instance(fixture), po);
    if (fx.phone) {
        fx.state = Fixture::PROGRAMMING;
        ++phones_in_;
    } else {
        // The instance is still taken (a phone of ours lingering): try again a moment later.
        fx.state = Fixture::EMPTY;
        fx.next_step = Clock::now() + std::chrono::milliseconds(opt_.swap_delay_ms);
    }
}

void ProductionLine::take_phone_out(int fixture)
{
    Fixture &fx = *fixtures_[static_cast<size_t>(fixture - 1)];
    if (fx.phone)
        fx.phone->unplug();
    fx.phone.reset();
    fx.state = Fixture::EMPTY;
    fx.next_step = Clock::now() + std::chrono::milliseconds(opt_.swap_delay_ms);
}

void ProductionLine::row_changed(const DeviceList &, const DeviceListChange &)
{
    // The line follows the run events instead (run_event).
}

void ProductionLine::run_event(const ::run_event &ev)
{
    if (ev.kind == run_event_kind::recorded) {
        // Counted as the tally counts: when the run's line is on disk.
        ++(ev.run.interrupted ? interrupted_ : ev.run.status_code == 0 ? passed_ : failed_);
        return;
    }
    // Known by the boot ROM name its phone came in under rather than its row or fixture number,
    // so a mapping given with --ports (numbers of its own, "NA" rows) works too.
    auto known = fixture_of_.find(ev.run.bootrom_interface);
    if (known == fixture_of_.end())
        return; // not one of our phones (a real phone on an unmapped port)
    Fixture &fx = *fixtures_[static_cast<size_t>(known->second - 1)];
    if (ev.kind == run_event_kind::detached && ev.run.state == fixture_state::held &&
        fx.state == Fixture::HELD) {
        fx.state = Fixture::DONE; // the operator does as the row says: "Remove the phone"
        fx.next_step = Clock::now() + std::chrono::milliseconds(opt_.swap_delay_ms);
        return;
    }
    // A phone's first result counts; a retry of a failed one does not, nor the quit's.
    if (ev.kind != run_event_kind::result || ev.run.interrupted || fx.state != Fixture::PROGRAMMING)
        return;
    const bool passed = ev.run.status_code == 0;
    if (fx.weak)
        ++(passed ? weak_passed_ : weak_failed_);
    if (fx.stuck && !passed) {
        fx.state = Fixture::HELD;
        return;
    }
    fx.state = Fixture::DONE;
    fx.next_step = Clock::now() + std::chrono::milliseconds(opt_.swap_delay_ms);
}

bool ProductionLine::past_duration() const
{
    return opt_.duration_s > 0 && seconds_between(start_, Clock::now()) >= opt_.duration_s;
}

void ProductionLine::tick()
{
    if (!running_)
        return;
    Clock::time_point now = Clock::now();
    const bool ending = past_duration();
    for (int f = 1; f <= opt_.phones; ++f) {
        Fixture &fx = *fixtures_[static_cast<size_t>(f - 1)];
        if (now < fx.next_step)
            continue;
        if (fx.state == Fixture::DONE)
            take_phone_out(f);
        else if (fx.state == Fixture::EMPTY && !ending)
            put_phone_in(f);
    }
}

bool ProductionLine::finished() const
{
    if (!running_ || !past_duration())
        return false;
    // The phones in progress finish first, within the bound; then the window stops the station
    // and calls stopping().
    if (seconds_between(start_, Clock::now()) >= opt_.duration_s + opt_.drain_s)
        return true;
    for (const auto &fx : fixtures_)
        if (fx->state == Fixture::PROGRAMMING)
            return false;
    return true;
}

void ProductionLine::stopping()
{
    if (running_) {
        running_ = false;
        end_ = Clock::now();
    }
}

std::string ProductionLine::status_line() const
{
    // The tally itself is the station's, shown beside this line.
    std::string s = "Simulation: " + std::to_string(phones_in_) + " phones put in";
    if (running_ && past_duration()) {
        int busy = 0;
        for (const auto &fx : fixtures_)
            busy += fx->state == Fixture::PROGRAMMING;
        s += ", time is up: " + std::to_string(busy) + " phones finishing";
    } else if (running_ && opt_.duration_s > 0) {
        double left = opt_.duration_s - seconds_between(start_, Clock::now());
        s += ", " + std::to_string(static_cast<int>(std::max(0.0, left))) + " s left";
    }
    return s;
}

std::string ProductionLine::summary(const std::string &log_path) const
{
    Clock::time_point end = running_ ? Clock::now() : end_;
    double secs = start_ == Clock::time_point{} ? 0.0 : seconds_between(start_, end);
    char buf[512];
    std::string s;
    std::snprintf(buf, sizeof buf, "\nSimulation over: %d fixtures, %.0f s, %d phones put in\n",
                  opt_.phones, secs, phones_in_);
    s += buf;
    // The tally's counts: "failures" are the tally's "failed", every failed run on disk.
    std::snprintf(buf, sizeof buf, "  phones programmed: %d\n  failures:          %d\n", passed_,
                  failed_);
    s += buf;
    if (interrupted_ > 0) {
        std::snprintf(buf, sizeof buf,
                      "  interrupted:       %d (ended by the quit, neither passed nor failed)\n",
                      interrupted_);
        s += buf;
    }
    if (weak_passed_ + weak_failed_ > 0) {
        std::snprintf(buf, sizeof buf, "  weak blocks:       %d phones, %d of them failed%s\n",
                      weak_passed_ + weak_failed_, weak_failed_,
                      verify_on_ ? "" : " (the job does not verify after writing)");
        s += buf;
    }
    double per_min = secs > 0 ? passed_ * 60.0 / secs : 0.0;
    double mbps = secs > 0 ? static_cast<double>(image_bytes_) * passed_ / secs / 1e6 : 0.0;
    std::snprintf(buf, sizeof buf, "  throughput:        %.1f phones/min, %.2f MB/s of images\n",
                  per_min, mbps);
    s += buf;
    if (log_path.empty()) {
        s += "  CSV log:           none (logging is off in the job, or the file failed)\n";
    } else {
        std::string abs = log_path;
        char cwd[4096];
        if (!log_path.empty() && log_path[0] != '/' && getcwd(cwd, sizeof cwd))
            abs = std::string(cwd) + "/" + log_path;
        s += "  CSV log:           " + abs + "\n";
    }
    return s;
}

} // namespace ui

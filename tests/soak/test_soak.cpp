// A production shift: one station with 16 mapped fixtures takes a stream of virtual phones, each
// plugged as soon as its fixture is free, each with a fault drawn from a seeded mix (none,
// unplugs at random points of the boot ROM or agent stage or at the handover between them, boot
// ROM and agent time-outs, an agent that never shows up, CRC errors, device errors), half of them
// plugged under the fixture's other interface name, and half of the agents coming back under
// the other name than their boot ROM's. At the end: one log line per phone, each matching its
// phone's outcome, every row in its final state, no phone over its time limit, and live heap flat
// over the shift.
//
// Size: BW_SOAK_PHONES (default 120, the CI size), BW_SOAK_FIXTURES (16), BW_SOAK_SEED (1).
// A full shift: BW_SOAK_PHONES=1000 build/<dir>/tests/soak/test_soak
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "station/station_harness.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BW_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BW_SANITIZER_HEAP 1
#endif
#endif
#ifdef BW_SANITIZER_HEAP
// Exported by the ASan and TSan runtimes (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

using namespace harness;

namespace
{

// Bytes the program holds on the heap now (the sanitizers' own count under ASan and TSan, whose
// allocators replace malloc's).
size_t live_heap()
{
#ifdef BW_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
#endif
}

int env_int(const char *name, int fallback)
{
    const char *s = getenv(name);
    return s && *s ? atoi(s) : fallback;
}

enum class Fault {
    None,
    AgentUnplug,  // the phone leaves the bus after a random number of bytes to the agent
    RomUnplug,    // the phone leaves the bus during the bootstrap
    RomSilent,    // the boot ROM never answers the greeting: a 2 s time-out
    AgentSilent,  // the agent stops answering at the NAND information: a 2 s time-out
    AgentMissing, // the agent enumerates on a name of no fixture: the agent wait runs out
    Crc,          // the agent's CRC replies go wrong from a random block on
    DeviceError,  // the agent reports an error for one NAND operation
    Handover,     // the phone is pulled while its boot ROM hands over to the agent
};

// The stages the "Image" column can show when a phone is lost somewhere in the agent's work.
const std::set<std::string> kAgentStages = {
    "Wait for DKB", "Init NAND flash", "Get NAND flash info", "Erase flash",
    "boot",         "kernel",          "rootfs, main",        "Write back BBM"};

// What a phone is expected to go through. Kept for every phone of the shift, so it holds no
// heap memory of its own: the heap must stay flat however long the shift.
struct Plan {
    int fixture = 0; // 1-based
    Fault fault = Fault::None;
    // Expected outcome; an empty section means "any agent stage with a negative code".
    char section[40] = "";
    int code = 0;
};

// A phone to plug: its plan and how to build it (dropped once it is plugged).
struct Draw {
    Plan plan;
    vphone::PhoneOptions options;
    std::string rom_instance;
};

void set_text(char (&field)[40], const std::string &text)
{
    snprintf(field, sizeof field, "%s", text.c_str());
}

// Section of the CRC failure: CRC replies 0 (boot), 1-2 (kernel), 3-6 (rootfs): one per RAM block
// of the default images staged on a NAND of 128 KiB blocks.
std::string crc_section(int reply)
{
    return reply == 0 ? "boot" : reply <= 2 ? "kernel" : "rootfs, main";
}

Draw draw(std::mt19937 &rng, int fixture)
{
    namespace cmd = vphone::agent_cmd;
    using DE = vphone::AgentFaults::DeviceError;
    Draw d;
    Draw &p = d; // options and instance
    Plan &e = d.plan;
    e.fixture = fixture;
    const std::string k = std::to_string(fixture);
    const bool swapped = rng() % 2; // boot ROM on the fixture's second name
    p.rom_instance = swapped ? "simagent-f" + k : "sim-f" + k;
    p.options.nand = small_nand();
    // The agent comes back on the same name or on the fixture's other one.
    p.options.agent_instance = rng() % 2 ? "sim-f" + k : "simagent-f" + k;
    p.options.bootrom.grant = vphone::GrantPolicy::random(rng(), 4096);

    const int roll = static_cast<int>(rng() % 100);
    if (roll < 46) {
        e.fault = Fault::None;
        set_text(e.section, "Finished");
    } else if (roll < 50) {
        e.fault = Fault::Handover; // pulled by the window thread when "Wait for DKB" shows
        set_text(e.section, "Wait for DKB");
        e.code = 1;
    } else if (roll < 62) {
        e.fault = Fault::AgentUnplug;
        p.options.faults.unplug_after_bytes = 1 + rng() % 270000;
    } else if (roll < 68) {
        e.fault = Fault::RomUnplug;
        vphone::BootromFault f;
        f.kind = vphone::BootromFault::UNPLUG_AFTER_BYTES;
        f.bytes = 1 + rng() % 200;
        p.options.bootrom.faults.push_back(f);
        set_text(e.section, "Download DKB");
    } else if (roll < 71) {
        e.fault = Fault::RomSilent;
        vphone::BootromFault f;
        f.kind = vphone::BootromFault::SILENT;
        f.cmd = vphone::BOOTROM_PREAMBLE;
        p.options.bootrom.faults.push_back(f);
        set_text(e.section, "Download DKB");
        e.code = -1;
    } else if (roll < 75) {
        e.fault = Fault::AgentSilent;
        p.options.faults.silent_at_command = 1; // init NAND is 0, NAND information 1
        set_text(e.section, "Get NAND flash info");
        e.code = DKB_ERR_ACK;
    } else if (roll < 78) {
        e.fault = Fault::AgentMissing;
        p.options.agent_instance = "simstray-" + k;
        set_text(e.section, "Wait for DKB");
        e.code = 1;
    } else if (roll < 86) {
        e.fault = Fault::Crc;
        const int from = static_cast<int>(rng() % 7);
        p.options.faults.corrupt_crc_from = from;
        set_text(e.section, crc_section(from));
        e.code = DKB_ERR_CRC;
    } else {
        e.fault = Fault::DeviceError;
        const uint32_t code = 3 + rng() % 200; // 2 after init NAND means "no table": not a fault
        struct Target {
            uint32_t command;
            int occurrence;
            const char *section;
        };
        // Write occurrences: boot 1, kernel 2, rootfs 3 and 4 (two NAND blocks).
        const Target targets[] = {
            {cmd::INIT_NAND, 1, "Init NAND flash"}, {cmd::ERASE_FLASH, 1, "Erase flash"},
            {cmd::WRITE_FLASH, 1, "boot"},          {cmd::WRITE_FLASH, 2, "kernel"},
            {cmd::WRITE_FLASH, 4, "rootfs, main"},  {cmd::WRITE_BBM, 1, "Write back BBM"}};
        const Target &t = targets[rng() % std::size(targets)];
        p.options.faults.device_errors.push_back(DE{t.command, code, t.occurrence});
        set_text(e.section, t.section);
        e.code = DKB_ERR_DEVICE;
    }
    return d;
}

// "K,,T,T,section,code" as the log writes it (time stamps replaced by log_lines).
std::string log_line(int fixture, const std::string &section, int code)
{
    std::string line = std::to_string(fixture) + ",,T,T,";
    csv_append_field(line, section.c_str());
    return line + "," + std::to_string(code);
}

struct Fixture {
    enum State { Free, Plugged, Attached, Completed } state = Free;
    int phone = -1; // index into the plans
    std::shared_ptr<vphone::Phone> device;
    std::chrono::steady_clock::time_point plugged_at, unplug_at;
    bool unplugged = false;
};

struct Outcome {
    char section[40] = "";
    int code = 0;
};

const char *const kSoakJob = "[misc]\nlogging = 1\ncrc = 1\n"
                             "[erase]\ntotal = 1\n"
                             "[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x140000\n";

} // namespace

TEST(Soak, ProductionShift)
{
    const int phones = env_int("BW_SOAK_PHONES", 120);
    const int fixtures = std::clamp(env_int("BW_SOAK_FIXTURES", 16), 1, 32);
    ASSERT_GE(phones, 8);
    // The faults come from one generator, in the order phones are plugged; the operator's delays
    // (which depend on timing) from another, so a seed always gives the same list of faults.
    std::mt19937 rng(static_cast<unsigned>(env_int("BW_SOAK_SEED", 1)));
    std::mt19937 delays(rng());
    // A phone may take its transfers plus the longest protocol time-out (15 s for a message
    // word); anything longer is a hang.
    const auto phone_limit = std::chrono::seconds(45);

    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, kSoakJob);
    ASSERT_TRUE(job);
    std::string mapping = "[ports]\nNoOfPorts = " + std::to_string(2 * fixtures) + "\n";
    for (int k = 1; k <= fixtures; k++) {
        const std::string n = std::to_string(k);
        mapping += "[Port" + std::to_string(2 * k - 1) + "]\nInterfaceName = sim-f" + n +
                   "\nPortNo = " + n + "\n";
        mapping += "[Port" + std::to_string(2 * k) + "]\nInterfaceName = simagent-f" + n +
                   "\nPortNo = " + n + "\n";
    }
    station_options o;
    o.port_mapping_path = (jobdir.path / "ports.ini").string();
    std::ofstream(o.port_mapping_path) << mapping;
    o.agent_wait_ms = 500;
    o.ack_period_ms = 20;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    ASSERT_EQ(run.list().GetItemCount(), fixtures);

    std::vector<Plan> plans;
    std::vector<Outcome> outcomes;
    plans.reserve(phones);
    outcomes.reserve(phones);
    std::vector<Fixture> fx(fixtures);
    // Live heap with every fixture empty, at a quarter, half and the end of the shift: the
    // station pauses (no new phones) at those points until every fixture is free.
    std::vector<size_t> heap_at;
    const std::vector<int> checkpoints = {phones / 4, phones / 2, phones};

    // Window thread: follow each fixture's row through attach and result. A failed phone is taken
    // off the bus the moment its result shows, so it cannot be attached again for a second run.
    run.on_change = [&](const DeviceListChange &c) {
        // The harness keeps every text a row showed; a shift needs only the current ones.
        run.images.clear();
        run.statuses.clear();
        if (c.kind != DeviceListChange::CellsChanged || c.row < 0 || c.row >= fixtures)
            return;
        Fixture &f = fx[c.row];
        const tag_list_item *rec = run.list().GetItemData(c.row);
        if (f.state == Fixture::Plugged && run.cell(c.row, COL_STATUS) == "Device Connected.")
            f.state = Fixture::Attached;
        // The download thread waits in this send, before it looks for the agent.
        if (f.state == Fixture::Attached && !f.unplugged &&
            plans[f.phone].fault == Fault::Handover &&
            run.cell(c.row, COL_IMAGE) == "Wait for DKB") {
            f.device->unplug();
            f.unplugged = true;
        }
        if (f.state == Fixture::Attached && rec && rec->completed) {
            f.state = Fixture::Completed;
            set_text(outcomes[f.phone].section, run.cell(c.row, COL_IMAGE));
            outcomes[f.phone].code = rec->status_code;
            if (rec->status_code != 0) {
                if (!f.unplugged)
                    f.device->unplug();
                f.unplugged = true;
            } else {
                // An operator takes a finished phone out a moment later; meanwhile it is
                // acknowledged.
                f.unplug_at =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(delays() % 120);
            }
        }
    };

    int done = 0;
    while (done < phones) {
        const auto now = std::chrono::steady_clock::now();
        for (int i = 0; i < fixtures; i++) {
            Fixture &f = fx[i];
            const tag_list_item *rec = run.list().GetItemData(i);
            switch (f.state) {
            case Fixture::Free:
                if (static_cast<int>(plans.size()) < checkpoints[heap_at.size()]) {
                    Draw d = draw(rng, i + 1);
                    plans.push_back(d.plan);
                    outcomes.emplace_back();
                    f.phone = static_cast<int>(plans.size()) - 1;
                    f.device = vphone::plug_phone(d.rom_instance, d.options);
                    ASSERT_TRUE(f.device) << "phone " << f.phone;
                    f.unplugged = false;
                    f.plugged_at = now;
                    f.state = Fixture::Plugged;
                }
                break;
            case Fixture::Completed:
                if (!f.unplugged && now >= f.unplug_at) {
                    f.device->unplug();
                    f.unplugged = true;
                }
                if (f.unplugged && (!rec || rec->detached)) {
                    f.device.reset();
                    f.state = Fixture::Free;
                    done++;
                }
                break;
            default:
                break;
            }
            if (f.state != Fixture::Free) {
                ASSERT_LT(now - f.plugged_at, phone_limit)
                    << "phone " << f.phone << " on fixture " << i + 1 << " hangs; row image \""
                    << run.cell(i, COL_IMAGE) << "\"";
            }
        }
        if (done == checkpoints[heap_at.size()]) {
            // Every fixture is free: let the ended threads be reaped and the virtual bus's
            // pending hand-overs run out before counting.
            run.pump_for(300);
            heap_at.push_back(live_heap());
        }
        run.station->wait_for_messages(5);
        run.station->process_pending_messages();
    }
    // Give a phone that was wrongly attached twice the time to show a second log line.
    run.pump_for(300);

    // One log line per phone, each as its phone went, in each fixture's order.
    std::map<int, std::vector<std::string>> expected, logged;
    int counts[9] = {};
    for (size_t i = 0; i < plans.size(); i++) {
        const Plan &p = plans[i];
        const Outcome &out = outcomes[i];
        counts[static_cast<int>(p.fault)]++;
        if (p.fault == Fault::AgentUnplug) {
            EXPECT_TRUE(kAgentStages.count(out.section)) << "phone " << i << ": " << out.section;
            EXPECT_LT(out.code, 0) << "phone " << i;
        } else if (p.fault == Fault::RomUnplug) {
            EXPECT_STREQ(out.section, p.section) << "phone " << i;
            EXPECT_NE(out.code, 0) << "phone " << i;
        } else {
            EXPECT_STREQ(out.section, p.section) << "phone " << i << " fault " << int(p.fault);
            EXPECT_EQ(out.code, p.code) << "phone " << i << " fault " << int(p.fault);
        }
        expected[p.fixture].push_back(log_line(p.fixture, out.section, out.code));
    }
    const std::vector<std::string> lines = log_lines(run.log_text());
    EXPECT_EQ(static_cast<int>(lines.size()), phones);
    for (const std::string &line : lines)
        logged[atoi(line.c_str())].push_back(line);
    EXPECT_EQ(logged, expected);

    // Final rows: a fixture whose last phone passed is cleared; one whose last phone failed keeps
    // its red result, detached.
    for (int i = 0; i < fixtures; i++) {
        SCOPED_TRACE(i + 1);
        const Outcome &last = outcomes[fx[i].phone];
        const tag_list_item *rec = run.list().GetItemData(i);
        if (last.code == 0) {
            EXPECT_EQ(rec, nullptr);
            EXPECT_EQ(run.cell(i, COL_IMAGE), "");
        } else {
            ASSERT_NE(rec, nullptr);
            EXPECT_TRUE(rec->completed && rec->detached);
            EXPECT_EQ(rec->status_code, last.code);
            EXPECT_EQ(run.cell(i, COL_IMAGE), last.section);
            EXPECT_EQ(ProcessCustomDraw(run.list(), i, COL_STATUS), STATION_COLOUR_FAILED);
        }
    }

    // Memory flat over the shift: with every fixture empty, the live heap at the end stays within
    // 64 KiB of what it was after the first quarter (which warms up the bus, the rows and the log
    // stream), however many phones came in between: a leak of a few hundred bytes a phone shows
    // in a full shift.
    ASSERT_EQ(heap_at.size(), 3u);
    EXPECT_LT(heap_at[2], heap_at[0] + (64u << 10))
        << "live heap " << heap_at[0] << " -> " << heap_at[1] << " -> " << heap_at[2];
    printf("soak: %d phones on %d fixtures; faults none %d, agent unplug %d, rom unplug %d, rom "
           "silent %d, agent silent %d, agent missing %d, crc %d, device error %d, pulled at "
           "handover %d; live heap "
           "%zu -> %zu -> %zu bytes\n",
           phones, fixtures, counts[0], counts[1], counts[2], counts[3], counts[4], counts[5],
           counts[6], counts[7], counts[8], heap_at[0], heap_at[1], heap_at[2]);
}

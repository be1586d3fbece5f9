// Whole-station tests with several phones: mapped and unmapped fixtures at once, agents that
// come back under the fixture's other name, re-plugs while an old thread still runs, a phone
// that stays in boot ROM mode after a failure, and a production shift end to end.
#include <algorithm>
#include <cstring>

#include "station_harness.h"

using namespace harness;

namespace
{

const char *const kJob = "[misc]\nlogging = 1\n"
                         "[erase]\ntotal = 1\n"
                         "[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x140000\n";

bool holds_images(const vphone::Nand &nand, const std::vector<Image> &images)
{
    for (const Image &im : images)
        if (nand.read_main(im.start, im.bytes.size()) != im.bytes)
            return false;
    return true;
}

// Fixtures 1..n, each with its boot ROM name sim-fK and its agent name simagent-fK.
std::string mapping_text(int n)
{
    std::string s = "[ports]\nNoOfPorts = " + std::to_string(2 * n) + "\n";
    for (int k = 1; k <= n; k++) {
        s += "[Port" + std::to_string(2 * k - 1) + "]\nInterfaceName = sim-f" + std::to_string(k) +
             "\nPortNo = " + std::to_string(k) + "\n";
        s += "[Port" + std::to_string(2 * k) + "]\nInterfaceName = simagent-f" + std::to_string(k) +
             "\nPortNo = " + std::to_string(k) + "\n";
    }
    return s;
}

std::string write_mapping(const TempDir &dir, int n)
{
    std::string path = (dir.path / "ports.ini").string();
    std::ofstream(path) << mapping_text(n);
    return path;
}

const tag_list_item *record(StationRun &run, int row)
{
    return run.list().GetItemData(row);
}

// The default images in a job of kJob, in a directory of their own.
class StationMany : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(job); }
    TempDir jobdir;
    std::vector<Image> images = default_images();
    Job job = make_job(jobdir, images, kJob);
};

} // namespace

TEST_F(StationMany, EightPhonesOnMappedAndUnmappedFixturesAtOnce)
{
    station_options o;
    o.port_mapping_path = write_mapping(jobdir, 4);
    o.ack_period_ms = 100;
    o.agent_wait_ms = 10000; // the harness shortens only the default
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    ASSERT_EQ(run.station->no_of_mapped_ports(), 8);
    ASSERT_EQ(run.list().GetItemCount(), 4);

    std::vector<std::shared_ptr<vphone::Phone>> phones;
    for (int k = 1; k <= 4; k++) // mapped: the agent comes back on the fixture's other name
        phones.push_back(vphone::plug_phone("sim-f" + std::to_string(k),
                                            phone_options("simagent-f" + std::to_string(k))));
    for (int k = 1; k <= 4; k++) // unmapped: agents on names no row knows
        phones.push_back(vphone::plug_phone("sim-u" + std::to_string(k),
                                            phone_options("simagent-u" + std::to_string(k))));
    for (auto &p : phones)
        ASSERT_TRUE(p);

    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 8; }, 30000));
    ASSERT_EQ(run.list().GetItemCount(), 8);
    for (int row = 0; row < 8; row++) {
        SCOPED_TRACE(row);
        EXPECT_EQ(run.cell(row, COL_FIXTURE_ID), row < 4 ? std::to_string(row + 1) : "NA");
        EXPECT_EQ(run.cell(row, COL_IMAGE), "Finished");
        EXPECT_EQ(run.cell(row, COL_STATUS), "Completed");
        ASSERT_NE(record(run, row), nullptr);
        if (row < 4)
            EXPECT_STREQ(record(run, row)->interface_2_name,
                         ("simagent-f" + std::to_string(row + 1)).c_str());
        else
            EXPECT_STREQ(record(run, row)->interface_2_name, "");
    }
    // Every phone programmed exactly once: no agent was shared by two threads. The mapped
    // fixtures' phones were programmed through their own rows.
    for (auto &p : phones) {
        EXPECT_TRUE(holds_images(*p->nand(), images)) << p->instance();
        const std::vector<uint32_t> cmds = p->agent()->commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), vphone::agent_cmd::WRITE_BBM), 1)
            << p->instance();
    }
    auto lines = log_lines(run.log_text());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"1,,T,T,Finished,0", "2,,T,T,Finished,0",
                                               "3,,T,T,Finished,0", "4,,T,T,Finished,0",
                                               "NA,,T,T,Finished,0", "NA,,T,T,Finished,0",
                                               "NA,,T,T,Finished,0", "NA,,T,T,Finished,0"}));

    for (auto &p : phones)
        p->unplug();
    ASSERT_TRUE(run.pump_until([&] {
        for (int row = 0; row < 8; row++)
            if (record(run, row))
                return false;
        return true;
    }));
    EXPECT_EQ(run.list().GetItemCount(), 8);
    EXPECT_EQ(run.cell(4, COL_INTERFACE_1), "sim-u1");
}

TEST_F(StationMany, PhoneReplugedWhileTheOldThreadRunsWaitsForIt)
{
    station_options o;
    // The old thread notices the unplug only at its next acknowledgement.
    o.ack_period_ms = 1000;
    o.unplug_check_ms = 1000;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    auto first = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
    // Let the thread acknowledge once and go to sleep until the next acknowledgement.
    ASSERT_TRUE(run.pump_until([&] {
        const std::vector<uint32_t> cmds = first->agent()->commands();
        return !cmds.empty() && cmds.back() == vphone::agent_cmd::ACK;
    }));
    run.pump_for(50);
    // The operator swaps phones quickly: the next boot ROM shows up on the same name while the
    // first phone's thread still sleeps between acknowledgements.
    first->unplug();
    auto second = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(second);
    run.pump_for(200);
    EXPECT_TRUE(second->bootrom()->log().empty()) << "attached before the old thread ended";
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }));
    EXPECT_TRUE(holds_images(*second->nand(), images));
    // The first run was cleared at its detach, then the second attached to the same row.
    const auto &st = run.statuses[0];
    auto first_done = std::find(st.begin(), st.end(), "Completed");
    ASSERT_TRUE(first_done != st.end() && first_done + 2 < st.end());
    EXPECT_EQ(*(first_done + 1), "");
    EXPECT_EQ(*(first_done + 2), "Device Connected.");
    EXPECT_EQ(run.list().GetItemCount(), 1);
    second->unplug();
    ASSERT_TRUE(run.pump_until([&] { return record(run, 0) == nullptr; }));
}

TEST_F(StationMany, PhoneLeftInBootRomAfterAFailureIsAttachedAgain)
{
    StationRun run(job.get());
    ASSERT_EQ(run.start(), 0);
    auto po = phone_options();
    vphone::BootromFault f; // the first greeting fails; the boot ROM stays on the bus
    f.kind = vphone::BootromFault::BAD_PREAMBLE_ECHO;
    f.cmd = vphone::BOOTROM_PREAMBLE;
    po.bootrom.faults.push_back(f);
    auto phone = vphone::plug_phone("sim-1", po);
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }));
    EXPECT_EQ(log_lines(run.log_text()),
              (std::vector<std::string>{"NA,,T,T,Download DKB,-1", "NA,,T,T,Finished,0"}));
    const auto &st = run.statuses[0];
    EXPECT_EQ(std::count(st.begin(), st.end(), "Device Connected."), 2);
    EXPECT_EQ(run.list().GetItemCount(), 1);
    EXPECT_TRUE(holds_images(*phone->nand(), images));
    phone->unplug();
    ASSERT_TRUE(run.pump_until([&] { return record(run, 0) == nullptr; }));
}

TEST_F(StationMany, AttachUnderTheOtherNameWaitsUntilThePreviousRunDetached)
{
    station_options o;
    o.port_mapping_path = write_mapping(jobdir, 1);
    o.agent_wait_ms = 600;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    // The first phone's agent never shows up on a name of the fixture: its thread waits.
    auto first = vphone::plug_phone("sim-f1", phone_options("simagent-zz"));
    ASSERT_TRUE(run.pump_until([&] { return run.cell(0, COL_IMAGE) == "Wait for DKB"; }));
    const tag_list_item *waiting = record(run, 0);
    // Meanwhile a boot ROM appears on the fixture's other name.
    auto second = vphone::plug_phone("simagent-f1", phone_options());
    run.pump_for(200);
    EXPECT_EQ(record(run, 0), waiting); // the running record was neither replaced nor freed
    EXPECT_TRUE(second->bootrom()->log().empty());

    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }));
    EXPECT_EQ(log_lines(run.log_text()),
              (std::vector<std::string>{"1,,T,T,Wait for DKB,1", "1,,T,T,Finished,0"}));
    EXPECT_TRUE(holds_images(*second->nand(), images));
    first->unplug();
    second->unplug();
}

// A shift on three fixtures: phones come one after the other, pass or fail in every way the
// phone can, are taken out and replaced; at the end the rows and the log are exactly right.
TEST_F(StationMany, ProductionShift)
{
    Job shift_job =
        make_job(jobdir, images,
                 std::string(kJob) + "[misc]\nsync_pc_time = 1\n"
                                     "[gpio_ad]\ntotal = 1\n[gpio_ad1]\ngpio = 6\nvalue = 0\n");
    ASSERT_TRUE(shift_job);
    station_options o;
    o.port_mapping_path = write_mapping(jobdir, 3);
    o.ack_period_ms = 50;
    o.agent_wait_ms = 500;
    StationRun run(shift_job.get(), o);
    ASSERT_EQ(run.start(), 0);

    namespace cmd = vphone::agent_cmd;
    using DE = vphone::AgentFaults::DeviceError;
    struct Step {
        int fixture;
        std::function<void(vphone::PhoneOptions &)> fault;
        std::string expect_log;
    };
    auto device_error = [](uint32_t word, uint32_t code) {
        return [word, code](vphone::PhoneOptions &po) {
            po.faults.device_errors.push_back(DE{word, code, 1});
        };
    };
    auto none = [](vphone::PhoneOptions &) {};
    const std::vector<Step> shift = {
        {1, none, "1,,T,T,Finished,0"},
        {2, device_error(cmd::WRITE_FLASH, 5), "2,,T,T,boot,-14"},
        {3, none, "3,,T,T,Finished,0"},
        {1, device_error(cmd::ERASE_FLASH, 6), "1,,T,T,Erase flash,-14"},
        {2, none, "2,,T,T,Finished,0"},
        {3, [](vphone::PhoneOptions &po) { po.agent_instance = "simagent-zz"; },
         "3,,T,T,Wait for DKB,1"},
        {1, device_error(cmd::INIT_NAND, 5), "1,,T,T,Init NAND flash,-14"},
        {2, device_error(cmd::WRITE_BBM, 5), "2,,T,T,Write back BBM,-14"},
        {3, none, "3,,T,T,Finished,0"},
        {1, none, "1,,T,T,Finished,0"},
        {2, [](vphone::PhoneOptions &po) { po.faults.unplug_after_bytes = 150000; },
         "2,,T,T,\"rootfs, main\",-13"},
    };
    std::vector<std::string> expected;
    int n = 0;
    for (const Step &s : shift) {
        SCOPED_TRACE(++n);
        const std::string k = std::to_string(s.fixture);
        auto po = phone_options("simagent-f" + k);
        s.fault(po);
        auto phone = vphone::plug_phone("sim-f" + k, po);
        ASSERT_TRUE(phone);
        expected.push_back(s.expect_log);
        ASSERT_TRUE(run.pump_until([&] { return run.logged() == n; }));
        const int row = s.fixture - 1;
        ASSERT_TRUE(run.pump_until([&] {
            const tag_list_item *it = record(run, row);
            return it && it->completed;
        }));
        phone->unplug();
        ASSERT_TRUE(run.pump_until([&] {
            const tag_list_item *it = record(run, row);
            return !it || it->detached;
        }));
    }
    // Let a failed boot ROM that stayed on the bus have a chance to be (wrongly) re-attached.
    run.pump_for(300);
    EXPECT_EQ(log_lines(run.log_text()), expected);

    // Final rows: fixture 1 passed last (cleared); 2 keeps its failure; 3 passed (cleared).
    ASSERT_EQ(run.list().GetItemCount(), 3);
    EXPECT_EQ(record(run, 0), nullptr);
    EXPECT_EQ(run.cell(0, COL_IMAGE), "");
    ASSERT_NE(record(run, 1), nullptr);
    EXPECT_EQ(run.cell(1, COL_IMAGE), "rootfs, main");
    EXPECT_EQ(run.cell(1, COL_STATUS), "Write Failed");
    EXPECT_EQ(record(run, 1)->status_code, -13);
    EXPECT_EQ(ProcessCustomDraw(run.list(), 1, COL_STATUS), STATION_COLOUR_FAILED);
    EXPECT_EQ(record(run, 2), nullptr);
    for (int row = 0; row < 3; row++) {
        EXPECT_EQ(run.cell(row, COL_FIXTURE_ID), std::to_string(row + 1));
        EXPECT_EQ(run.cell(row, COL_INTERFACE_1), "sim-f" + std::to_string(row + 1));
        EXPECT_EQ(run.cell(row, COL_INTERFACE_2), "simagent-f" + std::to_string(row + 1));
    }
}

// Quitting while phones are being programmed and nobody drains the window queue: every thread
// is blocked in a send. stop() must release them all and return.
TEST_F(StationMany, StopWhileThreadsAreBlockedInSendsDoesNotDeadlock)
{
    StationRun run(job.get());
    ASSERT_EQ(run.start(), 0);
    std::vector<std::shared_ptr<vphone::Phone>> phones;
    for (int k = 1; k <= 4; k++)
        phones.push_back(vphone::plug_phone("sim-" + std::to_string(k), phone_options()));
    // Serve a few messages so the threads run, then stop draining.
    ASSERT_TRUE(run.pump_until([&] { return run.list().GetItemCount() == 4; }));
    run.pump_for(50);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // senders now wait for us
    auto t0 = std::chrono::steady_clock::now();
    run.station->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_FALSE(run.station->running());
    // After the stop no handler runs: the rows keep what they showed.
    EXPECT_EQ(run.station->process_pending_messages(), 0);
}

// A phone on an unmapped port and a phone in a fixture that knows one name hand over together:
// the fixture's thread waits for its agent while the unmapped phone's agent is already on the bus.
// Neither row takes the other's phone.
TEST_F(StationMany, AgentOfAnotherRunIsNeverTakenByARowThatKnowsOneName)
{
    station_options o;
    o.port_mapping_path = (jobdir.path / "ports.ini").string();
    std::ofstream(o.port_mapping_path)
        << "[ports]\nNoOfPorts = 1\n[Port1]\nInterfaceName = sim-f1\nPortNo = 1\n";
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    vphone::PhoneOptions late = phone_options();
    late.bootrom.reenumerate_delay_ms = 1500;
    auto fixed = vphone::plug_phone("sim-f1", late);
    ASSERT_TRUE(fixed);
    ASSERT_TRUE(run.pump_until([&] { return fixed->bootrom()->handed_over(); }));
    // The unplugged-port phone's thread is held while its agent appears, so the fixture's
    // thread sees that agent first.
    run.on_change = [&](const DeviceListChange &c) {
        if ((c.columns & column_bit(COL_IMAGE)) && run.cell(c.row, COL_FIXTURE_ID) == "NA" &&
            run.cell(c.row, COL_IMAGE) == "Wait for DKB")
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
    };
    auto loose = vphone::plug_phone("sim-u1", phone_options());
    ASSERT_TRUE(loose);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }, 20000)) << run.log_text();

    auto lines = log_lines(run.log_text());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"1,,T,T,Finished,0", "NA,,T,T,Finished,0"}));
    for (auto &p : {fixed, loose}) {
        EXPECT_TRUE(holds_images(*p->nand(), images)) << p->instance();
        ASSERT_TRUE(p->agent());
        const std::vector<uint32_t> cmds = p->agent()->commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), vphone::agent_cmd::WRITE_BBM), 1)
            << p->instance();
    }
}

// A finished phone is acknowledged once a second, but its unplug is seen in between: the row
// clears without another acknowledgement.
TEST_F(StationMany, UnplugOfAFinishedPhoneIsSeenBeforeItsNextAcknowledgement)
{
    station_options o;
    o.ack_period_ms = 60000;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    auto phone = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(run.pump_until([&] {
        const std::vector<uint32_t> cmds =
            phone->agent() ? phone->agent()->commands() : std::vector<uint32_t>{};
        return run.logged() == 1 && !cmds.empty() && cmds.back() == vphone::agent_cmd::ACK;
    }));
    const size_t before = phone->agent()->commands().size();
    phone->unplug();
    ASSERT_TRUE(run.pump_until([&] { return record(run, 0) == nullptr; }, 5000));
    EXPECT_EQ(phone->agent()->commands().size(), before);
}

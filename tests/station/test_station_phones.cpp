// Whole-station tests: the station core, with no GUI, against virtual phones on the virtual bus.
// The test's thread is the window thread.
#include <algorithm>
#include <cstring>

#include "station_harness.h"
#include "util/bytes.h"

using namespace harness;

namespace
{

const char *const kJobExtras = "[misc]\nlogging = 1\nsync_pc_time = 1\n"
                               "[erase]\ntotal = 1\n"
                               "[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x140000\n"
                               "[gpio_bd]\ntotal = 1\n[gpio_bd1]\ngpio = 5\nvalue = 1\n"
                               "[gpio_ad]\ntotal = 1\n[gpio_ad1]\ngpio = 6\nvalue = 0\n";

size_t count_word(const std::vector<uint32_t> &cmds, uint32_t word)
{
    return static_cast<size_t>(std::count(cmds.begin(), cmds.end(), word));
}

const std::vector<std::string> kStagesAfterSuccess = {
    "Download DKB",   "Wait for DKB", "Init NAND flash", "Get NAND flash info",
    "Erase flash",    "boot",         "kernel",          "rootfs, main",
    "Write back BBM", "Done",         "Finished"};

} // namespace

TEST(StationPhones, OnePhoneRunsTheJobAndIsAcknowledgedUntilUnplugged)
{
    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, kJobExtras);
    ASSERT_TRUE(job);
    station_options o;
    o.ack_period_ms = 100;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    auto phone = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
    const int row = run.row_of("sim-1");
    ASSERT_EQ(row, 0);
    EXPECT_EQ(run.images[row], kStagesAfterSuccess);
    EXPECT_EQ(run.cell(row, COL_FIXTURE_ID), "NA");
    EXPECT_EQ(run.cell(row, COL_STATUS), "Completed");
    EXPECT_EQ(ProcessCustomDraw(run.list(), row, COL_STATUS), STATION_COLOUR_PASSED);
    // The writes reported their progress through the Status and Progress columns.
    const auto &st = run.statuses[row];
    EXPECT_NE(std::find(st.begin(), st.end(), "Write to flash"), st.end());
    EXPECT_EQ(log_lines(run.log_text()), std::vector<std::string>{"NA,,T,T,Finished,0"});

    EXPECT_TRUE(nand_holds(*phone->nand(), images));
    auto agent = phone->agent();
    ASSERT_TRUE(agent);
    EXPECT_EQ(agent->gpio(5), 1u);
    EXPECT_EQ(agent->gpio(6), 0u);
    // The clock got UTC now.
    auto rtc = agent->rtc();
    ASSERT_TRUE(rtc);
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    EXPECT_EQ((*rtc)[0], static_cast<uint32_t>(utc.tm_year));
    EXPECT_EQ((*rtc)[2], static_cast<uint32_t>(utc.tm_mday));

    // Left plugged in, the finished phone stays on its green row and is acknowledged.
    size_t acks = count_word(agent->commands(), vphone::agent_cmd::ACK);
    run.pump_for(450);
    size_t acks_later = count_word(agent->commands(), vphone::agent_cmd::ACK);
    EXPECT_GE(acks_later, acks + 2); // one per 100 ms, with room for a loaded machine
    EXPECT_LE(acks_later, acks + 6);
    EXPECT_NE(run.list().GetItemData(row), nullptr);
    EXPECT_EQ(run.cell(row, COL_IMAGE), "Finished");

    phone->unplug();
    ASSERT_TRUE(run.pump_until([&] { return run.list().GetItemData(row) == nullptr; }));
    for (int c : {COL_IMAGE, COL_DIE_ID, COL_STATUS, COL_ELAPSED, COL_PROGRESS})
        EXPECT_EQ(run.cell(row, c), "") << c;
    EXPECT_EQ(run.logged(), 1);
}

TEST(StationPhones, LoopTestResetsThePhoneAndClearsTheRowAtOnce)
{
    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, std::string(kJobExtras) + "[misc]\nloop_test = 1\n");
    ASSERT_TRUE(job);
    StationRun run(job.get());
    ASSERT_EQ(run.start(), 0);
    auto po = phone_options("simagent-1");
    po.reboot_on_reset = true; // the phone comes back in boot ROM mode: programmed again
    po.bbm_present = false;
    auto phone = vphone::plug_phone("sim-1", po);
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }));
    EXPECT_GE(phone->agent_starts(), 2); // reset, and back in boot ROM mode for the next run
    phone->unplug();
    // A third run may have started before the unplug; wait until the row's run is over.
    ASSERT_TRUE(run.pump_until([&] {
        const tag_list_item *it = run.list().GetItemData(0);
        return !it || it->detached;
    }));
    auto lines = log_lines(run.log_text());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "NA,,T,T,Finished,0");
    EXPECT_EQ(lines[1], "NA,,T,T,Finished,0");
    // The first run built a table; after each success the row was cleared at once, before the
    // phone came back: "Completed" is followed by an empty Status, then the next attach.
    auto &im = run.images[0];
    EXPECT_NE(std::find(im.begin(), im.end(), "Init BBM (Used flash)"), im.end());
    auto &st = run.statuses[0];
    auto done = std::find(st.begin(), st.end(), "Completed");
    ASSERT_TRUE(done != st.end() && done + 2 < st.end());
    EXPECT_EQ(*(done + 1), "");
    EXPECT_EQ(*(done + 2), "Device Connected.");
    EXPECT_EQ(run.list().GetItemCount(), 1);
}

// A started plug-in host for a job in jobdir (its description set, as a plug-in needs one).
struct PluginSetUp {
    void *handle = nullptr;
    PluginSetUp(const TempDir &jobdir, flashini_content *job, const char *dll,
                const std::string &extra)
    {
        copy_text_field(job->one_file_image_description, sizeof job->one_file_image_description,
                        "shift image 7");
        std::string ini = (jobdir.path / "post_plugin.ini").string();
        std::ofstream(ini) << "[Plugin]\ndll_name = " << dll << "\n" << extra;
        int err = -1;
        handle = plugin_handler_init(&err, ini.c_str(), BW_PLUGIN_HOST);
        EXPECT_TRUE(handle) << err;
    }
    ~PluginSetUp() { plugin_handler_finailize(handle); }
};

// The plug-in gets the bytes read back from the phone, program_okay 1, no device handle and the
// job's description; with a read size of 0 it is never called.
TEST(StationPhones, PluginJudgesTheBytesReadBackFromThePhone)
{
    for (int size : {0, 4096}) {
        SCOPED_TRACE(size);
        TempDir jobdir;
        auto images = default_images();
        Job job = make_job(jobdir, images, "[misc]\nlogging = 1\nloop_test = 1\n");
        ASSERT_TRUE(job);
        const std::string record = (jobdir.path / "calls.txt").string();
        setenv("BW_TEST_PLUGIN_RECORD", record.c_str(), 1); // the plug-in's process inherits it
        PluginSetUp plugin(jobdir, job.get(), BW_PLUGIN_VERDICT_0,
                           "extra_read_addr = 0\nextra_read_size = " + std::to_string(size) + "\n");
        ASSERT_TRUE(plugin.handle);
        station_options o;
        o.post_plugin_handle = plugin.handle;
        {
            StationRun run(job.get(), o);
            ASSERT_EQ(run.start(), 0);
            auto phone = vphone::plug_phone("sim-1", phone_options());
            ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
            EXPECT_EQ(log_lines(run.log_text()), std::vector<std::string>{"NA,,T,T,Finished,0"});
            phone->unplug();
        }
        unsetenv("BW_TEST_PLUGIN_RECORD");
        const std::vector<uint8_t> calls = read_file(record);
        // The boot image's first bytes.
        EXPECT_EQ(std::string(calls.begin(), calls.end()),
                  size == 0 ? "" : "4096 1 1 BWIMG1 shift image 7\n");
    }
}

// A plug-in that crashes while judging one of two phones fails only that phone; the other, and
// the next phone on the same fixture, are judged by a working plug-in.
TEST(StationPhones, CrashingPluginFailsOnlyItsPhone)
{
    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, "[misc]\nlogging = 1\n");
    ASSERT_TRUE(job);
    const std::string marker = (jobdir.path / "crashed").string();
    setenv("BW_TEST_PLUGIN_MARKER", marker.c_str(), 1);
    PluginSetUp plugin(jobdir, job.get(), BW_PLUGIN_CRASH_ONCE, "extra_read_size = 2048\n");
    ASSERT_TRUE(plugin.handle);
    station_options o;
    o.post_plugin_handle = plugin.handle;
    o.ack_period_ms = 50;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    testing::internal::CaptureStderr();
    auto one = vphone::plug_phone("sim-1", phone_options());
    auto two = vphone::plug_phone("sim-2", phone_options());
    // The failure's text follows its result.
    int crashed = -1;
    ASSERT_TRUE(run.pump_until([&] {
        for (int row : {0, 1})
            if (run.cell(row, COL_STATUS) == "Post plugin crashed")
                crashed = row;
        return run.logged() == 2 && crashed >= 0;
    }));
    std::vector<std::string> lines = log_lines(run.log_text());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"NA,,T,T,Finished,0", "NA,,T,T,Write back BBM,1"}));
    EXPECT_EQ(run.cell(1 - crashed, COL_IMAGE), "Finished");

    one->unplug();
    two->unplug();
    auto next =
        vphone::plug_phone(crashed == run.row_of("sim-1") ? "sim-1" : "sim-2", phone_options());
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 3; }));
    EXPECT_EQ(log_lines(run.log_text()).back(), "NA,,T,T,Finished,0");
    testing::internal::GetCapturedStderr();
    next->unplug();
    unsetenv("BW_TEST_PLUGIN_MARKER");
}

TEST(StationPhones, VirtualOnlyStationProgramsVirtualPhonesAndSkipsRealPaths)
{
    EXPECT_TRUE(station_path_is_virtual(usb_make_device_path(0x1286, 0x8104, "sim-1")));
    EXPECT_FALSE(station_path_is_virtual(usb_make_device_path(0x1286, 0x8104, "1-1.4")));
    EXPECT_FALSE(station_path_is_virtual("\\\\?\\usb#vid_1286&pid_8104"));

    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, kJobExtras);
    ASSERT_TRUE(job);
    station_options o;
    o.virtual_devices_only = true;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    auto phone = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
    EXPECT_EQ(log_lines(run.log_text())[0], "NA,,T,T,Finished,0");
    EXPECT_TRUE(nand_holds(*phone->nand(), images));
    phone->unplug();
}

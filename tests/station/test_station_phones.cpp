// Whole-station tests: the station core, with no GUI, against virtual phones on the virtual bus.
// The test's thread is the window thread.
#include <algorithm>
#include <cstring>
#include <dlfcn.h>

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

// The plug-in gets the bytes read back from the phone, program_okay 1 and the job's description;
// with a read size of 0 it is never called.
TEST(StationPhones, PluginJudgesTheBytesReadBackFromThePhone)
{
    struct Call {
        int calls, read_size, program_okay;
        unsigned char first_bytes[8];
        char version[61];
    };
    void *lib = dlopen(BW_PLUGIN_VERDICT_0, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib);
    auto last = reinterpret_cast<const Call *(*)()>(dlsym(lib, "test_plugin_last"));
    ASSERT_TRUE(last);

    for (int size : {0, 4096}) {
        SCOPED_TRACE(size);
        TempDir jobdir;
        auto images = default_images();
        Job job = make_job(jobdir, images, "[misc]\nlogging = 1\nloop_test = 1\n");
        ASSERT_TRUE(job);
        copy_text_field(job->one_file_image_description, sizeof job->one_file_image_description,
                        "shift image 7");
        std::string ini = (jobdir.path / "post_plugin.ini").string();
        std::ofstream(ini) << "[Plugin]\ndll_name = " << BW_PLUGIN_VERDICT_0
                           << "\nextra_read_addr = 0\nextra_read_size = " << size << "\n";
        int err = -1;
        void *plugin = plugin_handler_init(&err, ini.c_str());
        ASSERT_TRUE(plugin);
        const int calls_before = last()->calls;
        station_options o;
        o.post_plugin_handle = plugin;
        {
            StationRun run(job.get(), o);
            ASSERT_EQ(run.start(), 0);
            auto phone = vphone::plug_phone("sim-1", phone_options());
            ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
            EXPECT_EQ(log_lines(run.log_text()), std::vector<std::string>{"NA,,T,T,Finished,0"});
            phone->unplug();
        }
        plugin_handler_finailize(plugin);
        if (size == 0) {
            EXPECT_EQ(last()->calls, calls_before);
            continue;
        }
        EXPECT_EQ(last()->calls, calls_before + 1);
        EXPECT_EQ(last()->read_size, size);
        EXPECT_EQ(last()->program_okay, 1);
        EXPECT_EQ(memcmp(last()->first_bytes, "BWIMG1", 6), 0); // the boot image's first bytes
        EXPECT_STREQ(last()->version, "shift image 7");
    }
    dlclose(lib);
}

// A station told to watch only the virtual bus (--simulate) still programs virtual phones, and
// would pass over a real phone's path.
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

// The station's quit while phones are held by a plug-in call that never returns: bounded, and
// one "Station stopped" line per phone.
#include <fstream>

#include "station/shutdown.h"
#include "station_harness.h"

using namespace harness;

namespace
{

// The default job, logging on.
struct StationQuit : ::testing::Test {
    TempDir jobdir;
    Job job = make_job(jobdir, default_images(), "[misc]\nlogging = 1\n");
    void SetUp() override { ASSERT_TRUE(job); }
};

} // namespace

TEST_F(StationQuit, PlugInThatNeverReturnsDoesNotHoldTheQuitAndEachPhoneGetsOneLine)
{
    std::string ini = (jobdir.path / "post_plugin.ini").string();
    std::ofstream(ini) << "[Plugin]\ndll_name = " << BW_PLUGIN_SLEEP
                       << "\nextra_read_addr = 0\nextra_read_size = 2048\n";
    int err = -1;
    station_options o;
    o.post_plugin_handle = plugin_handler_init(&err, ini.c_str(), BW_PLUGIN_HOST);
    ASSERT_TRUE(o.post_plugin_handle);
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    auto p1 = vphone::plug_phone("sim-1", phone_options());
    auto p2 = vphone::plug_phone("sim-2", phone_options());
    auto in_plugin = [&] {
        return run.list().GetItemCount() == 2 && run.cell(0, COL_IMAGE) == "Write back BBM" &&
               run.cell(1, COL_IMAGE) == "Write back BBM";
    };
    ASSERT_TRUE(run.pump_until(in_plugin));
    run.pump_for(500); // the 2 KiB read-back is done: both threads are inside the call
    const int alive_before = station_download_threads_alive();

    auto t0 = std::chrono::steady_clock::now();
    run.station->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    // Both calls were abandoned (their helper processes killed), so both threads have ended.
    EXPECT_EQ(station_download_threads_alive(), alive_before - 2);
    EXPECT_EQ(log_lines(run.log_text()),
              (std::vector<std::string>{"NA,,T,T,Write back BBM,1", "NA,,T,T,Write back BBM,1"}));
    for (int row = 0; row < 2; row++) {
        EXPECT_EQ(run.cell(row, COL_STATUS), "Station stopped");
        EXPECT_EQ(ProcessCustomDraw(run.list(), row, COL_STATUS), STATION_COLOUR_FAILED);
    }
    plugin_handler_finailize(o.post_plugin_handle);
}

// A quit that comes right at a phone's attach, before its thread has said anything: the record
// the quit finishes must not be written by the monitor at the same time (run under TSan).
TEST_F(StationQuit, AQuitAtTheAttachSharesTheRecordWithNoThread)
{
    for (int round = 0; round < 5; round++) {
        StationRun run(job.get());
        bool attached = false;
        run.station->subscribe([&](const run_event &ev) {
            attached = attached || ev.kind == run_event_kind::attached;
        });
        ASSERT_EQ(run.start(), 0);
        auto phone = vphone::plug_phone("sim-1", phone_options());
        ASSERT_TRUE(run.pump_until([&] { return attached; }));
        run.station->stop();
        std::vector<std::string> lines = log_lines(run.log_text());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(run.detail_text().find("\"bootrom_id\":\"1286:8104\""), std::string::npos)
            << run.detail_text();
    }
}

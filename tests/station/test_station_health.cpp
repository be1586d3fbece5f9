// The station's tally and fixture health, the hold of a phone that keeps failing in boot ROM
// mode, and the log alarm with a real full disk under a running station.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "station/production_log.h"
#include "station_harness.h"

using namespace harness;

namespace
{

// A boot ROM that refuses its greeting every time: the phone never leaves boot ROM mode.
vphone::PhoneOptions stuck_phone()
{
    vphone::PhoneOptions po = phone_options();
    for (int n = 1; n <= 8; ++n) {
        vphone::BootromFault f;
        f.kind = vphone::BootromFault::STATUS;
        f.cmd = 0x20; // get version
        f.occurrence = n;
        po.bootrom.faults.push_back(f);
    }
    return po;
}

struct StationHealth : ::testing::Test {
    TempDir jobdir;
    Job job = make_job(jobdir, default_images(), "[misc]\nlogging = 1\n");
    std::unique_ptr<StationRun> run;

    void SetUp() override
    {
        ASSERT_TRUE(job);
        station_options o;
        o.ack_period_ms = 100;
        run = std::make_unique<StationRun>(job.get(), o);
    }
    const tag_list_item *record(const std::string &name)
    {
        int row = run->row_of(name);
        return row < 0 ? nullptr : run->list().GetItemData(row);
    }
};

} // namespace

TEST(FixtureHealth, SuspectAfterThreeFailedPhonesUntilAPassAndYieldCountsFirstRuns)
{
    station_health h;
    auto phone_run = [&](const char *name, int code) {
        health_attach(&h, 0, name);
        shift_count(&h.shift, code, health_result(&h, 0, name, code), false);
    };
    phone_run("a", 1);
    phone_run("a", 1); // a retry of the same phone, still on the bus: not a second phone
    strikes_listed(&h.strikes, {});
    phone_run("a", 1); // it left the bus and came back: a new phone
    EXPECT_FALSE(fixture_suspect(*health_fixture(h, 0)));
    strikes_listed(&h.strikes, {});
    phone_run("a", 5);
    EXPECT_TRUE(fixture_suspect(*health_fixture(h, 0)));
    EXPECT_EQ(fixture_health_text(h, 0), "0 passed, 4 failed - suspect");
    strikes_listed(&h.strikes, {});
    phone_run("a", 0);
    EXPECT_FALSE(fixture_suspect(*health_fixture(h, 0)));
    EXPECT_EQ(shift_tally_text(h.shift, h.shift.start_tick + 3600000),
              "1 programmed, 4 failed, first-pass yield 25.0% (1/4), 1.0 phones/h");
}

TEST_F(StationHealth, PhoneFailingThreeTimesOnTheBusIsHeldUntilUnplugged)
{
    ASSERT_EQ(run->start(), 0);
    auto phone = vphone::plug_phone("sim-1", stuck_phone());
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run->pump_until([&] { return run->logged() == 3; }));
    ASSERT_TRUE(run->pump_until([&] { return run->cell(0, COL_STATUS) == kRemoveThePhone; }));
    run->pump_for(600); // not started again
    EXPECT_EQ(run->logged(), 3);
    const shift_tally &t = run->station->health().shift;
    EXPECT_EQ(t.failed, 3);
    EXPECT_EQ(t.first_runs, 1); // one phone, tried three times
    EXPECT_FALSE(fixture_suspect(*health_fixture(run->station->health(), 0)));

    phone->unplug();
    run->pump_for(200);
    run->station->one_second_timer();
    EXPECT_EQ(run->cell(0, COL_STATUS), "Download DKB failed");
    // The next phone on that port is taken at once.
    auto good = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(run->pump_until([&] { return run->logged() == 4; }));
    EXPECT_EQ(run->station->health().shift.programmed, 1);
}

TEST_F(StationHealth, FullDiskRaisesTheAlarmTakesNoNewPhoneAndWritesKeptLinesLater)
{
    const std::string m = run->dir.path.string() + "/small";
    std::filesystem::create_directories(m);
    if (mount("tmpfs", m.c_str(), "tmpfs", 0, "size=16384") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << strerror(errno);
    struct Unmount {
        std::string m;
        ~Unmount() { umount2(m.c_str(), MNT_DETACH); }
    } unmount{m};
    // The station's log on the small disk, its page all but full, and no page free.
    std::string path;
    FILE *f = log_create_file((m + "/log").c_str(), station_local_time(), &path);
    ASSERT_NE(f, nullptr);
    fputs((std::string(4096 - 66 - 22, 'p') + "\r\n").c_str(), f);
    ASSERT_EQ(log_adopt(&run->station->context()->log, f, path), 0);
    run->log_path = path;
    {
        int fd = open((m + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
        std::string block(4096, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    }
    ASSERT_EQ(run->start(), 0);

    auto first = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(run->pump_until([&] { return record("sim-1") && record("sim-1")->completed; }));
    EXPECT_NE(run->station->alarm().find("No space left on device"), std::string::npos)
        << run->station->alarm();
    // Shown, but not yet on disk: amber, and not in the tally.
    EXPECT_EQ(ProcessCustomDraw(run->list(), run->row_of("sim-1"), COL_STATUS),
              STATION_COLOUR_UNRECORDED);
    EXPECT_EQ(run->station->health().shift.programmed, 0);
    auto second = vphone::plug_phone("sim-2", phone_options());
    run->pump_for(500);
    EXPECT_EQ(run->row_of("sim-2"), -1); // not taken while the log cannot be written
    EXPECT_EQ(run->logged(), 1);         // the padding line alone

    unlink((m + "/filler").c_str());
    run->station->one_second_timer();
    EXPECT_EQ(run->station->alarm(), "");
    EXPECT_EQ(ProcessCustomDraw(run->list(), run->row_of("sim-1"), COL_STATUS),
              STATION_COLOUR_PASSED);
    EXPECT_EQ(run->station->health().shift.programmed, 1);
    ASSERT_TRUE(run->pump_until([&] { return run->logged() == 3; }));
    // Both phones' lines after the padding, whole and once each.
    std::vector<std::string> lines = log_lines(run->log_text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "NA,,T,T,Finished,0");
    EXPECT_EQ(lines[2], "NA,,T,T,Finished,0");
}

// A simulated station's run events reaching the live state in a throwaway PostgreSQL server: a
// virtual phone's fixture seen running, then passed.
#include "live/live_writer.h"
#include "station/station_harness.h"
#include "support/pg_cluster.h"

using namespace harness;

TEST(LiveStation, AVirtualPhoneIsSeenRunningThenPassedInTheDatabase)
{
    PgCluster cluster;
    std::string why;
    if (!cluster.create(&why))
        GTEST_SKIP() << "no PostgreSQL server for this test: " << why;
    TempDir jobdir;
    Job job = make_job(jobdir, default_images(), "[misc]\nlogging = 1\n");
    ASSERT_TRUE(job);
    StationRun run(job.get());
    auto board = std::make_shared<LiveBoard>();
    std::vector<std::string> states; // as the board took them
    run.station->subscribe([&](const run_event &ev) {
        board->take(ev, 0, 0);
        states.push_back(fixture_state_name(ev.run.state));
    });
    LiveOptions o;
    o.conninfo = cluster.conninfo();
    o.station = "sim-station";
    o.run_id = "run-1";
    o.fixture_interval_ms = 100; // see the running state before the phone is done
    LiveWriter writer(o, board);
    ASSERT_EQ(writer.start(), 0);
    ASSERT_EQ(run.start(), 0);

    std::vector<std::string> seen; // the fixture row's states, as the database had them
    auto db_state = [&] {
        PgRows r = pg_query(cluster.conninfo(),
                            "SELECT state FROM bramblewick.fixture_state WHERE fixture = 'NA0'");
        if (r.size() == 1 && (seen.empty() || seen.back() != r[0][0]))
            seen.push_back(r[0][0]);
        return seen;
    };
    vphone::PhoneOptions po = phone_options();
    po.timing.bytes_per_sec = 200000; // a run of a second or two, long enough to be seen
    auto phone = vphone::plug_phone("sim-1", po);
    ASSERT_TRUE(run.pump_until(
        [&] {
            db_state();
            return !seen.empty() && seen.back() == "passed";
        },
        20000))
        << "board took " << states.size() << " events";
    EXPECT_EQ(seen.front(), "running");
    phone->unplug();
    run.station->stop();
    writer.stop();
    EXPECT_EQ(pg_query(cluster.conninfo(), "SELECT stopped IS NOT NULL FROM bramblewick.station"),
              PgRows{{"t"}});
}

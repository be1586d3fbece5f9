// The run's typed events, its outcome when the station ends it, and the tally's timing: what the
// views, the records and the live state build on.
#include "station_harness.h"

using namespace harness;

namespace
{

// A station on the default job with every run event recorded, its phones' runs fast to end.
struct RunEvents : ::testing::Test {
    TempDir jobdir;
    Job job = make_job(jobdir, default_images(), "[misc]\nlogging = 1\n");
    std::unique_ptr<StationRun> run;
    std::vector<run_event> events;

    void SetUp() override
    {
        ASSERT_TRUE(job);
        station_options o;
        o.ack_period_ms = 100;
        run = std::make_unique<StationRun>(job.get(), o);
        run->station->subscribe([this](const run_event &ev) { events.push_back(ev); });
        ASSERT_EQ(run->start(), 0);
    }
    std::vector<run_event_kind> kinds() const
    {
        std::vector<run_event_kind> k;
        for (const run_event &ev : events)
            if (k.empty() || k.back() != ev.kind)
                k.push_back(ev.kind);
        return k;
    }
};

} // namespace

TEST_F(RunEvents, APhonesRunIsPublishedInOrderFromAttachToDetach)
{
    auto phone = vphone::plug_phone("sim-1", phone_options());
    ASSERT_TRUE(run->pump_until([&] { return run->logged() == 1; }));
    phone->unplug();
    ASSERT_TRUE(run->pump_until([&] { return run->list().GetItemData(0) == nullptr; }));

    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, run_event_kind::attached);
    EXPECT_EQ(events.back().kind, run_event_kind::detached);
    std::vector<std::string> stages;
    for (const run_event &ev : events) {
        EXPECT_EQ(ev.run.run_id, events.front().run.run_id);
        if (ev.kind == run_event_kind::stage)
            stages.push_back(ev.run.stage);
    }
    // Every stage the row showed, but the result's own "Finished" and the clear after it.
    ASSERT_GE(run->images[0].size(), 2u);
    EXPECT_EQ(stages, std::vector<std::string>(run->images[0].begin(), run->images[0].end() - 2));
    auto k = kinds();
    auto result = std::find(k.begin(), k.end(), run_event_kind::result);
    ASSERT_NE(result, k.end());
    EXPECT_EQ(*(result + 1), run_event_kind::recorded);
    const run_event &done = *std::find_if(events.begin(), events.end(), [](const run_event &ev) {
        return ev.kind == run_event_kind::recorded;
    });
    EXPECT_EQ(done.run.state, fixture_state::passed);
    EXPECT_EQ(done.run.stage, "Finished");
    EXPECT_TRUE(done.run.recorded);
    EXPECT_EQ(events.back().run.state, fixture_state::idle);
}

TEST_F(RunEvents, AQuitMidWriteKeepsTheLinesButCountsNeitherAFailureNorTheFixtures)
{
    vphone::PhoneOptions slow = phone_options();
    slow.timing.bytes_per_sec = 100000; // the images take seconds
    auto p1 = vphone::plug_phone("sim-1", slow);
    auto p2 = vphone::plug_phone("sim-2", slow);
    ASSERT_TRUE(run->pump_until([&] {
        return run->list().GetItemCount() == 2 && run->cell(0, COL_IMAGE) == "kernel" &&
               run->cell(1, COL_IMAGE) == "kernel";
    }));
    run->station->stop();

    EXPECT_EQ(log_lines(run->log_text()),
              (std::vector<std::string>{"NA,,T,T,kernel,1", "NA,,T,T,kernel,1"}));
    const std::string detail = run->detail_text();
    EXPECT_EQ(count_lines(detail), 2);
    EXPECT_EQ(detail.find("\"interrupted\":false"), std::string::npos);
    const shift_tally &t = run->station->health().shift;
    EXPECT_EQ(t.interrupted, 2);
    EXPECT_EQ(t.failed + t.programmed + t.first_runs, 0);
    EXPECT_EQ(fixture_health_text(run->station->health(), 0), "");
    EXPECT_NE(run->station->tally_text().find("0 failed, 2 interrupted"), std::string::npos);
    EXPECT_EQ(run->cell(0, COL_STATUS), "Station stopped");
    EXPECT_EQ(events.back().kind, run_event_kind::recorded);
    EXPECT_EQ(events.back().run.state, fixture_state::interrupted);
}

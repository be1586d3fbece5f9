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

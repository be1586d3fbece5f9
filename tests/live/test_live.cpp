// The live state's writer against a real PostgreSQL server of the tests' own: coalescing, the
// trigger's NOTIFY, an outage, the upgrade of a version-1 database, twin stations; and the
// metrics file.
#include "live/live_writer.h"
#include "live/metrics_file.h"
#include "record/detail_record.h"
#include "recorddb/record_db.h"
#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <libpq-fe.h>
#include <poll.h>
#include <sstream>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

PgCluster *g_cluster = nullptr;
std::string g_why_not;

bool eventually(const std::function<bool()> &cond, int timeout_ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

run_event change(int fixture, fixture_state state, const std::string &stage, int progress = -1,
                 run_event_kind kind = run_event_kind::stage)
{
    run_event ev{kind, {}};
    ev.run.row = fixture - 1;
    ev.run.fixture = fixture;
    ev.run.state = state;
    ev.run.stage = stage;
    ev.run.progress_percent = progress;
    return ev;
}

class LiveTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        g_cluster = PgCluster::for_suite(&g_why_not);
    }
    static void TearDownTestSuite()
    {
        delete g_cluster;
        g_cluster = nullptr;
    }

    void SetUp() override
    {
        if (!g_cluster)
            GTEST_SKIP() << "no PostgreSQL server for this test: " << g_why_not;
        db_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : db_)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        query(g_cluster->conninfo(), "CREATE DATABASE " + db_);
        conninfo_ = g_cluster->conninfo() + " dbname=" + db_;
        report_ = tmpfile();
    }
    void TearDown() override
    {
        writers_.clear();
        if (report_)
            std::fclose(report_);
    }

    LiveOptions options(const std::string &station, const std::string &run_id,
                        const std::string &host = "pc-1")
    {
        LiveOptions o;
        o.conninfo = conninfo_;
        o.station = station;
        o.run_id = run_id;
        o.host = host;
        o.program_version = "test";
        o.heartbeat_ms = 200;
        o.backoff_first_ms = 50;
        o.backoff_max_ms = 300;
        o.connect_timeout_ms = 2000;
        o.twin_fresh_s = 2;
        o.report = report_;
        return o;
    }
    LiveWriter &start(const LiveOptions &o, std::shared_ptr<LiveBoard> board)
    {
        writers_.push_back(std::make_unique<LiveWriter>(o, board));
        EXPECT_EQ(writers_.back()->start(), 0);
        return *writers_.back();
    }

    static PgRows query(const std::string &conninfo, const std::string &sql)
    {
        std::string error;
        PgRows out = pg_query(conninfo, sql, &error);
        EXPECT_EQ(error, "") << sql;
        return out;
    }
    PgRows rows(const std::string &sql) { return query(conninfo_, sql); }
    std::string one(const std::string &sql)
    {
        PgRows r = rows(sql);
        return r.size() == 1 && r[0].size() == 1 ? r[0][0] : "<" + std::to_string(r.size()) + ">";
    }
    std::string fixture_state_of(const std::string &fixture)
    {
        return one("SELECT state || ' ' || coalesce(stage, '') FROM bramblewick.fixture_state "
                   "WHERE fixture = '" +
                   fixture + "'");
    }

    std::string db_, conninfo_;
    FILE *report_ = nullptr;
    std::shared_ptr<LiveBoard> board_ = std::make_shared<LiveBoard>();
    std::vector<std::unique_ptr<LiveWriter>> writers_;
};

} // namespace

TEST_F(LiveTest, ManyChangesBecomeOneWritePerFixtureASecondEndingInTheLatestAndAStop)
{
    LiveWriter &w = start(options("st-1", "run-a"), board_);
    ASSERT_TRUE(eventually([&] { return w.state().connected; }, 5000));
    // Every write of a fixture row, with the server's clock.
    rows("CREATE TABLE writes (fixture text, at timestamptz DEFAULT clock_timestamp()); "
         "CREATE FUNCTION count_write() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
         "INSERT INTO writes (fixture) VALUES (NEW.fixture); RETURN NULL; END $$; "
         "CREATE TRIGGER count_write AFTER INSERT OR UPDATE ON bramblewick.fixture_state "
         "FOR EACH ROW EXECUTE FUNCTION count_write()");

    auto end = Clock::now() + std::chrono::milliseconds(2500);
    int n = 0;
    while (Clock::now() < end) {
        board_->take(change(1, fixture_state::running, "Write", n % 100), 0, 0);
        board_->take(change(2, fixture_state::running, "Erase", n % 100), 0, 0);
        ++n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    board_->take(change(1, fixture_state::passed, "Finished"), 1, 1);
    ASSERT_TRUE(eventually([&] { return fixture_state_of("1") == "passed Finished"; }, 3000));
    EXPECT_EQ(fixture_state_of("2"), "running Erase");

    // At most one write per fixture in any second (the server's clock; a little slack for it).
    EXPECT_EQ(one("SELECT count(*) FROM (SELECT at - lag(at) OVER (PARTITION BY fixture "
                  "ORDER BY at) AS gap FROM writes) g WHERE gap < interval '950 ms'"),
              "0");
    EXPECT_LE(std::stoi(one("SELECT count(*) FROM writes WHERE fixture = '1'")), 5);
    EXPECT_GT(n, 200);

    w.stop();
    EXPECT_EQ(one("SELECT stopped IS NOT NULL AND heartbeat >= started FROM bramblewick.station"),
              "t");

    // The next run of the station starts without the past run's fixtures.
    auto next_board = std::make_shared<LiveBoard>();
    LiveWriter &next = start(options("st-1", "run-b"), next_board);
    next_board->take(change(2, fixture_state::running, "Erase"), 0, 0);
    ASSERT_TRUE(eventually([&] { return next.state().fixture_writes > 0; }, 5000));
    EXPECT_EQ(one("SELECT string_agg(fixture, ',') FROM bramblewick.fixture_state"), "2");
    EXPECT_EQ(one("SELECT run_id || (stopped IS NULL) FROM bramblewick.station"), "run-btrue");
}

TEST_F(LiveTest, AListenerIsToldOfEveryChange)
{
    PGconn *listener = PQconnectdb(conninfo_.c_str());
    ASSERT_EQ(PQstatus(listener), CONNECTION_OK);
    PQclear(PQexec(listener, "LISTEN bramblewick_line"));
    LiveWriter &w = start(options("st-<i>1</i>", "run-a"), board_);
    ASSERT_TRUE(eventually([&] { return w.state().station_writes > 0; }, 5000));

    auto drain = [&] {
        std::vector<std::string> got;
        PQconsumeInput(listener);
        while (PGnotify *n = PQnotifies(listener)) {
            got.push_back(n->extra);
            PQfreemem(n);
        }
        return got;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drain();
    board_->take(change(3, fixture_state::running, "Erase \xff\x01"), 0, 0); // bytes as they come
    std::vector<std::string> got;
    ASSERT_TRUE(eventually(
        [&] {
            for (const std::string &s : drain())
                got.push_back(s);
            return !got.empty();
        },
        3000));
    EXPECT_EQ(got[0], "st-<i>1</i>");
    ASSERT_TRUE(eventually([&] { return w.state().fixture_writes > 0; }, 3000));
    EXPECT_EQ(fixture_state_of("3"), "running " + detail_escape_text("Erase \xff\x01"));
    PQfinish(listener);
}

TEST_F(LiveTest, TheFirstWriteAfterAnOutageBringsEveryFixtureCurrent)
{
    LiveWriter &w = start(options("st-1", "run-a"), board_);
    board_->take(change(1, fixture_state::running, "Erase"), 0, 0);
    ASSERT_TRUE(eventually([&] { return w.state().fixture_writes > 0; }, 5000));
    ASSERT_EQ(fixture_state_of("1"), "running Erase");

    ASSERT_TRUE(g_cluster->stop("immediate"));
    board_->take(change(1, fixture_state::failed, "Write", -1, run_event_kind::result), 1, 0);
    board_->take(change(2, fixture_state::running, "Erase"), 1, 0);
    ASSERT_TRUE(eventually([&] { return !w.state().connected; }, 5000));
    ASSERT_TRUE(g_cluster->start());

    ASSERT_TRUE(eventually([&] { return fixture_state_of("1") == "failed Write"; }, 8000));
    EXPECT_EQ(fixture_state_of("2"), "running Erase");
    EXPECT_EQ(one("SELECT failed FROM bramblewick.station"), "1");
}

TEST_F(LiveTest, AVersion1DatabaseIsUpgradedInPlace)
{
    std::ifstream f(BW_SCHEMA_V1);
    std::stringstream v1;
    v1 << f.rdbuf();
    rows(v1.str());
    rows("INSERT INTO bramblewick.phone_run (station, csv_file, csv_line, record) "
         "VALUES ('st-1', 'log_1.csv', 2, '{}')");

    LiveWriter &w = start(options("st-1", "run-a"), board_);
    ASSERT_TRUE(eventually([&] { return w.state().station_writes > 0; }, 5000));
    EXPECT_EQ(one("SELECT string_agg(version::text, ',' ORDER BY version) "
                  "FROM bramblewick.schema_version"),
              "1," + std::to_string(RECORD_DB_SCHEMA_VERSION));
    EXPECT_EQ(one("SELECT count(*) FROM bramblewick.phone_run"), "1");
    EXPECT_EQ(one("SELECT run_id FROM bramblewick.station"), "run-a");
}

TEST_F(LiveTest, TwoLiveStationsWithOneIdReportEachOtherUntilOneQuits)
{
    auto other_board = std::make_shared<LiveBoard>();
    LiveWriter &a = start(options("cloned", "run-a", "pc-a"), board_);
    ASSERT_TRUE(eventually([&] { return a.state().station_writes > 0; }, 5000));
    LiveWriter &b = start(options("cloned", "run-b", "pc-b"), other_board);

    ASSERT_TRUE(eventually(
        [&] { return a.state().twin_run_id == "run-b" && b.state().twin_run_id == "run-a"; },
        5000));
    EXPECT_NE(a.alarm().find("pc-b"), std::string::npos) << a.alarm();
    EXPECT_NE(b.alarm().find("pc-a"), std::string::npos) << b.alarm();
    EXPECT_NE(one("SELECT coalesce(twin_run_id, '') FROM bramblewick.station"), "");

    b.stop();
    // Its row stopped, the other takes the row back and its alarm ends.
    ASSERT_TRUE(eventually([&] { return a.alarm().empty(); }, 5000));
    ASSERT_TRUE(eventually(
        [&] {
            return one("SELECT run_id || ' ' || (twin_run_id IS NULL) || ' ' || "
                       "(stopped IS NULL) FROM bramblewick.station") == "run-a true true";
        },
        3000));
}

TEST(Metrics, TheFileHoldsEveryFigureAndAHostileStationIdStaysALabel)
{
    LiveBoard board;
    board.take(change(1, fixture_state::passed, "Finished", -1, run_event_kind::result), 1, 1);
    run_event ev = change(2, fixture_state::failed, "Write", -1, run_event_kind::result);
    ev.run.suspect = true;
    board.take(ev, 2, 1);
    board.take(change(3, fixture_state::running, "Erase", 40), 2, 1);

    MetricsFigures f;
    f.tally = board.tally();
    f.fixtures = board.fixtures();
    f.record_backlog = 7;
    const std::string text = metrics_text("a\"b\\c\nd", f);
    const std::string st = "station=\"a\\\"b\\\\c\\nd\"";
    for (const std::string &line :
         {"bramblewick_phones_total{" + st + ",result=\"passed\"} 1",
          "bramblewick_phones_total{" + st + ",result=\"failed\"} 1",
          "bramblewick_phones_total{" + st + ",result=\"interrupted\"} 0",
          "bramblewick_first_pass_yield_ratio{" + st + "} 0.5000",
          "bramblewick_fixtures{" + st + ",state=\"running\"} 1",
          "bramblewick_fixtures{" + st + ",state=\"idle\"} 0",
          "bramblewick_fixtures_suspect{" + st + "} 1", "bramblewick_record_backlog{" + st + "} 7"})
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;

    // Replaced whole: the old file stays until the new one is complete, no temporary is left.
    char tmpl[] = "/tmp/bw-metrics-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string path = std::string(tmpl) + "/station.prom";
    ASSERT_EQ(metrics_write_file(path, "old\n"), 0);
    ASSERT_EQ(metrics_write_file(path, text), 0);
    std::ifstream in(path);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), text);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmpl), {}), 1);
    EXPECT_LT(metrics_write_file(std::string(tmpl) + "/no/such/dir.prom", text), 0);

    // The writer's thread keeps it current, and writes the last figures at its stop.
    auto shared = std::make_shared<LiveBoard>();
    MetricsWriter writer({path, "st", 50, nullptr}, shared, nullptr);
    ASSERT_EQ(writer.start(), 0);
    ASSERT_TRUE(eventually([&] { return writer.writes() >= 2; }, 3000));
    shared->take(change(9, fixture_state::held, "Write", -1, run_event_kind::fixture), 0, 0);
    writer.stop();
    std::ifstream again(path);
    std::stringstream last;
    last << again.rdbuf();
    EXPECT_NE(last.str().find("bramblewick_fixtures{station=\"st\",state=\"held\"} 1\n"),
              std::string::npos);
    std::filesystem::remove_all(tmpl);
}

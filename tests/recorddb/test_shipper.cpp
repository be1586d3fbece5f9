// The shipper against a real PostgreSQL server of the tests' own: a shift into the database,
// the server stopped mid-shift, a shipper restarted with records unsent, hostile texts, refused
// records.
#include "recorddb/record_db.h"
#include "recorddb/record_maker.h"
#include "recorddb/shipper.h"
#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <libpq-fe.h>
#include <csignal>
#include <thread>

using nlohmann::json;

namespace
{

PgCluster *g_cluster = nullptr;
std::string g_why_not;

// A log directory of a test's own, removed with everything in it.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char tmpl[] = "/tmp/bw-shipper-XXXXXX";
        if (mkdtemp(tmpl))
            path = tmpl;
    }
    ~ScratchDir()
    {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
};

class ShipperTest : public ::testing::Test
{
  protected:
    // The schema as version 1 shipped it, for the upgrades in place.
    static std::string schema_v1()
    {
        std::ifstream file(BW_SCHEMA_V1_SQL);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
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
        log_dir_ = scratch_.path;
        ASSERT_FALSE(log_dir_.empty());
        db_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : db_)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        exec_admin("CREATE DATABASE " + db_);
        opt_.conninfo = g_cluster->conninfo() + " dbname=" + db_;
        opt_.log_dir = log_dir_;
        opt_.check_period_ms = 200;
        opt_.backoff_first_ms = 50;
        opt_.backoff_max_ms = 400;
        opt_.connect_timeout_ms = 2000;
        opt_.report = tmpfile();
    }
    void TearDown() override
    {
        shipper_.reset();
        if (opt_.report)
            std::fclose(opt_.report);
    }

    void exec_admin(const std::string &sql) { query(g_cluster->conninfo(), sql); }
    // The rows of sql in this test's database, every value as text ("" for null).
    std::vector<std::vector<std::string>> rows(const std::string &sql)
    {
        return query(opt_.conninfo, sql);
    }
    static PgRows query(const std::string &conninfo, const std::string &sql)
    {
        std::string error;
        PgRows out = pg_query(conninfo, sql, &error);
        EXPECT_EQ(error, "") << sql;
        return out;
    }

    std::string jsonl(const std::string &stamp = "20261209_011500") const
    {
        return log_dir_ + "/log_" + stamp + ".jsonl";
    }
    // Records csv_line first..last of one CSV file, every fifth one failed.
    static std::vector<std::string> shift(int first, int last, const std::string &csv_file,
                                          const std::string &run_id = "")
    {
        std::vector<std::string> lines;
        for (int l = first; l <= last; ++l)
            lines.push_back(make_record("st-7", csv_file, l, l % 5 != 0, run_id).dump());
        return lines;
    }
    void start_shipper()
    {
        shipper_ = std::make_unique<Shipper>(opt_);
        ASSERT_EQ(shipper_->start(), 0);
    }
    bool wait_for(const std::function<bool(const ShipperState &)> &done, int ms = 20000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            if (done(shipper_->state()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool wait_up_to_date(long confirmed)
    {
        return wait_for([&](const ShipperState &s) {
            return s.connected && s.waiting == 0 && s.confirmed + s.refused >= confirmed;
        });
    }
    std::string report_text() const
    {
        std::fflush(opt_.report);
        std::rewind(opt_.report);
        std::string text;
        char buf[512];
        while (std::fgets(buf, sizeof buf, opt_.report))
            text += buf;
        return text;
    }
    long count() { return std::stol(rows("SELECT count(*) FROM bramblewick.phone_run")[0][0]); }
    // sig to the server and every process of it (a hung server: SIGSTOP, then SIGCONT).
    static void signal_server(int sig)
    {
        std::ifstream pid_file(g_cluster->dir() + "/data/postmaster.pid");
        pid_t postmaster = 0;
        pid_file >> postmaster;
        ASSERT_GT(postmaster, 0);
        kill(postmaster, sig);
        for (const auto &e : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(e.path() / "stat");
            std::string pid, comm, state;
            pid_t parent = 0;
            if (stat >> pid >> comm >> state >> parent && parent == postmaster)
                kill(std::stoi(pid), sig);
        }
    }

    ScratchDir scratch_;
    std::string log_dir_, db_;
    ShipperOptions opt_;
    std::unique_ptr<Shipper> shipper_;
};

TEST_F(ShipperTest, AShiftArrivesFieldByField)
{
    std::vector<std::string> lines = shift(2, 13, "log_20261209_011500.csv");
    append_lines(jsonl(), lines);
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(12)) << shipper_->state_line();
    EXPECT_EQ(shipper_->state_line(), "record: up to date");

    auto got = rows("SELECT station, program, csv_file, csv_line, fixture, interface_1, "
                    "interface_2, bootrom_id, bootrom_version, coalesce(agent_interface, 'null'), "
                    "to_char(start AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), "
                    "section, status_code, status_text, passed, job_sha256, images, nand, steps, "
                    "coalesce(plugin::text, 'null'), record FROM bramblewick.phone_run "
                    "ORDER BY csv_line");
    ASSERT_EQ(got.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        json r = json::parse(lines[i]);
        const auto &row = got[i];
        auto text = [](const json &v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
        EXPECT_EQ(row[0], text(r["station"]));
        EXPECT_EQ(row[1], text(r["program"]));
        EXPECT_EQ(row[2], text(r["csv_file"]));
        EXPECT_EQ(row[3], text(r["csv_line"]));
        EXPECT_EQ(row[4], text(r["fixture"]));
        EXPECT_EQ(row[5], text(r["interface_1"]));
        EXPECT_EQ(row[6], text(r["interface_2"]));
        EXPECT_EQ(row[7], text(r["bootrom_id"]));
        EXPECT_EQ(row[8], text(r["bootrom_version"]));
        EXPECT_EQ(row[9], text(r["agent_interface"]));
        EXPECT_EQ(row[10], text(r["start"]));
        EXPECT_EQ(row[11], text(r["section"]));
        EXPECT_EQ(row[12], text(r["status_code"]));
        EXPECT_EQ(row[13], text(r["status_text"]));
        EXPECT_EQ(row[14], r["passed"].get<bool>() ? "t" : "f");
        EXPECT_EQ(row[15], text(r["job"]["sha256"]));
        EXPECT_EQ(json::parse(row[16]), r["job"]["images"]);
        EXPECT_EQ(json::parse(row[17]), r["nand"]);
        EXPECT_EQ(json::parse(row[18]), r["steps"]);
        EXPECT_EQ(json::parse(row[19]), r["plugin"]);
        EXPECT_EQ(json::parse(row[20]), r);
    }
}

TEST_F(ShipperTest, TheViewsAnswerTheEngineersQuestions)
{
    append_lines(jsonl(), shift(2, 21, "log_20261209_011500.csv")); // 20 phones, 4 fail
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(20)) << shipper_->state_line();
    EXPECT_EQ(rows("SELECT phones, passed, failed, yield_pct FROM bramblewick.yield_by_station"),
              (std::vector<std::vector<std::string>>{{"20", "16", "4", "80.0"}}));
    // Fixture n gets csv_lines 2+n-1, +4, ...: fixture 4 holds the failed lines 5, 13 (of 5..21).
    EXPECT_EQ(rows("SELECT fixture, phones, failed FROM bramblewick.yield_by_fixture "
                   "ORDER BY fixture"),
              (std::vector<std::vector<std::string>>{
                  {"1", "5", "1"}, {"2", "5", "1"}, {"3", "5", "1"}, {"4", "5", "1"}}));
    EXPECT_EQ(rows("SELECT sum(phones) FROM bramblewick.yield_by_hour")[0][0], "20");
    EXPECT_EQ(rows("SELECT section, status_code, phones, usual_text FROM bramblewick.failures"),
              (std::vector<std::vector<std::string>>{
                  {"boot.img", "-116", "4", "Write failed: device gone"}}));
    EXPECT_EQ(rows("SELECT count(*) FROM bramblewick.phones_by_image WHERE sha256 = '" +
                   std::string(64, 'b') + "'")[0][0],
              "20");
}

TEST_F(ShipperTest, AServerStoppedMidShiftGetsEveryPhoneExactlyOnce)
{
    append_lines(jsonl(), shift(2, 11, "log_20261209_011500.csv"));
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(10));

    ASSERT_TRUE(g_cluster->stop("immediate"));
    append_lines(jsonl(), shift(12, 31, "log_20261209_011500.csv"));
    ASSERT_TRUE(wait_for([](const ShipperState &s) {
        return !s.connected && s.unreachable_since != 0 && s.waiting == 20;
    })) << shipper_->state_line();
    EXPECT_NE(shipper_->state_line().find("record: 20 waiting, database unreachable since "),
              std::string::npos)
        << shipper_->state_line();

    ASSERT_TRUE(g_cluster->start());
    ASSERT_TRUE(wait_up_to_date(30)) << shipper_->state_line();
    EXPECT_EQ(rows("SELECT count(*), count(DISTINCT csv_line), min(csv_line), max(csv_line) "
                   "FROM bramblewick.phone_run"),
              (std::vector<std::vector<std::string>>{{"30", "30", "2", "31"}}));
}

TEST_F(ShipperTest, RecordsUnsentWhenTheShipperStoppedArriveAtItsNextStart)
{
    append_lines(jsonl(), shift(2, 11, "log_20261209_011500.csv"));
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(10));
    shipper_->stop();
    append_lines(jsonl(), shift(12, 16, "log_20261209_011500.csv"));
    append_lines(jsonl("20261209_090000"), shift(2, 4, "log_20261209_090000.csv"));
    EXPECT_EQ(count(), 10);

    start_shipper();
    ASSERT_TRUE(wait_up_to_date(8));
    EXPECT_EQ(count(), 18);
    // Only the unsent ones went out again, and the schema was not made twice.
    EXPECT_EQ(shipper_->state().confirmed, 8);
    EXPECT_EQ(rows("SELECT count(*), max(version) FROM bramblewick.schema_version"),
              (std::vector<std::vector<std::string>>{
                  {"1", std::to_string(RECORD_DB_SCHEMA_VERSION)}}));
}

TEST_F(ShipperTest, AVersionOneDatabaseUpgradesInPlaceAndCountsInterruptedRunsApart)
{
    rows(schema_v1());
    rows("SELECT bramblewick.insert_runs('[" +
         make_record("st-7", "log_20261209_011500.csv", 2, false).dump() + "]')");
    std::vector<std::string> lines = shift(3, 6, "log_20261209_011500.csv"); // 6 fails
    for (int l = 7; l <= 8; ++l) { // the quit ended these two
        json r = make_record("st-7", "log_20261209_011500.csv", l, false);
        r["status_code"] = 1;
        r["status_text"] = "Station stopped";
        r["interrupted"] = true;
        lines.push_back(r.dump());
    }
    append_lines(jsonl(), lines);
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(6)) << shipper_->state_line();
    EXPECT_EQ(rows("SELECT phones, passed, failed, yield_pct, interrupted "
                   "FROM bramblewick.yield_by_station"),
              (std::vector<std::vector<std::string>>{{"7", "3", "2", "60.0", "2"}}));
    EXPECT_EQ(rows("SELECT sum(phones) FROM bramblewick.failures")[0][0], "2");
}

TEST_F(ShipperTest, HostileTextsArriveUnchanged)
{
    // Invalid UTF-8 as the record writes it (bytes 0x9f 0xff and a NUL as U+EF9F, U+EFFF and
    // U+EF00), quotes, backslashes, controls, CSV and SQL punctuation, non-ASCII.
    const std::string file = "bo\"ot\xee\xbe\x9f\xee\xbf\xbf\xee\xbc\x80\\x9f'; DROP TABLE x; --,"
                             "\t\x01 \xc3\xa9\xe4\xb8\xad.img";
    const std::string desc = "\\\\server\\share \"quoted\" \\u0000 $$ \xf0\x9f\x93\xb1";
    json r = make_record("st-7", "log_20261209_011500.csv", 2, true);
    r["job"]["images"][0]["file"] = file;
    r["job"]["images"][0]["desc"] = desc;
    r["status_text"] = desc;
    append_lines(jsonl(), {r.dump()});
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(1)) << report_text();
    EXPECT_EQ(rows("SELECT images->0->>'file', images->0->>'desc', status_text, "
                   "record->'job'->'images'->0->>'file' FROM bramblewick.phone_run"),
              (std::vector<std::vector<std::string>>{{file, desc, desc, file}}));
}

TEST_F(ShipperTest, RefusedRecordsAreKeptAndDoNotBlockTheOthers)
{
    json too_long = make_record(std::string(300, 's'), "log_20261209_011500.csv", 3, true);
    append_lines(jsonl(),
                 {make_record("st-7", "log_20261209_011500.csv", 2, true).dump(), too_long.dump(),
                  "{\"station\": \"st-7\", \"csv_file\": \"x\", \"csv_line\": 4, \"f\": "
                  "\"\xff\xfe\"}", // raw invalid UTF-8: not a JSON text
                  "not json at all",
                  make_record("st-7", "log_20261209_011500.csv", 6, true).dump()});
    start_shipper();
    ASSERT_TRUE(wait_for([](const ShipperState &s) {
        return s.connected && s.waiting == 0 && s.refused == 3;
    })) << shipper_->state_line();
    EXPECT_EQ(rows("SELECT csv_line FROM bramblewick.phone_run ORDER BY 1"),
              (std::vector<std::vector<std::string>>{{"2"}, {"6"}}));
    EXPECT_EQ(shipper_->state_line(), "record: up to date, 3 refused (kept in the log)");
    std::string report = report_text();
    EXPECT_NE(report.find("line 2 refused: by the database"), std::string::npos) << report;
    EXPECT_NE(report.find("line 3 refused: not valid JSON"), std::string::npos) << report;
    EXPECT_NE(report.find("line 4 refused"), std::string::npos) << report;

    // Still counted after a restart, and later records still go through.
    shipper_->stop();
    append_lines(jsonl(), {make_record("st-7", "log_20261209_011500.csv", 7, false).dump()});
    start_shipper();
    ASSERT_TRUE(wait_for([](const ShipperState &s) {
        return s.connected && s.waiting == 0 && s.confirmed == 1;
    })) << shipper_->state_line();
    EXPECT_EQ(shipper_->state().refused, 3);
    EXPECT_EQ(count(), 3);
}

TEST_F(ShipperTest, ARecordATriggerRefusesStaysBehindAloneAndTheRestShip)
{
    rows(record_db_schema_sql());
    rows("CREATE FUNCTION no_line_3() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
         "IF NEW.csv_line = 3 THEN RAISE EXCEPTION 'line 3 is not wanted'; END IF; "
         "RETURN NEW; END $$; CREATE TRIGGER no_line_3 BEFORE INSERT ON bramblewick.phone_run "
         "FOR EACH ROW EXECUTE FUNCTION no_line_3()");
    append_lines(jsonl(), shift(2, 9, "log_20261209_011500.csv"));
    start_shipper();
    ASSERT_TRUE(wait_for([](const ShipperState &s) {
        return s.connected && s.waiting == 0 && s.refused == 1 && s.confirmed == 7;
    })) << shipper_->state_line() << report_text();
    EXPECT_EQ(count(), 7);
    EXPECT_NE(report_text().find("line 2 refused: by the database: ERROR: line 3 is not wanted"),
              std::string::npos)
        << report_text();
}

TEST_F(ShipperTest, TwinStationsWithOneIdAndOneCsvNameLoseNoRow)
{
    append_lines(jsonl(), shift(2, 10, "log_20261209_011500.csv", "run-a"));
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(9)) << shipper_->state_line();

    // The twin: another PC, the same station id, the same second, so the same CSV name.
    ScratchDir twin_dir;
    ShipperOptions twin_opt = opt_;
    twin_opt.log_dir = twin_dir.path;
    append_lines(twin_dir.path + "/log_20261209_011500.jsonl",
                 shift(2, 16, "log_20261209_011500.csv", "run-b"));
    Shipper twin(twin_opt);
    ASSERT_EQ(twin.start(), 0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (twin.state().confirmed < 15 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(twin.state().sent, 15) << twin.state_line();
    EXPECT_EQ(rows("SELECT run_id, count(*) FROM bramblewick.phone_run GROUP BY 1 ORDER BY 1"),
              (PgRows{{"run-a", "9"}, {"run-b", "15"}}));
}

TEST_F(ShipperTest, AVersion1DatabaseIsUpgradedInPlaceKeepingItsRows)
{
    rows(schema_v1());
    const std::string old_record = make_record("st-7", "log_20261209_011500.csv", 2, true).dump();
    rows("SELECT bramblewick.insert_runs('[" + old_record + "]'::jsonb)");

    // The old record sent again (no run id: its row's), and a twin's record of the same line.
    append_lines(jsonl(), {old_record, make_record("st-7", "log_20261209_011500.csv", 2, true,
                                                   "run-b")
                                           .dump()});
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(2)) << shipper_->state_line() << report_text();
    EXPECT_EQ(shipper_->state().sent, 1);
    EXPECT_EQ(rows("SELECT run_id, csv_line FROM bramblewick.phone_run ORDER BY 1"),
              (PgRows{{"", "2"}, {"run-b", "2"}}));
    EXPECT_EQ(rows("SELECT max(version) FROM bramblewick.schema_version")[0][0], "2");
}

TEST_F(ShipperTest, ARecordWhoseCsvLineIsNotWrittenWaitsForIt)
{
    const std::string csv = log_dir_ + "/log_20261209_011500.csv";
    append_lines(csv, {"header\r", "line 2\r", "line 3\r"});
    append_lines(jsonl(), shift(2, 4, "log_20261209_011500.csv"));
    start_shipper();
    ASSERT_TRUE(wait_for([](const ShipperState &s) { return s.confirmed == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(shipper_->state().waiting, 1);

    append_lines(csv, {"line 4\r"}); // as start-up's completion or the station writes it
    ASSERT_TRUE(wait_up_to_date(3)) << shipper_->state_line();
    EXPECT_EQ(count(), 3);
}

TEST_F(ShipperTest, RecordsWrittenWhileTheServerHangsAreCountedNeverUpToDate)
{
    append_lines(jsonl(), shift(2, 3, "log_20261209_011500.csv"));
    start_shipper();
    ASSERT_TRUE(wait_up_to_date(2));
    signal_server(SIGSTOP);
    append_lines(jsonl(), shift(4, 8, "log_20261209_011500.csv")); // its statement hangs
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    append_lines(jsonl(), shift(9, 13, "log_20261209_011500.csv")); // not read by it yet
    const bool counted = wait_for([](const ShipperState &s) { return s.waiting == 10; }, 3000);
    const std::string line = shipper_->state_line();
    signal_server(SIGCONT);
    EXPECT_TRUE(counted) << line;
    EXPECT_EQ(line.find("up to date"), std::string::npos) << line;
    ASSERT_TRUE(wait_up_to_date(12)) << shipper_->state_line();
    EXPECT_EQ(count(), 12);
}

} // namespace

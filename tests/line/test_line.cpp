// bramblewick-line, the real program, against a throwaway PostgreSQL server, its page in a real
// headless Chromium: stations appear and change without a reload, silent and stopped stations
// are told apart, station texts stay text, and a program started before the database comes up.
//
// The stations here write the live tables with SQL, as a station's live writer does
// (write_station, write_fixture); the alarms are checked on the snapshot itself.
#include "line/line_view.h"
#include "recorddb/record_db.h"
#include "support/chromium_page.h"
#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

PgCluster *g_cluster = nullptr;
std::string g_why_not;

class LineTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        g_cluster = PgCluster::for_suite(&g_why_not);
        if (g_cluster)
            sql(record_db_schema_sql());
    }
    static void TearDownTestSuite()
    {
        delete g_cluster;
        g_cluster = nullptr;
    }

    void SetUp() override
    {
        if (!g_cluster)
            GTEST_SKIP() << "no PostgreSQL server: " << g_why_not;
        sql("TRUNCATE bramblewick.station CASCADE; TRUNCATE bramblewick.phone_run");
    }

    void TearDown() override
    {
        if (line_pid_ > 0) {
            kill(line_pid_, SIGTERM);
            int status = 0;
            waitpid(line_pid_, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        }
        for (pid_t pid : stations_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const std::string &dir : station_dirs_)
            std::filesystem::remove_all(dir);
        if (g_cluster)
            g_cluster->start(); // after a test that stopped it
    }

    static void sql(const std::string &text)
    {
        std::string error;
        pg_query(g_cluster->conninfo(), "SET client_min_messages = warning; " + text, &error);
        ASSERT_EQ(error, "") << text;
    }

    static std::string quoted(const std::string &text)
    {
        std::string q = "'";
        for (char c : text)
            q += c == '\'' ? std::string("''") : std::string(1, c);
        return q + "'";
    }

    // What a station's live writer does: its row, with a heartbeat `age` ago.
    static void write_station(const std::string &id, const std::string &description,
                              const std::string &age = "0 s", bool stopped = false)
    {
        sql("INSERT INTO bramblewick.station (station, run_id, host, job_sha256, job_description,"
            " started, heartbeat, stopped, programmed, failed, first_pass_yield, phones_per_hour)"
            " VALUES (" +
            quoted(id) + ", 'run-" + id.substr(0, 8) + "', 'pc-" + id.substr(0, 8) +
            "', 'ab12cd', " + quoted(description) +
            ", now() - interval '1 hour', now() - interval " + quoted(age) + ", " +
            (stopped ? "now()" : "NULL") +
            ", 40, 2, 95.2, 120)"
            " ON CONFLICT (station) DO UPDATE SET heartbeat = EXCLUDED.heartbeat,"
            " stopped = EXCLUDED.stopped");
    }

    static void write_fixture(const std::string &station, int fixture, const std::string &state,
                              const std::string &status = "Ready", bool suspect = false)
    {
        sql("INSERT INTO bramblewick.fixture_state (station, fixture, position, state, suspect,"
            " stage, progress, status_text) VALUES (" +
            quoted(station) + ", '" + std::to_string(fixture) + "', " +
            std::to_string(fixture - 1) + ", " + quoted(state) + ", " +
            (suspect ? "true" : "false") + ", 'system.img', " +
            (state == "running" ? "40" : "NULL") + ", " + quoted(status) +
            ")"
            " ON CONFLICT (station, fixture) DO UPDATE SET state = EXCLUDED.state,"
            " suspect = EXCLUDED.suspect, progress = EXCLUDED.progress,"
            " status_text = EXCLUDED.status_text, updated = now()");
    }

    // Starts the real program on a free port; its page's address.
    std::string start_line()
    {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        line_pid_ = fork();
        if (line_pid_ == 0) {
            dup2(out[1], 1);
            execl(BW_LINE_PROGRAM, BW_LINE_PROGRAM, "--record-db", g_cluster->conninfo().c_str(),
                  "--listen", "127.0.0.1:0", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd p = {out[0], POLLIN, 0};
        char c;
        while (poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        size_t at = line.find("http://");
        EXPECT_NE(at, std::string::npos) << "program said: " << line;
        return at == std::string::npos ? "" : line.substr(at);
    }

    void open_page()
    {
        std::string why = ChromiumPage::unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        std::string url = start_line();
        ASSERT_FALSE(url.empty());
        std::string error;
        ASSERT_TRUE(page_.open(url, &error)) << error;
    }

// The test ends here when there is no browser (skipped) or the page did not open (failed).
#define OPEN_PAGE()                                                                                \
    do {                                                                                           \
        open_page();                                                                               \
        if (IsSkipped() || HasFatalFailure())                                                      \
            return;                                                                                \
    } while (0)

    static std::string tile(const std::string &id)
    {
        return "[...document.querySelectorAll('.tile')].find(t => t.dataset.station === " +
               nlohmann::json(id).dump() + ")";
    }

#ifdef BW_STATION_PROGRAM
    // A real station on virtual phones in a job directory of its own, writing the live tables.
    pid_t start_station(const std::string &id, int phones, int duration_s)
    {
        char tmpl[] = "/tmp/bw-line-station-XXXXXX";
        EXPECT_TRUE(mkdtemp(tmpl));
        std::string dir = tmpl;
        station_dirs_.push_back(dir);
        for (const auto &f : std::filesystem::directory_iterator(BW_EXAMPLES_DIR "/list-job"))
            std::filesystem::copy(f.path(), dir / f.path().filename());
        std::vector<std::string> args = {BW_STATION_PROGRAM, "--terminal",
                                         "--simulate",       std::to_string(phones),
                                         "--duration",       std::to_string(duration_s),
                                         "--station-id",     id,
                                         "--record-db",      g_cluster->conninfo(),
                                         "--lock-file",      dir + "/lock",
                                         "--station-config", dir + "/none.ini"};
        pid_t pid = fork();
        if (pid == 0) {
            int out = ::open((dir + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int in = ::open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || chdir(dir.c_str()) != 0)
                _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(BW_STATION_PROGRAM, argv.data());
            _exit(127);
        }
        stations_.push_back(pid);
        return pid;
    }
#endif

    pid_t line_pid_ = -1;
    std::vector<pid_t> stations_;
    std::vector<std::string> station_dirs_;
    ChromiumPage page_;
};

TEST_F(LineTest, TwoStationsAppearAndChangeWithoutReload)
{
    write_station("st-1", "Sorrel P1 retail");
    write_station("st-2", "Sorrel P1 retail");
    for (int f = 1; f <= 4; ++f) {
        write_fixture("st-1", f, "idle");
        write_fixture("st-2", f, "idle");
    }
    OPEN_PAGE();
    ASSERT_TRUE(page_.wait_for("document.querySelectorAll('.tile .cell').length === 8"));
    page_.eval("window.samePage = true");

    write_fixture("st-2", 3, "running", "Writing");
    EXPECT_TRUE(page_.wait_for(tile("st-2") + ".querySelector('[data-fixture=\"3\"]')"
                                              ".dataset.state === 'running'"));
    write_fixture("st-2", 3, "passed", "Passed");
    EXPECT_TRUE(page_.wait_for(tile("st-2") + ".querySelector('[data-fixture=\"3\"]')"
                                              ".dataset.state === 'passed'"));
    EXPECT_EQ(page_.eval("window.samePage === true"), true) << "the page was reloaded";
}

TEST_F(LineTest, SilentStationIsToldApartFromStoppedOne)
{
    write_station("alive", "job", "1 s");
    write_station("quiet", "job", "40 s");
    write_station("gone", "job", "10 min", true);
    OPEN_PAGE();
    EXPECT_TRUE(page_.wait_for(tile("quiet") + "?.dataset.status === 'silent'"));
    EXPECT_EQ(page_.eval(tile("gone") + ".dataset.status"), "stopped");
    EXPECT_EQ(page_.eval(tile("alive") + ".dataset.status"), "running");
    EXPECT_EQ(page_.eval("[...document.querySelectorAll('#alarms li[data-kind=silent]')]"
                         ".map(li => li.textContent.replace(/\\d+ s$/, 'N s')).join('|')"),
              "station quiet silent: no heartbeat for N s");
}

TEST_F(LineTest, StationTextsAreShownAsTextNeverAsMarkup)
{
    const std::string evil = "<i>evil</i>";
    write_station(evil, "<img src=x onerror=\"window.pwned=1\">");
    write_fixture(evil, 1, "failed", "<script>window.pwned=2</script><b>bold</b>", true);
    OPEN_PAGE();
    ASSERT_TRUE(page_.wait_for(tile(evil)));
    EXPECT_EQ(page_.eval(tile(evil) + ".querySelector('.id').textContent"), evil);
    EXPECT_EQ(page_.eval("document.querySelectorAll('#stations i, #stations img, #stations script,"
                         " .cell b, #alarms *:not(li)').length"),
              0);
    EXPECT_EQ(page_.eval(tile(evil) + ".querySelector('.job').textContent"),
              "<img src=x onerror=\"window.pwned=1\">");
    EXPECT_EQ(page_.eval("typeof window.pwned"), "undefined");
}

TEST_F(LineTest, StartedWhileTheDatabaseIsDownItShowsTheLineOnceItAnswers)
{
    write_station("late", "job");
    ASSERT_TRUE(g_cluster->stop());
    OPEN_PAGE();
    EXPECT_TRUE(page_.wait_for("!document.getElementById('banner').hidden && "
                               "document.getElementById('banner').textContent"
                               ".includes('database unreachable')"));
    ASSERT_TRUE(g_cluster->start());
    EXPECT_TRUE(page_.wait_for(tile("late"), 30000));
    EXPECT_TRUE(page_.wait_for("document.getElementById('banner').hidden"));
}

#ifdef BW_STATION_PROGRAM
// Real stations on virtual phones: both appear with their fixtures, a fixture is seen running
// and then passed on the open page; the one killed with SIGKILL becomes silent within 40 s,
// the one that ends its shift is shown stopped.
TEST_F(LineTest, RealStationsLiveKilledSilentQuitStopped)
{
    pid_t killed = start_station("real-a", 4, 300);
    pid_t quits = start_station("real-b", 4, 20);
    OPEN_PAGE();
    ASSERT_TRUE(page_.wait_for("document.querySelectorAll('.tile .cell').length === 8", 60000));
    // Every state each cell shows, as the page draws it.
    page_.eval("window.seen = new Set(); new MutationObserver(() => {"
               " for (const c of document.querySelectorAll('.cell'))"
               "  seen.add(c.closest('.tile').dataset.station + '/' + c.dataset.fixture + '/' +"
               "           c.dataset.state); })"
               ".observe(document.getElementById('stations'), {childList: true, subtree: true});"
               " true");
    EXPECT_TRUE(page_.wait_for("[...seen].some(k => k.endsWith('/running') &&"
                               " seen.has(k.replace(/running$/, 'passed')))",
                               60000));

    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);
    stations_ = {quits};
    EXPECT_TRUE(page_.wait_for(tile("real-a") + ".dataset.status === 'silent'", 40000));
    int status = 0;
    waitpid(quits, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(page_.wait_for(tile("real-b") + ".dataset.status === 'stopped'", 10000));
    stations_.clear();
}
#endif

TEST_F(LineTest, SecondProgramOnTheSamePortIsRefused)
{
    std::string url = start_line();
    ASSERT_FALSE(url.empty());
    std::string listen = url.substr(std::strlen("http://"));
    listen.pop_back(); // the path's "/"
    pid_t second = fork();
    if (second == 0) {
        execl(BW_LINE_PROGRAM, BW_LINE_PROGRAM, "--record-db", g_cluster->conninfo().c_str(),
              "--listen", listen.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    for (int i = 0; i < 100 && waitpid(second, &status, WNOHANG) == 0; ++i)
        usleep(100000);
    if (kill(second, SIGKILL) == 0) { // still serving after 10 s
        waitpid(second, &status, 0);
        ADD_FAILURE() << "the second program shares the port";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
}

// The snapshot's names are the page's and other tools' contract; its alarms the line lead's;
// the read-only role of the README is enough for it.
TEST_F(LineTest, SnapshotNamesAndAlarms)
{
    write_station("a", "job");
    write_station("b", "job");
    write_station("c", "job");
    write_fixture("a", 1, "failed", "Failed", true);
    // a: 3 of its last 5 phones passed; b: 2 failed, below the threshold whatever comes next;
    // c: 1 of 2 failed, still able to end the window at the threshold (its interrupted phone
    // had no result).
    std::string rows;
    auto phone = [&](const char *station, int n, bool passed, bool interrupted = false) {
        rows += std::string(rows.empty() ? "" : ",") + "('" + station + "', 'x.csv', " +
                std::to_string(n + 2) + ", now() - interval '" + std::to_string(60 - n) + " s', " +
                (passed ? "true" : "false") + ", '" +
                (interrupted ? R"({"interrupted": true})" : "{}") + "')";
    };
    phone("a", 0, false); // older than the window
    for (int n = 1; n <= 5; ++n)
        phone("a", n, n <= 3);
    phone("b", 1, false);
    phone("b", 2, false);
    phone("c", 1, true);
    phone("c", 2, false);
    phone("c", 3, false, true);
    // The record says whether the station interrupted the run; the column follows it.
    sql("INSERT INTO bramblewick.phone_run (station, csv_file, csv_line, finish, passed, record)"
        " VALUES " +
        rows);

    // As the README's read-only role.
    sql("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'line_view') THEN"
        " CREATE ROLE line_view LOGIN; END IF; END $$;"
        "GRANT USAGE ON SCHEMA bramblewick TO line_view;"
        "GRANT SELECT ON bramblewick.station, bramblewick.fixture_state, bramblewick.phone_run"
        " TO line_view");
    PGconn *conn = PQconnectdb((g_cluster->conninfo() + " user=line_view").c_str());
    PGresult *listen = PQexec(conn, "LISTEN bramblewick_line");
    EXPECT_EQ(PQresultStatus(listen), PGRES_COMMAND_OK) << PQerrorMessage(conn);
    PQclear(listen);
    nlohmann::json doc;
    std::string error;
    ASSERT_EQ(line_snapshot(conn, {80.0, 5}, &doc, &error), 0) << error;
    PQfinish(conn);

    const nlohmann::json &a = doc["stations"][0];
    for (const char *key : {"station", "host", "job", "heartbeat", "silent", "tally", "fixtures"})
        EXPECT_TRUE(a.contains(key)) << key;
    for (const char *key :
         {"fixture", "state", "suspect", "stage", "progress", "status_text", "updated"})
        EXPECT_TRUE(a["fixtures"][0].contains(key)) << key;
    EXPECT_EQ(a["tally"]["phones_today"], 6);

    std::vector<std::string> alarms;
    for (const auto &alarm : doc["alarms"])
        alarms.push_back(alarm["kind"].get<std::string>() + " " +
                         alarm["station"].get<std::string>());
    EXPECT_EQ(alarms, (std::vector<std::string>{"suspect a", "yield a", "yield b"}));
}

} // namespace

// The real program into the factory record: a simulated shift with faults in a copy of the
// example list job, the database crashed two seconds in and started again before the end. After
// it every CSV line has exactly one row, equal to the CSV line and to its detail line.
#include "support/pg_cluster.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <libpq-fe.h>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace
{

using Rows = PgRows;

// The rows of sql; empty when the server does not answer (it may be down on purpose).
Rows query(const std::string &conninfo, const std::string &sql)
{
    return pg_query(conninfo, sql);
}

// One CSV line's fields (CR LF already cut off); a quoted field may hold commas and "".
std::vector<std::string> csv_fields(const std::string &line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// "2026-12-09 01:15:00", the station's local time, as seconds since the epoch.
long long local_seconds(const std::string &text)
{
    std::tm tm{};
    std::istringstream in(text);
    in >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    tm.tm_isdst = -1;
    return in.fail() ? -1 : static_cast<long long>(std::mktime(&tm));
}

std::vector<std::string> lines_of(const fs::path &file, const char *end)
{
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    for (size_t at = 0, next; (next = text.find(end, at)) != std::string::npos;
         at = next + std::strlen(end))
        lines.push_back(text.substr(at, next - at));
    return lines;
}

class ProgramShift : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string why = PgCluster::unavailable();
        if (!why.empty())
            GTEST_SKIP() << "no PostgreSQL server for this test: " << why;
        ASSERT_TRUE(pg_.create(&why)) << why;
        char tmpl[] = "/tmp/bw-shift-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
        for (const auto &f : fs::directory_iterator(BW_EXAMPLES_DIR "/list-job"))
            fs::copy(f.path(), dir_ / f.path().filename());
    }
    void TearDown() override
    {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    // Starts the program in the job's directory; its output goes to out.txt there.
    pid_t spawn(std::vector<std::string> args)
    {
        std::vector<std::string> common = {
            BW_PROGRAM,    "--terminal",  "--record-db",      pg_.conninfo(),
            "--lock-file", dir_ / "lock", "--station-config", dir_ / "no-station.ini"};
        args.insert(args.begin(), common.begin(), common.end());
        pid_t pid = fork();
        if (pid == 0) {
            int out = open((dir_ / "out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int in = open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || chdir(dir_.c_str()) != 0)
                _exit(126);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(BW_PROGRAM, argv.data());
            _exit(127);
        }
        return pid;
    }
    // Its exit code, or -1 when it did not end by itself within the time (it is then killed).
    static int wait_exit(pid_t pid, int seconds)
    {
        int status = 0;
        for (int i = 0; i < seconds * 10; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    long rows_in_db()
    {
        Rows r = query(pg_.conninfo(), "SELECT count(*) FROM bramblewick.phone_run");
        return r.empty() ? -1 : std::stol(r[0][0]);
    }
    std::string output() const
    {
        std::ifstream in(dir_ / "out.txt");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    PgCluster pg_;
    fs::path dir_;
};

TEST_F(ProgramShift, EveryCsvLineIsOneEqualRowThroughADatabaseCrash)
{
    pid_t pid = spawn({"--simulate", "4", "--duration", "8", "--faults", "0.3"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(pg_.stop("immediate"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(pg_.start());
    ASSERT_EQ(wait_exit(pid, 120), 0) << output();

    // The CSV lines and their detail lines, by (csv_file, csv_line).
    std::map<std::pair<std::string, int>, std::pair<std::vector<std::string>, json>> expected;
    for (const auto &f : fs::directory_iterator(dir_ / "log")) {
        if (f.path().extension() != ".csv")
            continue;
        std::vector<std::string> csv = lines_of(f.path(), "\r\n");
        fs::path jsonl = f.path();
        std::vector<std::string> detail = lines_of(jsonl.replace_extension(".jsonl"), "\n");
        ASSERT_EQ(detail.size() + 1, csv.size()) << f.path();
        for (size_t i = 1; i < csv.size(); ++i)
            expected[{f.path().filename().string(), static_cast<int>(i + 1)}] = {
                csv_fields(csv[i]), json::parse(detail[i - 1])};
    }
    ASSERT_GT(expected.size(), 4u) << output();

    // Records written while the server was down and not yet sent at the quit arrive at the next
    // start of the station, here one with no phones, ended once the database has them all.
    if (rows_in_db() != static_cast<long>(expected.size())) {
        pid_t next = spawn({"--ports", "/dev/null"});
        ASSERT_GT(next, 0);
        for (int i = 0; i < 600 && rows_in_db() != static_cast<long>(expected.size()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(next, SIGTERM);
        EXPECT_EQ(wait_exit(next, 30), 0) << output();
    }

    Rows got = query(pg_.conninfo(),
                     "SELECT csv_file, csv_line, fixture, section, status_code, "
                     "floor(extract(epoch FROM start)), floor(extract(epoch FROM finish)), "
                     "record FROM bramblewick.phone_run ORDER BY csv_file, csv_line");
    ASSERT_EQ(got.size(), expected.size()) << output();
    for (const auto &row : got) {
        auto it = expected.find({row[0], std::stoi(row[1])});
        ASSERT_NE(it, expected.end()) << row[0] << " line " << row[1];
        // Fixture ID, MPU Die ID, Start Time, Finish Time, Section, Status code.
        const std::vector<std::string> &csv = it->second.first;
        ASSERT_EQ(csv.size(), 6u) << row[0] << " line " << row[1];
        EXPECT_EQ(row[2], csv[0]);
        EXPECT_EQ(row[3], csv[4]);
        EXPECT_EQ(row[4], csv[5]);
        EXPECT_EQ(std::stoll(row[5]), local_seconds(csv[2])) << csv[2];
        EXPECT_EQ(std::stoll(row[6]), local_seconds(csv[3])) << csv[3];
        EXPECT_EQ(json::parse(row[7]), it->second.second);
        expected.erase(it); // the unique key: no line twice
    }
}

} // namespace

namespace
{

TEST_F(ProgramShift, TheStationKeepsItsLiveRowAndMetricsAndMarksItselfStoppedAtTheQuit)
{
    const std::string metrics = (dir_ / "station.prom").string();
    pid_t pid = spawn({"--simulate", "2", "--duration", "3", "--station-id", "line-1",
                       "--metrics", metrics});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(wait_exit(pid, 60), 0) << output();

    Rows st = query(pg_.conninfo(),
                    "SELECT length(run_id), host IS NOT NULL, length(job_sha256), "
                    "stopped IS NOT NULL AND stopped >= started FROM bramblewick.station "
                    "WHERE station = 'line-1'");
    EXPECT_EQ(st, (Rows{{"32", "t", "64", "t"}})) << output();
    std::ifstream in(metrics);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("bramblewick_record_backlog{station=\"line-1\"} "), std::string::npos)
        << text;
    EXPECT_NE(text.find("bramblewick_phones_total{station=\"line-1\",result=\"passed\"} "),
              std::string::npos);
}

} // namespace

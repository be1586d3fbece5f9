// Released jobs through the real program: every refusal --check names, a good release run with
// virtual phones and recorded in every detail line, a job file changed in the middle of a shift,
// and a release revoked in the factory database while the line runs. Keys and signatures are
// made with the stock minisign tool.
#include "support/pg_cluster.h"
#include "ui_test_util.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

using uitest::TempCwd;

std::string shell(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2026-12-09T01:15:00.123Z" as milliseconds since 1970.
int64_t utc_ms(const std::string &iso)
{
    std::tm tm{};
    int ms = 0;
    sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
           &tm.tm_min, &tm.tm_sec, &ms);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm)) * 1000 + ms;
}

// The program running in the background, its standard output and error read as they come.
class Running
{
  public:
    explicit Running(const std::vector<std::string> &args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            close(fds[0]);
            std::vector<char *> argv{const_cast<char *>(BW_PROGRAM)};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(BW_PROGRAM, argv.data());
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Running()
    {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    // Reads until needle appears after position from (true), or timeout / end (false).
    bool wait_for(const std::string &needle, int timeout_ms, size_t from = 0)
    {
        const int64_t end = now_ms() + timeout_ms;
        while (text.find(needle, from) == std::string::npos) {
            if (now_ms() >= end || !read_some(static_cast<int>(end - now_ms())))
                return false;
        }
        return true;
    }
    // Reads to the end; the exit code.
    int finish()
    {
        while (read_some(30000)) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        ended_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string text;

  private:
    bool read_some(int timeout_ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        text.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int fd_ = -1;
    bool ended_ = false;
};

// Key pairs made once: "good" is trusted by the station, "other" is not.
std::string g_keys;

class Release : public ::testing::Test
{
  public: // the table of cases spoils the job through these
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/bw_keys_XXXXXX";
        g_keys = mkdtemp(tmpl);
        for (const char *k : {"good", "other"})
            shell("minisign -G -W -p " + g_keys + "/" + k + ".pub -s " + g_keys + "/" + k + ".key");
    }
    static void TearDownTestSuite() { shell("rm -rf '" + g_keys + "'"); }

    void SetUp() override
    {
        if (access((g_keys + "/good.key").c_str(), F_OK) != 0)
            GTEST_SKIP() << "minisign cannot make keys here";
        fs::create_directory(cwd.path("keys"));
        fs::copy_file(g_keys + "/good.pub", cwd.path("keys/good.pub"));
        station_ini("");
        make_job();
    }

    // A one-image job, listed and signed as release 3 of product demo.
    void make_job()
    {
        cwd.write("boot.img", std::string(1 << 20, 'b'));
        cwd.write("flasher.ini", "[misc]\nlogging = 1\n[map]\ntotal = 1\n"
                                 "[map1]\nfilename = boot.img\ndesc = Boot loader\n"
                                 "nand_loc = 0\nnand_loc_end = 0x200000\n");
        fs::remove(cwd.path("state"));
        ASSERT_EQ(program("--make-release").first, 0);
        sign("product=demo sequence=3 expires=2099-12-31");
    }
    void station_ini(const std::string &extra)
    {
        cwd.write("station.ini", "[release]\nkeys = " + cwd.path("keys") +
                                     "\nstate = " + cwd.path("state") + "\n" + extra);
    }
    void sign(const std::string &comment, const std::string &key = "good", bool legacy = false)
    {
        shell("minisign -S " + std::string(legacy ? "-l " : "") + "-s " + g_keys + "/" + key +
              ".key -m release.txt -t '" + comment + "'");
    }
    std::vector<std::string> args(const std::string &more) const
    {
        std::vector<std::string> a{"--station-config", cwd.path("station.ini"), "--lock-file",
                                   cwd.path("lock")};
        std::string word;
        for (std::istringstream in(more); in >> word;)
            a.push_back(word);
        return a;
    }
    // Runs the program to its end: exit code and output.
    std::pair<int, std::string> program(const std::string &more)
    {
        Running r(args(more));
        int code = r.finish();
        return {code, r.text};
    }
    // Every detail record the run wrote.
    std::vector<nlohmann::json> records() const
    {
        std::vector<nlohmann::json> out;
        if (!fs::exists(cwd.path("log")))
            return out;
        for (const auto &f : fs::directory_iterator(cwd.path("log"))) {
            if (f.path().extension() != ".jsonl")
                continue;
            std::ifstream in(f.path());
            for (std::string line; std::getline(in, line);)
                out.push_back(nlohmann::json::parse(line));
        }
        return out;
    }

    TempCwd cwd;
};

TEST_F(Release, CheckRefusesEverySpoiledReleaseAndNamesWhy)
{
    struct Case {
        const char *name;
        std::function<void(Release &)> spoil;
        const char *reason; // nullptr: the job is released
        const char *more = "";
    };
    const Case cases[] = {
        {"good, legacy signature",
         [](Release &t) { t.sign("product=demo sequence=3 expires=2099-12-31", "good", true); },
         nullptr},
        {"tampered image", [](Release &t) { t.cwd.write("boot.img", "evil"); },
         "boot.img differs from the released file"},
        {"tampered flasher.ini",
         [](Release &t) {
             std::ofstream(t.cwd.path("flasher.ini"), std::ios::app) << "; edited\n";
         },
         "flasher.ini differs from the released file"},
        {"file missing from the list",
         [](Release &t) {
             std::string list = read_file(t.cwd.path("release.txt"));
             t.cwd.write("release.txt", list.substr(0, list.find('\n') + 1));
             t.sign("product=demo sequence=3 expires=2099-12-31");
         },
         "boot.img is used by the job but not listed in release.txt"},
        {"unsigned", [](Release &t) { fs::remove(t.cwd.path("release.txt.minisig")); },
         "the job is unsigned"},
        {"untrusted key",
         [](Release &t) { t.sign("product=demo sequence=3 expires=2099-12-31", "other"); },
         "which this station does not trust"},
        {"expired", [](Release &t) { t.sign("product=demo sequence=3 expires=2001-01-01"); },
         "expired on 2001-01-01"},
        {"rolled back", [](Release &t) { t.cwd.write("state", "demo 9\n"); },
         "rolled back: release demo sequence 3 is older than sequence 9"},
        {"trusted comment edited",
         [](Release &t) {
             std::string sig = read_file(t.cwd.path("release.txt.minisig"));
             sig.replace(sig.find("sequence=3"), 10, "sequence=8");
             t.cwd.write("release.txt.minisig", sig);
         },
         "the trusted comment was changed after signing"},
        {"factory database down: the signature decides", [](Release &) {}, nullptr,
         "--record-db host=/nonexistent-bw-db"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make_job();
        c.spoil(*this);
        auto [code, out] = program(std::string("--check ") + c.more);
        if (c.reason) {
            EXPECT_EQ(code, 1) << out;
            const size_t line = out.find("problem: the job is refused: ");
            EXPECT_NE(line, std::string::npos) << out;
            EXPECT_NE(out.find(c.reason, line), std::string::npos) << out;
        } else {
            EXPECT_EQ(code, 0) << out;
            EXPECT_NE(out.find("Released: product demo, sequence 3"), std::string::npos) << out;
        }
    }
}

// The station runs a good release, shows it, records it in every line and remembers its
// sequence; a refused job never reaches a phone.
TEST_F(Release, GoodReleaseRunsWithVirtualPhonesAndARefusedOneTouchesNone)
{
    auto [code, out] = program("--terminal --simulate 2 --duration 3 --blocks 256");
    EXPECT_EQ(code, 0) << out;
    const std::string key = shell("sed -n 's/.*public key //p' " + g_keys + "/good.pub");
    EXPECT_NE(out.find("Released: product demo, sequence 3, expires 2099-12-31, key " +
                       key.substr(0, key.size() - 1)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Image: Finished"), std::string::npos) << out;
    const std::string sha = shell("sha256sum release.txt").substr(0, 64);
    const std::vector<nlohmann::json> recs = records();
    ASSERT_FALSE(recs.empty());
    for (const nlohmann::json &r : recs)
        EXPECT_EQ(r["release"], nlohmann::json({{"product", "demo"},
                                                {"sequence", 3},
                                                {"key_id", key.substr(0, key.size() - 1)},
                                                {"sha256", sha}}));
    EXPECT_EQ(read_file(cwd.path("state")), "demo 3\n");

    fs::remove_all(cwd.path("log"));
    cwd.write("boot.img", "evil");
    std::tie(code, out) = program("--terminal --simulate 2 --duration 3 --blocks 256");
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("The job is refused: boot.img differs"), std::string::npos) << out;
    EXPECT_EQ(out.find("Device Connected"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(cwd.path("log")));
}

// A job file changed mid-shift: the alarm names it, no phone starts after the change, and the
// station survives the file being cut short under a phone that is being written.
TEST_F(Release, FileChangedMidShiftStopsNewPhones)
{
    Running r(args("--terminal --simulate 4 --duration 6 --blocks 256 --usb-speed 1"));
    ASSERT_TRUE(r.wait_for("Image: Finished", 20000)) << r.text;
    const int64_t changed = now_ms();
    cwd.write("boot.img", std::string(4096, 'c')); // copied over it: cut short, then written
    EXPECT_TRUE(r.wait_for("ALARM: Job file boot.img changed on disk", 5000)) << r.text;
    EXPECT_EQ(r.finish(), 0);
    for (const nlohmann::json &rec : records())
        EXPECT_LT(utc_ms(rec["start"]), changed + 300) << rec.dump();
}

// Revoked in the factory database while the line runs: the alarm stops new phones; the
// database knows who used the release first, every shipped phone carries it, and no station
// takes it again.
TEST_F(Release, RevokedInTheDatabaseWhileTheLineRunsStopsNewPhones)
{
    PgCluster cluster;
    std::string why;
    if (!cluster.create(&why))
        GTEST_SKIP() << "no PostgreSQL server for this test: " << why;
    const std::string db = cluster.conninfo();
    station_ini("poll = 1\n");
    std::vector<std::string> a = args("--terminal --simulate 2 --duration 10 --blocks 256 "
                                      "--usb-speed 4 --station-id line1-st2 --record-db");
    a.push_back(db);
    Running r(a);
    ASSERT_TRUE(r.wait_for("Image: Finished", 20000)) << r.text;
    const std::string sha = shell("sha256sum release.txt").substr(0, 64);
    EXPECT_EQ(pg_query(db, "SELECT product, sequence, first_station FROM bramblewick.job_release "
                           "WHERE sha256 = '" +
                               sha + "'"),
              (PgRows{{"demo", "3", "line1-st2"}}));
    pg_query(db, "UPDATE bramblewick.job_release SET revoked_at = now(), revoked_by = 'qa', "
                 "reason = 'wrong modem image'");
    const int64_t revoked = now_ms();
    EXPECT_TRUE(r.wait_for("ALARM: Release demo sequence 3 was revoked by qa", 5000)) << r.text;
    EXPECT_EQ(r.finish(), 0);
    for (const nlohmann::json &rec : records())
        EXPECT_LT(utc_ms(rec["start"]), revoked + 1500) << rec.dump(); // looked at each second
    const PgRows shipped =
        pg_query(db, "SELECT count(*), count(*) FILTER (WHERE release->>'sha256' = '" + sha +
                         "') FROM bramblewick.phone_run");
    ASSERT_EQ(shipped.size(), 1u);
    EXPECT_NE(shipped[0][0], "0");
    EXPECT_EQ(shipped[0][0], shipped[0][1]);

    a = args("--check --record-db");
    a.push_back(db);
    Running check(a);
    EXPECT_EQ(check.finish(), 1);
    EXPECT_NE(check.text.find("refused: Release demo sequence 3 was revoked by qa"),
              std::string::npos)
        << check.text;
}

} // namespace

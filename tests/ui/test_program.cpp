// The real program, run as the operator would: a short simulated run in the terminal ending with
// its summary, a second start refused by the lock, and command lines it cannot understand.
#include "ui_test_util.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

using uitest::TempCwd;

struct Result {
    int exit_code = -1;
    std::string out;
};

// Runs the program in the current directory with args; stdout and stderr together.
Result run_program(const std::string &args)
{
    Result r;
    std::string cmd = std::string(BW_PROGRAM) + " " + args + " 2>&1 </dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = pclose(p);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Each test runs the program in a fresh working directory.
class Program : public ::testing::Test
{
  protected:
    TempCwd cwd;
};

TEST_F(Program, SimulatedRunEndsWithItsSummaryAndTheLogPath)
{
    cwd.write("boot.img", std::string(20000, 'b'));
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n[map]\ntotal = 1\n"
                             "[map1]\nfilename = boot.img\ndesc = Boot loader\n"
                             "nand_loc = 0\nnand_loc_end = 0x40000\n");
    Result r = run_program("--terminal --simulate 3 --duration 3 --blocks 256 --station-id "
                           "line3-st07 --lock-file " +
                           cwd.path("lock"));
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("Fixture 3: Image: Finished\n"), std::string::npos) << r.out;
    size_t summary = r.out.find("Simulation over: 3 fixtures, ");
    ASSERT_NE(summary, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  failures:          0\n", summary), std::string::npos) << r.out;
    size_t log = r.out.find("  CSV log:           " + cwd.dir() + "/log/log_", summary);
    EXPECT_NE(log, std::string::npos) << r.out;
    // Beside the CSV, its detail record: one line per CSV line, naming the station.
    int csv_lines = -1, detail_lines = 0;
    for (const auto &f : std::filesystem::directory_iterator(cwd.dir() + "/log")) {
        std::ifstream in(f.path());
        for (std::string line; std::getline(in, line);) {
            if (f.path().extension() == ".csv")
                csv_lines++;
            else if (line.find("\"station\":\"line3-st07\"") != std::string::npos)
                detail_lines++;
        }
    }
    EXPECT_GT(detail_lines, 0);
    EXPECT_EQ(detail_lines, csv_lines);
    // The mapping written for the run is gone with it.
    EXPECT_EQ(r.out.find("bramblewick-ports-"), std::string::npos);
}

TEST_F(Program, SecondStationIsRefusedWithExitCodeZero)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    // The first station runs, with no terminal, until it is interrupted.
    std::string first = std::string(BW_PROGRAM) + " --terminal --ports /dev/null --lock-file " +
                        cwd.path("lock") + " </dev/null >/dev/null 2>&1 & echo $!";
    FILE *p = popen(first.c_str(), "r");
    ASSERT_NE(p, nullptr);
    int pid = 0;
    ASSERT_EQ(fscanf(p, "%d", &pid), 1);
    pclose(p);
    // Give it time to take the lock (it holds it from its first step).
    Result second;
    for (int i = 0; i < 50; ++i) {
        usleep(100 * 1000);
        second = run_program("--terminal --lock-file " + cwd.path("lock"));
        if (second.out.find("Another instance") != std::string::npos)
            break;
    }
    kill(pid, SIGTERM); // no terminal attached: the interrupt is the answer
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(second.out,
              "Error: Another instance of same application is running\nPlease close it first.\n");
    // Ended: gone, or a zombie where nobody reaps orphans.
    auto ended = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pid_field, name, state;
        return !(stat >> pid_field >> name >> state) || state == "Z";
    };
    for (int i = 0; i < 100 && !ended(); ++i)
        usleep(50 * 1000);
    EXPECT_TRUE(ended()) << "the first station did not quit on SIGTERM";
}

// SIGTERM while eight phones on slow links are writing a 1 MiB image: the program ends within
// 3 s and every phone that was connected has exactly one line, the interrupted ones as stopped.
// How the station is ended mid-shift: a signal, and whether the reader of its output has gone
// first (a closed `| head`).
struct Ending {
    int sig;
    bool reader_gone;
};

class ProgramEnding : public Program, public ::testing::WithParamInterface<Ending>
{
};

INSTANTIATE_TEST_SUITE_P(Ways, ProgramEnding,
                         ::testing::Values(Ending{SIGTERM, false}, Ending{SIGHUP, false},
                                           Ending{SIGTERM, true}),
                         [](const auto &info) {
                             return std::string(info.param.sig == SIGHUP ? "Hangup" : "Term") +
                                    (info.param.reader_gone ? "AfterReaderGone" : "");
                         });

TEST_P(ProgramEnding, DuringAShiftEndsWithinTheBoundAndLogsEveryConnectedPhone)
{
    const Ending how = GetParam();
    cwd.write("boot.img", std::string(1 << 20, 'b'));
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n[map]\ntotal = 1\n"
                             "[map1]\nfilename = boot.img\ndesc = Boot loader\n"
                             "nand_loc = 0\nnand_loc_end = 0x200000\n");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        std::string lock = cwd.path("lock");
        execl(BW_PROGRAM, BW_PROGRAM, "--terminal", "--simulate", "8", "--usb-speed", "0.5",
              "--blocks", "256", "--lock-file", lock.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE *f = fdopen(out[0], "r");
    std::string text;
    char line[4096];
    auto writing = [&] {
        return text.find("Fixture 8: Image: Boot loader\n") != std::string::npos;
    };
    while (!writing() && fgets(line, sizeof line, f))
        text += line;
    ASSERT_TRUE(writing()) << text;
    if (how.reader_gone) {
        fclose(f);
        f = nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // well into the 2 s write
    auto t0 = std::chrono::steady_clock::now();
    kill(pid, how.sig);
    while (f && fgets(line, sizeof line, f))
        text += line;
    if (f)
        fclose(f);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text << " status " << status;

    int connected = 0;
    for (size_t p = text.find("Status: Device Connected."); p != std::string::npos;
         p = text.find("Status: Device Connected.", p + 1))
        ++connected;
    if (how.reader_gone)
        connected = 8; // seen before the reader went
    EXPECT_EQ(connected, 8) << text;
    std::string log_name;
    for (const auto &e : std::filesystem::directory_iterator(cwd.path("log")))
        if (e.path().extension() == ".csv")
            log_name = e.path();
    std::ifstream log(log_name, std::ios::binary);
    std::string csv;
    std::getline(log, csv); // header
    std::set<std::string> fixtures;
    int lines = 0;
    std::regex stopped(R"(([1-8]),,[-\d]+ [:\d]+,[-\d]+ [:\d]+,Boot loader,1\r)");
    std::smatch m;
    while (std::getline(log, csv)) {
        ++lines;
        EXPECT_TRUE(std::regex_match(csv, m, stopped)) << csv;
        fixtures.insert(m.size() > 1 ? m[1].str() : csv);
    }
    EXPECT_EQ(lines, connected);
    EXPECT_EQ(fixtures.size(), 8u);
    if (!how.reader_gone) {
        EXPECT_NE(text.find("Fixture 1: Status: Station stopped\n"), std::string::npos) << text;
    }
}

TEST_F(Program, CommandLineItCannotUnderstandIsAUsageError)
{
    for (const char *args : {"--simulate 0", "--simulate 33", "--faults 2 --simulate 2",
                             "--no-such-option", "--duration 5", "--simulate", "--station-id ''",
                             "--terminal --ports /nonexistent/ports.ini"}) {
        Result r = run_program(args);
        EXPECT_EQ(r.exit_code, 2) << args << "\n" << r.out;
        EXPECT_NE(r.out.find("bramblewick: "), std::string::npos) << args;
    }
    EXPECT_NE(run_program("--ports /nonexistent/ports.ini").out.find("/nonexistent/ports.ini"),
              std::string::npos);
    Result help = run_program("--help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--simulate N"), std::string::npos);
}

// --check reads the job as the station would and answers by its exit code, writing no log.
TEST_F(Program, CheckPrintsThePlanAndExitsOneWhenTheJobCannotProgramPhones)
{
    ASSERT_EQ(std::system(("cp -r " BW_EXAMPLES_DIR "/list-job/. " + cwd.dir()).c_str()), 0);
    Result good = run_program("--check");
    EXPECT_EQ(good.exit_code, 0) << good.out;
    EXPECT_NE(good.out.find("Write [map3] \"Root file system\" (rootfs.img) to "
                            "0x00100000-0x00A00000: 524288 bytes"),
              std::string::npos)
        << good.out;
    EXPECT_NE(good.out.find("warning: [map4] \"Calibration data\" (calibration.img): the file "
                            "is missing"),
              std::string::npos);

    cwd.write("boot.img", std::string(0x40001, 'b')); // one byte more than its range
    Result bad = run_program("--check");
    EXPECT_EQ(bad.exit_code, 1) << bad.out;
    EXPECT_NE(bad.out.find("problem: [map1] \"Boot loader\" (boot.img): 262145 bytes do not fit "
                           "its range 0x00000000-0x00040000"),
              std::string::npos)
        << bad.out;
    EXPECT_NE(access(cwd.path("log").c_str(), F_OK), 0) << "--check wrote a log";
}

} // namespace

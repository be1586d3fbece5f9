// The terminal front-end and the virtual production line together: a short run against virtual
// phones in line mode (output not a terminal), then its summary and the CSV log.
#include "ui_test_util.h"

#include "simulate.h"
#include "terminal_messages.h"
#include "terminal_window.h"
#include "usb/vbus.h"

#include <csignal>
#include <functional>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace
{

using uitest::TempCwd;

class TerminalRun : public ::testing::Test
{
  protected:
    TerminalRun()
    {
        vbus::reset();
        cwd.write("boot.img", std::string(300000, 'b'));
        cwd.write("kernel.img", std::string(70000, 'k'));
        write_job("");
        program.lock_path = cwd.path("station.lock");
        program.plugin_ini = cwd.path("post_plugin.ini");
    }
    // The job: boot, kernel and a missing calibration image that may be skipped; misc holds
    // extra lines of the [misc] section.
    void write_job(const std::string &misc)
    {
        cwd.write("flasher.ini", "[misc]\nlogging = 1\n" + misc +
                                     "[map]\ntotal = 3\n"
                                     "[map1]\nfilename = boot.img\ndesc = Boot loader\n"
                                     "nand_loc = 0\nnand_loc_end = 0x60000\n"
                                     "[map2]\nfilename = kernel.img\ndesc = Kernel\n"
                                     "nand_loc = 0x60000\nnand_loc_end = 0x80000\n"
                                     "[map3]\nfilename = cal.img\ndesc = Cal\n"
                                     "skip_flash_if_file_not_exist = 1\n"
                                     "nand_loc = 0x80000\nnand_loc_end = 0xA0000\n");
    }
    ~TerminalRun() override
    {
        if (!program.port_mapping_path.empty())
            unlink(program.port_mapping_path.c_str());
        vbus::reset();
    }

    // Runs the station for the line's duration (or until SIGINT without a line); returns what
    // the window printed.
    std::string run(ui::ProductionLine *line, int phones, std::function<void(FILE *)> beside = {})
    {
        std::string error;
        program.port_mapping_path = ui::write_simulation_ports(phones, &error);
        EXPECT_FALSE(program.port_mapping_path.empty()) << error;
        FILE *out = tmpfile();
        ui::TerminalMessages messages(stderr, -1);
        ui::TerminalWindowOptions opt;
        opt.out = out;
        opt.in_fd = -1;
        opt.time_stamps = false;
        opt.companion = line;
        ui::TerminalWindow window(messages, opt);
        struct Capture : ui::StationWindow {
            ui::StationWindow *inner;
            std::string *log;
            std::function<std::string()> alarm;
            void run(ui::StationSetup &s) override
            {
                *log = s.log_path;
                if (alarm)
                    s.outside_alarm = alarm;
                inner->run(s);
            }
        } capture;
        capture.alarm = outside_alarm;
        capture.inner = &window;
        capture.log = &log_path;
        std::thread helper;
        if (beside)
            helper = std::thread(beside, out);
        EXPECT_EQ(ui::run_program(program, messages, capture), 0);
        if (helper.joinable())
            helper.join();
        std::string text;
        rewind(out);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, out)) > 0)
            text.append(buf, n);
        fclose(out);
        return text;
    }
    std::vector<std::string> log_lines()
    {
        std::ifstream f(cwd.path(log_path), std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(f, line))
            lines.push_back(line);
        return lines;
    }
    static int count(const std::string &text, const std::string &what)
    {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
            ++n;
        return n;
    }

    TempCwd cwd;
    ui::ProgramOptions program;
    std::string log_path;
    std::function<std::string()> outside_alarm; // handed to the window as the live state would
};

TEST_F(TerminalRun, ShortRunPrintsOneLinePerEventAndLogsEveryPhone)
{
    ui::SimulationOptions sim;
    sim.phones = 2;
    sim.duration_s = 4;
    sim.block_count = 256;
    sim.swap_delay_ms = 100;
    ui::ProductionLine line(sim);
    std::string out = run(&line, 2);

    EXPECT_EQ(out.rfind("V2.0.30.0 - Flashing program for Sorrel platform", 0), 0u) << out;
    EXPECT_NE(out.find("Filename: boot.img, kernel.img, cal.img[missing and skip]\n"),
              std::string::npos);
    EXPECT_NE(out.find("Production log: " + log_path + "\n"), std::string::npos);
    EXPECT_NE(out.find("Fixture 1: Interface_1 ID: sim-1\n"), std::string::npos);
    EXPECT_NE(out.find("Fixture 2: Interface_2 ID: simagent-2\n"), std::string::npos);
    for (const char *fixture : {"Fixture 1: ", "Fixture 2: "}) {
        std::string f = fixture;
        EXPECT_NE(out.find(f + "Status: Device Connected.\n"), std::string::npos) << out;
        EXPECT_NE(out.find(f + "Image: Boot loader\n"), std::string::npos) << out;
        EXPECT_NE(out.find(f + "Image: Kernel\n"), std::string::npos) << out;
        EXPECT_NE(out.find(f + "Image: Finished\n"), std::string::npos) << out;
        EXPECT_GE(count(out, f + "result: passed after "), 1) << out;
    }
    // Line mode: no escape sequences and no ticking time.
    EXPECT_EQ(out.find('\033'), std::string::npos);
    EXPECT_EQ(out.find("Elapsed Time:"), std::string::npos);

    // Every phone the line counted is in the log, and nothing failed.
    EXPECT_GE(line.passed(), 2);
    EXPECT_EQ(line.failed(), 0);
    std::vector<std::string> log = log_lines();
    ASSERT_GE(log.size(), 1u + static_cast<size_t>(line.passed()));
    EXPECT_EQ(log[0], "Fixture ID,MPU Die ID,Start Time,Finish Time,Section,Status code\r");
    std::regex passed_line(
        R"([12],,\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,Finished,0\r)");
    int logged_passes = 0;
    for (size_t i = 1; i < log.size(); ++i)
        logged_passes += std::regex_match(log[i], passed_line);
    EXPECT_EQ(logged_passes, line.passed());

    std::string summary = line.summary(log_path);
    EXPECT_NE(summary.find("phones programmed: " + std::to_string(line.passed()) + "\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("failures:          0\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("phones/min"), std::string::npos);
    EXPECT_NE(summary.find("CSV log:           " + cwd.dir() + "/" + log_path + "\n"),
              std::string::npos)
        << summary;
}

TEST_F(TerminalRun, TheSimulationsEndLetsEveryPhoneInProgressFinish)
{
    ui::SimulationOptions sim;
    sim.phones = 4;
    sim.duration_s = 1;
    sim.block_count = 256;
    sim.usb_mbps = 0.3; // about two seconds a phone: all are writing when time is up
    sim.swap_delay_ms = 100;
    ui::ProductionLine line(sim);
    std::string out = run(&line, 4);

    EXPECT_GE(line.phones_in(), 4);
    EXPECT_EQ(line.passed(), line.phones_in()) << out;
    EXPECT_EQ(line.failed() + line.interrupted(), 0) << out;
    EXPECT_NE(out.find(" 0 failed, first-pass yield"), std::string::npos) << out;
    EXPECT_EQ(out.find("Station stopped"), std::string::npos) << out;
}

TEST_F(TerminalRun, FaultyPhonesFailAndAreReportedAsFailures)
{
    ui::SimulationOptions sim;
    sim.phones = 2;
    sim.duration_s = 3;
    sim.block_count = 256;
    sim.fault_rate = 1.0;
    sim.swap_delay_ms = 100;
    ui::ProductionLine line(sim);
    std::string out = run(&line, 2);

    EXPECT_EQ(line.passed(), 0) << out;
    EXPECT_GE(line.failed(), 2) << out;
    EXPECT_GE(count(out, ": result: failed, code "), 2) << out;
    EXPECT_EQ(count(out, ": result: passed"), 0) << out;
    // Every failure is logged with a non-zero code.
    std::vector<std::string> log = log_lines();
    int failures = 0;
    for (size_t i = 1; i < log.size(); ++i)
        failures += !std::regex_search(log[i], std::regex(",0\r$"));
    EXPECT_GE(failures, line.failed());
}

TEST_F(TerminalRun, TheFactoryRecordsStateHasALineOfItsOwn)
{
    // A database that is not there: the phones go on, and the state says so.
    program.record_db = "host=" + cwd.path("no-server") + " dbname=factory";
    program.station_config.clear();
    ui::SimulationOptions sim;
    sim.phones = 1;
    sim.duration_s = 3;
    sim.block_count = 256;
    ui::ProductionLine line(sim);
    std::string out = run(&line, 1);
    EXPECT_GE(line.passed(), 1);
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(\nrecord: \d+ waiting, database unreachable since \d\d:\d\d\n)")))
        << out;
}

TEST_F(TerminalRun, AnAlarmFromOutsideTheStationIsShownAndItsEndToo)
{
    // A twin station seen for the first seconds of the run, then gone.
    auto start = std::chrono::steady_clock::now();
    outside_alarm = [start] {
        return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500)
                   ? std::string("Another station with the station id \"x\" is running on host b")
                   : std::string();
    };
    ui::SimulationOptions sim;
    sim.phones = 1;
    sim.duration_s = 3;
    sim.block_count = 256;
    ui::ProductionLine line(sim);
    std::string out = run(&line, 1);
    EXPECT_EQ(count(out, "ALARM: Another station with the station id \"x\" is running on host b\n"),
              1)
        << out;
    EXPECT_EQ(count(out, "Alarm over: no other live station has this station id\n"), 1) << out;
}

TEST_F(TerminalRun, InterruptWithoutATerminalQuitsAndClosesTheLog)
{
    // The station runs with no line and no phones; SIGINT arrives once the header is out (the
    // handler is in place by then). With no terminal to ask, the interrupt is the answer.
    std::string out = run(nullptr, 1, [](FILE *f) {
        struct stat st;
        for (int i = 0; i < 500 && (fstat(fileno(f), &st) != 0 || st.st_size == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(getpid(), SIGINT);
    });
    EXPECT_NE(out.find("Fixture 1: Interface_1 ID: sim-1\n"), std::string::npos) << out;
    std::vector<std::string> log = log_lines();
    ASSERT_EQ(log.size(), 1u); // closed with its header and no run
    EXPECT_EQ(log[0], "Fixture ID,MPU Die ID,Start Time,Finish Time,Section,Status code\r");
}

// A shift with weak blocks: without verify every phone passes, weak ones included; with
// misc:verify = 1 exactly the phones with a weak block fail, as "Verify Failed".
TEST_F(TerminalRun, WithVerifyExactlyThePhonesWithAWeakBlockFail)
{
    for (int verify : {0, 1}) {
        SCOPED_TRACE("verify " + std::to_string(verify));
        write_job("verify = " + std::to_string(verify) + "\n");
        ui::SimulationOptions sim;
        sim.phones = 3;
        sim.duration_s = 3;
        sim.block_count = 256;
        sim.weak_block_rate = 0.5;
        sim.swap_delay_ms = 100;
        ui::ProductionLine line(sim);
        std::string out = run(&line, 3);
        const int weak = line.weak_passed() + line.weak_failed();
        EXPECT_GE(weak, 1) << out;
        EXPECT_GT(line.passed() + line.failed(), weak) << "every phone had a weak block";
        EXPECT_EQ(line.failed(), verify ? weak : 0) << out;
        EXPECT_EQ(line.weak_failed(), verify ? weak : 0) << out;
        EXPECT_EQ(count(out, "Status: Verify Failed\n"), verify ? count(out, "result: failed") : 0)
            << out;
    }
}

} // namespace

// ui: the program's entry. Picks the front-end (the Qt window, or the terminal with --terminal
// or when there is no display), sets up --simulate's virtual production line, and runs the
// station through run_program; or checks the job (--check); or, for setting up a station, lists
// the phones (--list) or learns the port mapping (--learn-ports). The station's exit code is 0
// on every path, --list's too; --check ends with 0 or 1; --learn-ports ends with 1 when it could
// not write the mapping; a command line that cannot be understood ends with 2.
#include "learn_ports_terminal.h"
#include "setup/survey.h"
#include "simulate.h"
#include "station/shutdown.h"
#include "ui/dkb_image.h"
#include "terminal_messages.h"
#include "terminal_window.h"
#include "ui/startup.h"

#ifdef BW_HAVE_GUI
#include "learn_ports_dialog.h"
#include "qt_messages.h"
#include "station_window.h"
#include <QApplication>
#endif

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

struct Args {
    bool check = false;
    bool make_release = false;
    bool terminal = false;
    bool simulate = false;
    bool ports_given = false; // --ports: a simulation then runs on that mapping
    ui::SimulationOptions sim;
    ui::ProgramOptions program;
    std::string screenshot;
    int screenshot_after_s = 4;
    bool list = false;
    bool learn_ports = false;
    std::string learn_ports_path; // empty: the --ports file
};

// A range check whose bounds the option's own help text gives.
template <typename T> CLI::Validator range(T lo, T hi)
{
    return CLI::Range(lo, hi).description("");
}

// 0 to go on, 1 when --help or --version was answered, 2 after a usage message.
int parse_args(int argc, char **argv, Args *a)
{
    CLI::App app{"Runs the flashing station on the job flasher.ini of the working directory.",
                 "bramblewick"};
    app.get_formatter()->column_width(34);
    // An option given twice takes its last value, so a wrapper's defaults can be overridden
    // (scripts/run-demo passes its own, then the caller's).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    bool version = false;
    app.add_flag("--version", version, "print the version and end");
    app.add_flag("--check", a->check,
                 "check the job and print its plan; exit 0 when it can program phones, 1 when "
                 "it cannot (no USB device is touched, no log written)");
    app.add_flag("--make-release", a->make_release,
                 "write release.txt for the job: the SHA-256 of every file it uses, ready to "
                 "sign with minisign; exit 0, or 1 when it cannot");
    app.add_flag("--terminal", a->terminal,
                 "terminal front-end (the default when there is no display)");
    app.add_option("--ports", a->program.port_mapping_path,
                   std::string("fixture port mapping (default ") + PORT_MAPPING_DEFAULT_PATH + ")")
        ->type_name("FILE");
    app.add_option("--lock-file", a->program.lock_path,
                   "single-instance lock file (default under /run/bramblewick)")
        ->type_name("FILE");
    app.add_option("--station-id", a->program.station_id,
                   "this station's name in the detail record (default: the host name)")
        ->type_name("ID")
        ->check(CLI::Validator(
            [](std::string &id) { return id.empty() ? std::string("must not be empty") : ""; },
            ""));

    const char *setup = "Setting up a station";
    app.add_flag("--list", a->list,
                 "list the phones on the bus with their fixtures, and end")
        ->group(setup);
    CLI::Option *learn =
        app.add_option("--learn-ports", a->learn_ports_path,
                       "learn the fixtures' ports by plugging, write them to FILE "
                       "(default: the --ports file)")
            ->type_name("[FILE]")
            ->expected(0, 1)
            ->group(setup);

    app.add_option("--record-db", a->program.record_db,
                   "ship every phone's record into this PostgreSQL database (libpq connection "
                   "string or URI; default: [record] database of the station configuration)")
        ->type_name("CONNINFO");
    app.add_option("--metrics", a->program.metrics_path,
                   "rewrite FILE every few seconds with the station's figures in the Prometheus "
                   "text format (for node_exporter's textfile collector)")
        ->type_name("FILE");
    app.add_option("--station-config", a->program.station_config,
                   std::string("station configuration (default ") + STATION_CONFIG_DEFAULT_PATH +
                       ")")
        ->type_name("FILE");

    const char *sim = "Simulation (virtual phones instead of a USB hub)";
    CLI::Option *simulate =
        app.add_option("--simulate", a->sim.phones,
                       "run against N (1..32) virtual phones on fixtures 1..N")
            ->type_name("N")
            ->check(range(1, 32))
            ->group(sim);
    app.add_option("--duration", a->sim.duration_s,
                   "end the simulation after this long (default: until quit)")
        ->type_name("SECONDS")
        ->check(range(1, 7 * 24 * 3600))
        ->needs(simulate)
        ->group(sim);
    app.add_option("--faults", a->sim.fault_rate, "share of phones that fail, 0..1 (default 0)")
        ->type_name("RATE")
        ->check(range(0.0, 1.0))
        ->needs(simulate)
        ->group(sim);
    app.add_option("--weak-blocks", a->sim.weak_block_rate,
                   "share of phones with a weak NAND block that only a read-back finds, 0..1 "
                   "(default 0)")
        ->type_name("RATE")
        ->check(range(0.0, 1.0))
        ->needs(simulate)
        ->group(sim);
    app.add_option("--usb-speed", a->sim.usb_mbps,
                   "virtual link speed in MB/s (default: unlimited)")
        ->type_name("MBPS")
        ->check(range(0.01, 100000.0))
        ->needs(simulate)
        ->group(sim);
    app.add_option("--page-size", a->sim.page_size,
                   "NAND page size of the virtual phones, and of the phones --check expects (2048)")
        ->type_name("BYTES")
        ->check(range(512, 65536))
        ->group(sim);
    app.add_option("--pages-per-block", a->sim.pages_per_block, "NAND pages per block (64)")
        ->type_name("N")
        ->check(range(1, 1024))
        ->group(sim);
    app.add_option("--oob-size", a->sim.oob_size, "NAND spare bytes per page (64)")
        ->type_name("BYTES")
        ->check(range(0, 4096))
        ->group(sim);
    app.add_option("--blocks", a->sim.block_count, "NAND blocks (2048)")
        ->type_name("N")
        ->check(range(16, 1 << 20))
        ->group(sim);
    app.add_option("--bad-blocks", a->sim.bad_blocks, "factory bad blocks (4)")
        ->type_name("N")
        ->check(range(0, 1 << 20))
        ->group(sim);
    app.add_option("--seed", a->sim.seed, "seed of the simulation's random choices")
        ->type_name("N")
        ->group(sim);

    const char *shot = "Window screenshots";
    app.add_option("--screenshot", a->screenshot,
                   "save the window after --screenshot-after seconds, then quit")
        ->type_name("PNG")
        ->group(shot);
    app.add_option("--screenshot-after", a->screenshot_after_s, "(default 4)")
        ->type_name("SECONDS")
        ->check(range(0, 3600))
        ->group(shot);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 1;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "bramblewick: %s\nRun with --help for the options.\n", e.what());
        return 2;
    }
    if (version) {
        std::puts("bramblewick 2.0.30.0");
        return 1;
    }
    a->simulate = simulate->count() > 0;
    a->ports_given = app.count("--ports") > 0;
    a->learn_ports = learn->count() > 0;
    if (a->list && a->learn_ports) {
        std::fprintf(stderr, "bramblewick: --list and --learn-ports go one at a time\n");
        return 2;
    }
    if ((a->list || a->learn_ports) && a->simulate) {
        std::fprintf(stderr, "bramblewick: --list and --learn-ports look at the real bus: not "
                             "with --simulate\n");
        return 2;
    }
    // A mapping named on the command line must be there: without it every phone would only
    // show "Fixture NA". (--learn-ports may be about to write it.)
    const std::string &ports = a->program.port_mapping_path;
    if (a->ports_given && !a->learn_ports && access(ports.c_str(), R_OK) != 0) {
        std::fprintf(stderr,
                     "bramblewick: --ports %s: the port mapping cannot be read (%s); without it "
                     "no phone finds its fixture\n",
                     ports.c_str(), std::strerror(errno));
        return 2;
    }
    if (a->learn_ports_path.empty())
        a->learn_ports_path = a->program.port_mapping_path;
    return 0;
}

bool display_available()
{
    const char *x = std::getenv("DISPLAY");
    const char *w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

} // namespace

int main(int argc, char **argv)
{
    // A reader of standard output that goes away (`| head`, a closed `| tee`) must not end the
    // station and lose the lines of the phones on its fixtures: writes just fail from then on.
    std::signal(SIGPIPE, SIG_IGN);
    Args args;
    if (int rc = parse_args(argc, argv, &args))
        return rc == 1 ? 0 : rc;
    if (args.check) {
        ui::TerminalMessages messages(stderr, 0);
        // The geometry the phones are expected to report, as the virtual phones are given it.
        job_geometry g;
        g.page_size = args.sim.page_size;
        g.oob_size = args.sim.oob_size;
        g.block_size = args.sim.page_size * args.sim.pages_per_block;
        return ui::run_check(args.program, messages, stdout, g);
    }
    if (args.make_release) {
        ui::TerminalMessages messages(stderr, 0);
        return ui::run_make_release(args.program, messages, stdout);
    }

    if (args.list) {
        setup::Survey survey = setup::survey_phones(args.program.port_mapping_path);
        std::fputs(setup::format_survey(survey, args.program.port_mapping_path).c_str(), stdout);
        return 0;
    }
    bool use_terminal = args.terminal || !display_available();
#ifndef BW_HAVE_GUI
    use_terminal = true;
#endif
    if (args.learn_ports) {
        int dkb_size = 0;
        const unsigned char *dkb = load_flasher_image(DKB_IMAGE_RESOURCE_ID, &dkb_size);
        if (use_terminal) {
            ui::LearnPortsOptions lo;
            lo.mapping_path = args.learn_ports_path;
            lo.dkb = dkb;
            lo.dkb_size = dkb_size;
            return ui::run_learn_ports_terminal(lo);
        }
#ifdef BW_HAVE_GUI
        QApplication app(argc, argv);
        return ui::run_learn_ports_dialog(args.learn_ports_path, dkb, dkb_size);
#endif
    }

    std::unique_ptr<ui::ProductionLine> line;
    if (args.simulate && !args.ports_given) {
        std::string error;
        args.program.port_mapping_path = ui::write_simulation_ports(args.sim.phones, &error);
        if (args.program.port_mapping_path.empty()) {
            std::fprintf(stderr, "bramblewick: %s\n", error.c_str());
            return 0;
        }
    }
    if (args.simulate) {
        args.program.virtual_devices_only = true;
        line = std::make_unique<ui::ProductionLine>(args.sim);
    }

    // The log path is only known inside the run; the summary asks the window for it afterwards.
    std::string log_path;
    struct LogPathCapture : ui::StationWindow {
        ui::StationWindow *inner = nullptr;
        std::string *path = nullptr;
        void run(ui::StationSetup &setup) override
        {
            *path = setup.log_path;
            inner->run(setup);
        }
    } capture;
    capture.path = &log_path;

    if (use_terminal) {
        ui::TerminalMessages messages(stderr, 0);
        ui::TerminalWindowOptions topt;
        topt.redraw_in_place = isatty(STDOUT_FILENO);
        topt.companion = line.get();
        ui::TerminalWindow window(messages, topt);
        capture.inner = &window;
        ui::run_program(args.program, messages, capture);
    } else {
#ifdef BW_HAVE_GUI
        QApplication app(argc, argv);
        ui::QtMessages messages;
        ui::QtWindowOptions qopt;
        qopt.companion = line.get();
        qopt.screenshot_path = args.screenshot;
        qopt.screenshot_after_ms = args.screenshot_after_s * 1000;
        ui::QtStationWindow window(messages, qopt);
        capture.inner = &window;
        ui::run_program(args.program, messages, capture);
#endif
    }

    if (line) {
        if (line->has_run()) // not when start-up ended the program before the window
            std::fputs(line->summary(log_path).c_str(), stdout);
        if (!args.ports_given)
            unlink(args.program.port_mapping_path.c_str());
    }
    if (station_download_threads_alive() > 0) {
        // A download thread the quit left behind (a plug-in call that never returns) must not
        // see the program's statics torn down under it: end here, as the process end would.
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(0);
    }
    return 0;
}

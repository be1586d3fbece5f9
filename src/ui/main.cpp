// ui: the program's entry. Picks the front-end (the Qt window, or the terminal with --terminal
// or when there is no display), sets up --simulate's virtual production line, and runs the
// station through run_program. The station's exit code is 0 on every path; only a command line
// that cannot be understood ends with 2.
#include "simulate.h"
#include "station/shutdown.h"
#include "terminal_messages.h"
#include "terminal_window.h"
#include "ui/startup.h"

#ifdef BW_HAVE_GUI
#include "qt_messages.h"
#include "station_window.h"
#include <QApplication>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

const char kUsage[] =
    "usage: bramblewick [options]\n"
    "Runs the flashing station on the job flasher.ini of the working directory.\n"
    "  --terminal            terminal front-end (the default when there is no display)\n"
    "  --ports FILE          fixture port mapping (default /etc/bramblewick/ports.ini)\n"
    "  --lock-file FILE      single-instance lock file (default under /run/lock)\n"
    "  --simulate N          run against N (1..32) virtual phones on fixtures 1..N\n"
    "    --duration SECONDS  end the simulation after this long (default: until quit)\n"
    "    --faults RATE       share of phones that fail, 0..1 (default 0)\n"
    "    --usb-speed MBPS    virtual link speed in MB/s (default: unlimited)\n"
    "    --page-size BYTES --pages-per-block N --oob-size BYTES --blocks N --bad-blocks N\n"
    "                        NAND geometry of the virtual phones (2048, 64, 64, 2048, 4)\n"
    "    --seed N            seed of the simulation's random choices\n"
    "  --screenshot PNG      (window) save the window after --screenshot-after SECONDS\n"
    "                        (default 4), then quit\n"
    "  --version, --help\n";

struct Args {
    bool terminal = false;
    bool simulate = false;
    ui::SimulationOptions sim;
    ui::ProgramOptions program;
    std::string screenshot;
    int screenshot_after_s = 4;
};

bool parse_number(const char *text, double lo, double hi, double *out)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

// 0, 1 for --help/--version (done), or 2 after a usage message.
int parse_args(int argc, char **argv, Args *a)
{
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        if (opt == "--version") {
            std::puts("bramblewick 2.0.30.0");
            return 1;
        }
        if (opt == "--terminal") {
            a->terminal = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "bramblewick: %s needs a value\n%s", opt.c_str(), kUsage);
            return 2;
        }
        const char *val = argv[++i];
        double n = 0;
        auto number = [&](double lo, double hi) {
            if (parse_number(val, lo, hi, &n))
                return true;
            std::fprintf(stderr, "bramblewick: %s: %s is not a number in %g..%g\n", opt.c_str(),
                         val, lo, hi);
            return false;
        };
        if (opt == "--ports") {
            a->program.port_mapping_path = val;
        } else if (opt == "--lock-file") {
            a->program.lock_path = val;
        } else if (opt == "--screenshot") {
            a->screenshot = val;
        } else if (opt == "--screenshot-after") {
            if (!number(0, 3600))
                return 2;
            a->screenshot_after_s = static_cast<int>(n);
        } else if (opt == "--simulate") {
            if (!number(1, 32))
                return 2;
            a->simulate = true;
            a->sim.phones = static_cast<int>(n);
        } else if (opt == "--duration") {
            if (!number(1, 7 * 24 * 3600))
                return 2;
            a->sim.duration_s = static_cast<int>(n);
        } else if (opt == "--faults") {
            if (!number(0, 1))
                return 2;
            a->sim.fault_rate = n;
        } else if (opt == "--usb-speed") {
            if (!number(0.01, 100000))
                return 2;
            a->sim.usb_mbps = n;
        } else if (opt == "--page-size") {
            if (!number(512, 65536))
                return 2;
            a->sim.page_size = static_cast<uint32_t>(n);
        } else if (opt == "--pages-per-block") {
            if (!number(1, 1024))
                return 2;
            a->sim.pages_per_block = static_cast<uint32_t>(n);
        } else if (opt == "--oob-size") {
            if (!number(0, 4096))
                return 2;
            a->sim.oob_size = static_cast<uint32_t>(n);
        } else if (opt == "--blocks") {
            if (!number(16, 1 << 20))
                return 2;
            a->sim.block_count = static_cast<uint32_t>(n);
        } else if (opt == "--bad-blocks") {
            if (!number(0, 1 << 20))
                return 2;
            a->sim.bad_blocks = static_cast<uint32_t>(n);
        } else if (opt == "--seed") {
            if (!number(0, 4294967295.0))
                return 2;
            a->sim.seed = static_cast<uint32_t>(n);
        } else {
            std::fprintf(stderr, "bramblewick: unknown option %s\n%s", opt.c_str(), kUsage);
            return 2;
        }
    }
    if (!a->simulate && (a->sim.duration_s || a->sim.fault_rate > 0 || a->sim.usb_mbps > 0)) {
        std::fprintf(stderr, "bramblewick: --duration, --faults and --usb-speed need --simulate\n");
        return 2;
    }
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
    Args args;
    if (int rc = parse_args(argc, argv, &args))
        return rc == 1 ? 0 : rc;

    std::unique_ptr<ui::ProductionLine> line;
    if (args.simulate) {
        std::string error;
        args.program.port_mapping_path = ui::write_simulation_ports(args.sim.phones, &error);
        if (args.program.port_mapping_path.empty()) {
            std::fprintf(stderr, "bramblewick: %s\n", error.c_str());
            return 0;
        }
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

    bool use_terminal = args.terminal || !display_available();
#ifndef BW_HAVE_GUI
    use_terminal = true;
#endif
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

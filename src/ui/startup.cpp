// ui: start-up and shutdown of the station program. Called by main() for both front-ends.
#include "ui/startup.h"

#include "record/detail_record.h"
#include "record/run_id.h"
#include "job/job_check.h"
#include "live/live_writer.h"
#include "live/metrics_file.h"
#include "record/run_id.h"
#include "recorddb/shipper.h"
#include "station/log_completion.h"
#include "station/post_plugin_handler.h"
#include "station/production_log.h"
#include "station/shutdown.h"
#include "ui/dkb_image.h"
#include "ui/instance_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>

namespace ui
{

namespace
{

// Owns what start-up acquired; released when the program returns. The window stops its
// station before run() returns; a download thread the quit left behind (stuck in a plug-in call)
// may still read the job and be inside the plug-in, so then both stay for the process end.
struct Acquired {
    flashini_content *job = nullptr;
    void *plugin = nullptr;
    ~Acquired()
    {
        if (station_download_threads_alive() > 0)
            return;
        plugin_handler_finailize(plugin);
        flashini_destroy(job);
    }
};

// 2. The job. The parser has written its own reason to stderr already.
// 3. The plug-in. A plug-in judges phones against the one-file image's description, so it
// is refused for a job that has none.
// False after the operator message that ends the program.
bool load_job(const ProgramOptions &options, OperatorMessages &messages, Acquired &acquired)
{
    acquired.job = flashini_parse_file(options.job_path.c_str());
    if (!acquired.job) {
        messages.show(kMsgParseIniError, kCaptionError, MessageIcon::Error);
        return false;
    }
    int errorno = 0;
    const char *ini = options.plugin_ini.empty() ? POST_PLUGIN_INI : options.plugin_ini.c_str();
    const char *host = options.plugin_host.empty() ? nullptr : options.plugin_host.c_str();
    acquired.plugin = plugin_handler_init(&errorno, ini, host);
    if (acquired.plugin) {
        if (acquired.job->one_file_image_description[0] == '\0') {
            messages.show(kMsgNoDescriptionForPlugin, kCaptionError, MessageIcon::Error);
            return false;
        }
    } else if (errorno != 0) {
        messages.show(kMsgPluginInitFailed, kCaptionError, MessageIcon::Error);
        return false;
    }
    return true;
}

// The live state's writer for this station; null (with a message) when it cannot start.
std::unique_ptr<LiveWriter> start_live_writer(const ProgramOptions &options,
                                              const std::string &conninfo,
                                              const std::string &station_id,
                                              const flashini_content &job,
                                              const StationSetup &setup,
                                              std::shared_ptr<LiveBoard> board)
{
    LiveOptions lopt;
    lopt.conninfo = conninfo;
    lopt.station = station_id;
    lopt.run_id = station_run_id();
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0)
        lopt.host = host;
    lopt.program_version = detail_program_version();
    if (setup.options.detail) {
        lopt.job_sha256 = setup.options.detail->job.sha256;
    } else {
        detail_job digests; // no log this run: the job's digest is taken for the line alone
        if (detail_job_digests(&job, options.job_path.c_str(), &digests) == 0)
            lopt.job_sha256 = digests.sha256;
    }
    if (job.one_file_image_description[0] != '\0')
        lopt.job_description = job.one_file_image_description;
    auto live = std::make_unique<LiveWriter>(lopt, std::move(board));
    if (live->start() != 0) {
        std::fprintf(stderr, "bramblewick: cannot start the live state's writer\n");
        return nullptr;
    }
    return live;
}

} // namespace

int run_program(const ProgramOptions &options, OperatorMessages &messages, StationWindow &window)
{
    // 1. Only one station per PC: two would fight over the same phones and log directory.
    InstanceLock lock;
    std::string why;
    std::string lock_path = options.lock_path.empty() ? default_lock_path() : options.lock_path;
    LockResult locked = lock.acquire(lock_path, &why);
    if (locked == LOCK_HELD_ELSEWHERE) {
        messages.show(kMsgAnotherInstance, kCaptionError, MessageIcon::Error);
        return 0;
    }
    if (locked != LOCK_ACQUIRED) {
        // Without the lock a second station could not be told apart: refuse to run blind.
        messages.show("Cannot create the single-instance lock " + why, kCaptionError,
                      MessageIcon::Error);
        return 0;
    }

    // 2-3. The job and the plug-in.
    Acquired acquired;
    if (!load_job(options, messages, acquired))
        return 0;

    // 4. The production log, never overwriting an earlier run's file. An earlier run killed
    // between a detail line and its CSV line has its CSV completed first.
    log_complete_dir(options.log_dir, stderr);
    StationSetup setup;
    setup.job_path = options.job_path;
    FILE *log = nullptr;
    if (acquired.job->logging != 0) {
        log = log_create_file(options.log_dir.c_str(), station_local_time(), &setup.log_path);
        if (log) {
            auto detail = std::make_shared<detail_log>();
            detail->station =
                options.station_id.empty() ? detail_default_station_id() : options.station_id;
            detail->program = detail_program_version();
            detail->run_id = station_run_id();
            int rc = detail_job_digests(acquired.job, options.job_path.c_str(), &detail->job);
            if (rc == 0)
                rc = detail_log_open(setup.log_path, detail.get());
            if (rc == 0) {
                setup.options.detail = std::move(detail);
            } else {
                // A CSV line never exists without its detail: without the one, no log at all.
                fclose(log);
                log = nullptr;
                unlink(setup.log_path.c_str());
            }
        }
        if (!log) {
            setup.log_path.clear();
            messages.show(kMsgLogCreateFailed, kCaptionWarning, MessageIcon::Warning);
        }
    }

    // A plug-in's output goes to a file per call beside the production log, never to the
    // operator's terminal.
    if (acquired.plugin) {
        const std::string out_dir = options.log_dir + "/plugin";
        mkdir(options.log_dir.c_str(), 0755);
        struct stat st;
        if ((mkdir(out_dir.c_str(), 0750) == 0 || errno == EEXIST) &&
            lstat(out_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            plugin_handler_set_output_dir(acquired.plugin, out_dir);
        else
            std::fprintf(stderr, "bramblewick: %s: %s; the plug-in's output is not kept\n",
                         out_dir.c_str(), std::strerror(errno));
    }

    // 5. The DKB image, compiled in.
    int dkb_size = 0;
    const unsigned char *dkb = load_flasher_image(DKB_IMAGE_RESOURCE_ID, &dkb_size);

    // 6. The factory record, when a database is configured: its shipper sends the log
    // directory's records from a thread of its own, and ends after the window.
    std::string conninfo;
    if (record_db_conninfo(options.record_db, options.station_config, &conninfo, &why) != 0)
        std::fprintf(stderr, "bramblewick: %s; no factory record this run\n", why.c_str());
    std::unique_ptr<Shipper> shipper;
    if (!conninfo.empty()) {
        ShipperOptions sopt;
        sopt.conninfo = conninfo;
        sopt.log_dir = options.log_dir;
        shipper = std::make_unique<Shipper>(sopt);
        if (shipper->start() == 0)
            setup.record_state = [s = shipper.get()] { return s->state_line(); };
        else
            std::fprintf(stderr, "bramblewick: cannot start the factory record's shipper\n");
    }

    // 7. The live state and the metrics file, fed by the run events through a board the
    // window thread only copies into; each writes from a thread of its own.
    std::shared_ptr<LiveBoard> board;
    std::unique_ptr<LiveWriter> live;
    std::unique_ptr<MetricsWriter> metrics;
    if (!conninfo.empty() || !options.metrics_path.empty()) {
        board = std::make_shared<LiveBoard>();
        setup.on_station = [board](Station &station) {
            station.subscribe([board, &station](const run_event &ev) {
                const shift_tally &t = station.health().shift;
                board->take(ev, t.first_runs, t.first_runs_passed);
            });
        };
    }
    const std::string station_id =
        options.station_id.empty() ? detail_default_station_id() : options.station_id;
    if (!conninfo.empty()) {
        live = start_live_writer(options, conninfo, station_id, *acquired.job, setup, board);
        if (live)
            setup.outside_alarm = [w = live.get()] { return w->alarm(); };
    }
    if (!options.metrics_path.empty()) {
        MetricsOptions mopt;
        mopt.path = options.metrics_path;
        mopt.station = station_id;
        metrics = std::make_unique<MetricsWriter>(
            mopt, board, [s = shipper.get(), w = live.get()](MetricsFigures *f) {
                if (s) {
                    ShipperState st = s->state();
                    f->record_backlog = st.waiting;
                    f->record_refused = st.refused;
                }
                if (w)
                    f->live_connected = w->state().connected;
            });
        if (metrics->start() != 0)
            std::fprintf(stderr, "bramblewick: cannot start the metrics file's writer\n");
    }

    // 8. The window, until the confirmed quit.
    setup.options.ini_content = acquired.job;
    setup.options.dkb_buf = dkb;
    setup.options.dkb_size = dkb_size;
    setup.options.post_plugin_handle = acquired.plugin;
    setup.options.logging_fd = log;
    setup.options.log_path = setup.log_path;
    setup.options.port_mapping_path = options.port_mapping_path;
    setup.options.virtual_devices_only = options.virtual_devices_only;
    window.run(setup);
    if (live)
        live->stop(); // every fixture's last state, and the station marked stopped
    if (metrics)
        metrics->stop();
    if (shipper)
        shipper->stop(); // what it has not sent waits in the log for the next start
    return 0;
}

int run_check(const ProgramOptions &options, OperatorMessages &messages, FILE *out,
              const job_geometry &geometry)
{
    Acquired acquired;
    if (!load_job(options, messages, acquired))
        return 1;
    job_check_plugin plugin;
    if (acquired.plugin) {
        plugin.name = plugin_handler_get_name(acquired.plugin);
        plugin.extra_read_addr = plugin_handler_get_extra_read_addr(acquired.plugin);
        plugin.extra_read_size = plugin_handler_get_extra_read_size(acquired.plugin);
    }
    const flashini_content &job = *acquired.job;
    std::fputs(job_check_plan(job, options.job_path.c_str(), plugin, geometry).c_str(), out);
    const std::vector<job_finding> findings =
        job_check_findings(job, options.job_path, geometry);
    const int problems = job_check_problem_count(findings);
    for (const job_finding &f : findings)
        std::fprintf(out, "%s: %s\n", f.problem ? "problem" : "warning", f.text.c_str());
    if (problems)
        std::fprintf(out, "%d problem%s: the job cannot program phones as it stands.\n", problems,
                     problems == 1 ? "" : "s");
    else
        std::fprintf(out, "No problems: the job can program phones.\n");
    return problems ? 1 : 0;
}

std::string join_alarms(const std::string &station_alarm,
                        const std::function<std::string()> &outside_alarm)
{
    const std::string outside = outside_alarm ? outside_alarm() : "";
    if (station_alarm.empty() || outside.empty())
        return station_alarm + outside;
    return station_alarm + "\n" + outside;
}

bool confirm_quit(OperatorMessages &messages, Station &station)
{
    if (!messages.ask_yes_no(kMsgQuitQuestion, kCaptionQuit))
        return false;
    station.stop();
    return true;
}

} // namespace ui

// ui: start-up and shutdown of the station program. Called by main() for both front-ends.
#include "ui/startup.h"

#include "record/detail_record.h"
#include "record/run_id.h"
#include "job/job_check.h"
#include "job/release.h"
#include "live/live_writer.h"
#include "live/metrics_file.h"
#include "recorddb/release_db.h"
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
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <memory>
#include <optional>
#include <unistd.h>

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
    // The release step's findings (check_release).
    std::vector<release_job_file> files;
    std::shared_ptr<job_guard> guard;
    std::optional<release_info> release;
    release_settings settings;
    std::string release_text;
    bool release_red = false;
    // The job's digests, taken once for the release check and the detail record alike.
    detail_job digests;
    int digests_rc = -1;
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
        // No log this run: flasher.ini's digest alone, for the line, not every image's.
        std::vector<release_job_file> ini{{options.job_path, "", std::nullopt}};
        release_digest_files(&ini);
        lopt.job_sha256 = ini[0].sha256;
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

std::string plugin_ini_path(const ProgramOptions &options)
{
    return options.plugin_ini.empty() ? POST_PLUGIN_INI : options.plugin_ini;
}

std::string job_dir(const ProgramOptions &options)
{
    std::filesystem::path dir = std::filesystem::path(options.job_path).parent_path();
    return dir.empty() ? "." : dir.string();
}

std::string station_id(const ProgramOptions &options)
{
    return options.station_id.empty() ? detail_default_station_id() : options.station_id;
}

// 3b. The release. Every file the job uses: its identity (the guard, before the digests, so a
// change while they are taken shows) and its digest; then, when this station trusts keys, the
// release: signature, expiry, every file listed with that digest, the sequence against this
// station's memory and the factory database's, revocation. for_run: the station will run it
// (the factory database then learns of its first use). False with the reason in *why.
bool check_release(const ProgramOptions &options, Acquired &acquired, bool for_run,
                   std::string *why)
{
    if (release_settings_read(options.station_config, &acquired.settings, why) != 0)
        return false;
    const release_settings &settings = acquired.settings;
    std::string bare;
    acquired.files = release_job_files(*acquired.job, options.job_path,
                                       acquired.plugin ? plugin_ini_path(options) : "", &bare);
    std::vector<std::string> paths;
    for (const release_job_file &f : acquired.files)
        paths.push_back(f.path);
    acquired.guard = std::make_shared<job_guard>();
    if (job_guard_open(acquired.guard.get(), paths, why) != 0) {
        *why = "job file " + *why;
        return false;
    }
    // Read only for a release to check or a record to write: a big job starts as fast as
    // before without them.
    if (!settings.keys_dir.empty() || settings.require || acquired.job->logging != 0)
        acquired.digests_rc =
            detail_job_digests(acquired.job, options.job_path.c_str(), &acquired.digests);
    for (release_job_file &f : acquired.files) {
        auto d = acquired.digests.file_sha256.find(f.path);
        if (d != acquired.digests.file_sha256.end())
            f.sha256 = d->second;
    }
    release_check_input in;
    in.job_dir = job_dir(options);
    in.files = acquired.files;
    in.require = settings.require;
    in.now = time(nullptr);
    if (!settings.keys_dir.empty() && release_load_keys(settings.keys_dir, &in.keys, why) != 0)
        return false;
    if (!in.keys.empty())
        release_digest_files(&in.files); // post_plugin.ini and the plug-in library
    release_info info;
    const release_status status = release_check(in, &info, why);
    if (status == RELEASE_REFUSED)
        return false;
    if (status == RELEASE_NONE) {
        if (!in.keys.empty()) {
            acquired.release_text = "Not released: the job has no release.txt";
            acquired.release_red = true;
        }
        return true;
    }
    if (!bare.empty()) {
        *why = "the plug-in library " + bare +
               " is named without a directory, so no release can cover it: give its path in " +
               plugin_ini_path(options);
        return false;
    }
    int64_t highest = 0;
    if (release_state_highest(settings.state_path, info.product, &highest, why) != 0 ||
        release_check_sequence(info, highest, "this station", why) != 0)
        return false;
    std::string conninfo;
    std::string ignored;
    record_db_conninfo(options.record_db, options.station_config, &conninfo, &ignored);
    if (!conninfo.empty()) {
        release_db_answer a;
        release_db_look(conninfo, info, station_id(options), for_run, 5000, &a);
        if (!a.reached) {
            std::fprintf(stderr,
                         "bramblewick: factory database not reached (%s): the release's "
                         "signature alone decides\n",
                         a.error.c_str());
        } else if (a.revoked) {
            *why = release_db_revoked_text(info, a);
            return false;
        } else if (release_check_sequence(info, a.highest, "the factory", why) != 0) {
            return false;
        }
    }
    acquired.release = info;
    acquired.release_text = release_summary_text(info);
    return true;
}

void refuse_job(OperatorMessages &messages, const std::string &why)
{
    messages.show("The job is refused: " + why, kCaptionError, MessageIcon::Error);
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
    if (!check_release(options, acquired, true, &why)) {
        refuse_job(messages, why);
        return 0;
    }
    // The station remembers the newest release it ran, so last month's cannot come back.
    if (acquired.release &&
        release_state_record(acquired.settings.state_path, acquired.release->product,
                             acquired.release->sequence, &why) != 0) {
        refuse_job(messages, why);
        return 0;
    }

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
            detail->station = station_id(options);
            detail->program = detail_program_version();
            detail->run_id = station_run_id();
            if (acquired.release)
                detail->release =
                    detail_release{acquired.release->product, acquired.release->sequence,
                                   acquired.release->key_id, acquired.release->sha256};
            int rc = acquired.digests_rc;
            detail->job = acquired.digests;
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

    // The digests above were taken of the files the guard recorded, or the job is refused:
    // what phones get is what was checked and recorded.
    std::string changed;
    if (job_guard_verify(acquired.guard.get(), &changed) != 0) {
        if (log) { // no phone was run: the empty logs go
            fclose(log);
            unlink(setup.log_path.c_str());
            unlink(setup.options.detail->path.c_str());
            detail_log_close(setup.options.detail.get());
        }
        refuse_job(messages, changed + " changed while it was being checked");
        return 0;
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
    const std::string id = station_id(options);
    if (!conninfo.empty()) {
        live = start_live_writer(options, conninfo, id, *acquired.job, setup, board);
        if (live)
            setup.outside_alarm = [w = live.get()] { return w->alarm(); };
    }
    if (!options.metrics_path.empty()) {
        MetricsOptions mopt;
        mopt.path = options.metrics_path;
        mopt.station = id;
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

    // The release's revocation, looked for while the line runs.
    std::unique_ptr<ReleaseWatch> watch;
    if (acquired.release && !conninfo.empty()) {
        watch = std::make_unique<ReleaseWatch>(conninfo, *acquired.release, id,
                                               acquired.settings.poll_s,
                                               [guard = acquired.guard](const std::string &text) {
                                                   job_guard_raise(guard.get(), text);
                                               });
        if (watch->start() != 0)
            std::fprintf(stderr, "bramblewick: cannot watch the release for revocation\n");
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
    setup.options.guard = acquired.guard;
    setup.release_text = acquired.release_text;
    setup.release_red = acquired.release_red;
    window.run(setup);
    if (live)
        live->stop(); // every fixture's last state, and the station marked stopped
    if (metrics)
        metrics->stop();
    if (watch)
        watch->stop();
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
    int problems = job_check_problem_count(findings);
    for (const job_finding &f : findings)
        std::fprintf(out, "%s: %s\n", f.problem ? "problem" : "warning", f.text.c_str());
    std::string why;
    if (!check_release(options, acquired, false, &why)) {
        std::fprintf(out, "problem: the job is refused: %s\n", why.c_str());
        problems++;
    } else if (!acquired.release_text.empty()) {
        std::fprintf(out, "%s\n", acquired.release_text.c_str());
    }
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

int run_make_release(const ProgramOptions &options, OperatorMessages &messages, FILE *out)
{
    Acquired acquired;
    if (!load_job(options, messages, acquired))
        return 1;
    std::string bare;
    std::vector<release_job_file> files = release_job_files(
        *acquired.job, options.job_path, acquired.plugin ? plugin_ini_path(options) : "", &bare);
    release_digest_files(&files);
    std::string text;
    std::string why;
    if (!bare.empty()) {
        std::fprintf(stderr,
                     "bramblewick: the plug-in library %s is named without a directory, so it "
                     "cannot be listed: give its path in %s\n",
                     bare.c_str(), plugin_ini_path(options).c_str());
        return 1;
    }
    if (release_format_list(files, &text, &why) != 0) {
        std::fprintf(stderr, "bramblewick: cannot make the release list: %s\n", why.c_str());
        return 1;
    }
    const std::string path = job_dir(options) + "/" + RELEASE_LIST_NAME;
    const std::string tmp = path + ".new";
    FILE *f = std::fopen(tmp.c_str(), "w");
    bool ok = f && std::fputs(text.c_str(), f) >= 0;
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "bramblewick: cannot write %s\n", path.c_str());
        unlink(tmp.c_str());
        return 1;
    }
    std::fprintf(out, "Wrote %s, listing %zu file%s:\n", path.c_str(), files.size(),
                 files.size() == 1 ? "" : "s");
    std::fputs(text.c_str(), out);
    std::fprintf(out, "Sign it: minisign -S -m %s -t 'product=P sequence=N expires=YYYY-MM-DD'\n",
                 path.c_str());
    return 0;
}

bool confirm_quit(OperatorMessages &messages, Station &station)
{
    if (!messages.ask_yes_no(kMsgQuitQuestion, kCaptionQuit))
        return false;
    station.stop();
    return true;
}

} // namespace ui

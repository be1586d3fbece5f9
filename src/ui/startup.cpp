// ui: start-up and shutdown of the station program. Called by main() for both front-ends.
#include "ui/startup.h"

#include "recorddb/shipper.h"
#include "station/post_plugin_handler.h"
#include "station/production_log.h"
#include "ui/dkb_image.h"
#include "ui/instance_lock.h"

#include <cstdio>
#include <memory>

namespace ui
{

namespace
{

// Owns what start-up acquired; released when the program returns. Every station thread has
// been joined by then (the window stops its station before run() returns), so nothing can
// still be reading the job or calling the plug-in.
struct Acquired {
    flashini_content *job = nullptr;
    void *plugin = nullptr;
    ~Acquired()
    {
        plugin_handler_finailize(plugin);
        flashini_destroy(job);
    }
};

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

    // 2. The job. The parser has written its own reason to stderr already.
    Acquired acquired;
    acquired.job = flashini_parse_file(options.job_path.c_str());
    if (!acquired.job) {
        messages.show(kMsgParseIniError, kCaptionError, MessageIcon::Error);
        return 0;
    }

    // 3. The plug-in. A plug-in judges phones against the one-file image's description, so it
    // is refused for a job that has none.
    int errorno = 0;
    acquired.plugin = options.plugin_ini.empty()
                          ? plugin_handler_init(&errorno)
                          : plugin_handler_init(&errorno, options.plugin_ini.c_str());
    if (acquired.plugin) {
        if (acquired.job->one_file_image_description[0] == '\0') {
            messages.show(kMsgNoDescriptionForPlugin, kCaptionError, MessageIcon::Error);
            return 0;
        }
    } else if (errorno != 0) {
        messages.show(kMsgPluginInitFailed, kCaptionError, MessageIcon::Error);
        return 0;
    }

    // 4. The production log, never overwriting an earlier run's file.
    StationSetup setup;
    FILE *log = nullptr;
    if (acquired.job->logging != 0) {
        log = log_create_file(options.log_dir.c_str(), station_local_time(), &setup.log_path);
        if (!log) {
            setup.log_path.clear();
            messages.show(kMsgLogCreateFailed, kCaptionWarning, MessageIcon::Warning);
        }
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

    // 7. The window, until the confirmed quit.
    setup.options.ini_content = acquired.job;
    setup.options.dkb_buf = dkb;
    setup.options.dkb_size = dkb_size;
    setup.options.post_plugin_handle = acquired.plugin;
    setup.options.logging_fd = log;
    setup.options.port_mapping_path = options.port_mapping_path;
    setup.options.virtual_devices_only = options.virtual_devices_only;
    window.run(setup);
    if (shipper)
        shipper->stop(); // what it has not sent waits in the log for the next start
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

// station core: discovery, the per-phone download threads, the window-side handlers and the
// station's life. Front-ends (the Qt window, the terminal view) and tests drive it through the
// Station class at the bottom; the free functions are the station's named steps, public so
// tests can run each one alone.
//
// Threads:
// - the window thread: the thread that calls Station::start(). It owns the device list, every
//   row record and the log stream, and runs every handler, by draining the message queue
//   (Station::process_pending_messages) whenever the wake hook says so, or on its own schedule;
// - one monitor thread: polls USB every poll_period_ms, starts a download thread per new phone
//   in boot ROM mode and reaps ended ones;
// - one download thread per phone: the flashing sequence; it changes rows only by synchronous
//   sends to the window thread.
// All station state lives in one station_context, so a process may run many stations one after
// the other (the tests do). Threads share it through a shared_ptr, so it outlives any thread that
// stop() chose not to wait for.
#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dkb/libdkb.h"
#include "job/flashini_parser.h"
#include "station/bus_presence.h"
#include "station/device_list.h"
#include "station/durable_log.h"
#include "station/fixture_health.h"
#include "station/job_guard.h"
#include "station/port_mapping.h"
#include "station/run_events.h"
#include "station/run_names.h"
#include "station/window_messages.h"

// Boot ROM identities (both accepted alike) and the running agent's.
enum : unsigned {
    BOOTROM_VID_1 = 0x8086,
    BOOTROM_PID_1 = 0xD001,
    BOOTROM_VID_2 = 0x1286,
    BOOTROM_PID_2 = 0x8104,
    DKB_AGENT_VID = 0x1286,
    DKB_AGENT_PID = 0x8111,
};

struct station_options {
    // The job; read-only, must outlive the station. Required.
    const flashini_content *ini_content = nullptr;
    // The DKB agent image pushed to every phone; read-only, must outlive the station.
    const unsigned char *dkb_buf = nullptr;
    int dkb_size = 0;
    // plugin_handler_init's handle, or null. The station never finalises it.
    void *post_plugin_handle = nullptr;
    // The production log (log_create_file), or null for none. Taken over: stop() closes it.
    FILE *logging_fd = nullptr;
    // Its path, where it is made again should it be removed while the station runs.
    std::string log_path;
    // The detail record beside it (detail_log_open), or null for none. Its file is taken over
    // with the log's: written before each CSV line, kept with it when either cannot be written.
    std::shared_ptr<detail_log> detail;
    // The job's files as start-up checked them (station/job_guard.h), or null for no guard:
    // while it has an alarm no new phone is taken, and each phone checks its files again.
    std::shared_ptr<job_guard> guard;
    // The port mapping file; empty for none.
    std::string port_mapping_path = PORT_MAPPING_DEFAULT_PATH;
    int poll_period_ms = 100;  // pause between the monitor's passes
    int agent_wait_ms = 10000; // how long a phone's agent may take to enumerate
    int ack_period_ms = 1000;  // acknowledgement period of a finished phone left plugged in
    int unplug_check_ms = 50;  // how often a finished phone is looked for on the bus meanwhile
    // How long stop() waits for the download threads; -1 until all have ended. They end fast
    // once stopped (their devices are abandoned, every send returns at once, the waits and
    // loops watch do_exit); only a plug-in call can hold one. Threads still running then are
    // left to run out on their own: they keep the context alive, reach nothing outside it but
    // the job, the DKB image and the plug-in (station_download_threads_alive), and never the log.
    int stop_wait_ms = 1000;
    // Watch only the virtual USB bus (--simulate): a real phone on the PC's hub is then left
    // alone instead of being programmed with the simulation's job.
    bool virtual_devices_only = false;
};

// One node of the monitor's list of started download threads (newest first). Owned by the
// monitor thread alone.
struct download_thread_node {
    char interfaceName[STATION_NAME_MAX]; // boot ROM interface name: the key of the list
    usb_dev_handle *udev;                 // handed to the thread, which closes it; unused here
    std::thread hThread;
    std::shared_ptr<std::atomic<bool>> ended; // set by the thread as its very last action
};
using download_thread_list = std::list<download_thread_node>;

// What one row of the device list shows, kept typed beside it (window thread only): the
// handlers decide on these fields and render the row's cells from them; nothing reads a cell's
// text back. The elapsed time is rendered from the row's record instead.
struct station_row {
    int fixture = 0;          // the fixture's number; 0 for an "NA" row
    std::string fixture_text; // column 0 as shown: the number, or "NA"
    std::string interface_1;  // the fixture's mapped names (an "NA" row: the name it came on)
    std::string interface_2;
    std::string stage;  // Image
    std::string die_id; // MPU Die ID
    std::string status; // Status, without the views' " - not yet recorded"
    std::string progress;
};

struct station_context : std::enable_shared_from_this<station_context> {
    explicit station_context(station_options o) : opt(std::move(o)) {}

    const station_options opt; // read-only for the whole run
    std::atomic<int> do_exit{0};
    MessageQueue queue;
    DeviceList list;            // window thread only
    int no_of_mapped_ports = 0; // window thread only
    durable_log log;            // window thread only; no files when logging is off
    // Raised by the window thread while log lines are kept (they could not be written): the
    // monitor then takes no new phone.
    std::atomic<bool> log_blocked{false};
    station_health health; // window thread only, but for health.strikes (its own lock)
    // What every detail line repeats; its file is the log's first (window thread only).
    std::shared_ptr<detail_log> detail;

    // Every interface name of the port mapping. Written by start() before the monitor exists,
    // read-only afterwards (the download threads read it without a lock).
    std::set<std::string> mapped_names;

    std::thread hMonitorThread;
    // The monitor's list when it ended; read by stop() after joining the monitor.
    download_thread_list monitor_leftovers;

    // Every device a monitor or download thread holds, so the quit can abandon them
    // (station/shutdown.h).
    std::mutex devices_mutex;
    std::set<usb_dev_handle *> devices_held; // guarded by devices_mutex
    // The boot ROM ids (vid << 16 | pid) of each boot ROM device the monitor is attaching, set
    // before its attach, so the attach puts them in the run's record in the window thread and no
    // thread writes the record after the attach; guarded by devices_mutex.
    std::map<const usb_dev_handle *, uint32_t> bootrom_ids;
    // The other way: the attach leaves the run's share of its new record here, under the boot ROM
    // device, for the monitor to hand to the run's thread (take_run_record); guarded by
    // devices_mutex.
    std::map<const usb_dev_handle *, std::shared_ptr<tag_list_item>> attached_runs;
    // The one registry of claimed interface names (a run's own, the agents runs took, the agents
    // failed runs left on the bus); guarded inside.
    run_names runs;
    // The recent enumeration finished phones are looked for in; guarded inside.
    bus_presence presence;
    // Why the port mapping ended early ("" when it did not); window thread only.
    std::string port_mapping_problem;

    bool started = false; // window thread only
    bool stopped = false; // window thread only

    // Whoever takes the run events (Station::subscribe); window thread only.
    std::vector<run_event_subscriber> subscribers;
    // Window thread only: what each row shows, typed, index = the list's row (station_row);
    // and the last run number given out.
    std::vector<station_row> rows;
    uint64_t last_run_id = 0;
    // Window thread only: runs whose log line is kept in memory, oldest first, as the log keeps
    // them; the tally counts each when its line reaches the disk.
    struct unrecorded_run {
        uint64_t run_id;
        int code;
        bool first_run;
        bool interrupted;
        int row;
        std::string bootrom_interface;
    };
    std::deque<unrecorded_run> unrecorded;
};

// Window thread: hands `ev` to every subscriber, in the order they subscribed.
void publish_run_event(station_context *ctx, const run_event &ev);
// Window thread: the row's state as a run event's snapshot (its run's fields from `item`, or
// from the row's own record when item is null).
run_snapshot station_row_snapshot(const station_context *ctx, int row,
                                  const tag_list_item *item = nullptr);
// Window thread: publishes an event of `kind` for the row (snapshot as above).
void publish_row_event(station_context *ctx, run_event_kind kind, int row,
                       const tag_list_item *item = nullptr);

// What a download thread's progress callback needs: the row it reports to and where to send.
struct download_run {
    station_context *ctx;
    tag_list_item *item;
};

// ---- Window side (window thread) --------------------------------------------------------------
// Dispatches the seven station window messages to their handlers; 0 (FALSE) for anything else.
LRESULT MainProc(station_context *ctx, unsigned msg, WPARAM wParam, LPARAM lParam);
// Attach: claims the row mapped to interface_name (or appends an "NA" row) and returns the new
// record, the run's share of it left for take_run_record(udev); null when the row's previous run
// has not detached yet (the monitor then closes the device and tries again on a later pass) or
// no record could be allocated.
tag_list_item *DeviceConnected(station_context *ctx, usb_dev_handle *udev,
                               const char *interface_name);
// Takes the run's share of the record the attach of udev made (null when there is none).
std::shared_ptr<tag_list_item> take_run_record(station_context *ctx, const usb_dev_handle *udev);
void DeviceCompleted(station_context *ctx, tag_list_item *item, int code);
void DeviceDisconnected(station_context *ctx, tag_list_item *item);
// Clears columns 3 to 7 of row `item` and drops the row's share of its record (freed unless its
// run's thread still holds its own).
void CleanItemStatus(station_context *ctx, int item);
// Takes the rows the port mapping put in the list as the typed rows (station_row); once, before
// the first attach.
void station_take_rows(station_context *ctx);
// The typed row, or null for a bad index.
station_row *station_row_at(station_context *ctx, int row);
// Shows `text` in cell (row, col) and keeps it in the typed row; false when it was shown already
// (or the row does not exist).
bool station_show(station_context *ctx, int row, int col, const char *text);
void DeviceImageMsg(station_context *ctx, tag_list_item *item, const char *text);
void DeviceDieIDMsg(station_context *ctx, tag_list_item *item, const char *text);
void DeviceDownloadMsg(station_context *ctx, tag_list_item *item, const char *text);
void DeviceProgress(station_context *ctx, tag_list_item *item, const char *text);
// The detail line of row `row`'s finished run, finished at finish_utc_ms, with the Section and
// Status texts its CSV line and row get; written with that CSV line, before it. 0 (an empty line
// without a detail log), or -ENOMEM.
int DeviceDetailRecord(station_context *ctx, int row, int64_t finish_utc_ms, const char *section,
                       const char *status_text, std::string *line);

// ---- Monitor thread ---------------------------------------------------------------------------
int MonitorThreadProc(std::shared_ptr<station_context> ctx);
// One enumeration pass as the station sees it: usb_enumerate, less the real devices when the
// station watches only the virtual bus. 0, or -1 when there was no device list.
int station_enumerate(const station_context *ctx, std::vector<std::string> *paths);
// True when the device path names a device of the virtual bus.
bool station_path_is_virtual(const std::string &path);
// First node of the list for interface_name (exact), or null.
download_thread_node *FindDeviceStillConnectedNAlive(const char *interface_name,
                                                     download_thread_list &dl_thread_ll);
// Joins and removes every node whose thread has ended (a zero wait: running ones stay).
void reap_download_threads(download_thread_list &dl_thread_ll);

// ---- Download thread --------------------------------------------------------------------------
// The thread owns its share of the record (the row holds the other) until it returns.
int DownloadThreadProc(station_context *ctx, std::shared_ptr<tag_list_item> item);
// How the wait for a phone's agent ended.
enum wait_dkb_result {
    WAIT_DKB_FOUND = 0,       // *ret_udev holds the open agent
    WAIT_DKB_TIMED_OUT = 1,   // no agent the row may take appeared in time
    WAIT_DKB_OPEN_FAILED = 2, // an agent was there but could not be opened or configured
    WAIT_DKB_STOPPED = 3,     // the station stopped meanwhile
};
// Its name in the detail record: "found", "timed out", "open failed", "stopped".
const char *wait_dkb_result_name(int result);
// Polls for the agent (0x1286/0x8111) on name1 or name2 for up to timeout ms. When either name
// is empty the row knows only one and may take an agent on any name, except one on another
// fixture's mapped name or one another run claims (station/run_names.h), whose own row is
// waiting for it; an agent on its own names comes first. WAIT_DKB_FOUND with the open device in
// *ret_udev and its name, claimed in runs (run_names_take_agent), in *taken_name; otherwise why
// not. Says on the run's diagnostic lines which names it looked for, how long, and how it ended.
int wait_for_dkb(station_context *ctx, usb_dev_handle **ret_udev, int timeout, const char *name1,
                 const char *name2, std::string *taken_name);
// The job on the agent device; 0, or the failing step's code with its message in *err_msg.
int start_download_image(station_context *ctx, tag_list_item *pitem, usb_dev_handle *udev,
                         const char **err_msg);
// user_data is a download_run. Status := msg; Progress := "%d%% (%d/%d)" with cur clamped to
// range. A range of 0 or less has no percentage to give: it shows "0% (0/range)".
void progress_callback(void *user_data, const char *msg, int cur, int range);
// The "Progress" text progress_callback shows (buffer of 100 bytes).
void format_progress(char *buf, size_t size, int cur, int range);

// ---- The station, as a front-end sees it -------------------------------------------------------
class Station
{
  public:
    explicit Station(station_options options);
    ~Station(); // stop()
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Window initialisation, on the thread that becomes the window thread: fixture rows from the
    // port mapping, then the monitor thread. 0, or -1 without a job or when already started.
    int start();
    // Shutdown, on the window thread (never from inside a handler): handles the messages
    // already waiting, raises do_exit, finishes every run in progress as "Station stopped" with
    // its log line, releases every blocked sender, abandons the threads' devices, joins the
    // monitor, waits for the download threads (stop_wait_ms), closes the log. Idempotent. Rows
    // keep their last state for the view.
    void stop();

    // Wake-up hook, run on a sender's thread when a message is queued: schedule
    // process_pending_messages() on the window thread. Set it before start().
    void set_wake_hook(std::function<void()> hook) { ctx_->queue.set_wake_hook(std::move(hook)); }
    // Window thread: runs the handlers of the waiting messages; returns how many.
    int process_pending_messages() { return ctx_->queue.process_pending(); }
    // Window thread: waits up to timeout_ms for a message; true when one is waiting.
    bool wait_for_messages(int timeout_ms) { return ctx_->queue.wait(timeout_ms); }
    // Window thread, once a second: the elapsed-time column, another try at writing the kept
    // log lines, the rows of held phones that have been removed.
    void one_second_timer();

    // Window thread: the station-wide alarm (the log cannot be written); empty when none.
    std::string alarm() const;
    // Window thread: this run's tally and the fixtures' health.
    const station_health &health() const { return ctx_->health; }
    std::string tally_text() const;
    // After stop(): the log lines that could never be written, to `to` (standard error).
    void report_unwritten_log(FILE *to) const;

    // Window thread, never from inside a subscriber: every run event from then on goes to `fn`
    // as well (station/run_events.h).
    void subscribe(run_event_subscriber fn);

    // Window thread: the rows. Set an observer with device_list().set_observer().
    DeviceList &device_list() { return ctx_->list; }
    const flashini_content *job() const { return ctx_->opt.ini_content; }
    void *post_plugin_handle() const { return ctx_->opt.post_plugin_handle; }
    int no_of_mapped_ports() const { return ctx_->no_of_mapped_ports; }
    // After start(): the port mapping entry that could not be read, named; "" when none.
    const std::string &port_mapping_problem() const { return ctx_->port_mapping_problem; }
    bool running() const { return ctx_->started && !ctx_->stopped; }
    station_context *context() { return ctx_.get(); }

  private:
    std::shared_ptr<station_context> ctx_;
};

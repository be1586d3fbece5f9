// station core: the window-side handlers (attach, result, detach, the text columns), their
// dispatch (MainProc) and the station's start and stop. Everything here but Station::stop's
// waiting runs in the window thread, called by the front-end through Station.
#include "station/station.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "station/production_log.h"
#include "station/shutdown.h"
#include "usb/usb.h"
#include "util/bytes.h"
#include "util/diag.h"

station_row *station_row_at(station_context *ctx, int row)
{
    return row >= 0 && static_cast<size_t>(row) < ctx->rows.size()
               ? &ctx->rows[static_cast<size_t>(row)]
               : nullptr;
}

bool station_show(station_context *ctx, int row, int col, const char *text)
{
    station_row *r = station_row_at(ctx, row);
    if (!r)
        return false;
    std::string *field = nullptr;
    switch (col) {
    case COL_FIXTURE_ID:
        field = &r->fixture_text;
        break;
    case COL_INTERFACE_1:
        field = &r->interface_1;
        break;
    case COL_INTERFACE_2:
        field = &r->interface_2;
        break;
    case COL_IMAGE:
        field = &r->stage;
        break;
    case COL_DIE_ID:
        field = &r->die_id;
        break;
    case COL_STATUS:
        field = &r->status;
        break;
    case COL_PROGRESS:
        field = &r->progress;
        break;
    default:
        // Rendered from the record (the elapsed time): nothing typed to keep.
        ctx->list.SetItemText(row, col, text);
        return true;
    }
    const char *t = text ? text : "";
    if (*field == t)
        return false;
    *field = t;
    ctx->list.SetItemText(row, col, t);
    return true;
}

void station_take_rows(station_context *ctx)
{
    // The mapping wrote each fixture's number and names as the rows' texts; read once, here.
    const DeviceList &list = ctx->list;
    ctx->rows.clear();
    for (int row = 0; row < list.GetItemCount(); row++) {
        station_row r;
        r.fixture_text = list.text(row, COL_FIXTURE_ID);
        r.fixture = atoi(r.fixture_text.c_str());
        r.interface_1 = list.text(row, COL_INTERFACE_1);
        r.interface_2 = list.text(row, COL_INTERFACE_2);
        for (const std::string *name : {&r.interface_1, &r.interface_2})
            if (!name->empty())
                ctx->mapped_names.insert(*name);
        ctx->rows.push_back(std::move(r));
    }
}

void CleanItemStatus(station_context *ctx, int item)
{
    DeviceList &list = ctx->list;
    // The row's share goes; the record with it unless the run's thread still holds its own.
    list.SetItemData(item, nullptr);
    station_show(ctx, item, COL_STATUS, "");
    station_show(ctx, item, COL_PROGRESS, "");
    station_show(ctx, item, COL_IMAGE, "");
    station_show(ctx, item, COL_DIE_ID, "");
    list.SetItemText(item, COL_ELAPSED, "");
}

namespace
{

int FindRunRow(const station_context *ctx, uint64_t run_id)
{
    for (int row = 0; row < ctx->list.GetItemCount(); row++) {
        const tag_list_item *item = ctx->list.GetItemData(row);
        if (item && item->run_id == run_id)
            return row;
    }
    return -1;
}

bool row_held(const station_context *ctx, const tag_list_item *item)
{
    for (const phone_hold &hold : ctx->health.holds)
        if (item && hold.item == item)
            return true;
    return false;
}

// The row mapped to interface_name (its first name, then its second); -1 when none.
int find_mapped_row(const station_context *ctx, const char *interface_name)
{
    for (size_t i = 0; i < ctx->rows.size(); i++)
        if (ctx->rows[i].interface_1 == interface_name)
            return static_cast<int>(i);
    for (size_t i = 0; i < ctx->rows.size(); i++)
        if (ctx->rows[i].interface_2 == interface_name)
            return static_cast<int>(i);
    return -1;
}

// Empties the row of a passed phone that is out of its fixture with its line on disk; the event
// (`kind`) still names the run that ended, the fixture idle.
void clear_passed_row(station_context *ctx, int row, const tag_list_item *item,
                      run_event_kind kind)
{
    run_snapshot s = station_row_snapshot(ctx, row, item);
    CleanItemStatus(ctx, row);
    s.state = fixture_state::idle;
    s.stage.clear();
    s.status_text.clear();
    if (!ctx->subscribers.empty())
        publish_run_event(ctx, run_event{kind, s});
}

// Runs whose lines the log has written since they were kept: counted, shown, published.
void runs_recorded(station_context *ctx)
{
    while (ctx->unrecorded.size() > ctx->log.kept.size()) {
        const station_context::unrecorded_run r = ctx->unrecorded.front();
        ctx->unrecorded.pop_front();
        shift_count(&ctx->health.shift, r.code, r.first_run, r.interrupted);
        // The row may have moved on to another phone meanwhile: the event still names the run.
        const int row = FindRunRow(ctx, r.run_id);
        if (row < 0) {
            if (ctx->subscribers.empty())
                continue;
            run_snapshot s = station_row_snapshot(ctx, r.row);
            s.run_id = r.run_id;
            s.bootrom_interface = r.bootrom_interface;
            s.status_code = r.code;
            s.interrupted = r.interrupted;
            s.recorded = true;
            publish_run_event(ctx, run_event{run_event_kind::recorded, s});
            continue;
        }
        tag_list_item *item = ctx->list.GetItemData(row);
        item->recorded = true;
        ctx->list.NotifyChanged(row, column_bit(COL_STATUS));
        publish_row_event(ctx, run_event_kind::recorded, row);
        // A passed phone taken out before its line was written leaves its row now.
        if (item->detached && item->status_code == 0)
            clear_passed_row(ctx, row, item, run_event_kind::fixture);
    }
}

} // namespace

run_snapshot station_row_snapshot(const station_context *ctx, int row, const tag_list_item *item)
{
    const DeviceList &list = ctx->list;
    if (!item)
        item = list.GetItemData(row);
    run_snapshot s;
    s.row = row;
    if (row >= 0 && static_cast<size_t>(row) < ctx->rows.size()) {
        const station_row &r = ctx->rows[static_cast<size_t>(row)];
        s.fixture = r.fixture;
        s.interface_1 = r.interface_1;
        s.interface_2 = r.interface_2;
        s.stage = r.stage;
        s.status_text = r.status;
    }
    const fixture_tally *f = health_fixture(ctx->health, row);
    s.suspect = f && fixture_suspect(*f);
    s.at_utc_ms = station_utc_ms();
    const tag_list_item *on_row = list.GetItemData(row);
    if (row_held(ctx, on_row))
        s.state = fixture_state::held;
    else if (!on_row)
        s.state = fixture_state::idle;
    else if (!on_row->completed)
        s.state = fixture_state::running;
    else if (on_row->interrupted)
        s.state = fixture_state::interrupted;
    else
        s.state = on_row->status_code == 0 ? fixture_state::passed : fixture_state::failed;
    if (item) {
        s.run_id = item->run_id;
        s.bootrom_interface = item->interface_1_name;
        s.progress_percent = item->completed ? -1 : item->progress_percent;
        s.status_code = item->status_code;
        s.recorded = item->recorded;
        s.interrupted = item->interrupted;
        s.run_started_utc_ms = item->detail.start_utc_ms;
    }
    return s;
}

void publish_row_event(station_context *ctx, run_event_kind kind, int row,
                       const tag_list_item *item)
{
    if (ctx->subscribers.empty())
        return;
    publish_run_event(ctx, run_event{kind, station_row_snapshot(ctx, row, item)});
}

tag_list_item *DeviceConnected(station_context *ctx, usb_dev_handle *udev,
                               const char *interface_name)
{
    DeviceList &list = ctx->list;
    // Until the log can be written again no new phone starts (the monitor checks too; this
    // closes the gap between its check and the attach).
    if (ctx->log_blocked.load())
        return nullptr;
    if (ctx->opt.guard && !job_guard_alarm(ctx->opt.guard.get()).empty())
        return nullptr;
    int row = find_mapped_row(ctx, interface_name);
    if (row >= 0) {
        const tag_list_item *previous = list.GetItemData(row);
        // The row's previous run came in under the fixture's other name and its thread still
        // reads and addresses that record: the new device waits until that run has detached.
        if (previous && !previous->detached)
            return nullptr;
    }
    std::shared_ptr<tag_list_item> owned;
    try {
        owned = std::make_shared<tag_list_item>();
        owned->diag = std::make_shared<diag_sink>(std::chrono::steady_clock::now());
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    tag_list_item *item = owned.get();
    item->udev = udev;
    copy_text_field(item->interface_1_name, sizeof item->interface_1_name, interface_name);
    item->interface_2_name[0] = '\0';
    item->status_code = 0;
    item->tickcount = station_tick_ms();
    const int64_t now = station_utc_ms();
    item->startTime = station_local_time_at(now);
    item->detail.start_utc_ms = now;
    {
        // Set by the monitor before this send: the record is whole from its attach on.
        std::lock_guard<std::mutex> lock(ctx->devices_mutex);
        auto ids = ctx->bootrom_ids.find(udev);
        if (ids != ctx->bootrom_ids.end()) {
            item->detail.bootrom_vid = static_cast<uint16_t>(ids->second >> 16);
            item->detail.bootrom_pid = static_cast<uint16_t>(ids->second & 0xFFFF);
        }
    }
    item->completed = false;
    item->detached = false;
    item->interrupted = false;
    item->recorded = false;
    item->run_id = ++ctx->last_run_id;
    item->progress_percent = -1;
    try {
        std::lock_guard<std::mutex> lock(ctx->devices_mutex);
        ctx->attached_runs[udev] = owned;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }

    if (row < 0) {
        // Typed row first: a view repainting on the insert reads the list, never this.
        station_row r;
        r.fixture_text = "NA";
        ctx->rows.push_back(std::move(r));
        row = list.InsertItem(list.GetItemCount(), "NA", std::move(owned));
        station_show(ctx, row, COL_INTERFACE_1, interface_name);
    } else {
        CleanItemStatus(ctx, row);
        list.SetItemData(row, std::move(owned));
        const station_row &r = ctx->rows[static_cast<size_t>(row)];
        const std::string &other =
            r.interface_1 == item->interface_1_name ? r.interface_2 : r.interface_1;
        copy_text_field(item->interface_2_name, sizeof item->interface_2_name, other.c_str());
    }
    health_attach(&ctx->health, row, item->interface_1_name);
    station_show(ctx, row, COL_STATUS, "Device Connected.");
    publish_row_event(ctx, run_event_kind::attached, row);
    return item;
}

std::shared_ptr<tag_list_item> take_run_record(station_context *ctx, const usb_dev_handle *udev)
{
    std::lock_guard<std::mutex> lock(ctx->devices_mutex);
    auto it = ctx->attached_runs.find(udev);
    if (it == ctx->attached_runs.end())
        return nullptr;
    std::shared_ptr<tag_list_item> item = std::move(it->second);
    ctx->attached_runs.erase(it);
    return item;
}

void DeviceCompleted(station_context *ctx, tag_list_item *item, int code)
{
    int row = FindListItem(ctx->list, item);
    // A run the quit has already finished as stopped keeps that one line.
    if (row < 0 || item->completed)
        return;
    item->status_code = code;
    // The lines are on disk (or kept, with the alarm up) before the row shows the result: the
    // detail line first, so a CSV line never exists without it. One reading of the clock for
    // both, so their finish times agree.
    const int64_t finish = station_utc_ms();
    const char *section = code == 0 ? "Finished" : nullptr;
    std::string detail;
    int made;
    {
        std::lock_guard<std::mutex> lock(item->detail_mutex);
        detail_run_close(&item->detail, station_tick_ms() - item->tickcount);
        made = DeviceDetailRecord(ctx, row, finish, section, code == 0 ? "Completed" : nullptr,
                                  &detail);
    }
    const station_row &shown = ctx->rows[static_cast<size_t>(row)];
    if (made != 0)
        diag_printf(stderr, "bramblewick: detail record of fixture %s could not be made\n",
                    shown.fixture_text.c_str());
    log_write_line(&ctx->log,
                   log_format_run(shown.fixture_text, shown.die_id, &item->startTime,
                                  station_local_time_at(finish),
                                  section ? std::string(section) : shown.stage, code),
                   &detail);
    // A passed run's lines are in its record now; only a failed row shows its own.
    if (code == 0 && item->diag)
        item->diag->release();
    ctx->log_blocked.store(!ctx->log.kept.empty());
    const fixture_tally *f = health_fixture(ctx->health, row);
    const bool was_suspect = f && fixture_suspect(*f);
    const bool first_run =
        health_result(&ctx->health, row, item->interface_1_name, code, item->interrupted);
    f = health_fixture(ctx->health, row);
    // Counted in the tally once its line is on disk: now, or when the log takes it.
    ctx->unrecorded.push_back(
        {item->run_id, code, first_run, item->interrupted, row, item->interface_1_name});
    // Its line on disk already: the row shows the result as recorded from the start.
    item->recorded = ctx->log.kept.empty();
    item->completed = true;
    if (code == 0) {
        station_show(ctx, row, COL_IMAGE, "Finished");
        station_show(ctx, row, COL_STATUS, "Completed");
    }
    ctx->list.NotifyChanged(row, column_bit(COL_STATUS)); // the Status cell's colour
    publish_row_event(ctx, run_event_kind::result, row);
    if (was_suspect != (f && fixture_suspect(*f)))
        publish_row_event(ctx, run_event_kind::fixture, row);
    runs_recorded(ctx);
}

void DeviceDisconnected(station_context *ctx, tag_list_item *item)
{
    int row = FindListItem(ctx->list, item);
    if (row < 0)
        return;
    item->udev = nullptr;
    item->detached = true;
    if (item->status_code == 0 && item->recorded) {
        clear_passed_row(ctx, row, item, run_event_kind::detached);
        return;
    }
    // A failed run's row keeps its result; a passed one whose line is not on disk yet keeps it
    // too, amber, until the line is written.
    station_row &shown = ctx->rows[static_cast<size_t>(row)];
    if (health_detach(&ctx->health, item, shown.status))
        station_show(ctx, row, COL_STATUS, kRemoveThePhone);
    publish_row_event(ctx, run_event_kind::detached, row);
}

static int set_column(station_context *ctx, tag_list_item *item, int col, const char *text,
                      run_event_kind kind)
{
    int row = FindListItem(ctx->list, item);
    if (station_show(ctx, row, col, text))
        publish_row_event(ctx, kind, row);
    return row;
}

void DeviceImageMsg(station_context *ctx, tag_list_item *item, const char *text)
{
    if (set_column(ctx, item, COL_IMAGE, text, run_event_kind::stage) >= 0) {
        std::lock_guard<std::mutex> lock(item->detail_mutex);
        detail_run_stage(&item->detail, text, station_tick_ms() - item->tickcount);
    }
}

void DeviceDieIDMsg(station_context *ctx, tag_list_item *item, const char *text)
{
    set_column(ctx, item, COL_DIE_ID, text, run_event_kind::status);
}

void DeviceDownloadMsg(station_context *ctx, tag_list_item *item, const char *text)
{
    set_column(ctx, item, COL_STATUS, text, run_event_kind::status);
}

void DeviceProgress(station_context *ctx, tag_list_item *item, const char *text)
{
    if (!item)
        return;
    // The percentage the text starts with ("42% (...)", "100%"); none for an empty text. The
    // record is the sender's until its detach, so it may be written before the row is found.
    char *end = nullptr;
    const long percent = text && *text ? strtol(text, &end, 10) : -1;
    item->progress_percent =
        end && *end == '%' && percent >= 0 && percent <= 100 ? static_cast<int>(percent) : -1;
    set_column(ctx, item, COL_PROGRESS, text, run_event_kind::progress);
}

LRESULT MainProc(station_context *ctx, unsigned msg, WPARAM wParam, LPARAM lParam)
{
    auto *item = reinterpret_cast<tag_list_item *>(wParam);
    auto *text = reinterpret_cast<const char *>(lParam);
    switch (msg) {
    case WM_DEVICE_CONNECTED:
        return reinterpret_cast<LRESULT>(
            DeviceConnected(ctx, reinterpret_cast<usb_dev_handle *>(wParam), text));
    case WM_DEVICE_DISCONNECTED:
        DeviceDisconnected(ctx, item);
        return 1;
    case WM_DEVICE_IMAGE:
        DeviceImageMsg(ctx, item, text);
        return 1;
    case WM_DEVICE_DIEID:
        DeviceDieIDMsg(ctx, item, text);
        return 1;
    case WM_DEVICE_DOWNLOAD_MSG:
        DeviceDownloadMsg(ctx, item, text);
        return 1;
    case WM_DEVICE_PROGRESS:
        DeviceProgress(ctx, item, text);
        return 1;
    case WM_DEVICE_COMPLETED:
        DeviceCompleted(ctx, item, static_cast<int>(lParam));
        return 1;
    default:
        return 0;
    }
}

Station::Station(station_options options)
    : ctx_(std::make_shared<station_context>(std::move(options)))
{
    if (ctx_->opt.logging_fd) {
        int r = log_adopt(&ctx_->log, ctx_->opt.logging_fd, ctx_->opt.log_path);
        if (r != 0)
            fprintf(stderr, "bramblewick: cannot take over the production log: %s\n", strerror(-r));
    }
    // The detail record's file first: each of its lines is written before its CSV line.
    detail_log *detail = ctx_->opt.detail.get();
    if (detail && detail->fd >= 0 && ctx_->log.files.empty()) {
        detail_log_close(detail); // no CSV, so no detail either
    } else if (detail && detail->fd >= 0) {
        durable_file f;
        int r = durable_file_adopt(&f, detail->fd, detail->path);
        detail->fd = -1; // the log owns it now
        if (r == 0) {
            ctx_->log.files.insert(ctx_->log.files.begin(), std::move(f));
            ctx_->detail = ctx_->opt.detail;
        } else {
            fprintf(stderr, "bramblewick: cannot take over the detail record: %s\n", strerror(-r));
        }
    }
}

Station::~Station()
{
    stop();
}

void Station::subscribe(run_event_subscriber fn)
{
    ctx_->subscribers.push_back(std::move(fn));
}

void publish_run_event(station_context *ctx, const run_event &ev)
{
    for (const run_event_subscriber &fn : ctx->subscribers)
        fn(ev);
}

const char *fixture_state_name(fixture_state s)
{
    switch (s) {
    case fixture_state::idle:
        return "idle";
    case fixture_state::running:
        return "running";
    case fixture_state::passed:
        return "passed";
    case fixture_state::failed:
        return "failed";
    case fixture_state::interrupted:
        return "interrupted";
    case fixture_state::held:
        return "held";
    }
    return "idle";
}

int Station::start()
{
    station_context *ctx = ctx_.get();
    if (ctx->started || ctx->stopped || !ctx->opt.ini_content)
        return -1;
    ctx->queue.open([ctx](unsigned msg, WPARAM w, LPARAM l) { return MainProc(ctx, msg, w, l); },
                    std::this_thread::get_id());
    if (!ctx->opt.port_mapping_path.empty())
        ctx->no_of_mapped_ports = InitUSBMapping(ctx->list, ctx->opt.port_mapping_path.c_str(),
                                                 &ctx->port_mapping_problem);
    station_take_rows(ctx);
    ctx->health.shift.start_tick = station_tick_ms();
    try {
        ctx->hMonitorThread = std::thread(MonitorThreadProc, ctx_);
    } catch (const std::system_error &) {
        ctx->queue.close();
        return -1;
    }
    ctx->started = true;
    return 0;
}

void Station::stop()
{
    station_context *ctx = ctx_.get();
    if (ctx->stopped)
        return;
    ctx->stopped = true;
    // Results that arrived before the quit are the phones' own: handle them first.
    if (ctx->started)
        ctx->queue.process_pending();
    ctx->do_exit.store(1);
    // No handler runs after these lines: every run still going is logged here, once.
    DeviceStationStopped(ctx);
    // From here every send returns at once, so no thread joined below can be blocked in one.
    ctx->queue.close();
    // A write, erase or read in progress is not waited for.
    station_abandon_devices(ctx);
    if (ctx->hMonitorThread.joinable())
        ctx->hMonitorThread.join();

    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ctx->opt.stop_wait_ms);
    for (download_thread_node &node : ctx->monitor_leftovers) {
        if (!node.hThread.joinable())
            continue;
        while (ctx->opt.stop_wait_ms >= 0 && !node.ended->load() && clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (ctx->opt.stop_wait_ms < 0 || node.ended->load())
            node.hThread.join();
        else
            node.hThread.detach(); // it holds the context; the process end reclaims it
    }
    // A last try for lines kept; what is still kept the front-end reports.
    durable_log_flush(&ctx->log);
    runs_recorded(ctx);
    durable_log_close(&ctx->log);
}

void Station::one_second_timer()
{
    station_context *ctx = ctx_.get();
    OneSecondTimer(ctx->list);
    if (!ctx->log.kept.empty()) {
        durable_log_flush(&ctx->log);
        ctx->log_blocked.store(!ctx->log.kept.empty());
        runs_recorded(ctx);
    }
    std::vector<const tag_list_item *> held;
    for (const phone_hold &hold : ctx->health.holds)
        held.push_back(hold.item);
    std::vector<phone_hold> released;
    health_tick(&ctx->health, ctx->list, &released);
    // A held phone taken out: its row shows its failure again, unless something else has been
    // shown there meanwhile.
    for (const phone_hold &hold : released) {
        const int row = FindListItem(ctx->list, hold.item);
        if (row >= 0 && ctx->rows[static_cast<size_t>(row)].status == kRemoveThePhone)
            station_show(ctx, row, COL_STATUS, hold.status_before.c_str());
    }
    for (const tag_list_item *item : held) {
        const int row = FindListItem(ctx->list, item);
        if (row >= 0 && !row_held(ctx, item))
            publish_row_event(ctx, run_event_kind::fixture, row);
    }
}

std::string Station::alarm() const
{
    std::string text = log_alarm_text(ctx_->log);
    const std::string job = ctx_->opt.guard ? job_guard_alarm(ctx_->opt.guard.get()) : "";
    if (!job.empty())
        text += (text.empty() ? "" : "; ") + job;
    return text;
}

std::string Station::tally_text() const
{
    return shift_tally_text(ctx_->health.shift, station_tick_ms());
}

void Station::report_unwritten_log(FILE *to) const
{
    log_report_unwritten(ctx_->log, to);
}

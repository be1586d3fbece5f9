// station core: the detail record of a finished run, put together in the window thread by the
// result handler (DeviceCompleted) from the row and its record, right before the CSV line.
#include <cerrno>
#include <new>

#include "record/detail_record.h"
#include "station/post_plugin_handler.h"
#include "station/station.h"
#include "util/diag.h"

int DeviceDetailRecord(station_context *ctx, int row, int64_t finish_utc_ms, const char *section,
                       const char *status_text, std::string *line)
{
    line->clear();
    detail_log *log = ctx->detail.get();
    const tag_list_item *item = ctx->list.GetItemData(row);
    const station_row *shown = station_row_at(ctx, row);
    if (!log || !item || !shown)
        return 0;
    int rc;
    try {
        // The CSV's fields, cut where the CSV cuts them.
        detail_row r;
        r.csv_line = log->next_csv_line;
        r.fixture = shown->fixture_text.substr(0, 29);
        r.die_id = shown->die_id.substr(0, 29);
        r.section = (section ? std::string(section) : shown->stage).substr(0, 255);
        r.interface_1 = item->interface_1_name;
        r.interface_2 = item->interface_2_name;
        r.status_code = item->status_code;
        r.interrupted = item->interrupted;
        // A failure's message reaches the Status column just after the result: the run said it
        // beforehand.
        r.status_text = item->status_code != 0 && !item->detail.result_text.empty()
                            ? item->detail.result_text
                        : status_text ? status_text
                                      : shown->status;
        r.start_utc_ms = item->detail.start_utc_ms;
        r.finish_utc_ms = finish_utc_ms;
        if (item->diag)
            for (diag_line &d : item->diag->lines())
                r.diagnostics.emplace_back(d.ms, std::move(d.text));
        if (item->detail.plugin_judged && ctx->opt.post_plugin_handle)
            if (const char *name = plugin_handler_get_name(ctx->opt.post_plugin_handle))
                r.plugin_name = name;
        rc = detail_record_format(*log, r, item->detail, line);
    } catch (const std::bad_alloc &) {
        rc = -ENOMEM;
    }
    // The CSV line follows whatever happened here, so it takes its number either way.
    log->next_csv_line++;
    return rc;
}

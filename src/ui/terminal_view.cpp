// ui (terminal): table rendering and per-change lines of the device list. Called by the
// terminal front-end in its window thread.
#include "terminal_view.h"
#include "util/printable.h"

#include <algorithm>
#include <cstdio>

#include "util/diag.h"

namespace ui
{

const int kTerminalColumnWidths[COL_COUNT] = {11, 15, 15, 22, 11, 28, 13, 24};

namespace
{

// The cell text cut or padded to width (a space always separates columns).
std::string fit(const std::string &text, int width)
{
    size_t room = static_cast<size_t>(width - 1);
    std::string s = text.size() > room ? text.substr(0, room - 1) + "~" : text;
    s.resize(static_cast<size_t>(width), ' ');
    return s;
}

// ANSI background for a core colour; black text keeps it readable on any terminal theme.
std::string ansi_background(uint32_t rgb)
{
    switch (rgb) {
    case STATION_COLOUR_PASSED:
        return "\033[30;42m";
    case STATION_COLOUR_FAILED:
        return "\033[97;41m";
    case STATION_COLOUR_ODD_ROW:
        return "\033[30;48;5;254m";
    case STATION_COLOUR_SUSPECT:
        return "\033[30;43m";
    default:
        return "";
    }
}

} // namespace

std::string render_table(const DeviceList &list, bool colour, int max_width,
                         const station_health *health)
{
    // Columns that fit in max_width; the last one shown is narrowed to what is left.
    const int columns = health ? COL_COUNT + 1 : COL_COUNT;
    int widths[COL_COUNT + 1];
    int used = 0;
    for (int c = 0; c < columns; ++c) {
        int w = c < COL_COUNT ? kTerminalColumnWidths[c] : kTerminalHealthWidth;
        if (max_width > 0)
            w = std::max(0, std::min(w, max_width - used));
        widths[c] = w < 3 ? 0 : w; // too narrow to show anything useful
        used += widths[c];
    }
    std::string out;
    if (colour)
        out += "\033[1m";
    for (int c = 0; c < columns; ++c)
        if (widths[c])
            out += fit(c < COL_COUNT ? kDeviceListColumnTitles[c] : kFixtureHealthTitle, widths[c]);
    if (colour)
        out += "\033[0m";
    out += "\n";
    for (int r = 0; r < list.GetItemCount(); ++r) {
        for (int c = 0; c < COL_COUNT; ++c) {
            if (!widths[c])
                continue;
            std::string cell = fit(
                printable(c == COL_STATUS ? StatusCellText(list, r) : list.text(r, c)), widths[c]);
            std::string bg = colour ? ansi_background(ProcessCustomDraw(list, r, c)) : "";
            out += bg.empty() ? cell : bg + cell + "\033[0m";
        }
        if (health && widths[COL_COUNT]) {
            std::string cell = fit(fixture_health_text(*health, r), widths[COL_COUNT]);
            const fixture_tally *f = health_fixture(*health, r);
            uint32_t rgb = f && fixture_suspect(*f) ? STATION_COLOUR_SUSPECT
                           : (r & 1)                ? STATION_COLOUR_ODD_ROW
                                                    : STATION_COLOUR_DEFAULT;
            std::string bg = colour ? ansi_background(rgb) : "";
            out += bg.empty() ? cell : bg + cell + "\033[0m";
        }
        out += "\n";
        // Why a failed row failed: its run's last diagnostic line, beneath it.
        const std::string why = failed_run_last_line(list, r);
        if (!why.empty()) {
            std::string line = "  " + printable(why);
            if (max_width > 0 && line.size() > static_cast<size_t>(max_width - 1))
                line = line.substr(0, static_cast<size_t>(max_width - 2)) + "~";
            out += (colour ? "\033[2m" + line + "\033[0m" : line) + "\n";
        }
    }
    return out;
}

std::string failed_run_last_line(const DeviceList &list, int row)
{
    const tag_list_item *item = list.GetItemData(row);
    if (!item || !item->completed || item->status_code == 0 || item->interrupted || !item->diag)
        return {};
    return item->diag->last();
}

std::string row_label(const DeviceList &list, int row)
{
    const std::string &fixture = list.text(row, COL_FIXTURE_ID);
    std::string label = "Fixture " + printable(fixture);
    if (fixture == "NA")
        label += " (" + printable(list.text(row, COL_INTERFACE_1)) + ")";
    return label;
}

std::string EventLines::lines_for(const DeviceList &list, const DeviceListChange &change)
{
    int row = change.row;
    if (change.kind == DeviceListChange::RowAboutToBeInserted || row < 0 ||
        row >= list.GetItemCount())
        return {};
    if (change.kind == DeviceListChange::RowInserted) {
        // Rows are only ever inserted; keep our memory aligned with the list's indexes.
        rows_.insert(rows_.begin() + std::min<size_t>(static_cast<size_t>(row), rows_.size()),
                     Seen{});
    }
    if (rows_.size() < static_cast<size_t>(list.GetItemCount()))
        rows_.resize(static_cast<size_t>(list.GetItemCount()));
    Seen &seen = rows_[static_cast<size_t>(row)];

    std::string out;
    for (int c = 0; c < COL_COUNT; ++c) {
        if (!(change.columns & column_bit(c)) || c == COL_ELAPSED)
            continue;
        const std::string &now = list.text(row, c);
        if (now == seen.cells[static_cast<size_t>(c)])
            continue;
        seen.cells[static_cast<size_t>(c)] = now;
        if (now.empty() || c == COL_FIXTURE_ID)
            continue;
        out += row_label(list, row) + ": " + kDeviceListColumnTitles[c] + ": " + printable(now) +
               "\n";
    }

    // The result goes with the Status cell's change (its text or colour), which the result
    // handler sends after the row's texts are final.
    const tag_list_item *item = list.GetItemData(row);
    if (item && item->completed && !seen.result_shown &&
        (change.columns & column_bit(COL_STATUS))) {
        seen.result_shown = true;
        // The time since the attach, to a tenth of a second (the column shows whole seconds,
        // and only once a second has passed).
        uint32_t ms = station_tick_ms() - item->tickcount;
        char took[32];
        std::snprintf(took, sizeof took, " after %u.%u s", ms / 1000, ms % 1000 / 100);
        out += row_label(list, row) + ": result: " +
               (item->status_code == 0 ? std::string("passed")
                                       : "failed, code " + std::to_string(item->status_code)) +
               took + (item->recorded ? "" : std::string(", ") + kNotYetRecorded) + "\n";
        seen.unrecorded_shown = !item->recorded;
    } else if (item && item->completed && item->recorded && seen.unrecorded_shown) {
        seen.unrecorded_shown = false;
        out += row_label(list, row) + ": result: recorded\n";
    }
    if (!item || !item->completed)
        seen.result_shown = false; // a new run on this row (records may reuse an address)
    return out;
}

} // namespace ui

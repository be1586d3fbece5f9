// ui (terminal): how the device list looks on a terminal. Used by the terminal front-end.
//
// Two forms: a table redrawn in place with ANSI colours when standard output is a terminal, and
// one line per change when it is not (a log file, a pipe), so a run can be read afterwards.
// Pure functions of the station core's DeviceList, read in the window thread.
#pragma once

#include "station/device_list.h"
#include "station/fixture_health.h"

#include <array>
#include <string>
#include <vector>

namespace ui
{

// Character widths of the eight columns on a terminal, and of the fixture health column.
extern const int kTerminalColumnWidths[COL_COUNT];
inline constexpr int kTerminalHealthWidth = 30;

// The header line and one line per row, each ending in "\n". With colour: odd rows on grey, the
// Status cell of a completed row on green or red (the core's colour rule), header in bold.
// With health, a ninth column after the eight: the fixture's counts, on amber while suspect.
// Beneath a failed row, its run's last diagnostic line (failed_run_last_line), dimmed.
// Lines are cut to max_width visible characters (0: no limit), so a redraw in place never wraps.
std::string render_table(const DeviceList &list, bool colour, int max_width = 0,
                         const station_health *health = nullptr);

// Turns list changes into lines, one per changed non-empty cell (the ticking elapsed time
// excluded) plus one result line when a row completes (", not yet recorded" while its log line
// is kept in memory, and a "result: recorded" line once it is written). Keeps what it last printed per row so
// repeated notices of the same text print once.
class EventLines
{
  public:
    // Lines (each ending in "\n") for one change, without time stamps.
    std::string lines_for(const DeviceList &list, const DeviceListChange &change);

  private:
    struct Seen {
        std::array<std::string, COL_COUNT> cells;
        bool result_shown = false; // the result of the row's current run was printed
        bool unrecorded_shown = false; // ... as not yet recorded: its recording is printed too
    };
    std::vector<Seen> rows_;
};

// The last diagnostic line of the row's run when the run failed (not when it was interrupted);
// empty otherwise.
std::string failed_run_last_line(const DeviceList &list, int row);

// "Fixture 3" for a mapped row, "Fixture NA (sim-9)" for a row of an unmapped port.
std::string row_label(const DeviceList &list, int row);

} // namespace ui

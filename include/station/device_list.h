// station core: the device list, the model behind every front-end's table of fixture rows.
//
// Owned by the window thread (the thread that started the station and drains its messages):
// the station's message handlers, the port mapping and the one-second timer change it there,
// and views read it there. Nothing here locks; nothing here may be touched from other threads.
//
// A row has eight text columns and one item value, the row's tag_list_item (the record of the
// device attached to the row, or null). Views subscribe with set_observer() and repaint only the
// cells named in each change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/detail_record.h"

#include <memory>
#include <mutex>

struct usb_dev_handle;
class diag_sink;

// Local date and time, 16 bits a field (what the log's time stamps are formatted from).
struct station_time {
    uint16_t wYear;
    uint16_t wMonth;     // 1..12
    uint16_t wDayOfWeek; // 0 = Sunday
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

enum { STATION_NAME_MAX = 260 }; // interface name buffers: 259 characters and a terminator

// The record of one device on one row. Made by the attach handler in the window thread and
// shared by two owners: the row (until its clear, or the next attach to it) and the run's owner
// on its download thread (until the thread's end). It goes with the last of them, so neither
// frees what the other still reads. The thread writes only `detail` (under detail_mutex) and its
// own counted_* fields; everything else is the window thread's.
struct tag_list_item {
    usb_dev_handle *udev;                    // the boot ROM device; null once detached
    char interface_1_name[STATION_NAME_MAX]; // name the device appeared on
    char interface_2_name[STATION_NAME_MAX]; // the fixture's other mapped name, or empty
    int status_code;                         // result of the run, 0 = success
    uint32_t tickcount;                      // station_tick_ms() at attach
    station_time startTime;                  // local time at attach
    bool completed;                          // the result has arrived
    // The station ended the run itself (a quit, the simulation's end): its line says "Station
    // stopped", code 1, but the run is neither a pass nor a failure of the phone or fixture.
    bool interrupted;
    // The run's log line is on disk (it may be kept in memory while the log cannot be written).
    bool recorded;
    // Window thread only: the run's number in this station (1, 2, ...), and the long
    // operation's progress, 0..100, or -1 when none is under way.
    uint64_t run_id;
    int progress_percent;
    // The run's diagnostic lines (util/diag.h): made at the attach, named by the run's download
    // thread for its whole life, read by the window thread (the detail record, the views).
    std::shared_ptr<diag_sink> diag;
    bool detached;     // the run's detach was handled: its thread no longer uses this record
    detail_run detail; // what the detail record tells of the run; its header says who writes what
    // Guards detail: the quit finishes a run in the window thread while its download thread may
    // still be running and filling it in.
    std::mutex detail_mutex;
    // Download thread only: the open device whose bytes go into detail.bytes_moved, and the bytes
    // of the devices it closed before.
    const usb_dev_handle *counted_udev;
    uint64_t counted_bytes_closed;
};

enum DeviceListColumn {
    COL_FIXTURE_ID = 0,
    COL_INTERFACE_1 = 1,
    COL_INTERFACE_2 = 2,
    COL_IMAGE = 3,
    COL_DIE_ID = 4,
    COL_STATUS = 5,
    COL_ELAPSED = 6,
    COL_PROGRESS = 7,
    COL_COUNT = 8,
};

// Column titles and widths in pixels, index = DeviceListColumn.
extern const char *const kDeviceListColumnTitles[COL_COUNT];
extern const int kDeviceListColumnWidths[COL_COUNT];

// Bit of a column in DeviceListChange::columns.
constexpr unsigned column_bit(int col)
{
    return 1u << col;
}
constexpr unsigned kAllColumns = (1u << COL_COUNT) - 1;

struct DeviceListChange {
    enum Kind {
        RowAboutToBeInserted, // row = index the new row will get (nothing changed yet)
        RowInserted,          // row = index of the new row, now present
        CellsChanged,         // row's cells in `columns` changed (text or colour)
    } kind;
    int row;
    unsigned columns; // column_bit() mask; kAllColumns for inserts
};

class DeviceList
{
  public:
    DeviceList() = default;
    ~DeviceList() = default; // drops the rows' shares of their records
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    int GetItemCount() const { return static_cast<int>(rows_.size()); }
    // Inserts a row at index (clamped to 0..count) with column 0 = text and the item value (the
    // row's share of the record); returns the index used.
    int InsertItem(int index, const char *col0_text, std::shared_ptr<tag_list_item> item);
    // Sets one cell; tells the observer only when the text actually changed. Bad indexes are
    // ignored.
    void SetItemText(int row, int col, const char *text);
    // Copies the cell into buf as the list control does: at most size-1 characters, always
    // terminated (empty for bad indexes).
    void GetItemText(int row, int col, char *buf, size_t size) const;
    // The cell's text (empty for bad indexes).
    const std::string &text(int row, int col) const;
    tag_list_item *GetItemData(int row) const;
    // The row's share of its record: replaced (the old one dropped) or, with null, given up.
    void SetItemData(int row, std::shared_ptr<tag_list_item> item);
    // Tells the observer that cells changed without a text change (the row's colour).
    void NotifyChanged(int row, unsigned columns) const;

    void set_observer(std::function<void(const DeviceListChange &)> observer)
    {
        observer_ = std::move(observer);
    }

  private:
    struct Row {
        std::string cells[COL_COUNT];
        std::shared_ptr<tag_list_item> item;
    };
    void notify(DeviceListChange::Kind kind, int row, unsigned columns) const;

    std::vector<Row> rows_;
    std::function<void(const DeviceListChange &)> observer_;
};

// Index of the first row whose item value is item; -1 when none (a null item never matches).
int FindListItem(const DeviceList &list, const tag_list_item *item);
// Index of the first row whose column 1, then column 2, equals devname exactly; -1 when none.
int FindMappedUSBListItem(const DeviceList &list, const char *devname);
// Index of the first row whose column 0 equals "%d" of portno; -1 when none.
int FindItemByPortNo(const DeviceList &list, int portno);
// Index of the first row whose column 0 reads (atoi) as a number above id; the row count when
// none. Inserting there keeps mapped rows in ascending fixture order.
int GetInsertMappingIndex(const DeviceList &list, int id);

// Millisecond tick counter: monotonic, wraps at 2^32 (compare with unsigned subtraction).
uint32_t station_tick_ms();
// Local date and time now.
station_time station_local_time();
// Milliseconds since 1970 (UTC) now, and the local date and time of such an instant: one reading
// gives the CSV's local time stamps and the detail record's UTC ones.
int64_t station_utc_ms();
station_time station_local_time_at(int64_t utc_ms);

// For every row with a record that is not completed: column 6 := "%ds" of (now - tickcount) /
// 1000 in unsigned 32-bit arithmetic. Call once a second from the window thread.
void OneSecondTimer(DeviceList &list, uint32_t now = station_tick_ms());

// Background colours of the row colour rule, as 0xRRGGBB (not the Windows 0xBBGGRR order).
enum : uint32_t {
    STATION_COLOUR_DEFAULT = 0xFF000000, // not a colour: draw with the view's own background
    STATION_COLOUR_ODD_ROW = 0xEDEDED,   // light grey
    STATION_COLOUR_FAILED = 0xFF0000,    // red: Status cell of a completed, failed row
    STATION_COLOUR_PASSED = 0x00FF00,    // green: Status cell of a completed, successful row
    // amber: Status cell of a completed row whose log line is not on disk yet (kept in memory
    // while the log cannot be written), whatever its result
    STATION_COLOUR_UNRECORDED = 0xFFBF00,
};
// What a view shows in the Status cell: its text, followed by " - not yet recorded" while the
// row's result is shown but its log line is still kept in memory.
inline constexpr const char *kNotYetRecorded = "not yet recorded";
std::string StatusCellText(const DeviceList &list, int row);
// Background of cell (row, column): the Status cell of a completed row is amber until its log
// line is on disk, then red or green by its status code; otherwise odd rows are light grey and
// even rows default.
uint32_t ProcessCustomDraw(const DeviceList &list, int row, int column);

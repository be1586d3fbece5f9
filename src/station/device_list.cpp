// station core: the device list model, its finders, the elapsed-time timer and the row colour
// rule. Window thread only; called by the station's handlers, the port mapping and the views.
#include "station/device_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "util/bytes.h"

const char *const kDeviceListColumnTitles[COL_COUNT] = {
    "Fixture ID", "Interface_1 ID", "Interface_2 ID", "Image",
    "MPU Die ID", "Status",         "Elapsed Time",   "Progress",
};
const int kDeviceListColumnWidths[COL_COUNT] = {40, 30, 30, 100, 120, 110, 50, 150};

namespace
{
const std::string kEmpty;
}

void DeviceList::notify(DeviceListChange::Kind kind, int row, unsigned columns) const
{
    if (observer_)
        observer_(DeviceListChange{kind, row, columns});
}

int DeviceList::InsertItem(int index, const char *col0_text, std::shared_ptr<tag_list_item> item)
{
    if (index < 0 || index > GetItemCount())
        index = GetItemCount();
    notify(DeviceListChange::RowAboutToBeInserted, index, kAllColumns);
    Row row;
    row.cells[COL_FIXTURE_ID] = col0_text ? col0_text : "";
    row.item = std::move(item);
    rows_.insert(rows_.begin() + index, std::move(row));
    notify(DeviceListChange::RowInserted, index, kAllColumns);
    return index;
}

void DeviceList::SetItemText(int row, int col, const char *text)
{
    if (row < 0 || row >= GetItemCount() || col < 0 || col >= COL_COUNT)
        return;
    std::string &cell = rows_[row].cells[col];
    const char *t = text ? text : "";
    if (cell == t)
        return;
    cell = t;
    notify(DeviceListChange::CellsChanged, row, column_bit(col));
}

void DeviceList::GetItemText(int row, int col, char *buf, size_t size) const
{
    copy_text_field(buf, size, text(row, col).c_str());
}

const std::string &DeviceList::text(int row, int col) const
{
    if (row < 0 || row >= GetItemCount() || col < 0 || col >= COL_COUNT)
        return kEmpty;
    return rows_[row].cells[col];
}

tag_list_item *DeviceList::GetItemData(int row) const
{
    if (row < 0 || row >= GetItemCount())
        return nullptr;
    return rows_[row].item.get();
}

void DeviceList::SetItemData(int row, std::shared_ptr<tag_list_item> item)
{
    if (row < 0 || row >= GetItemCount())
        return;
    // The old share is dropped only after the observers were told: none sees a freed record.
    std::shared_ptr<tag_list_item> old = std::exchange(rows_[row].item, std::move(item));
    // The Status cell's colour and the elapsed time follow the record.
    notify(DeviceListChange::CellsChanged, row, column_bit(COL_STATUS) | column_bit(COL_ELAPSED));
}

void DeviceList::NotifyChanged(int row, unsigned columns) const
{
    if (row >= 0 && row < GetItemCount())
        notify(DeviceListChange::CellsChanged, row, columns);
}

int FindListItem(const DeviceList &list, const tag_list_item *item)
{
    if (!item)
        return -1;
    for (int i = 0; i < list.GetItemCount(); i++)
        if (list.GetItemData(i) == item)
            return i;
    return -1;
}

int FindMappedUSBListItem(const DeviceList &list, const char *devname)
{
    char buf[STATION_NAME_MAX];
    for (int i = 0; i < list.GetItemCount(); i++) {
        list.GetItemText(i, COL_INTERFACE_1, buf, sizeof buf);
        if (strcmp(buf, devname) == 0)
            return i;
        list.GetItemText(i, COL_INTERFACE_2, buf, sizeof buf);
        if (strcmp(buf, devname) == 0)
            return i;
    }
    return -1;
}

int FindItemByPortNo(const DeviceList &list, int portno)
{
    char want[50];
    char buf[50];
    snprintf(want, sizeof want, "%d", portno);
    for (int i = 0; i < list.GetItemCount(); i++) {
        list.GetItemText(i, COL_FIXTURE_ID, buf, sizeof buf);
        if (strcmp(buf, want) == 0)
            return i;
    }
    return -1;
}

int GetInsertMappingIndex(const DeviceList &list, int id)
{
    char buf[100];
    for (int i = 0; i < list.GetItemCount(); i++) {
        list.GetItemText(i, COL_FIXTURE_ID, buf, sizeof buf);
        if (atoi(buf) > id)
            return i;
    }
    return list.GetItemCount();
}

uint32_t station_tick_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

station_time station_local_time()
{
    return station_local_time_at(station_utc_ms());
}

int64_t station_utc_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

station_time station_local_time_at(int64_t utc_ms)
{
    const time_t sec = static_cast<time_t>(utc_ms / 1000);
    struct tm tm;
    localtime_r(&sec, &tm);
    station_time t;
    t.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    t.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    t.wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    t.wDay = static_cast<uint16_t>(tm.tm_mday);
    t.wHour = static_cast<uint16_t>(tm.tm_hour);
    t.wMinute = static_cast<uint16_t>(tm.tm_min);
    t.wSecond = static_cast<uint16_t>(tm.tm_sec);
    t.wMilliseconds = static_cast<uint16_t>(utc_ms % 1000);
    return t;
}

void OneSecondTimer(DeviceList &list, uint32_t now)
{
    char buf[32];
    for (int i = 0; i < list.GetItemCount(); i++) {
        const tag_list_item *item = list.GetItemData(i);
        if (!item || item->completed)
            continue;
        uint32_t elapsed = static_cast<uint32_t>(now - item->tickcount) / 1000u;
        snprintf(buf, sizeof buf, "%ds", static_cast<int>(elapsed));
        list.SetItemText(i, COL_ELAPSED, buf);
    }
}

std::string StatusCellText(const DeviceList &list, int row)
{
    const tag_list_item *item = list.GetItemData(row);
    if (item && item->completed && !item->recorded)
        return list.text(row, COL_STATUS) + " - " + kNotYetRecorded;
    return list.text(row, COL_STATUS);
}

uint32_t ProcessCustomDraw(const DeviceList &list, int row, int column)
{
    if (column == COL_STATUS) {
        const tag_list_item *item = list.GetItemData(row);
        if (item && item->completed && !item->recorded)
            return STATION_COLOUR_UNRECORDED;
        if (item && item->completed)
            return item->status_code != 0 ? STATION_COLOUR_FAILED : STATION_COLOUR_PASSED;
    }
    return (row & 1) ? STATION_COLOUR_ODD_ROW : STATION_COLOUR_DEFAULT;
}

// ui (Qt): device list model adapter. Called by Qt's views in the GUI thread and by the
// station core's DeviceList observer (same thread).
#include "device_list_model.h"

#include <QColor>

#include <algorithm>
#include <cstdio>

#include "util/diag.h"

namespace ui
{

DeviceListModel::DeviceListModel(DeviceList &list, QObject *parent,
                                 std::function<void(const DeviceListChange &)> also,
                                 const station_health *health)
    : QAbstractTableModel(parent), list_(list), health_(health), also_(std::move(also))
{
    list_.set_observer([this](const DeviceListChange &c) { on_change(c); });
}

DeviceListModel::~DeviceListModel()
{
    list_.set_observer(nullptr);
}

int DeviceListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : list_.GetItemCount();
}

int DeviceListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : COL_COUNT + (health_ ? 1 : 0);
}

QVariant DeviceListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= list_.GetItemCount() || index.column() >= columnCount())
        return {};
    if (index.column() == COL_COUNT)
        return health_data(index.row(), role);
    switch (role) {
    case Qt::ToolTipRole:
        if (index.column() == COL_STATUS)
            return QString::fromStdString(status_tooltip(index.row()));
        return QString::fromStdString(list_.text(index.row(), index.column()));
    case Qt::DisplayRole:
        if (index.column() == COL_STATUS)
            return QString::fromStdString(StatusCellText(list_, index.row()));
        return QString::fromStdString(list_.text(index.row(), index.column()));
    case Qt::BackgroundRole: {
        uint32_t rgb = ProcessCustomDraw(list_, index.row(), index.column());
        if (rgb == STATION_COLOUR_DEFAULT)
            return {}; // the view's own background
        return QColor(QRgb(rgb));
    }
    case Qt::ForegroundRole:
        // Status cells on red or green stay readable in a dark desktop theme too.
        if (ProcessCustomDraw(list_, index.row(), index.column()) != STATION_COLOUR_DEFAULT)
            return QColor(Qt::black);
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

std::string DeviceListModel::status_tooltip(int row) const
{
    std::string tip = StatusCellText(list_, row);
    const tag_list_item *item = list_.GetItemData(row);
    if (!item || !item->completed || item->status_code == 0 || item->interrupted || !item->diag)
        return tip;
    // A failed run: the lines it printed, the last ones, with their time since the attach.
    std::vector<diag_line> lines = item->diag->lines();
    const size_t shown = std::min<size_t>(lines.size(), kTooltipLines);
    if (shown > 0)
        tip += "\n";
    for (size_t i = lines.size() - shown; i < lines.size(); ++i) {
        char ms[32];
        std::snprintf(ms, sizeof ms, "\n%7.3f s  ", lines[i].ms / 1000.0);
        tip += ms + lines[i].text;
    }
    return tip;
}

QVariant DeviceListModel::health_data(int row, int role) const
{
    const fixture_tally *f = health_fixture(*health_, row);
    const bool suspect = f && fixture_suspect(*f);
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(fixture_health_text(*health_, row));
    case Qt::ToolTipRole:
        if (suspect)
            return QString("The last %1 phones on this fixture failed: check its cable and "
                           "contacts. Cleared when a phone passes here.")
                .arg(FIXTURE_SUSPECT_FAILS);
        return QString::fromStdString(fixture_health_text(*health_, row));
    case Qt::BackgroundRole:
        if (suspect)
            return QColor(QRgb(STATION_COLOUR_SUSPECT));
        if (row & 1)
            return QColor(QRgb(STATION_COLOUR_ODD_ROW));
        return {};
    case Qt::ForegroundRole:
        return suspect ? QVariant(QColor(Qt::black)) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant DeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(section < COL_COUNT ? kDeviceListColumnTitles[section]
                                                       : kFixtureHealthTitle);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

void DeviceListModel::on_change(const DeviceListChange &c)
{
    switch (c.kind) {
    case DeviceListChange::RowAboutToBeInserted:
        beginInsertRows(QModelIndex(), c.row, c.row);
        break;
    case DeviceListChange::RowInserted:
        endInsertRows();
        break;
    case DeviceListChange::CellsChanged: {
        // One signal per run of adjacent changed columns: views repaint just those cells.
        int col = 0;
        while (col < COL_COUNT) {
            if (!(c.columns & column_bit(col))) {
                ++col;
                continue;
            }
            int first = col;
            while (col < COL_COUNT && (c.columns & column_bit(col)))
                ++col;
            emit dataChanged(index(c.row, first), index(c.row, col - 1),
                             {Qt::DisplayRole, Qt::BackgroundRole});
        }
        // A result (the Status cell's colour) changes the fixture's counts.
        if (health_ && (c.columns & column_bit(COL_STATUS)))
            emit dataChanged(index(c.row, COL_COUNT), index(c.row, COL_COUNT),
                             {Qt::DisplayRole, Qt::BackgroundRole});
        break;
    }
    }
    if (also_)
        also_(c);
}

} // namespace ui

// ui (Qt): the device list as a Qt table model. Used by the station window's QTableView.
//
// A thin adapter: every text and colour comes from the station core's DeviceList and its colour
// rule, and the ninth column (after the list's eight) from the core's fixture health; the
// adapter only forwards the list's change notices as Qt model signals. It lives in the
// GUI thread, which is the station's window thread, so it reads the list without locks.
#pragma once

#include "station/device_list.h"
#include "station/fixture_health.h"

#include <QAbstractTableModel>

#include <functional>
#include <string>

namespace ui
{

class DeviceListModel : public QAbstractTableModel
{
  public:
    // Subscribes to list's change notices; list (and health) must outlive the model. also
    // (optional) sees every change after the model has signalled it. Without health there is
    // no ninth column.
    explicit DeviceListModel(DeviceList &list, QObject *parent = nullptr,
                             std::function<void(const DeviceListChange &)> also = nullptr,
                             const station_health *health = nullptr);
    ~DeviceListModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    void on_change(const DeviceListChange &change);
    QVariant health_data(int row, int role) const;
    // The Status cell's tooltip: its text and, for a failed run, the run's last diagnostic lines.
    std::string status_tooltip(int row) const;
    static constexpr size_t kTooltipLines = 20;

    DeviceList &list_;
    const station_health *health_;
    std::function<void(const DeviceListChange &)> also_;
};

} // namespace ui

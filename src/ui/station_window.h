// ui (Qt): the station window: job summary, picture, device list, elapsed-time timer, About
// entry, and the close request's quit question. Created by QtStationWindow::run (the program)
// and by tests.
//
// The GUI thread is the station's window thread: station messages are drained there through a
// queued call that the station's wake hook posts. The window holds no station logic; the table
// is a model over the core's rows.
#pragma once

#include "station_companion.h"
#include "ui/startup.h"

#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <memory>

class QTableView;
class QTextEdit;
class QAction;
class QLabel;

namespace ui
{

class DeviceListModel;
class SuspendInhibitor;

class StationMainWindow : public QMainWindow
{
  public:
    // Fills the summary and builds the table; does not start the station.
    StationMainWindow(Station &station, OperatorMessages &messages, const StationSetup &setup,
                      StationCompanion *companion = nullptr);
    ~StationMainWindow() override;

    // Starts the station (wake hook, rows, monitor) and the one-second timer.
    int start_station();
    // Ends the window without the question (the simulation's duration, a screenshot).
    void close_without_asking();

    QTextEdit *summary_panel() const { return summary_; }
    QTableView *device_view() const { return table_; }
    // The red banner of the station-wide alarm (hidden while there is none), the status bar's
    // tally.
    QLabel *alarm_banner() const { return alarm_; }
    QLabel *status_label() const { return status_; }
    QAction *about_action() const { return about_; }
    // The About box's text.
    static QString about_text();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    void fill_summary(const StationSetup &setup);
    void on_timer();
    void refresh_status();
    void show_about();

    Station &station_;
    OperatorMessages &messages_;
    StationCompanion *companion_;
    QTextEdit *summary_ = nullptr;
    QTableView *table_ = nullptr;
    QLabel *status_ = nullptr;
    QLabel *alarm_ = nullptr;
    QLabel *record_ = nullptr; // the factory record's state, when a database is configured
    std::function<std::string()> record_state_;
    std::function<std::string()> outside_alarm_;
    QAction *about_ = nullptr;
    DeviceListModel *model_ = nullptr;
    QTimer timer_;
    bool closing_without_asking_ = false;
    bool stopped_ = false;
};

struct QtWindowOptions {
    StationCompanion *companion = nullptr;
    std::string screenshot_path; // non-empty: save the window there, then quit
    int screenshot_after_ms = 4000;
};

// The windowed front-end: runs the station window in the Qt event loop (a QApplication must
// exist) until the confirmed quit.
class QtStationWindow : public StationWindow
{
  public:
    QtStationWindow(OperatorMessages &messages, QtWindowOptions options)
        : messages_(messages), opt_(std::move(options))
    {
    }
    void run(StationSetup &setup) override;

  private:
    OperatorMessages &messages_;
    QtWindowOptions opt_;
};

} // namespace ui

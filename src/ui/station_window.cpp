// ui (Qt): the station window. Called by start-up through QtStationWindow::run.
#include "station_window.h"

#include "device_list_model.h"
#include "qt_messages.h"
#include "quit_signals.h"
#include "station/post_plugin_handler.h"
#include "suspend_inhibitor.h"
#include "terminal_window.h"
#include "ui/job_summary.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTableView>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include <cstdio>

namespace ui
{

StationMainWindow::StationMainWindow(Station &station, OperatorMessages &messages,
                                     const StationSetup &setup, StationCompanion *companion)
    : station_(station), messages_(messages), companion_(companion)
{
    setWindowTitle(QString::fromStdString(station_caption()));
    setWindowIcon(QIcon(":/bramblewick/phone.png"));

    auto *central = new QWidget(this);
    auto *outer = new QVBoxLayout(central);
    auto *top = new QHBoxLayout();
    summary_ = new QTextEdit(central);
    summary_->setReadOnly(true);
    summary_->setObjectName("summary");
    summary_->setFixedHeight(summary_->fontMetrics().lineSpacing() * 5 + 12);
    top->addWidget(summary_, 1, Qt::AlignTop);
    auto *picture = new QLabel(central);
    picture->setPixmap(QPixmap(":/bramblewick/phone.png"));
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    top->addWidget(picture, 0);
    outer->addLayout(top);

    // The station-wide alarm, above the table.
    alarm_ = new QLabel(central);
    alarm_->setObjectName("alarm");
    alarm_->setWordWrap(true);
    alarm_->setStyleSheet("QLabel { background: #d00000; color: white; font-weight: bold; "
                          "padding: 6px; }");
    alarm_->hide();
    outer->addWidget(alarm_);

    table_ = new QTableView(central);
    table_->setObjectName("devices");
    model_ = new DeviceListModel(
        station_.device_list(), this,
        [this](const DeviceListChange &c) {
            if (companion_)
                companion_->row_changed(station_.device_list(), c);
            if (c.columns & column_bit(COL_STATUS)) // a result: the tally, maybe the alarm
                refresh_status();
        },
        &station_.health());
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->setVisible(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The core's widths were made for an 8-point dialog font: scale them to this font, and never
    // narrower than the title.
    const QFontMetrics fm = table_->horizontalHeader()->fontMetrics();
    const double scale = fm.averageCharWidth() / 4.0;
    for (int c = 0; c < COL_COUNT; ++c) {
        int by_width = static_cast<int>(kDeviceListColumnWidths[c] * scale);
        int by_title = fm.horizontalAdvance(QString::fromLatin1(kDeviceListColumnTitles[c])) + 16;
        table_->setColumnWidth(c, std::max(by_width, by_title));
    }
    table_->setColumnWidth(COL_COUNT, fm.horizontalAdvance("000 passed, 000 failed - suspect"));
    outer->addWidget(table_, 1);
    setCentralWidget(central);

    status_ = new QLabel(this);
    statusBar()->addWidget(status_, 1);
    record_state_ = setup.record_state;
    outside_alarm_ = setup.outside_alarm;
    if (record_state_) {
        record_ = new QLabel(QString::fromStdString(record_state_()), this);
        record_->setObjectName("record");
        statusBar()->addPermanentWidget(record_);
    }
    if (!setup.log_path.empty())
        statusBar()->addPermanentWidget(
            new QLabel(QString::fromStdString("Production log: " + setup.log_path), this));

    QMenu *help = menuBar()->addMenu("&Help");
    about_ = help->addAction("About");
    about_->setObjectName("about");
    connect(about_, &QAction::triggered, this, [this] { show_about(); });

    fill_summary(setup);
    connect(&timer_, &QTimer::timeout, this, [this] { on_timer(); });
    resize(1320, 560); // the nine columns side by side
}

StationMainWindow::~StationMainWindow()
{
    timer_.stop();
    station_.stop(); // every station thread is gone before the window and its model are
    station_.set_wake_hook(nullptr);
}

int StationMainWindow::start_station()
{
    // Called on the sender's thread: post the draining to the GUI thread. The station is stopped
    // (no sender left) before this window goes away.
    station_.set_wake_hook([this] {
        QMetaObject::invokeMethod(
            this, [this] { station_.process_pending_messages(); }, Qt::QueuedConnection);
    });
    int rc = station_.start();
    if (rc == 0) {
        // The mapping is read by the start: what ended it early goes under the job.
        QTextCursor cursor(summary_->document());
        cursor.movePosition(QTextCursor::End);
        for (const SummaryRun &run : mapping_summary(station_.port_mapping_problem())) {
            QTextCharFormat format;
            if (run.red)
                format.setForeground(QColor(0xFF, 0, 0));
            cursor.insertText(QString::fromStdString(run.text), format);
        }
        refresh_status();
        timer_.start(1000);
        if (companion_)
            companion_->started(station_);
    }
    return rc;
}

void StationMainWindow::fill_summary(const StationSetup &setup)
{
    void *plugin = setup.options.post_plugin_handle;
    const char *plugin_name = plugin ? plugin_handler_get_name(plugin) : nullptr;
    SummaryJob job = summary_job_from(*setup.options.ini_content);
    QTextCursor cursor(summary_->document());
    std::vector<SummaryRun> runs = job_summary(job, plugin_name);
    for (SummaryRun &run : job_findings_runs(job_check_findings(*setup.options.ini_content, setup.job_path)))
        runs.push_back(std::move(run));
    for (SummaryRun &run : release_summary(setup.release_text, setup.release_red))
        runs.push_back(std::move(run));
    for (const SummaryRun &run : runs) {
        QTextCharFormat format;
        format.setFontWeight(run.bold ? QFont::Bold : QFont::Normal);
        if (run.red)
            format.setForeground(QColor(0xFF, 0, 0));
        else if (run.green)
            format.setForeground(QColor(0, 0x80, 0));
        cursor.insertText(QString::fromStdString(run.text), format);
    }
}

void StationMainWindow::refresh_status()
{
    std::string status = "Tally: " + station_.tally_text();
    if (companion_)
        status += "   " + companion_->status_line();
    status_->setText(QString::fromStdString(status));
    const std::string alarm = join_alarms(station_.alarm(), outside_alarm_);
    alarm_->setText(QString::fromStdString(alarm));
    alarm_->setVisible(!alarm.empty());
}

void StationMainWindow::on_timer()
{
    station_.one_second_timer();
    if (record_)
        record_->setText(QString::fromStdString(record_state_()));
    if (companion_)
        companion_->tick();
    refresh_status();
    if (companion_ && companion_->finished())
        close_without_asking();
}

QString StationMainWindow::about_text()
{
    return "<b>bramblewick</b> - Flashing program for Sorrel platform<br>"
           "Version 2.0.30.0<br><br>"
           "Built with Qt " QT_VERSION_STR " (LGPL v3), libusb-1.0 (LGPL v2.1), "
           "iniparser (MIT licence) and OpenSSL (Apache License 2.0), whose MD5 digest the "
           "station uses for one-file images.";
}

void StationMainWindow::show_about()
{
    QMessageBox::about(this, "About bramblewick", about_text());
}

void StationMainWindow::close_without_asking()
{
    closing_without_asking_ = true;
    close();
}

void StationMainWindow::closeEvent(QCloseEvent *event)
{
    if (stopped_) {
        event->accept();
        return;
    }
    if (closing_without_asking_) {
        if (companion_)
            companion_->stopping();
        station_.stop();
    } else if (!confirm_quit(messages_, station_)) {
        event->ignore(); // the window stays; nothing changes
        return;
    } else if (companion_) {
        companion_->stopping();
    }
    stopped_ = true;
    timer_.stop();
    event->accept();
}

void QtStationWindow::run(StationSetup &setup)
{
    Station station(setup.options);
    if (setup.on_station)
        setup.on_station(station);
    StationMainWindow window(station, messages_, setup, opt_.companion);
    if (auto *qt = dynamic_cast<QtMessages *>(&messages_))
        qt->set_owner(&window); // the quit question is owned by the window
    if (window.start_station() != 0) {
        messages_.show("The station could not start", kCaptionError, MessageIcon::Error);
        return;
    }
    SuspendInhibitor inhibit; // held until the window has closed
    // SIGTERM (a shutdown, a service stop) or SIGINT (Ctrl-C where the program was started)
    // comes from outside the window, where nobody answers a question: quit at once.
    QuitSignals quit_signals;
    std::unique_ptr<QSocketNotifier> on_signal;
    if (quit_signals.ok()) {
        on_signal =
            std::make_unique<QSocketNotifier>(quit_signals.read_fd(), QSocketNotifier::Read);
        QObject::connect(on_signal.get(), &QSocketNotifier::activated, &window, [&] {
            if (!quit_signals.take().empty())
                window.close_without_asking();
        });
    }
    window.show();
    if (!opt_.screenshot_path.empty()) {
        QTimer::singleShot(opt_.screenshot_after_ms, &window, [&window, this] {
            if (!window.grab().save(QString::fromStdString(opt_.screenshot_path)))
                std::fprintf(stderr, "cannot write screenshot %s\n", opt_.screenshot_path.c_str());
            window.close_without_asking();
        });
    }
    QApplication::exec();
    if (auto *qt = dynamic_cast<QtMessages *>(&messages_))
        qt->set_owner(nullptr);
    station.stop(); // idempotent: the quit has stopped it already
    station.report_unwritten_log(stderr);
}

} // namespace ui

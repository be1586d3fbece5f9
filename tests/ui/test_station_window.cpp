// The Qt station window on the offscreen platform: caption, columns, summary panel, About,
// row colours through the model, messages drained on the GUI thread, the quit question.
#include "ui_test_util.h"

#include "device_list_model.h"
#include "station_window.h"
#include "terminal_window.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTableView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <thread>

// fontconfig keeps a cache for the life of the process that LeakSanitizer reports at exit; it is
// the font library's, not ours.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

namespace
{

using uitest::RecordingMessages;
using uitest::TempCwd;

QApplication &app()
{
    static int argc = 1;
    static char name[] = "test_ui_window";
    static char *argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication *instance = new QApplication(argc, argv);
    return *instance;
}

class StationWindowTest : public ::testing::Test
{
  protected:
    StationWindowTest()
    {
        app();
        cwd.write("boot.img", "boot");
        cwd.write("flasher.ini",
                  "[misc]\n[map]\ntotal = 2\n"
                  "[map1]\nfilename = boot.img\ndesc = Boot\nnand_loc = 0\nnand_loc_end = 0x20000\n"
                  "[map2]\nfilename = cal.img\ndesc = Cal\nskip_flash_if_file_not_exist = 1\n"
                  "nand_loc = 0x20000\nnand_loc_end = 0x40000\n");
        cwd.write("ports.ini", "[ports]\nNoOfPorts = 3\n"
                               "[Port1]\nInterfaceName = sim-1\nPortNo = 1\n"
                               "[Port2]\nInterfaceName = sim-2\nPortNo = 2\n"
                               "[Port3]\nInterfaceName = simagent-2\nPortNo = 2\n");
        job = flashini_parse_file("flasher.ini");
        if (!job)
            std::abort(); // the window cannot be built without a job
        setup.options.ini_content = job;
        setup.options.port_mapping_path = cwd.path("ports.ini");
        setup.options.poll_period_ms = 20;
        station = std::make_unique<Station>(setup.options);
        window = std::make_unique<ui::StationMainWindow>(*station, messages, setup);
    }
    ~StationWindowTest() override
    {
        window.reset();
        station.reset();
        flashini_destroy(job);
    }
    QAbstractItemModel *model() { return window->device_view()->model(); }
    QVariant background(int row, int col)
    {
        return model()->data(model()->index(row, col), Qt::BackgroundRole);
    }
    // Runs the GUI thread's event loop until done() or about two seconds passed.
    template <class F> bool pump_until(F done)
    {
        for (int i = 0; i < 200 && !done(); ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }

    TempCwd cwd;
    flashini_content *job = nullptr;
    ui::StationSetup setup;
    RecordingMessages messages;
    std::unique_ptr<Station> station;
    std::unique_ptr<ui::StationMainWindow> window;
};

TEST_F(StationWindowTest, CaptionColumnsSummaryAndAbout)
{
    EXPECT_EQ(window->windowTitle().toStdString(),
              "V2.0.30.0 - Flashing program for Sorrel platform (Connect devices to PC to start "
              "download)");
    // The device list's eight columns, then the fixture's health.
    ASSERT_EQ(model()->columnCount(), 9);
    EXPECT_EQ(model()->headerData(8, Qt::Horizontal).toString().toStdString(), "Fixture health");
    const char *titles[] = {"Fixture ID", "Interface_1 ID", "Interface_2 ID", "Image",
                            "MPU Die ID", "Status",         "Elapsed Time",   "Progress"};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(model()->headerData(c, Qt::Horizontal).toString().toStdString(), titles[c]);
        // Wide enough for its title in the window's font.
        QFontMetrics fm = window->device_view()->horizontalHeader()->fontMetrics();
        EXPECT_GE(window->device_view()->columnWidth(c), fm.horizontalAdvance(titles[c]));
    }

    QTextEdit *summary = window->summary_panel();
    EXPECT_TRUE(summary->isReadOnly());
    EXPECT_EQ(summary->toPlainText().toStdString(),
              "Filename: boot.img, cal.img[missing and skip]");
    QTextCursor at(summary->document());
    at.setPosition(2); // inside "Filename: "
    EXPECT_EQ(at.charFormat().fontWeight(), QFont::Bold);
    int missing = summary->toPlainText().indexOf("[missing");
    at.setPosition(missing + 2);
    EXPECT_EQ(at.charFormat().foreground().color(), QColor(255, 0, 0));
    EXPECT_NE(at.charFormat().fontWeight(), QFont::Bold);

    ASSERT_NE(window->about_action(), nullptr);
    EXPECT_EQ(window->about_action()->text().toStdString(), "About");
    QString about = ui::StationMainWindow::about_text();
    for (const char *s : {"2.0.30.0", "Qt", "libusb", "iniparser", "OpenSSL"})
        EXPECT_TRUE(about.contains(s)) << s;
}

TEST_F(StationWindowTest, MessagesFromOtherThreadsAreHandledOnTheGuiThread)
{
    ASSERT_EQ(window->start_station(), 0);
    ASSERT_EQ(model()->rowCount(), 2); // fixtures 1 and 2 from the mapping
    QSignalSpy changed(model(), &QAbstractItemModel::dataChanged);

    station_context *ctx = station->context();
    std::atomic<tag_list_item *> first{nullptr}, second{nullptr};
    std::thread sender([&] {
        // As the monitor and a download thread would: each send blocks until handled.
        auto *a = reinterpret_cast<tag_list_item *>(
            ctx->queue.send(WM_DEVICE_CONNECTED, 0, reinterpret_cast<LPARAM>("sim-1")));
        ctx->queue.send(WM_DEVICE_COMPLETED, reinterpret_cast<WPARAM>(a), 0);
        auto *b = reinterpret_cast<tag_list_item *>(
            ctx->queue.send(WM_DEVICE_CONNECTED, 0, reinterpret_cast<LPARAM>("simagent-2")));
        ctx->queue.send(WM_DEVICE_IMAGE, reinterpret_cast<WPARAM>(b),
                        reinterpret_cast<LPARAM>("Kernel"));
        ctx->queue.send(WM_DEVICE_COMPLETED, reinterpret_cast<WPARAM>(b), -3);
        first = a;
        second = b;
    });
    ASSERT_TRUE(pump_until([&] { return second.load() != nullptr; }));
    sender.join();

    auto text = [&](int row, int col) {
        return model()->data(model()->index(row, col)).toString().toStdString();
    };
    EXPECT_EQ(text(0, COL_IMAGE), "Finished");
    EXPECT_EQ(text(0, COL_STATUS), "Completed");
    EXPECT_EQ(text(1, COL_IMAGE), "Kernel");
    EXPECT_EQ(text(1, COL_STATUS), "Device Connected.");
    EXPECT_GE(changed.count(), 5);

    // Completed rows: green or red Status cell. Row 1 is odd: grey elsewhere; row 0 default.
    EXPECT_EQ(background(0, COL_STATUS).value<QColor>(), QColor(0, 255, 0));
    EXPECT_EQ(background(1, COL_STATUS).value<QColor>(), QColor(255, 0, 0));
    EXPECT_EQ(background(1, COL_IMAGE).value<QColor>(), QColor(0xED, 0xED, 0xED));
    EXPECT_FALSE(background(0, COL_IMAGE).isValid());
}

TEST_F(StationWindowTest, RowsWithoutARecordKeepTheDefaultStatusCell)
{
    ASSERT_EQ(window->start_station(), 0);
    EXPECT_FALSE(background(0, COL_STATUS).isValid());
    EXPECT_EQ(background(1, COL_STATUS).value<QColor>(), QColor(0xED, 0xED, 0xED));
    EXPECT_EQ(model()->data(model()->index(0, COL_ELAPSED)).toString(), "");
}

TEST_F(StationWindowTest, CloseAsksAndOnlyYesStopsTheStation)
{
    ASSERT_EQ(window->start_station(), 0);
    window->show();
    messages.answers = {false};
    EXPECT_FALSE(window->close());
    ASSERT_EQ(messages.asked.size(), 1u);
    EXPECT_EQ(messages.asked[0].text, "Are you sure you want to quit?");
    EXPECT_EQ(messages.asked[0].caption, "Quit");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(station->running());

    messages.answers = {true};
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(station->running());
    EXPECT_EQ(station->context()->do_exit.load(), 1);
}

} // namespace

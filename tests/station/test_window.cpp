// Tests of the synchronous window messages and of the window-side handlers (attach, result,
// detach, text columns) with the log, without any USB.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "station/production_log.h"
#include "station/station.h"

using namespace std::chrono_literals;

TEST(MessageQueue, SendBlocksUntilTheWindowThreadRanTheHandler)
{
    MessageQueue q;
    std::atomic<int> wakes{0};
    q.open([](unsigned msg, WPARAM w, LPARAM l) { return LRESULT(msg + w + l); },
           std::this_thread::get_id());
    q.set_wake_hook([&] { wakes++; });
    auto r = std::async(std::launch::async, [&] { return q.send(WM_DEVICE_IMAGE, 10, 5); });
    EXPECT_EQ(r.wait_for(50ms), std::future_status::timeout); // nobody drained yet
    ASSERT_TRUE(q.wait(2000));
    EXPECT_EQ(q.process_pending(), 1);
    EXPECT_EQ(r.get(), LRESULT(WM_DEVICE_IMAGE + 15));
    EXPECT_EQ(wakes.load(), 1);
    // From the window thread itself the handler runs at once.
    EXPECT_EQ(q.send(WM_DEVICE_IMAGE, 1, 1), LRESULT(WM_DEVICE_IMAGE + 2));
}

TEST(MessageQueue, CloseReleasesBlockedSendersWithoutRunningHandlers)
{
    MessageQueue q;
    std::atomic<int> ran{0};
    q.open([&](unsigned, WPARAM, LPARAM) { return LRESULT(++ran); }, std::this_thread::get_id());
    auto r1 = std::async(std::launch::async, [&] { return q.send(WM_DEVICE_PROGRESS, 0, 0); });
    auto r2 = std::async(std::launch::async, [&] { return q.send(WM_DEVICE_PROGRESS, 0, 0); });
    while (!q.wait(10)) {
    }
    std::this_thread::sleep_for(20ms);
    q.close();
    EXPECT_EQ(r1.get(), 0);
    EXPECT_EQ(r2.get(), 0);
    EXPECT_EQ(q.process_pending(), 0);
    EXPECT_EQ(q.send(WM_DEVICE_PROGRESS, 0, 0), 0);
    EXPECT_EQ(ran.load(), 0);
}

namespace
{

// A context for the handlers alone: no threads are started.
struct Handlers : ::testing::Test {
    flashini_content job{};
    std::shared_ptr<station_context> ctx;
    char log_path[64] = "/tmp/bw_handlers_XXXXXX";

    void SetUp() override
    {
        station_options o;
        o.ini_content = &job;
        ctx = std::make_shared<station_context>(o);
        durable_file f;
        ASSERT_EQ(durable_file_adopt(&f, mkstemp(log_path), log_path), 0);
        ctx->log.files.push_back(f);
        // Fixture 3 with two names, as the mapping makes it.
        int row = ctx->list.InsertItem(0, "3", nullptr);
        ctx->list.SetItemText(row, COL_INTERFACE_1, "sim-3a");
        ctx->list.SetItemText(row, COL_INTERFACE_2, "sim-3b");
        station_take_rows(ctx.get());
    }
    void TearDown() override
    {
        durable_log_close(&ctx->log);
        unlink(log_path);
    }
    std::string log() const
    {
        std::ifstream f(log_path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    LRESULT send(unsigned msg, const void *w, LPARAM l)
    {
        return MainProc(ctx.get(), msg, reinterpret_cast<WPARAM>(w), l);
    }
    LRESULT text(unsigned msg, const void *w, const char *t)
    {
        return send(msg, w, reinterpret_cast<LPARAM>(t));
    }
};

} // namespace

TEST_F(Handlers, SuccessfulRunIsFinishedGreenLoggedAndClearedAtDetach)
{
    auto *dev = reinterpret_cast<usb_dev_handle *>(0x1234);
    auto *item = reinterpret_cast<tag_list_item *>(MainProc(ctx.get(), WM_DEVICE_CONNECTED,
                                                            reinterpret_cast<WPARAM>(dev),
                                                            reinterpret_cast<LPARAM>("sim-3b")));
    ASSERT_NE(item, nullptr);
    // The run's thread gets its own share of the record.
    std::shared_ptr<tag_list_item> run = take_run_record(ctx.get(), dev);
    EXPECT_EQ(run.get(), item);
    EXPECT_STREQ(item->interface_1_name, "sim-3b");
    EXPECT_STREQ(item->interface_2_name, "sim-3a"); // matched column 2: the other is column 1
    EXPECT_EQ(item->udev, dev);
    EXPECT_EQ(ctx->list.GetItemData(0), item);
    EXPECT_EQ(ctx->list.text(0, COL_STATUS), "Device Connected.");

    text(WM_DEVICE_IMAGE, item, "Done");
    text(WM_DEVICE_PROGRESS, item, "50% (1/2)");
    send(WM_DEVICE_COMPLETED, item, 0);
    EXPECT_EQ(ctx->list.text(0, COL_IMAGE), "Finished");
    EXPECT_EQ(ctx->list.text(0, COL_STATUS), "Completed");
    EXPECT_EQ(ProcessCustomDraw(ctx->list, 0, COL_STATUS), STATION_COLOUR_PASSED);
    ASSERT_NE(log().find(",Finished,0\r\n"), std::string::npos);
    EXPECT_EQ(log().rfind("3,,", 0), 0u); // fixture 3, empty die ID

    send(WM_DEVICE_DISCONNECTED, item, 0); // the row lets go of the record
    EXPECT_EQ(ctx->list.GetItemData(0), nullptr);
    // It lives on while the run's thread holds it, and goes with its last owner.
    std::weak_ptr<tag_list_item> last = run;
    EXPECT_EQ(run.use_count(), 1);
    run.reset();
    EXPECT_TRUE(last.expired());
    for (int c : {COL_IMAGE, COL_DIE_ID, COL_STATUS, COL_ELAPSED, COL_PROGRESS})
        EXPECT_EQ(ctx->list.text(0, c), "") << c;
    EXPECT_EQ(ctx->list.text(0, COL_FIXTURE_ID), "3");
    // A message for the freed record changes nothing and logs nothing.
    send(WM_DEVICE_COMPLETED, item, 5);
    std::string all = log();
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1);
}

TEST_F(Handlers, FailedRowStaysRedUntilTheNextAttachAndUnmappedNamesGetNaRows)
{
    auto *item = reinterpret_cast<tag_list_item *>(text(WM_DEVICE_CONNECTED, nullptr, "sim-3a"));
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(item->interface_2_name, "sim-3b");
    text(WM_DEVICE_IMAGE, item, "Erase flash");
    send(WM_DEVICE_COMPLETED, item, -14);
    text(WM_DEVICE_DOWNLOAD_MSG, item, "Erase failed");
    send(WM_DEVICE_DISCONNECTED, item, 0);
    EXPECT_EQ(ctx->list.GetItemData(0), item); // kept for the operator
    EXPECT_EQ(ctx->list.text(0, COL_IMAGE), "Erase flash");
    EXPECT_EQ(ProcessCustomDraw(ctx->list, 0, COL_STATUS), STATION_COLOUR_FAILED);
    EXPECT_NE(log().find(",Erase flash,-14\r\n"), std::string::npos);

    // The next phone, under the fixture's other name, claims the row: the old record goes.
    auto *next = reinterpret_cast<tag_list_item *>(text(WM_DEVICE_CONNECTED, nullptr, "sim-3b"));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(ctx->list.text(0, COL_IMAGE), "");
    EXPECT_EQ(ctx->list.text(0, COL_STATUS), "Device Connected.");

    // A name no fixture maps: a new "NA" row at the end, found again next time.
    auto *na = reinterpret_cast<tag_list_item *>(text(WM_DEVICE_CONNECTED, nullptr, "sim-77"));
    ASSERT_EQ(ctx->list.GetItemCount(), 2);
    EXPECT_EQ(ctx->list.text(1, COL_FIXTURE_ID), "NA");
    EXPECT_EQ(ctx->list.text(1, COL_INTERFACE_1), "sim-77");
    EXPECT_STREQ(na->interface_2_name, "");
    send(WM_DEVICE_COMPLETED, na, 1);
    send(WM_DEVICE_DISCONNECTED, na, 0);
    auto *na2 = reinterpret_cast<tag_list_item *>(text(WM_DEVICE_CONNECTED, nullptr, "sim-77"));
    EXPECT_EQ(ctx->list.GetItemCount(), 2);
    EXPECT_EQ(ctx->list.GetItemData(1), na2);
    EXPECT_NE(log().find("NA,,"), std::string::npos);
}

TEST_F(Handlers, AttachUnderTheOtherNameWaitsForTheRunningRecord)
{
    auto *first = reinterpret_cast<tag_list_item *>(text(WM_DEVICE_CONNECTED, nullptr, "sim-3a"));
    ASSERT_NE(first, nullptr);
    // Its thread still runs (no detach yet): the record must survive, so the attach is refused.
    EXPECT_EQ(text(WM_DEVICE_CONNECTED, nullptr, "sim-3b"), 0);
    EXPECT_EQ(ctx->list.GetItemData(0), first);
    text(WM_DEVICE_IMAGE, first, "Wait for DKB");
    EXPECT_EQ(ctx->list.text(0, COL_IMAGE), "Wait for DKB");
    send(WM_DEVICE_COMPLETED, first, 1);
    send(WM_DEVICE_DISCONNECTED, first, 0);
    // Detached: now the other name may take the row.
    EXPECT_NE(text(WM_DEVICE_CONNECTED, nullptr, "sim-3b"), 0);
    EXPECT_NE(log().find(",Wait for DKB,1\r\n"), std::string::npos);
}

TEST(ProductionLog, FieldsWithCommasQuotesOrLineBreaksAreQuoted)
{
    std::string s;
    csv_append_field(s, "plain text");
    EXPECT_EQ(s, "plain text");
    s.clear();
    csv_append_field(s, "boot, kernel");
    EXPECT_EQ(s, "\"boot, kernel\"");
    s.clear();
    csv_append_field(s, "say \"hi\"\r\n");
    EXPECT_EQ(s, "\"say \"\"hi\"\"\r\n\"");

    const station_time start{2010, 3, 1, 15, 9, 30, 5, 0};
    const station_time finish{2010, 3, 1, 15, 9, 31, 12, 0};
    EXPECT_EQ(log_format_run("12345678901234567890123456789012345", "", &start, finish,
                             "rootfs, part \"B\"", -13),
              "12345678901234567890123456789,,2010-03-15 09:30:05,2010-03-15 09:31:12,"
              "\"rootfs, part \"\"B\"\"\",-13\r\n");
}

TEST(ProductionLog, FilesAreNeverTruncatedBySecondStartInTheSameSecond)
{
    char dir[] = "/tmp/bw_logdir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string logdir = std::string(dir) + "/log";
    station_time t{2010, 3, 1, 15, 9, 30, 5, 0};
    std::string p1, p2;
    FILE *f1 = log_create_file(logdir.c_str(), t, &p1);
    ASSERT_NE(f1, nullptr);
    fputs("first run\r\n", f1);
    fflush(f1);
    FILE *f2 = log_create_file(logdir.c_str(), t, &p2);
    ASSERT_NE(f2, nullptr);
    EXPECT_EQ(p1, logdir + "/log_20100315_093005.csv");
    EXPECT_EQ(p2, logdir + "/log_20100315_093005_2.csv");
    fclose(f1);
    fclose(f2);
    std::ifstream in(p1, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), std::string(LOG_HEADER) + "first run\r\n");
    EXPECT_EQ(strlen(LOG_HEADER), 66u); // 65 characters with LF, CR added as stored
    unlink(p1.c_str());
    unlink(p2.c_str());
    rmdir(logdir.c_str());
    rmdir(dir);
    EXPECT_EQ(log_create_file("/nonexistent/dir/log", t), nullptr);
}

TEST(Progress, ClampsAndNeverDividesByAnEmptyRange)
{
    char buf[100];
    format_progress(buf, sizeof buf, 3, 4);
    EXPECT_STREQ(buf, "75% (3/4)");
    format_progress(buf, sizeof buf, 5, 4);
    EXPECT_STREQ(buf, "100% (4/4)");
    format_progress(buf, sizeof buf, 2000000000, 2100000000); // needs 64-bit arithmetic
    EXPECT_STREQ(buf, "95% (2000000000/2100000000)");
    format_progress(buf, sizeof buf, 7, 0);
    EXPECT_STREQ(buf, "0% (0/0)");
    format_progress(buf, sizeof buf, 7, -4096);
    EXPECT_STREQ(buf, "0% (0/-4096)");
}

// The terminal's table and its one-line-per-change form, over a device list driven like the
// station's handlers drive it.
#include "terminal_view.h"

#include <gtest/gtest.h>

#include "station/station.h"
#include "util/diag.h"

#include <algorithm>
#include <regex>

namespace
{

// Drives the rows through the station core's own handlers, as its messages would.
class TerminalView : public ::testing::Test
{
  protected:
    TerminalView() : ctx(station_options{})
    {
        // Run times vary with the machine: they read "after T s" here.
        list.set_observer([this](const DeviceListChange &c) {
            out += std::regex_replace(lines.lines_for(list, c),
                                      std::regex("after [0-9]+\\.[0-9] s"), "after T s");
        });
        list.InsertItem(0, "1", nullptr);
        list.SetItemText(0, COL_INTERFACE_1, "sim-1");
        list.SetItemText(0, COL_INTERFACE_2, "simagent-1");
        list.InsertItem(1, "2", nullptr);
        list.SetItemText(1, COL_INTERFACE_1, "sim-2");
        station_take_rows(&ctx);
    }
    ~TerminalView() override { list.set_observer(nullptr); }
    // A run's end: result, then detach.
    void finish(tag_list_item *item, int code)
    {
        DeviceCompleted(&ctx, item, code);
        DeviceDisconnected(&ctx, item);
    }

    station_context ctx;
    DeviceList &list = ctx.list;
    ui::EventLines lines;
    std::string out;
};

TEST_F(TerminalView, EveryChangeIsOneLineAndEachResultIsTold)
{
    tag_list_item *a = DeviceConnected(&ctx, nullptr, "simagent-1");
    ASSERT_NE(a, nullptr);
    DeviceImageMsg(&ctx, a, "Boot loader");
    list.SetItemText(0, COL_ELAPSED, "3s"); // ticking time is not an event
    DeviceProgress(&ctx, a, "50% (1/2)");
    DeviceCompleted(&ctx, a, 0);
    list.NotifyChanged(0, column_bit(COL_STATUS)); // a repeated colour notice prints nothing
    tag_list_item *b = DeviceConnected(&ctx, nullptr, "sim-2");
    DeviceImageMsg(&ctx, b, "Wait for DKB");
    finish(b, 1);
    DeviceDisconnected(&ctx, a); // the passed row is cleared: nothing to tell

    EXPECT_EQ(out, "Fixture 1: Interface_1 ID: sim-1\n"
                   "Fixture 1: Interface_2 ID: simagent-1\n"
                   "Fixture 2: Interface_1 ID: sim-2\n"
                   "Fixture 1: Status: Device Connected.\n"
                   "Fixture 1: Image: Boot loader\n"
                   "Fixture 1: Progress: 50% (1/2)\n"
                   "Fixture 1: Image: Finished\n"
                   "Fixture 1: Status: Completed\n"
                   "Fixture 1: result: passed after T s\n"
                   "Fixture 2: Status: Device Connected.\n"
                   "Fixture 2: Image: Wait for DKB\n"
                   "Fixture 2: result: failed, code 1 after T s\n");
}

TEST_F(TerminalView, EveryRunOnARowGetsItsOwnResultLine)
{
    // Failed twice, then passed: the failed record stays on the row until the next attach
    // frees it (whose replacement may well reuse its address).
    for (int code : {5, 5, 0}) {
        tag_list_item *item = DeviceConnected(&ctx, nullptr, "sim-1");
        ASSERT_NE(item, nullptr);
        finish(item, code);
    }
    EXPECT_EQ(out.substr(out.find("Status: Device Connected.")),
              "Status: Device Connected.\n"
              "Fixture 1: result: failed, code 5 after T s\n"
              "Fixture 1: Status: Device Connected.\n"
              "Fixture 1: result: failed, code 5 after T s\n"
              "Fixture 1: Status: Device Connected.\n"
              "Fixture 1: Image: Finished\n"
              "Fixture 1: Status: Completed\n"
              "Fixture 1: result: passed after T s\n");
}

TEST_F(TerminalView, UnmappedRowsAreNamedByTheirInterface)
{
    DeviceConnected(&ctx, nullptr, "1-1.4");
    EXPECT_NE(out.find("Fixture NA (1-1.4): Status: Device Connected.\n"), std::string::npos)
        << out;
}

// An interface name from ports.ini or the bus reaches the terminal escaped, in lines and table.
TEST_F(TerminalView, ControlCharactersInCellsAreEscaped)
{
    DeviceConnected(&ctx, nullptr, "1-1\033]0;x\a");
    EXPECT_NE(out.find("Fixture NA (1-1\\e]0;x\\x07): Status: Device Connected.\n"),
              std::string::npos)
        << out;
    list.SetItemText(1, COL_INTERFACE_1, "\033[2J");
    const std::string table = ui::render_table(list, false);
    EXPECT_EQ(table.find_first_of("\033\a"), std::string::npos);
    EXPECT_NE(table.find("\\e[2J"), std::string::npos) << table;
}

TEST_F(TerminalView, TableShowsColumnsAndColoursCompletedStatusCells)
{
    DeviceCompleted(&ctx, DeviceConnected(&ctx, nullptr, "sim-1"), 0);
    DeviceCompleted(&ctx, DeviceConnected(&ctx, nullptr, "sim-2"), 3);

    std::string plain = ui::render_table(list, false);
    EXPECT_EQ(plain.find("Fixture ID"), 0u);
    EXPECT_NE(plain.find("Interface_1 ID"), std::string::npos);
    EXPECT_NE(plain.find("Progress"), std::string::npos);
    EXPECT_EQ(plain.find('\033'), std::string::npos);
    EXPECT_EQ(std::count(plain.begin(), plain.end(), '\n'), 3);

    std::string colour = ui::render_table(list, true);
    EXPECT_NE(colour.find("\033[30;42mCompleted"), std::string::npos); // row 0: green
    size_t row1 = colour.find("\n", colour.find("\n") + 1) + 1;
    EXPECT_NE(colour.find("\033[97;41m", row1), std::string::npos);       // row 1: red
    EXPECT_NE(colour.find("\033[30;48;5;254m", row1), std::string::npos); // odd row: grey
}

TEST_F(TerminalView, AFailedRowShowsItsOwnRunsLastLineBeneathIt)
{
    tag_list_item *a = DeviceConnected(&ctx, nullptr, "sim-1");
    tag_list_item *b = DeviceConnected(&ctx, nullptr, "sim-2");
    a->diag->add("Write NAND flash failed -5");
    b->diag->add("Erase NAND flash success.");
    DeviceCompleted(&ctx, a, -5);
    DeviceCompleted(&ctx, b, 0);

    std::string table = ui::render_table(list, false);
    size_t row0 = table.find('\n') + 1, row1 = table.find('\n', row0) + 1;
    EXPECT_EQ(table.substr(row1, table.find('\n', row1) - row1), "  Write NAND flash failed -5");
    EXPECT_EQ(table.find("Erase NAND flash"), std::string::npos); // a passed row shows none
}

TEST_F(TerminalView, NarrowTerminalCutsLinesToItsWidth)
{
    DeviceDownloadMsg(&ctx, DeviceConnected(&ctx, nullptr, "sim-1"), std::string(200, 'x').c_str());
    std::string table = ui::render_table(list, false, 60);
    size_t start = 0;
    while (start < table.size()) {
        size_t end = table.find('\n', start);
        EXPECT_LE(end - start, 60u);
        start = end + 1;
    }
}

} // namespace

namespace
{

TEST_F(TerminalView, NinthColumnShowsEachFixturesCountsAndMarksASuspectOne)
{
    finish(DeviceConnected(&ctx, nullptr, "sim-1"), 0);
    for (int i = 0; i < 3; ++i) {
        finish(DeviceConnected(&ctx, nullptr, "sim-2"), 3);
        strikes_listed(&ctx.health.strikes, {}); // each phone left the bus: three phones
    }
    std::string plain = ui::render_table(list, false, 0, &ctx.health);
    EXPECT_NE(plain.find("Progress                Fixture health"), std::string::npos) << plain;
    EXPECT_NE(plain.find("1 passed, 0 failed"), std::string::npos) << plain;
    std::string colour = ui::render_table(list, true, 0, &ctx.health);
    EXPECT_NE(colour.find("\033[30;43m0 passed, 3 failed - suspect"), std::string::npos) << colour;
    EXPECT_EQ(ui::render_table(list, false).find("Fixture health"), std::string::npos);
}

} // namespace

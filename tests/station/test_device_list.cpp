// Tests of the device list model, its finders, the elapsed-time timer, the row colour rule and
// the port mapping file.
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "station/device_list.h"
#include "station/port_mapping.h"

namespace
{

std::shared_ptr<tag_list_item> new_item(uint32_t tick = 0)
{
    auto it = std::make_shared<tag_list_item>();
    it->tickcount = tick;
    return it;
}

struct TempFile {
    std::string path;
    explicit TempFile(const std::string &content)
    {
        char tmpl[] = "/tmp/bw_ports_XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        ssize_t n = write(fd, content.data(), content.size());
        (void)n;
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
};

std::vector<std::string> column(const DeviceList &l, int col)
{
    std::vector<std::string> v;
    for (int i = 0; i < l.GetItemCount(); i++)
        v.push_back(l.text(i, col));
    return v;
}

} // namespace

TEST(DeviceList, FindersMatchExactlyAndSkipRowsWithoutRecord)
{
    DeviceList l;
    auto a = new_item();
    l.InsertItem(0, "2", nullptr);
    l.InsertItem(1, "10", a);
    l.SetItemText(0, COL_INTERFACE_1, "sim-1");
    l.SetItemText(1, COL_INTERFACE_1, "sim-10");
    l.SetItemText(1, COL_INTERFACE_2, "sim-11");

    EXPECT_EQ(FindListItem(l, a.get()), 1);
    EXPECT_EQ(FindListItem(l, nullptr), -1); // a row without a record never matches null
    tag_list_item other{};
    EXPECT_EQ(FindListItem(l, &other), -1);

    EXPECT_EQ(FindMappedUSBListItem(l, "sim-1"), 0);
    EXPECT_EQ(FindMappedUSBListItem(l, "sim-11"), 1); // column 2 matches as well
    EXPECT_EQ(FindMappedUSBListItem(l, "SIM-1"), -1); // case-sensitive
    EXPECT_EQ(FindMappedUSBListItem(l, "sim-"), -1);  // whole text only

    EXPECT_EQ(FindItemByPortNo(l, 10), 1);
    EXPECT_EQ(FindItemByPortNo(l, 1), -1);
    EXPECT_EQ(GetInsertMappingIndex(l, 1), 0);
    EXPECT_EQ(GetInsertMappingIndex(l, 2), 1);
    EXPECT_EQ(GetInsertMappingIndex(l, 10), 2);
}

TEST(DeviceList, ObserverSeesInsertsAndOnlyRealTextChanges)
{
    DeviceList l;
    std::vector<DeviceListChange> seen;
    l.set_observer([&](const DeviceListChange &c) { seen.push_back(c); });
    l.InsertItem(5, "NA", nullptr); // past the end: appended
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, DeviceListChange::RowAboutToBeInserted);
    EXPECT_EQ(seen[1].kind, DeviceListChange::RowInserted);
    EXPECT_EQ(seen[1].row, 0);
    seen.clear();
    l.SetItemText(0, COL_STATUS, "Device Connected.");
    l.SetItemText(0, COL_STATUS, "Device Connected."); // same text: no repaint
    l.SetItemText(3, COL_STATUS, "x");                 // no such row: ignored
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, DeviceListChange::CellsChanged);
    EXPECT_EQ(seen[0].columns, column_bit(COL_STATUS));
}

TEST(DeviceList, GetItemTextTruncatesLikeTheListControl)
{
    DeviceList l;
    l.InsertItem(0, "123456789", nullptr);
    char buf[5];
    l.GetItemText(0, COL_FIXTURE_ID, buf, sizeof buf);
    EXPECT_STREQ(buf, "1234");
    l.GetItemText(7, COL_FIXTURE_ID, buf, sizeof buf);
    EXPECT_STREQ(buf, "");
}

TEST(DeviceList, OneSecondTimerCountsRunningRowsAcrossTickWrap)
{
    DeviceList l;
    auto running = new_item(0xFFFFF000u); // attached 4096 ms before the wrap
    auto done = new_item(0);
    done->completed = true;
    l.InsertItem(0, "1", nullptr);
    l.InsertItem(1, "2", running);
    l.InsertItem(2, "3", done);
    l.SetItemText(2, COL_ELAPSED, "7s");

    OneSecondTimer(l, 0x00001000u);          // 8192 ms later, after the wrap
    EXPECT_EQ(l.text(0, COL_ELAPSED), "");   // no record
    EXPECT_EQ(l.text(1, COL_ELAPSED), "8s"); // unsigned difference, truncated
    EXPECT_EQ(l.text(2, COL_ELAPSED), "7s"); // completed rows keep their last value
}

TEST(DeviceList, RowColoursFollowOddRowsAndCompletedStatus)
{
    DeviceList l;
    auto ok = new_item();
    auto bad = new_item();
    auto running = new_item();
    ok->completed = ok->recorded = true;
    bad->completed = bad->recorded = true;
    bad->status_code = -14;
    l.InsertItem(0, "1", ok);
    l.InsertItem(1, "2", bad);
    l.InsertItem(2, "3", running);
    l.InsertItem(3, "4", nullptr);

    EXPECT_EQ(ProcessCustomDraw(l, 0, COL_STATUS), STATION_COLOUR_PASSED);
    EXPECT_EQ(ProcessCustomDraw(l, 0, COL_IMAGE), STATION_COLOUR_DEFAULT);
    EXPECT_EQ(ProcessCustomDraw(l, 1, COL_STATUS), STATION_COLOUR_FAILED);
    EXPECT_EQ(ProcessCustomDraw(l, 1, COL_IMAGE), STATION_COLOUR_ODD_ROW);
    EXPECT_EQ(ProcessCustomDraw(l, 2, COL_STATUS), STATION_COLOUR_DEFAULT);
    EXPECT_EQ(ProcessCustomDraw(l, 3, COL_STATUS), STATION_COLOUR_ODD_ROW);
    // A result whose log line is still in memory is amber, whatever the result.
    ok->recorded = bad->recorded = false;
    EXPECT_EQ(ProcessCustomDraw(l, 0, COL_STATUS), STATION_COLOUR_UNRECORDED);
    EXPECT_EQ(ProcessCustomDraw(l, 1, COL_STATUS), STATION_COLOUR_UNRECORDED);
}

TEST(PortMapping, RowsInFixtureOrderWithTwoNamesPerFixture)
{
    TempFile f("[ports]\nNoOfPorts = 5\n"
               "[Port1]\nInterfaceName = sim-5a\nPortNo = 5\n"
               "[Port2]\nInterfaceName = sim-2a\nPortNo = 2\n"
               "[Port3]\nInterfaceName = sim-9a\nPortNo = 9\n"
               "[Port4]\nInterfaceName = sim-2b\nPortNo = 2\n"
               "[Port5]\nInterfaceName = sim-2c\nPortNo = 02\n");
    DeviceList l;
    EXPECT_EQ(InitUSBMapping(l, f.path.c_str()), 5);
    EXPECT_EQ(column(l, COL_FIXTURE_ID), (std::vector<std::string>{"2", "5", "9"}));
    EXPECT_EQ(column(l, COL_INTERFACE_1), (std::vector<std::string>{"sim-2a", "sim-5a", "sim-9a"}));
    // The second entry of fixture 2 filled column 2, the third replaced it.
    EXPECT_EQ(column(l, COL_INTERFACE_2), (std::vector<std::string>{"sim-2c", "", ""}));
    for (int i = 0; i < l.GetItemCount(); i++)
        EXPECT_EQ(l.GetItemData(i), nullptr);
    EXPECT_EQ(FindMappedUSBListItem(l, "sim-2c"), 0);
}

TEST(PortMapping, BadCountsAndMissingEntriesEndTheMapping)
{
    DeviceList l;
    EXPECT_EQ(InitUSBMapping(l, "/nonexistent/ports.ini"), 0);
    EXPECT_EQ(l.GetItemCount(), 0);

    for (const char *count : {"0", "65", "-1", "abc", ""}) {
        TempFile f(std::string("[ports]\nNoOfPorts = ") + count +
                   "\n[Port1]\nInterfaceName = a\nPortNo = 1\n");
        DeviceList m;
        EXPECT_EQ(InitUSBMapping(m, f.path.c_str()), 0) << count;
        EXPECT_EQ(m.GetItemCount(), 0) << count;
    }

    // Port4 missing out of 6: three entries used, Port5 never read.
    TempFile gap("[ports]\nNoOfPorts = 6\n"
                 "[Port1]\nInterfaceName = a\nPortNo = 1\n"
                 "[Port2]\nInterfaceName = b\nPortNo = 2\n"
                 "[Port3]\nInterfaceName = c\nPortNo = 3\n"
                 "[Port5]\nInterfaceName = e\nPortNo = 5\n");
    DeviceList g;
    EXPECT_EQ(InitUSBMapping(g, gap.path.c_str()), 3);
    EXPECT_EQ(g.GetItemCount(), 3);

    // An entry without PortNo, or with one that is not a number, ends the mapping there.
    TempFile partial("[ports]\nNoOfPorts = 3\n"
                     "[Port1]\nInterfaceName = a\nPortNo = 1\n"
                     "[Port2]\nInterfaceName = b\nPortNo = two\n"
                     "[Port3]\nInterfaceName = c\nPortNo = 3\n");
    DeviceList p;
    EXPECT_EQ(InitUSBMapping(p, partial.path.c_str()), 1);
    EXPECT_EQ(column(p, COL_FIXTURE_ID), (std::vector<std::string>{"1"}));
}

TEST(PortMapping, NumbersAreDecimalAndTheEntryThatEndsTheMappingIsNamed)
{
    TempFile f("[ports]\nNoOfPorts = 04\n"
               "[Port1]\nInterfaceName = a\nPortNo = 010\n"
               "[Port2]\nInterfaceName = b\nPortNo = 08\n"
               "[Port3]\nInterfaceName = c\nPortNo = 0x3\n"
               "[Port4]\nInterfaceName = d\nPortNo = 4\n");
    DeviceList l;
    std::string problem = "stale";
    testing::internal::CaptureStderr();
    EXPECT_EQ(InitUSBMapping(l, f.path.c_str(), &problem), 2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(column(l, COL_FIXTURE_ID), (std::vector<std::string>{"8", "10"}));
    EXPECT_EQ(problem, "Port mapping " + f.path +
                           ": [Port3] PortNo = \"0x3\" is not a decimal number; the mapping ends "
                           "before it (2 of 4 entries used)");
    EXPECT_EQ(err, problem + "\n");

    // A whole mapping is no problem, nor is a missing file.
    TempFile good("[ports]\nNoOfPorts = 1\n[Port1]\nInterfaceName = a\nPortNo = 1\n");
    DeviceList g;
    EXPECT_EQ(InitUSBMapping(g, good.path.c_str(), &problem), 1);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(InitUSBMapping(g, "/nonexistent/ports.ini", &problem), 0);
    EXPECT_EQ(problem, "");

    // One name under two fixtures: both entries named.
    TempFile twice("[ports]\nNoOfPorts = 2\n[Port1]\nInterfaceName = a\nPortNo = 1\n"
                   "[Port2]\nInterfaceName = a\nPortNo = 2\n");
    DeviceList t;
    testing::internal::CaptureStderr();
    EXPECT_EQ(InitUSBMapping(t, twice.path.c_str(), &problem), 2);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(problem, "Port mapping " + twice.path +
                           ": [Port2] InterfaceName \"a\" (fixture 2) is also the InterfaceName of "
                           "[Port1] (fixture 1): a phone there is taken for the first fixture "
                           "that names it");
}

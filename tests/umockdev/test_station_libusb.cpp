// tests/umockdev: the whole station through the libusb backend. Virtual phones sit on the
// emulated bus under hub port paths, so discovery, the boot ROM download, the agent's
// re-enumeration on the same port (with a new device address) and every DKB command go through
// libusb and usbfs requests, as they would to phones on a real hub.
#include "station/station_harness.h"
#include "support/umockdev_bus.h"
#include "usb_libusb.h"

#include <algorithm>
#include <atomic>

using namespace harness;

namespace
{

const char *const kJob = "[misc]\nlogging = 1\nsync_pc_time = 1\n"
                         "[erase]\ntotal = 1\n"
                         "[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x140000\n"
                         "[gpio_bd]\ntotal = 1\n[gpio_bd1]\ngpio = 5\nvalue = 1\n";

const std::vector<std::string> kStagesAfterSuccess = {
    "Download DKB",   "Wait for DKB", "Init NAND flash", "Get NAND flash info",
    "Erase flash",    "boot",         "kernel",          "rootfs, main",
    "Write back BBM", "Done",         "Finished"};

vphone::PhoneOptions emulated_phone()
{
    vphone::PhoneOptions po;
    po.nand = small_nand();
    umockbus::Plugger p = umockbus::plugger();
    po.bus.plug = p.plug;
    po.bus.unplug = p.unplug;
    return po;
}

class StationLibusb : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        // A libusb context from before the testbed would never see the phones.
        ASSERT_EQ(usb_libusb::reinit(), 0);
        ASSERT_TRUE(job);
    }
    void TearDown() override { umockbus::reset(); }

    TempDir jobdir;
    std::vector<Image> images = default_images();
    Job job = make_job(jobdir, images, kJob);
};

TEST_F(StationLibusb, TwoPhonesOnTwoPortsAreProgrammedAtOnce)
{
    station_options o;
    o.ack_period_ms = 100;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    auto a = vphone::plug_phone("1-1.2", emulated_phone());
    auto b = vphone::plug_phone("1-1.3", emulated_phone());
    ASSERT_TRUE(a && b);
    const int rom_address = umockbus::device_address("1-1.2");
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }, 30000)) << run.log_text();

    for (const char *port : {"1-1.2", "1-1.3"}) {
        SCOPED_TRACE(port);
        const int row = run.row_of(port);
        ASSERT_GE(row, 0);
        EXPECT_EQ(run.images[row], kStagesAfterSuccess);
        EXPECT_EQ(run.cell(row, COL_FIXTURE_ID), "NA");
        EXPECT_EQ(run.cell(row, COL_STATUS), "Completed");
        EXPECT_EQ(ProcessCustomDraw(run.list(), row, COL_STATUS), STATION_COLOUR_PASSED);
    }
    EXPECT_EQ(log_lines(run.log_text()),
              (std::vector<std::string>{"NA,,T,T,Finished,0", "NA,,T,T,Finished,0"}));
    for (auto &phone : {a, b}) {
        EXPECT_TRUE(nand_holds(*phone->nand(), images));
        EXPECT_EQ(phone->agent_starts(), 1);
        ASSERT_TRUE(phone->agent());
        EXPECT_EQ(phone->agent()->gpio(5), 1u);
    }
    // The agent came back on the boot ROM's port as a new device.
    EXPECT_NE(umockbus::device_address("1-1.2"), rom_address);

    // Unplugged, each finished phone leaves its row.
    a->unplug();
    b->unplug();
    EXPECT_TRUE(run.pump_until([&] {
        return run.list().GetItemData(run.row_of("1-1.2")) == nullptr &&
               run.list().GetItemData(run.row_of("1-1.3")) == nullptr;
    }));
}

TEST_F(StationLibusb, PhoneUnpluggedDuringAnImageWriteFailsWithWriteFailed)
{
    StationRun run(job.get());
    ASSERT_EQ(run.start(), 0);

    // Pulled at the first progress report of the last image: its write is under way, and the
    // download thread is held in that report until the cable is out.
    std::atomic<bool> pulled{false};
    run.on_change = [&](const DeviceListChange &c) {
        if (!pulled && (c.columns & column_bit(COL_PROGRESS)) &&
            run.cell(c.row, COL_IMAGE) == "rootfs, main" &&
            !run.cell(c.row, COL_PROGRESS).empty()) {
            pulled = true;
            umockbus::unplug("1-1.4");
        }
    };
    auto phone = vphone::plug_phone("1-1.4", emulated_phone());
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }, 30000)) << run.log_text();
    ASSERT_TRUE(pulled);

    const int row = run.row_of("1-1.4");
    ASSERT_GE(row, 0);
    // The thread detaches right after a failure; the row keeps its result.
    ASSERT_TRUE(run.pump_until([&] {
        const tag_list_item *it = run.list().GetItemData(row);
        return it && it->detached;
    }));
    const tag_list_item *item = run.list().GetItemData(row);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(run.cell(row, COL_IMAGE), "rootfs, main");
    EXPECT_EQ(run.cell(row, COL_STATUS), "Write Failed");
    EXPECT_NE(item->status_code, 0);
    EXPECT_EQ(ProcessCustomDraw(run.list(), row, COL_STATUS), STATION_COLOUR_FAILED);
    EXPECT_EQ(
        log_lines(run.log_text()),
        std::vector<std::string>{"NA,,T,T,\"rootfs, main\"," + std::to_string(item->status_code)});
    // The images before it were written whole.
    EXPECT_TRUE(nand_holds(*phone->nand(), {images[0], images[1]}));
}

TEST_F(StationLibusb, MappedFixtureTakesItsAgentOnTheOtherHubPort)
{
    // A fixture whose phone comes back as the agent on a second hub port, as some cables do.
    std::string mapping = (jobdir.path / "ports.ini").string();
    std::ofstream(mapping) << "[ports]\nNoOfPorts = 2\n[Port1]\nInterfaceName = 1-1.2\n"
                              "PortNo = 7\n[Port2]\nInterfaceName = 1-1.3\nPortNo = 7\n";
    station_options o;
    o.port_mapping_path = mapping;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    vphone::PhoneOptions po = emulated_phone();
    po.agent_instance = "1-1.3";
    auto phone = vphone::plug_phone("1-1.2", po);
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }, 30000)) << run.log_text();

    const int row = run.row_of("1-1.2");
    ASSERT_GE(row, 0);
    EXPECT_EQ(run.cell(row, COL_FIXTURE_ID), "7");
    EXPECT_EQ(run.cell(row, COL_INTERFACE_2), "1-1.3");
    EXPECT_EQ(run.cell(row, COL_IMAGE), "Finished");
    EXPECT_EQ(run.cell(row, COL_STATUS), "Completed");
    EXPECT_EQ(log_lines(run.log_text()), std::vector<std::string>{"7,,T,T,Finished,0"});
    EXPECT_TRUE(nand_holds(*phone->nand(), images));
    EXPECT_EQ(umockbus::paths(), std::vector<std::string>{"1-1.3"});
}

TEST_F(StationLibusb, NextPhoneOnTheSamePortIsProgrammedToo)
{
    station_options o;
    o.ack_period_ms = 50;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    // Three phones one after the other in the same fixture: each new boot ROM appears on the
    // port under a new address while libusb still remembers its predecessors.
    for (int i = 1; i <= 3; ++i) {
        SCOPED_TRACE(i);
        auto phone = vphone::plug_phone("1-1.6", emulated_phone());
        ASSERT_TRUE(phone);
        ASSERT_TRUE(run.pump_until([&] { return run.logged() == i; }, 30000)) << run.log_text();
        EXPECT_TRUE(nand_holds(*phone->nand(), images));
        phone->unplug();
        const int row = run.row_of("1-1.6");
        ASSERT_TRUE(run.pump_until([&] { return run.list().GetItemData(row) == nullptr; }));
    }
    EXPECT_EQ(run.list().GetItemCount(), 1);
    EXPECT_EQ(log_lines(run.log_text()), std::vector<std::string>(3, "NA,,T,T,Finished,0"));
}

TEST_F(StationLibusb, AgentOfAnotherRunIsNeverTakenByAFixtureThatKnowsOneName)
{
    // Fixture 1 knows only its own port; the second phone sits on a port no fixture has. Both
    // agents come back on their own ports, fixture 1's late, while the other is already there.
    station_options o;
    o.port_mapping_path = (jobdir.path / "ports.ini").string();
    std::ofstream(o.port_mapping_path)
        << "[ports]\nNoOfPorts = 1\n[Port1]\nInterfaceName = 1-1.2\nPortNo = 1\n";
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);

    vphone::PhoneOptions late = emulated_phone();
    late.bootrom.reenumerate_delay_ms = 1500;
    auto fixed = vphone::plug_phone("1-1.2", late);
    ASSERT_TRUE(fixed);
    ASSERT_TRUE(run.pump_until([&] { return fixed->bootrom()->handed_over(); }, 20000));
    // The unmapped phone's thread is held while its agent appears.
    run.on_change = [&](const DeviceListChange &c) {
        if ((c.columns & column_bit(COL_IMAGE)) && run.cell(c.row, COL_FIXTURE_ID) == "NA" &&
            run.cell(c.row, COL_IMAGE) == "Wait for DKB")
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
    };
    auto loose = vphone::plug_phone("1-1.3", emulated_phone());
    ASSERT_TRUE(loose);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 2; }, 30000)) << run.log_text();

    auto lines = log_lines(run.log_text());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"1,,T,T,Finished,0", "NA,,T,T,Finished,0"}));
    for (auto &phone : {fixed, loose})
        EXPECT_TRUE(nand_holds(*phone->nand(), images)) << phone->instance();
}

} // namespace

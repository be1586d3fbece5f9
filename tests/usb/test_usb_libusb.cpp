// tests/usb: the libusb backend's pure parts, and what the transport does on a machine that
// has no USB bus at all.
#include "usb_libusb.h"

#include "usb/usb.h"
#include "usb/vbus.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <sys/stat.h>

namespace
{

using usb_libusb::Location;

TEST(UsbLibusb, InstancesParseAndFormatBack)
{
    Location l;
    ASSERT_EQ(usb_libusb::parse_instance("1-1.4", &l), 0);
    EXPECT_EQ(l.bus, 1);
    ASSERT_EQ(l.nports, 2);
    EXPECT_EQ(l.ports[0], 1);
    EXPECT_EQ(l.ports[1], 4);
    EXPECT_EQ(usb_libusb::format_instance(l.bus, l.ports, l.nports), "1-1.4");

    for (const char *ok : {"3-2", "255-1.2.3.4.5.6.7", "12-10.255"}) {
        ASSERT_EQ(usb_libusb::parse_instance(ok, &l), 0) << ok;
        EXPECT_EQ(usb_libusb::format_instance(l.bus, l.ports, l.nports), ok);
    }
}

TEST(UsbLibusb, MalformedInstancesAreRefused)
{
    const char *bad[] = {
        "",      "1",    "1-",   "-1",     "usb1",   "1-0",  "0-1",   "256-1",
        "1-256", "1-01", "1-1.", "1-1..2", "1-1.4 ", " 1-1", "1-1,4", "1-1.2.3.4.5.6.7.8",
        "sim-3", "1-1a"};
    for (const char *s : bad) {
        Location l;
        l.bus = 99;
        EXPECT_EQ(usb_libusb::parse_instance(s, &l), -1) << s;
        EXPECT_EQ(l.bus, 99) << s;
    }
    EXPECT_EQ(usb_libusb::parse_instance(std::string("1-1\0"
                                                     "2",
                                                     5),
                                         nullptr),
              -1);
}

TEST(UsbLibusb, MatchingNeedsBusPortsAndIds)
{
    Location want;
    ASSERT_EQ(usb_libusb::parse_instance("2-1.4", &want), 0);
    const uint8_t at[] = {1, 4}, other_port[] = {1, 3}, deeper[] = {1, 4, 1};
    EXPECT_TRUE(usb_libusb::matches(want, 0x1286, 0x8111, 2, at, 2, 0x1286, 0x8111));
    EXPECT_FALSE(usb_libusb::matches(want, 0x1286, 0x8111, 1, at, 2, 0x1286, 0x8111));
    EXPECT_FALSE(usb_libusb::matches(want, 0x1286, 0x8111, 2, other_port, 2, 0x1286, 0x8111));
    EXPECT_FALSE(usb_libusb::matches(want, 0x1286, 0x8111, 2, deeper, 3, 0x1286, 0x8111));
    EXPECT_FALSE(usb_libusb::matches(want, 0x1286, 0x8111, 2, at, 1, 0x1286, 0x8111));
    // The boot ROM and the agent on the same port are different devices.
    EXPECT_FALSE(usb_libusb::matches(want, 0x1286, 0x8111, 2, at, 2, 0x1286, 0x8104));
    EXPECT_FALSE(usb_libusb::matches(want, 0x1286, 0x8111, 2, at, 2, 0x8086, 0x8111));
}

TEST(UsbLibusb, ResultsMapToTheTransportCodes)
{
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_SUCCESS, 512), 512);
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_SUCCESS, 0), 0); // the caller fails it
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_ERROR_NO_DEVICE, 0), USB_ERR_GONE);
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_ERROR_TIMEOUT, 0), USB_ERR_READ);
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_ERROR_TIMEOUT, 100), USB_ERR_READ);
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_ERROR_PIPE, 0), USB_ERR_READ);
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_ERROR_OVERFLOW, 64), USB_ERR_READ);
    EXPECT_EQ(usb_libusb::read_result(LIBUSB_ERROR_IO, 0), USB_ERR_READ);

    EXPECT_EQ(usb_libusb::write_result(LIBUSB_SUCCESS, 65536), 65536);
    EXPECT_EQ(usb_libusb::write_result(LIBUSB_ERROR_NO_DEVICE, 0), USB_ERR_WRITE);
    EXPECT_EQ(usb_libusb::write_result(LIBUSB_ERROR_TIMEOUT, 1024), USB_ERR_WRITE);

    // libusb reads 0 as "no time-out at all".
    EXPECT_EQ(usb_libusb::request_timeout(0), 1u);
    EXPECT_EQ(usb_libusb::request_timeout(-5), 1u);
    EXPECT_EQ(usb_libusb::request_timeout(3000), 3000u);
}

// This machine (and many containers) has no USB bus: the station must still see its virtual
// phones, and real paths must fail cleanly.
TEST(UsbLibusb, NoUsbBusLeavesTheVirtualDevices)
{
    struct stat st;
    if (stat("/sys/bus/usb", &st) == 0)
        GTEST_SKIP() << "this machine has a USB bus";
    vbus::reset();
    struct Quiet : vbus::Device {
        void connected(vbus::Link *) override {}
        bool bulk_out(const uint8_t *, size_t) override { return true; }
    };
    ASSERT_EQ(vbus::plug("sim-7", 0x8086, 0xd001, std::make_shared<Quiet>()), 0);
    for (int pass = 0; pass < 2; ++pass) { // the second pass reuses the failed context
        std::vector<std::string> paths{"stale"};
        EXPECT_EQ(usb_enumerate(&paths), 0);
        EXPECT_EQ(paths, std::vector<std::string>{usb_make_device_path(0x8086, 0xd001, "sim-7")});
    }
    EXPECT_EQ(usb_open(usb_make_device_path(0x1286, 0x8104, "1-1.4").c_str()), nullptr);
    EXPECT_EQ(usb_libusb_reinit(), 0);
    std::vector<std::string> paths;
    EXPECT_EQ(usb_enumerate(&paths), 0);
    EXPECT_EQ(paths.size(), 1u);
    EXPECT_EQ(usb_enumerate(nullptr), -1);
    vbus::reset();
}

} // namespace

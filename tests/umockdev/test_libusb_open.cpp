// tests/umockdev: usb_open on the libusb backend against devices that are not ready to use as
// they come: one still unconfigured, one whose configuration request fails, one whose interface
// cannot be claimed. Whatever fails, nothing is left open on the device.
#include "support/umockdev_bus.h"
#include "usb/usb.h"
#include "usb_libusb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

using umockbus::Echo;

// Waits up to 3 s for cond.
template <typename Cond> bool eventually(Cond cond)
{
    auto t0 = Clock::now();
    while (!cond()) {
        if (Clock::now() - t0 > std::chrono::seconds(3))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Plugs an echo device with these quirks and waits until the transport lists it; its path.
std::string plug(const std::string &port, umockbus::Quirks quirks)
{
    std::string path = usb_make_device_path(0x1286, 0x8111, port);
    EXPECT_EQ(umockbus::plug(port, 0x1286, 0x8111, std::make_shared<Echo>(), quirks), 0);
    EXPECT_TRUE(eventually([&] {
        std::vector<std::string> paths;
        return usb_enumerate(&paths) == 0 &&
               std::find(paths.begin(), paths.end(), path) != paths.end();
    }));
    return path;
}

umockbus::HostView host(const std::string &port)
{
    umockbus::HostView v;
    EXPECT_EQ(umockbus::host_view(port, &v), 0);
    return v;
}

class LibusbOpen : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(usb_libusb::reinit(), 0); }
    void TearDown() override { umockbus::reset(); }
};

TEST_F(LibusbOpen, ConfigurationIsSelectedOnlyWhenNeeded)
{
    std::string ready = plug("1-1.2", {});
    umockbus::Quirks q;
    q.unconfigured = true;
    std::string fresh = plug("1-1.3", q);

    for (const std::string &path : {ready, fresh}) {
        usb_dev_handle *h = usb_open(path.c_str());
        ASSERT_NE(h, nullptr) << path;
        std::string port = path == ready ? "1-1.2" : "1-1.3";
        EXPECT_TRUE(eventually([&] { return host(port).open_files == 1; }));
        char buf[6] = {1, 2, 3, 4, 5, 6};
        EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, buf, 6, 1000), 6);
        EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 6, 1000), 6);
        usb_close(h);
    }
    EXPECT_EQ(host("1-1.2").configurations_set, 0);
    EXPECT_EQ(host("1-1.3").configurations_set, 1);
    EXPECT_TRUE(
        eventually([] { return host("1-1.2").open_files == 0 && host("1-1.3").open_files == 0; }));
}

TEST_F(LibusbOpen, RefusedConfigurationOrClaimLeavesNothingOpen)
{
    umockbus::Quirks busy_config;
    busy_config.unconfigured = true;
    busy_config.refuse_configuration = true;
    umockbus::Quirks busy_claim;
    busy_claim.refuse_claim = true;
    std::string a = plug("1-1.4", busy_config);
    std::string b = plug("1-1.5", busy_claim);

    EXPECT_EQ(usb_open(a.c_str()), nullptr);
    EXPECT_EQ(usb_open(b.c_str()), nullptr);
    // The host closed what it had opened, and the backend holds no handle.
    EXPECT_TRUE(eventually([] {
        return host("1-1.4").open_files == 0 && host("1-1.5").open_files == 0;
    })) << host("1-1.4").open_files
        << " " << host("1-1.5").open_files;
    EXPECT_EQ(usb_libusb::reinit(), 0);
}

} // namespace

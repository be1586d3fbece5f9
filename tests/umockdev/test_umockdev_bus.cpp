// tests/umockdev: the emulated bus itself, seen through plain libusb as any libusb program sees a
// device: enumeration with port paths and descriptors, bulk transfers both ways with short
// packets, time-outs and cancellation, unplug and re-enumeration, and a wait that sleeps.
#include "support/umockdev_bus.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Sends every OUT request back as one IN transfer and records the request sizes.
class Echo : public vbus::Device
{
  public:
    void connected(vbus::Link *link) override { link_ = link; }
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        {
            std::lock_guard lk(m_);
            sizes_.push_back(len);
        }
        if (unplug_on_out_) {
            link_->unplug();
            return false;
        }
        // Decided on arrival, as the test set it for this request.
        const bool refuse = refuse_;
        std::this_thread::sleep_for(std::chrono::milliseconds(work_ms_.load()));
        if (refuse)
            return false;
        if (echo_)
            link_->send(data, len);
        return true;
    }
    std::vector<size_t> sizes()
    {
        std::lock_guard lk(m_);
        return sizes_;
    }
    vbus::Link *link_ = nullptr;
    std::atomic<bool> echo_{true};
    std::atomic<bool> unplug_on_out_{false};
    std::atomic<int> work_ms_{0};     // time each request takes the device
    std::atomic<bool> refuse_{false}; // bulk_out answers false (a stall)

  private:
    std::mutex m_;
    std::vector<size_t> sizes_;
};

class UmockdevBus : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!umockbus::preloaded())
            GTEST_SKIP() << umockbus::unavailable_reason();
        ASSERT_EQ(umockbus::start(), 0);
    }
    void TearDown() override
    {
        for (auto *h : handles_)
            libusb_close(h);
        if (ctx_)
            libusb_exit(ctx_);
        umockbus::reset();
    }
    // libusb starts after the devices of the test are plugged, as it must.
    void init_libusb() { ASSERT_EQ(libusb_init(&ctx_), 0); }

    // The device with these ids as libusb lists it, waiting up to 2 s for hotplug to catch up.
    libusb_device *find(uint16_t vid, uint16_t pid, bool want = true)
    {
        auto t0 = Clock::now();
        for (;;) {
            libusb_device **list;
            ssize_t n = libusb_get_device_list(ctx_, &list);
            libusb_device *found = nullptr;
            for (ssize_t i = 0; i < n; ++i) {
                libusb_device_descriptor d;
                if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vid &&
                    d.idProduct == pid)
                    found = libusb_ref_device(list[i]);
            }
            libusb_free_device_list(list, 1);
            if ((found != nullptr) == want || ms_since(t0) > 2000)
                return found;
            if (found)
                libusb_unref_device(found);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    libusb_device_handle *open(uint16_t vid, uint16_t pid)
    {
        libusb_device *d = find(vid, pid);
        if (!d)
            return nullptr;
        libusb_device_handle *h = nullptr;
        int r = libusb_open(d, &h);
        libusb_unref_device(d);
        if (r != 0 || libusb_claim_interface(h, 0) != 0) {
            if (h)
                libusb_close(h);
            return nullptr;
        }
        handles_.push_back(h);
        return h;
    }

    libusb_context *ctx_ = nullptr;
    std::vector<libusb_device_handle *> handles_;
};

TEST_F(UmockdevBus, DevicesAppearWithPortPathsAndDescriptors)
{
    ASSERT_EQ(umockbus::plug("1-1.2", 0x1286, 0x8104, std::make_shared<Echo>()), 0);
    ASSERT_EQ(umockbus::plug("1-1.3", 0x8086, 0xD001, std::make_shared<Echo>()), 0);
    init_libusb();

    libusb_device *d = find(0x1286, 0x8104);
    ASSERT_NE(d, nullptr);
    uint8_t ports[8];
    ASSERT_EQ(libusb_get_port_numbers(d, ports, 8), 2);
    EXPECT_EQ(libusb_get_bus_number(d), 1);
    EXPECT_EQ(ports[0], 1);
    EXPECT_EQ(ports[1], 2);
    EXPECT_EQ(libusb_get_device_address(d), umockbus::device_address("1-1.2"));

    libusb_config_descriptor *cfg = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(d, 0, &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 1);
    const libusb_interface_descriptor &alt = cfg->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceNumber, 0);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x02);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[1].wMaxPacketSize, 512);
    libusb_free_config_descriptor(cfg);
    libusb_unref_device(d);

    libusb_device *other = find(0x8086, 0xD001);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(libusb_get_port_numbers(other, ports, 8), 2);
    EXPECT_EQ(ports[1], 3);
    libusb_unref_device(other);

    EXPECT_EQ(umockbus::paths(), (std::vector<std::string>{"1-1.2", "1-1.3"}));
    EXPECT_EQ(umockbus::plug("1-1.2", 1, 2, std::make_shared<Echo>()), -1); // port taken
    EXPECT_EQ(umockbus::plug("1-1", 1, 2, std::make_shared<Echo>()), -1);   // a hub is there
    EXPECT_EQ(umockbus::plug("1-1.x", 1, 2, std::make_shared<Echo>()), -1);
    EXPECT_EQ(umockbus::plug("1-", 1, 2, std::make_shared<Echo>()), -1);
    EXPECT_EQ(umockbus::plug("1-1.2.3.4.5.6.7.8", 1, 2, std::make_shared<Echo>()), -1);
}

TEST_F(UmockdevBus, BulkTransfersKeepTransferBoundaries)
{
    auto dev = std::make_shared<Echo>();
    ASSERT_EQ(umockbus::plug("1-1.2", 0x1286, 0x8111, dev), 0);
    init_libusb();
    libusb_device_handle *h = open(0x1286, 0x8111);
    ASSERT_NE(h, nullptr);

    std::vector<uint8_t> out(65536), in(65536);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i * 7 + 1);
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, out.data(), 65536, &n, 1000), 0);
    EXPECT_EQ(n, 65536);
    EXPECT_EQ(dev->sizes(), std::vector<size_t>{65536}); // one request, not split
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, in.data(), 65536, &n, 1000), 0);
    EXPECT_EQ(n, 65536);
    EXPECT_EQ(in, out);

    // A 6-byte transfer ends a 64 KiB request short; a 2-byte request leaves the rest.
    dev->echo_ = false;
    const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    dev->link_->send(six, 6);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, in.data(), 2, &n, 1000), 0);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, in.data(), 65536, &n, 1000), 0);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(in[0], 3);
    EXPECT_EQ(in[3], 6);
}

TEST_F(UmockdevBus, TimedOutReadLosesNoLaterDataAndSleepsWhileWaiting)
{
    auto dev = std::make_shared<Echo>();
    ASSERT_EQ(umockbus::plug("1-1.4", 0x1286, 0x8111, dev), 0);
    init_libusb();
    libusb_device_handle *h = open(0x1286, 0x8111);
    ASSERT_NE(h, nullptr);

    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    uint8_t buf[16];
    int n = -1;
    auto t0 = Clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, 4, &n, 300), LIBUSB_ERROR_TIMEOUT);
    long waited = ms_since(t0);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(n, 0);
    long cpu_ms = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000 +
                  (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000 +
                  (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000 +
                  (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1000;
    EXPECT_LT(cpu_ms, 100) << "the wait spun instead of sleeping";

    // The cancelled request took nothing: data sent afterwards reaches the next read intact.
    const uint8_t four[4] = {9, 8, 7, 6};
    dev->link_->send(four, 4);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, buf, 4, &n, 1000), 0);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(buf[0], 9);
}

TEST_F(UmockdevBus, UnplugFailsPendingTransfersAndReplugGetsANewAddress)
{
    auto dev = std::make_shared<Echo>();
    ASSERT_EQ(umockbus::plug("1-1.2", 0x1286, 0x8104, dev), 0);
    init_libusb();
    libusb_device_handle *h = open(0x1286, 0x8104);
    ASSERT_NE(h, nullptr);
    int first = umockbus::device_address("1-1.2");

    umockbus::after(100, [] { umockbus::unplug("1-1.2"); });
    uint8_t buf[8];
    int n = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, 8, &n, 5000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(ms_since(t0), 2000);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(find(0x1286, 0x8104, false), nullptr) << "still listed after the unplug";

    // The boot ROM's successor comes back on the same port with a new address.
    ASSERT_EQ(umockbus::plug("1-1.2", 0x1286, 0x8111, std::make_shared<Echo>()), 0);
    libusb_device *d = find(0x1286, 0x8111);
    ASSERT_NE(d, nullptr);
    uint8_t ports[8];
    ASSERT_EQ(libusb_get_port_numbers(d, ports, 8), 2);
    EXPECT_EQ(ports[1], 2);
    EXPECT_NE(libusb_get_device_address(d), first);
    libusb_unref_device(d);
    libusb_device_handle *h2 = open(0x1286, 0x8111);
    ASSERT_NE(h2, nullptr);
    ASSERT_EQ(libusb_bulk_transfer(h2, 0x02, buf, 8, &n, 1000), 0);
    ASSERT_EQ(libusb_bulk_transfer(h2, 0x81, buf, 8, &n, 1000), 0);
    EXPECT_EQ(n, 8);
}

TEST_F(UmockdevBus, DeviceLeavingInsideBulkOutFailsThatWrite)
{
    auto dev = std::make_shared<Echo>();
    dev->unplug_on_out_ = true;
    ASSERT_EQ(umockbus::plug("2-3", 0x1286, 0x8111, dev), 0);
    init_libusb();
    libusb_device_handle *h = open(0x1286, 0x8111);
    ASSERT_NE(h, nullptr);
    uint8_t buf[8] = {};
    int n = 0;
    int r = libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000);
    EXPECT_TRUE(r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_PIPE) << libusb_error_name(r);
    EXPECT_TRUE(umockbus::paths().empty());
}

TEST_F(UmockdevBus, SlowDevicesAcknowledgeAndStallAsDevicesDo)
{
    auto dev = std::make_shared<Echo>();
    ASSERT_EQ(umockbus::plug("1-1.5", 0x1286, 0x8111, dev), 0);
    init_libusb();
    libusb_device_handle *h = open(0x1286, 0x8111);
    ASSERT_NE(h, nullptr);
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    int n = 0;

    // Refused at once: that very write stalls, and the next one goes through.
    dev->echo_ = false;
    dev->refuse_ = true;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), LIBUSB_ERROR_PIPE);
    dev->refuse_ = false;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), 0);

    // A command the device works on longer than the write's time-out: the write is taken, the
    // answer comes within the read's.
    dev->echo_ = true;
    dev->work_ms_ = 800;
    auto t0 = Clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 400), 0);
    EXPECT_LT(ms_since(t0), 700);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, 8, &n, 2000), 0);
    EXPECT_EQ(n, 8);
    EXPECT_GE(ms_since(t0), 790);

    // Refused only after the write was taken: the endpoint is halted until the host clears it.
    dev->echo_ = false;
    dev->work_ms_ = 150;
    dev->refuse_ = true;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), 0);
    dev->work_ms_ = 0;
    dev->refuse_ = false;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(h, 0x02), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 1000), 0);
}

TEST_F(UmockdevBus, DeepPortPathsAndReusedAddresses)
{
    ASSERT_EQ(umockbus::plug("3-2.1.4", 0x8086, 0xD001, std::make_shared<Echo>()), 0);
    init_libusb();
    libusb_device *d = find(0x8086, 0xD001);
    ASSERT_NE(d, nullptr);
    uint8_t ports[8];
    ASSERT_EQ(libusb_get_port_numbers(d, ports, 8), 3);
    EXPECT_EQ(libusb_get_bus_number(d), 3);
    EXPECT_EQ(ports[0], 2);
    EXPECT_EQ(ports[1], 1);
    EXPECT_EQ(ports[2], 4);
    libusb_unref_device(d);

    // More plugs than a bus has addresses: they wrap, and the device on a reused address is
    // reached, not its long-gone predecessor.
    for (int i = 0; i < 130; ++i) {
        ASSERT_EQ(umockbus::plug("1-1.2", 0x1286, 0x8104, std::make_shared<Echo>()), 0);
        int address = umockbus::device_address("1-1.2");
        EXPECT_TRUE(address >= 1 && address <= 127) << address;
        ASSERT_EQ(umockbus::unplug("1-1.2"), 0);
    }
    ASSERT_EQ(find(0x1286, 0x8104, false), nullptr);
    auto last = std::make_shared<Echo>();
    ASSERT_EQ(umockbus::plug("1-1.2", 0x1286, 0x8111, last), 0);
    libusb_device_handle *h = open(0x1286, 0x8111);
    ASSERT_NE(h, nullptr);
    uint8_t buf[4] = {4, 3, 2, 1};
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, buf, 4, &n, 1000), 0);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, buf, 4, &n, 1000), 0);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(last->sizes(), std::vector<size_t>{4});
    EXPECT_EQ(umockbus::unplug("1-1.9"), -1);
}

} // namespace

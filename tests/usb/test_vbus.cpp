// tests/usb: what the virtual bus adds to the transport contract: plugging rules, devices that
// call back into the bus, the timer, reset and link timing.
#include "usb/usb.h"
#include "usb/vbus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A device that answers each OUT request with a fixed reply, or runs a hook instead.
class Model : public vbus::Device
{
  public:
    void connected(vbus::Link *l) override
    {
        link = l;
        if (!hello.empty())
            link->send(hello.data(), hello.size());
    }
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        if (hook)
            return hook(data, len);
        link->send(data, len);
        return true;
    }
    vbus::Link *link = nullptr;
    std::vector<uint8_t> hello;
    std::function<bool(const uint8_t *, size_t)> hook;
};

class Vbus : public ::testing::Test
{
  protected:
    void SetUp() override { vbus::reset(); }
    void TearDown() override { vbus::reset(); }
};

TEST_F(Vbus, PlugRules)
{
    auto m = std::make_shared<Model>();
    EXPECT_EQ(vbus::plug("1-1.4", 0x1286, 0x8104, m), -1); // a real device's name
    EXPECT_EQ(vbus::plug("", 0x1286, 0x8104, m), -1);
    EXPECT_EQ(vbus::plug("sim#1", 0x1286, 0x8104, m), -1); // would break the path
    EXPECT_EQ(vbus::plug("sim-1", 0x1286, 0x8104, nullptr), -1);
    EXPECT_EQ(vbus::plug("sim-1", 0x1286, 0x8104, m), 0);
    EXPECT_EQ(vbus::plug("sim-1", 0x1286, 0x8111, std::make_shared<Model>()), -1); // taken
    EXPECT_EQ(vbus::unplug("sim-2"), -1);
    EXPECT_EQ(vbus::paths(),
              std::vector<std::string>{usb_make_device_path(0x1286, 0x8104, "sim-1")});
    EXPECT_EQ(vbus::unplug("sim-1"), 0);
    EXPECT_EQ(vbus::unplug("sim-1"), -1);
    EXPECT_TRUE(vbus::paths().empty());
    EXPECT_TRUE(vbus::is_virtual_instance("simagent-3"));
    EXPECT_FALSE(vbus::is_virtual_instance("1-1"));
    EXPECT_FALSE(vbus::is_virtual_instance(nullptr));
}

TEST_F(Vbus, DataSentFromConnectedIsReadable)
{
    auto m = std::make_shared<Model>();
    m->hello = {'h', 'i'};
    ASSERT_EQ(vbus::plug("sim-1", 0x8086, 0xd001, m), 0);
    usb_dev_handle *h = usb_open(usb_make_device_path(0x8086, 0xd001, "sim-1").c_str());
    ASSERT_NE(h, nullptr);
    char buf[2];
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 2, 100), 2);
    EXPECT_EQ(buf[1], 'i');
    usb_close(h);
}

// A boot ROM that, on its command, leaves the bus and comes back as the agent on another
// name: everything from inside bulk_out, with no deadlock.
TEST_F(Vbus, DeviceReenumeratesFromInsideBulkOut)
{
    auto rom = std::make_shared<Model>();
    rom->hook = [rom](const uint8_t *, size_t) {
        auto agent = std::make_shared<Model>();
        EXPECT_EQ(vbus::plug("simagent-1", 0x1286, 0x8111, agent), 0);
        rom->link->unplug();
        rom->link->send(reinterpret_cast<const uint8_t *>("x"), 1); // gone: ignored
        return true;
    };
    ASSERT_EQ(vbus::plug("sim-1", 0x1286, 0x8104, rom), 0);
    usb_dev_handle *h = usb_open(usb_make_device_path(0x1286, 0x8104, "sim-1").c_str());
    ASSERT_NE(h, nullptr);
    char cmd[4] = {1, 2, 3, 4};
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, cmd, 4, 100), 4);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, cmd, 1, 100), USB_ERR_GONE);
    usb_close(h);
    rom->hook = nullptr; // drops the self-reference

    EXPECT_EQ(vbus::paths(),
              std::vector<std::string>{usb_make_device_path(0x1286, 0x8111, "simagent-1")});
    usb_dev_handle *a = usb_open(usb_make_device_path(0x1286, 0x8111, "simagent-1").c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(usb_bulk_write(a, USB_EP_BULK_OUT, cmd, 4, 100), 4);
    EXPECT_EQ(usb_bulk_read(a, USB_EP_BULK_IN, cmd, 4, 100), 4);
    usb_close(a);
}

TEST_F(Vbus, RefusedRequestFailsTheWrite)
{
    auto m = std::make_shared<Model>();
    int calls = 0;
    m->hook = [&](const uint8_t *, size_t) { return ++calls < 2; };
    ASSERT_EQ(vbus::plug("sim-1", 0x1286, 0x8111, m), 0);
    usb_dev_handle *h = usb_open(usb_make_device_path(0x1286, 0x8111, "sim-1").c_str());
    std::vector<char> big(100000);
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, big.data(), 100000, 100), USB_ERR_WRITE);
    EXPECT_EQ(calls, 2);
    usb_close(h);
}

TEST_F(Vbus, TimersRunInOrderAfterTheirDelay)
{
    std::mutex m;
    std::vector<int> order;
    std::promise<void> done;
    auto t0 = Clock::now();
    long first_ms = -1;
    vbus::after(60, [&] {
        std::lock_guard lk(m);
        order.push_back(2);
        done.set_value();
    });
    vbus::after(20, [&] {
        std::lock_guard lk(m);
        first_ms = ms_since(t0);
        order.push_back(1);
        // A callback may schedule another one.
        vbus::after(0, [&] {
            std::lock_guard lk2(m);
            order.push_back(3);
        });
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(20ms);
    std::lock_guard lk(m);
    EXPECT_GE(first_ms, 20);
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2}));
}

TEST_F(Vbus, ResetCancelsPendingAndWaitsForRunningTimers)
{
    std::atomic<bool> cancelled_ran{false}, running_done{false};
    std::promise<void> started;
    vbus::after(0, [&] {
        started.set_value();
        std::this_thread::sleep_for(100ms);
        running_done = true;
    });
    vbus::after(300, [&] { cancelled_ran = true; });
    ASSERT_EQ(started.get_future().wait_for(5s), std::future_status::ready);
    vbus::reset();
    EXPECT_TRUE(running_done);
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(cancelled_ran);

    // The timer still works after a reset, and a callback may reset the bus itself.
    ASSERT_EQ(vbus::plug("sim-1", 0x1286, 0x8111, std::make_shared<Model>()), 0);
    std::promise<void> reset_done;
    vbus::after(0, [&] {
        vbus::reset();
        reset_done.set_value();
    });
    ASSERT_EQ(reset_done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(vbus::paths().empty());
}

TEST_F(Vbus, LatencyAndBandwidthSlowTheLink)
{
    vbus::Timing t;
    t.latency_us = 80000;
    auto m = std::make_shared<Model>();
    ASSERT_EQ(vbus::plug("sim-1", 0x1286, 0x8111, m, t), 0);
    usb_dev_handle *h = usb_open(usb_make_device_path(0x1286, 0x8111, "sim-1").c_str());
    char buf[4] = {1, 2, 3, 4};
    auto t0 = Clock::now();
    ASSERT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, buf, 4, 100), 4);
    // Not readable before the latency, even with a time-out shorter than it.
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 20), USB_ERR_READ);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 1000), 4);
    EXPECT_GE(ms_since(t0), 80);
    usb_close(h);
    vbus::unplug("sim-1");

    t = {};
    t.bytes_per_sec = 1000000;
    ASSERT_EQ(vbus::plug("sim-2", 0x1286, 0x8111, std::make_shared<Model>(), t), 0);
    h = usb_open(usb_make_device_path(0x1286, 0x8111, "sim-2").c_str());
    std::vector<char> data(100000);
    t0 = Clock::now();
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, data.data(), 100000, 1000), 100000);
    EXPECT_GE(ms_since(t0), 100);
    // A request that cannot cross the wire within its time-out fails.
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, data.data(), 65536, 10), USB_ERR_WRITE);
    usb_close(h);
}

// A device that outlives its plug (held by a timer or by its owner) may still call its link.
TEST_F(Vbus, LinkOfAnUnpluggedDeviceIsHarmless)
{
    auto m = std::make_shared<Model>();
    ASSERT_EQ(vbus::plug("sim-1", 0x1286, 0x8111, m), 0);
    ASSERT_EQ(vbus::plug("sim-2", 0x1286, 0x8111, std::make_shared<Model>()), 0);
    vbus::unplug("sim-1");
    vbus::unplug("sim-2"); // prunes what nobody holds any more
    ASSERT_EQ(vbus::plug("sim-1", 0x1286, 0x8111, std::make_shared<Model>()), 0);
    uint8_t b = 1;
    m->link->send(&b, 1);
    m->link->unplug(); // must not take the new sim-1 with it
    EXPECT_EQ(vbus::paths().size(), 1u);
}

} // namespace

// tests/usb: the transport contract of usb.h, run on every bench (today the virtual bus).
#include "bench.h"

#include "usb/usb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    return v;
}

char *chars(std::vector<uint8_t> &v)
{
    return reinterpret_cast<char *>(v.data());
}

class Contract : public ::testing::TestWithParam<std::unique_ptr<Bench> (*)()>
{
  protected:
    void SetUp() override
    {
        bench = GetParam()();
        bench->clear();
        dev = bench->plug(0x1286, 0x8111, 1);
        h = usb_open(dev->path().c_str());
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override
    {
        if (h)
            usb_close(h);
        bench->clear();
    }
    std::unique_ptr<Bench> bench;
    std::unique_ptr<TestDevice> dev;
    usb_dev_handle *h = nullptr;
};

TEST_P(Contract, SizeZeroMovesNothing)
{
    char byte = 0;
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, &byte, 0, 100), 0);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, &byte, 0, 100), 0);
    EXPECT_TRUE(dev->out_sizes().empty());
    // Pending IN data stays for the next real read.
    dev->send({9});
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, &byte, 0, 100), 0);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, &byte, 1, 100), 1);
    EXPECT_EQ(byte, 9);
}

TEST_P(Contract, LargeWriteIsCutIntoRequests)
{
    auto data = pattern(200000);
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, chars(data), 200000, 1000), 200000);
    EXPECT_EQ(dev->out_sizes(), (std::vector<size_t>{65536, 65536, 65536, 3392}));
    EXPECT_EQ(dev->out_bytes(), data);
}

TEST_P(Contract, LargeReadSpansRequestsAndKeepsTheRest)
{
    auto data = pattern(150000, 3);
    dev->send(data);
    dev->send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    std::vector<uint8_t> in(150000);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, chars(in), 150000, 1000), 150000);
    EXPECT_EQ(in, data);
    // A read shorter than the transfer leaves the rest for the next one.
    std::vector<uint8_t> a(4), b(6);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, chars(a), 4, 100), 4);
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, chars(b), 6, 100), 6);
    EXPECT_EQ(a, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(b, (std::vector<uint8_t>{5, 6, 7, 8, 9, 10}));
}

TEST_P(Contract, ReadTimesOutAfterTheTimeout)
{
    char buf[4];
    auto t0 = Clock::now();
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 150), USB_ERR_READ);
    long ms = ms_since(t0);
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 1500);
}

TEST_P(Contract, ShortPacketWaitsForTheRest)
{
    std::vector<uint8_t> buf(8);
    // Six bytes then nothing: one further request, which times out.
    dev->send({1, 2, 3, 4, 5, 6});
    auto t0 = Clock::now();
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, chars(buf), 8, 150), USB_ERR_READ);
    EXPECT_GE(ms_since(t0), 150);

    // Six bytes, then two more a little later: the read completes whole.
    dev->send({1, 2, 3, 4, 5, 6});
    dev->send_after(50, {7, 8});
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, chars(buf), 8, 1000), 8);
    EXPECT_EQ(buf, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_P(Contract, ZeroLengthPacketFailsTheRead)
{
    char buf[4];
    dev->send({});
    dev->send({1, 2, 3, 4});
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 100), USB_ERR_READ);
}

TEST_P(Contract, UnplugFailsPendingAndLaterTransfers)
{
    char buf[4] = {};
    dev->unplug_after(50);
    auto t0 = Clock::now();
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 5000), USB_ERR_GONE);
    EXPECT_LT(ms_since(t0), 2500); // at once, not at the time-out
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 100), USB_ERR_GONE);
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, buf, 4, 100), USB_ERR_WRITE);
    // The no-op family does not care.
    EXPECT_EQ(usb_close(h), 0);
    h = nullptr;
}

TEST_P(Contract, AbortFromAnotherThreadEndsThePendingReadAndEveryLaterTransfer)
{
    char buf[4] = {};
    std::thread quit([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        usb_abort(h);
    });
    auto t0 = Clock::now();
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 5000), USB_ERR_READ);
    EXPECT_LT(ms_since(t0), 2500); // at once, not at the time-out
    quit.join();
    dev->send({1, 2, 3, 4}); // data that arrives afterwards is not taken either
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 100), USB_ERR_READ);
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, buf, 4, 100), USB_ERR_WRITE);
    EXPECT_TRUE(dev->out_sizes().empty());
}

TEST_P(Contract, UnplugDuringAWriteFailsIt)
{
    auto data = pattern(200000);
    dev->unplug_on_next_out();
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, chars(data), 200000, 1000), USB_ERR_WRITE);
    EXPECT_EQ(dev->out_sizes().size(), 1u); // nothing after the device left
}

TEST_P(Contract, OldHandleNeverReachesTheReplugged)
{
    dev->send({1, 2, 3, 4});
    std::string path = dev->replug();
    dev->send({5, 6, 7, 8});
    char buf[4];
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_IN, buf, 4, 100), USB_ERR_GONE);
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, buf, 4, 100), USB_ERR_WRITE);
    EXPECT_TRUE(dev->out_sizes().empty());

    usb_dev_handle *fresh = usb_open(path.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(usb_bulk_read(fresh, USB_EP_BULK_IN, buf, 4, 100), 4);
    EXPECT_EQ(buf[0], 5); // the old generation's data went with it
    usb_close(fresh);
}

TEST_P(Contract, EndpointArgumentIsIgnored)
{
    char out[3] = {1, 2, 3};
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_IN, out, 3, 100), 3);
    EXPECT_EQ(dev->out_sizes(), (std::vector<size_t>{3}));
    dev->send({4, 5});
    char in[2];
    EXPECT_EQ(usb_bulk_read(h, USB_EP_BULK_OUT, in, 2, 100), 2);
    EXPECT_EQ(in[1], 5);
}

TEST_P(Contract, NoOpFamilyHasFixedResults)
{
    char b[8] = {};
    EXPECT_EQ(usb_set_configuration(h, 1), 0);
    EXPECT_EQ(usb_claim_interface(h, 0), 0);
    EXPECT_EQ(usb_release_interface(h, 0), 0);
    EXPECT_EQ(usb_set_altinterface(h, 0), -1);
    EXPECT_EQ(usb_resetep(h, 0x81), -1);
    EXPECT_EQ(usb_clear_halt(h, 0x81), -1);
    EXPECT_EQ(usb_reset(h), -1);
    EXPECT_EQ(usb_interrupt_write(h, 0x02, b, 8, 100), -1);
    EXPECT_EQ(usb_interrupt_read(h, 0x81, b, 8, 100), -1);
    EXPECT_EQ(usb_control_msg(h, 0x40, 0, 0, 0, b, 8, 100), -1);
    // None of them moved data or hurt the handle.
    EXPECT_TRUE(dev->out_sizes().empty());
    EXPECT_EQ(usb_bulk_write(h, USB_EP_BULK_OUT, b, 8, 100), 8);
}

TEST_P(Contract, OpenRefusesWhatIsNotThere)
{
    std::string path = dev->path();
    std::string wrong_pid = path;
    wrong_pid.replace(path.find("pid_") + 4, 4, "8104");
    EXPECT_EQ(usb_open(wrong_pid.c_str()), nullptr);
    EXPECT_EQ(usb_open(path.substr(0, path.rfind('#')).c_str()), nullptr);
    EXPECT_EQ(usb_open(nullptr), nullptr);
    EXPECT_EQ(usb_open(""), nullptr);
    auto other = bench->plug(0x1286, 0x8104, 2);
    std::string other_path = other->path();
    other->unplug();
    EXPECT_EQ(usb_open(other_path.c_str()), nullptr);
}

TEST_P(Contract, EnumerationFollowsPlugAndUnplug)
{
    auto listed = [](const std::string &p) {
        std::vector<std::string> paths;
        EXPECT_EQ(usb_enumerate(&paths), 0);
        return std::count(paths.begin(), paths.end(), p);
    };
    EXPECT_EQ(listed(dev->path()), 1);
    auto second = bench->plug(0x8086, 0xD001, 2);
    EXPECT_EQ(listed(second->path()), 1);
    second->unplug();
    EXPECT_EQ(listed(second->path()), 0);
    EXPECT_EQ(listed(dev->path()), 1);
}

TEST_P(Contract, TwoDevicesOnTwoThreads)
{
    auto other = bench->plug(0x1286, 0x8111, 2);
    usb_dev_handle *h2 = usb_open(other->path().c_str());
    ASSERT_NE(h2, nullptr);
    dev->set_echo(true);
    other->set_echo(true);
    auto run = [](usb_dev_handle *hd, uint8_t seed, int *failures) {
        for (int i = 0; i < 200; ++i) {
            auto out = pattern(1000 + i * 300, static_cast<uint8_t>(seed + i));
            std::vector<uint8_t> in(out.size());
            int n = static_cast<int>(out.size());
            if (usb_bulk_write(hd, USB_EP_BULK_OUT, chars(out), n, 1000) != n ||
                usb_bulk_read(hd, USB_EP_BULK_IN, chars(in), n, 1000) != n || in != out)
                ++*failures;
        }
    };
    int f1 = 0, f2 = 0;
    std::thread t1(run, h, 1, &f1), t2(run, h2, 100, &f2);
    t1.join();
    t2.join();
    EXPECT_EQ(f1, 0);
    EXPECT_EQ(f2, 0);
    usb_close(h2);
}

INSTANTIATE_TEST_SUITE_P(Usb, Contract, ::testing::Values(&make_vbus_bench),
                         [](const auto &info) { return std::string(info.param()->name()); });

} // namespace

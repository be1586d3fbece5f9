// tests/vphone: the virtual boot ROM. The station's whole bootstrap (download_dkb with the
// stand-in DKB image) runs against it over the virtual bus under each grant policy and each
// fault, checked on its result code, its diagnostic lines and what the ROM received.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <string>

#include "romcode/libromcode_helper.h"
#include "romcode/romcode_tim.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "util/bytes.h"
#include "vphone/bootrom.h"

namespace
{

using Bytes = std::vector<uint8_t>;
using vphone::Bootrom;
using vphone::BootromFault;
using vphone::BootromOptions;
using vphone::GrantPolicy;

constexpr uint32_t ID_TIM = 0x54494D48, ID_DKB = 0x444B4249;
const char kInstance[] = "sim-rom-1";
const char kGreeting[] = "Get CPU response\nVersion: 3201\nDate: 20070221\nProcessor: SRL 07\n\n";

Bytes standin()
{
    std::ifstream f(BW_DKB_STANDIN, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes default_tim(int dkb_size)
{
    int n = 0;
    unsigned char *t = generate_default_tim_for_dkb(nullptr, dkb_size, 0, &n);
    Bytes out(t, t + n);
    free(t);
    return out;
}

class VirtualRom : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        vbus::reset();
        dkb = standin();
        ASSERT_EQ(dkb.size(), 50920u);
        ASSERT_EQ(std::string(reinterpret_cast<char *>(dkb.data())), "BRAMBLEWICK DKB STAND-IN");
    }
    void TearDown() override
    {
        if (dev)
            usb_close(dev);
        vbus::reset();
    }

    // Plugs a ROM with these options under either boot ROM identity and opens it.
    void plug(BootromOptions opt, uint16_t vid = 0x1286, uint16_t pid = 0x8104)
    {
        opt.on_agent_start = [this](const Bytes &image) { agent.set_value(image); };
        rom = std::make_shared<Bootrom>(std::move(opt));
        ASSERT_EQ(vbus::plug(kInstance, vid, pid, rom), 0);
        dev = usb_open(usb_make_device_path(vid, pid, kInstance).c_str());
        ASSERT_NE(dev, nullptr);
    }

    int bootstrap(unsigned char *tim = nullptr, int tim_size = 0)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = download_dkb(dev, tim, tim_size, dkb.data(), static_cast<int>(dkb.size()));
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return r;
    }

    bool listed() const
    {
        for (const std::string &p : vbus::paths())
            if (p.find(kInstance) != std::string::npos)
                return true;
        return false;
    }

    Bytes dkb;
    std::shared_ptr<Bootrom> rom;
    usb_dev_handle *dev = nullptr;
    std::promise<Bytes> agent;
    std::string out, err;
};

// ---- the whole bootstrap under each grant policy ----

struct PolicyCase {
    const char *name;
    GrantPolicy grant;
    std::vector<uint32_t> tim_grants; // expected; empty: only the sum is checked
};

class Policies : public VirtualRom, public ::testing::WithParamInterface<PolicyCase>
{
};

TEST_P(Policies, BootsTheAgentWithTheImageUnchanged)
{
    BootromOptions opt;
    opt.grant = GetParam().grant;
    plug(opt);
    ASSERT_EQ(bootstrap(), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, std::string(kGreeting) +
                       "file size of dkb:50920, file size of tim:176 using self-gen tim\n" +
                       kGreeting);

    EXPECT_TRUE(rom->tim_accepted());
    EXPECT_TRUE(rom->dkb_accepted());
    EXPECT_EQ(rom->tim(), default_tim(50920));
    EXPECT_EQ(rom->dkb(), dkb);
    std::vector<uint32_t> grants = rom->grants();
    uint64_t sum = 0;
    for (uint32_t g : grants)
        sum += g;
    EXPECT_EQ(sum, 176u + 50920u);
    const std::vector<uint32_t> &tim_grants = GetParam().tim_grants;
    if (!tim_grants.empty()) {
        EXPECT_EQ(std::vector<uint32_t>(grants.begin(), grants.begin() + tim_grants.size()),
                  tim_grants);
    }

    // The ROM left the bus at the disconnect and starts the agent after its delay.
    EXPECT_TRUE(rom->handed_over());
    EXPECT_FALSE(listed());
    auto started = agent.get_future();
    ASSERT_EQ(started.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(started.get(), dkb);
}

INSTANTIATE_TEST_SUITE_P(
    Grants, Policies,
    ::testing::Values(PolicyCase{"whole", GrantPolicy::whole(), {176, 50920}},
                      PolicyCase{"fixed512", GrantPolicy::fixed_size(512), {176, 512, 512}},
                      PolicyCase{"list", GrantPolicy::listed({1, 7, 100}), {1, 7, 100, 68, 1}},
                      PolicyCase{"random", GrantPolicy::random(7, 3000), {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VirtualRom, FixedGrantsFollowTheSequenceNumbers)
{
    BootromOptions opt;
    opt.grant = GrantPolicy::fixed_size(256);
    plug(opt, 0x8086, 0xD001); // the other boot ROM identity
    ASSERT_EQ(bootstrap(), 0) << err;
    std::vector<uint32_t> grants = rom->grants();
    ASSERT_EQ(grants.size(), 1u + 199u); // TIM at once; 198 x 256 + 232 of the DKB image
    EXPECT_EQ(grants[0], 176u);
    EXPECT_EQ(grants.back(), 232u);

    // Commands as the ROM saw them: header/data sequence 1/2, 3/4, ... through the wrap.
    std::vector<std::pair<uint8_t, uint8_t>> dkb_transfer;
    int dones = 0;
    for (const vphone::BootromLogEntry &e : rom->log()) {
        if (e.cmd == 0x30)
            dones++;
        else if (dones == 1 && (e.cmd == 0x2A || e.cmd == 0x22))
            dkb_transfer.push_back({e.seq, e.cmd});
        EXPECT_EQ(e.status, 0);
    }
    ASSERT_EQ(dkb_transfer.size(), 398u);
    using P = std::pair<uint8_t, uint8_t>;
    EXPECT_EQ(dkb_transfer[0], P(1, 0x2A));
    EXPECT_EQ(dkb_transfer[1], P(2, 0x22));
    EXPECT_EQ(dkb_transfer[252], P(253, 0x2A)); // chunk 127
    EXPECT_EQ(dkb_transfer[253], P(254, 0x22));
    EXPECT_EQ(dkb_transfer[254], P(255, 0x2A)); // chunk 128
    EXPECT_EQ(dkb_transfer[255], P(0, 0x22));
    EXPECT_EQ(dkb_transfer[256], P(1, 0x2A)); // chunk 129
    EXPECT_EQ(dkb_transfer[257], P(2, 0x22));
    EXPECT_EQ(rom->log().back().cmd, 0x31);
    EXPECT_EQ(rom->dkb(), dkb);
}

TEST_F(VirtualRom, ImageLargerThanOneRequestArrivesWhole)
{
    // A 200000-byte image granted at once is one frame the bus delivers in four requests.
    dkb.resize(200000);
    for (size_t i = 50920; i < dkb.size(); i++)
        dkb[i] = static_cast<uint8_t>(i * 13);
    plug({});
    ASSERT_EQ(bootstrap(), 0) << err;
    EXPECT_EQ(rom->dkb(), dkb);
    EXPECT_EQ(rom->grants(), (std::vector<uint32_t>{176, 200000}));
}

TEST_F(VirtualRom, ParsesItsInputAsAStream)
{
    plug({});
    char pre[] = {0x00, (char)0xD3, 0x02, 0x2B};
    // The preamble in two requests, then get version cut in the middle of its head.
    ASSERT_EQ(usb_bulk_write(dev, 0x02, pre, 2, 1000), 2);
    ASSERT_EQ(usb_bulk_write(dev, 0x02, pre + 2, 2, 1000), 2);
    char echo[4] = {};
    ASSERT_EQ(usb_bulk_read(dev, 0x81, echo, 4, 1000), 4);
    EXPECT_EQ(memcmp(echo, pre, 4), 0);
    char version[8] = {0x20, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(usb_bulk_write(dev, 0x02, version, 3, 1000), 3);
    ASSERT_EQ(usb_bulk_write(dev, 0x02, version + 3, 5, 1000), 5);
    unsigned char answer[18] = {};
    ASSERT_EQ(usb_bulk_read(dev, 0x81, reinterpret_cast<char *>(answer), 18, 1000), 18);
    EXPECT_EQ(Bytes(answer, answer + 6), (Bytes{0x20, 0, 0, 0, 0, 12}));
    EXPECT_EQ(Bytes(answer + 6, answer + 10), (Bytes{'1', '0', '2', '3'}));
}

TEST_F(VirtualRom, RefusesOutOfOrderCommands)
{
    plug({});
    auto command = [&](Bytes frame, int answer_len) {
        EXPECT_EQ(usb_bulk_write(dev, 0x02, reinterpret_cast<char *>(frame.data()),
                                 static_cast<int>(frame.size()), 1000),
                  static_cast<int>(frame.size()));
        Bytes a(6 + answer_len);
        EXPECT_EQ(usb_bulk_read(dev, 0x81, reinterpret_cast<char *>(a.data()),
                                static_cast<int>(a.size()), 1000),
                  static_cast<int>(a.size()));
        return a[3]; // status
    };
    // Not greeted yet.
    EXPECT_EQ(command({0x26, 0, 0, 0, 0, 0, 0, 0}, 4), 0x95);
    char pre[] = {0x00, (char)0xD3, 0x02, 0x2B}, echo[4];
    ASSERT_EQ(usb_bulk_write(dev, 0x02, pre, 4, 1000), 4);
    ASSERT_EQ(usb_bulk_read(dev, 0x81, echo, 4, 1000), 4);
    // A data header before select and verify, then one with a wrong sequence number.
    EXPECT_EQ(command({0x2A, 1, 0, 0, 4, 0, 0, 0, 176, 0, 0, 0}, 4), 0x91);
    EXPECT_EQ(command({0x26, 0, 0, 0, 0, 0, 0, 0}, 4), 0);
    EXPECT_EQ(command({0x27, 0, 0, 0, 1, 0, 0, 0, 0}, 0), 0);
    EXPECT_EQ(command({0x2A, 3, 0, 0, 4, 0, 0, 0, 176, 0, 0, 0}, 4), 0x91);
    // A TIM too large for the ROM, an unknown command.
    EXPECT_EQ(command({0x2A, 1, 0, 0, 4, 0, 0, 0, 0, 0, 1, 0}, 4), 0x94);
    EXPECT_EQ(command({0x55, 0, 0, 0, 0, 0, 0, 0}, 0), 0x9B);
    EXPECT_TRUE(rom->tim().empty());
}

// ---- every failure of the bootstrap, reproduced by the ROM ----

struct FaultCase {
    const char *name;
    BootromFault fault;
    GrantPolicy grant;
    int result;
    const char *err;
};

BootromFault at(BootromFault::Kind kind, uint8_t cmd, int occurrence = 1)
{
    BootromFault f;
    f.kind = kind;
    f.cmd = cmd;
    f.occurrence = occurrence;
    return f;
}

BootromFault status_at(uint8_t cmd, int occurrence, uint8_t status)
{
    BootromFault f = at(BootromFault::STATUS, cmd, occurrence);
    f.status = status;
    return f;
}

BootromFault image_at(int occurrence, uint32_t id)
{
    BootromFault f = at(BootromFault::UNEXPECTED_IMAGE, 0x26, occurrence);
    f.image_id = id;
    return f;
}

BootromFault unplug_after(uint64_t bytes)
{
    BootromFault f;
    f.kind = BootromFault::UNPLUG_AFTER_BYTES;
    f.bytes = bytes;
    return f;
}

class Faults : public VirtualRom, public ::testing::WithParamInterface<FaultCase>
{
};

TEST_P(Faults, GiveTheirLineAndCode)
{
    BootromOptions opt;
    opt.faults = {GetParam().fault};
    opt.grant = GetParam().grant;
    plug(opt);
    EXPECT_EQ(bootstrap(), GetParam().result);
    EXPECT_EQ(err, GetParam().err);
    EXPECT_FALSE(rom->handed_over());
    EXPECT_NE(agent.get_future().wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
}

const GrantPolicy kWhole = GrantPolicy::whole();
const GrantPolicy kFixed = GrantPolicy::fixed_size(1000);

INSTANTIATE_TEST_SUITE_P(
    Table, Faults,
    ::testing::Values(
        // First greeting.
        FaultCase{"preamble_echo", at(BootromFault::BAD_PREAMBLE_ECHO, 0), kWhole, -1,
                  "Send PREMBLE error: -2\n"},
        FaultCase{"preamble_silent", at(BootromFault::SILENT, 0), kWhole, -1,
                  "Send PREMBLE error: -3\n"},
        FaultCase{"preamble_stall", at(BootromFault::STALL, 0), kWhole, -1,
                  "Send PREMBLE error: -4\n"},
        FaultCase{"version_status", status_at(0x20, 1, 0x02), kWhole, -1,
                  "Get version error: -7\n"},
        FaultCase{"version_wrong_cmd", at(BootromFault::WRONG_CMD, 0x20), kWhole, -1,
                  "Get version error: -6\n"},
        // TIM.
        FaultCase{"tim_select_status", status_at(0x26, 1, 0x6D), kWhole, -1,
                  "Select image error: -7\nError in download tim -1\n"},
        FaultCase{"tim_unexpected_image", image_at(1, ID_DKB), kWhole, -1,
                  "Unexpected identifier in select image: Return: 444B4249 Expected: 54494D48\n"
                  "Error in download tim -1\n"},
        FaultCase{"tim_verify_status", status_at(0x27, 1, 0x6A), kWhole, -1,
                  "Verify image error: -7\nError in download tim -1\n"},
        FaultCase{"tim_header_silent", at(BootromFault::SILENT, 0x2A), kWhole, -3,
                  "Error in download tim -3\n"},
        FaultCase{"tim_data_stall", at(BootromFault::STALL, 0x22), kWhole, -4,
                  "Error in download tim -4\n"},
        FaultCase{"tim_grant_too_large", at(BootromFault::GRANT_TOO_LARGE, 0x2A), kWhole, -6,
                  "Error in download tim -6\n"},
        FaultCase{"tim_data_wrong_len", at(BootromFault::WRONG_LEN, 0x22), kWhole, -6,
                  "Error in download tim -6\n"},
        FaultCase{"tim_done_status", status_at(0x30, 1, 0x91), kWhole, -7,
                  "Error in download tim -7\n"},
        FaultCase{"tim_zero_grant", {}, GrantPolicy::listed({0}), -6, "Error in download tim -6\n"},
        FaultCase{"tim_grant_after_276",
                  {},
                  GrantPolicy::listed({100, 100}),
                  -6,
                  "Error in download tim -6\n"},
        // Second greeting.
        FaultCase{"second_preamble_echo", at(BootromFault::BAD_PREAMBLE_ECHO, 0, 2), kWhole, -1,
                  "Send PREMBLE error: -2\n"},
        FaultCase{"second_version_status", status_at(0x20, 2, 0x07), kWhole, -1,
                  "Get version error: -7\n"},
        // DKB image.
        FaultCase{"dkb_select_status", status_at(0x26, 2, 0x02), kWhole, -1,
                  "Select image error: -7\nError in download dkb -1\n"},
        FaultCase{"dkb_unexpected_image", image_at(2, ID_TIM), kWhole, -1,
                  "Unexpected identifier in select image: Return: 54494D48 Expected: 444B4249\n"
                  "Error in download dkb -1\n"},
        FaultCase{"dkb_verify_status", status_at(0x27, 2, 0x6A), kWhole, -1,
                  "Verify image error: -7\nError in download dkb -1\n"},
        FaultCase{"dkb_data_status", status_at(0x22, 5, 0x91), kFixed, -7,
                  "Error in download dkb -7\n"},
        FaultCase{"dkb_header_wrong_cmd", at(BootromFault::WRONG_CMD, 0x2A, 3), kFixed, -6,
                  "Error in download dkb -6\n"},
        FaultCase{"dkb_grant_too_large", at(BootromFault::GRANT_TOO_LARGE, 0x2A, 2), kWhole, -6,
                  "Error in download dkb -6\n"},
        FaultCase{"dkb_unplugged", unplug_after(176 + 20000), kFixed, -3,
                  "Error in download dkb -3\n"},
        FaultCase{"dkb_done_silent", at(BootromFault::SILENT, 0x30, 2), kWhole, -3,
                  "Error in download dkb -3\n"},
        // Letting go.
        FaultCase{"disconnect_stall", at(BootromFault::STALL, 0x31), kWhole, -4,
                  "Error in disconnect\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VirtualRom, UnplugKeepsWhatArrivedBeforeIt)
{
    BootromOptions opt;
    opt.faults = {unplug_after(176 + 20000)};
    opt.grant = kFixed;
    plug(opt);
    EXPECT_EQ(bootstrap(), -3);
    EXPECT_TRUE(rom->unplugged());
    EXPECT_FALSE(listed());
    EXPECT_EQ(rom->dkb(), Bytes(dkb.begin(), dkb.begin() + 20000));
}

TEST_F(VirtualRom, RefusesATimItCannotBootFrom)
{
    // An external TIM with another load address: refused when the TIM is complete.
    Bytes tim = default_tim(50920);
    put_le32(tim.data() + 128, 0x5C014000);
    plug({});
    EXPECT_EQ(bootstrap(tim.data(), static_cast<int>(tim.size())), -7);
    EXPECT_EQ(err, "Error in download tim -7\n");
    EXPECT_FALSE(rom->tim_accepted());
    EXPECT_EQ(rom->tim(), tim); // it arrived unchanged

    // A good TIM for another image length: the DKB image is refused at its first header.
    vbus::reset();
    usb_close(dev);
    dev = nullptr;
    Bytes short_tim = default_tim(1000);
    plug({});
    EXPECT_EQ(bootstrap(short_tim.data(), static_cast<int>(short_tim.size())), -7);
    EXPECT_EQ(err, "Error in download dkb -7\n");
    EXPECT_TRUE(rom->tim_accepted());
    EXPECT_TRUE(rom->dkb().empty());
}

} // namespace

// Verify after write (misc:verify): a weak NAND block, which stores a wrong bit behind a right
// CRC, passes a station that does not read back and fails one that does; every way of writing
// an image reads back clean.
#include "station_harness.h"

#include <algorithm>
#include <tuple>

using namespace harness;

namespace
{

constexpr uint32_t kPage = 2048, kOob = 64;

// Images whose main data spans several blocks, each starting on a block of its own; with spare
// bytes every page carries its 64 spare bytes.
std::vector<Image> images(bool with_oob)
{
    const size_t unit = with_oob ? kPage + kOob : kPage;
    return {
        {"boot", 0x0, 0x80000, pattern(unit * 100 + (with_oob ? 0 : 300), 11, "BWIMG1")},
        {"rootfs", 0x80000, 0x200000, pattern(unit * 300, 12)},
    };
}

struct Outcome {
    int code = 0;
    bool nand_holds = false; // the NAND holds the images at their physical addresses
    std::string image, status;
    std::vector<std::string> statuses, log;
};

class Verify : public ::testing::Test
{
  protected:
    // One phone through a station running the images with the given misc lines.
    Outcome run_phone(const std::vector<Image> &ims, const std::string &misc, bool with_oob,
                      const vphone::PhoneOptions &po)
    {
        TempDir dir;
        std::string extra = "[misc]\nlogging = 1\n" + misc;
        Job job = make_job(dir, ims, extra);
        EXPECT_TRUE(job);
        Outcome out;
        if (!job)
            return out;
        for (int i = 0; with_oob && i < job->partition_info_list->no_of_partition_info; i++)
            job->partition_info_list->partition_info[i].image_with_oob = 1;
        StationRun run(job.get());
        EXPECT_EQ(run.start(), 0);
        auto phone = vphone::plug_phone("sim-1", po);
        EXPECT_TRUE(phone);
        EXPECT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
        const int row = run.row_of("sim-1");
        // A failed phone is detached at once, after its last Status text.
        EXPECT_TRUE(run.pump_until([&] {
            const tag_list_item *it = run.list().GetItemData(row);
            return it && (it->status_code == 0 || it->detached);
        }));
        const tag_list_item *it = run.list().GetItemData(row);
        out.code = it ? it->status_code : 0;
        out.image = run.cell(row, COL_IMAGE);
        out.status = run.cell(row, COL_STATUS);
        out.statuses = run.statuses[row];
        out.log = log_lines(run.log_text());
        out.nand_holds = nand_holds(*phone->nand(), ims);
        phone->unplug();
        return out;
    }
};

bool showed(const Outcome &o, const std::string &text)
{
    return std::find(o.statuses.begin(), o.statuses.end(), text) != o.statuses.end();
}

} // namespace

TEST_F(Verify, WeakBlockPassesWithoutReadBackAndFailsWithIt)
{
    auto po = phone_options();
    po.nand.weak_blocks = {5}; // inside rootfs, 0x80000-0x200000
    const Outcome plain = run_phone(images(false), "", false, po);
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.image, "Finished");
    EXPECT_FALSE(plain.nand_holds); // programmed wrong, and nobody noticed
    EXPECT_FALSE(showed(plain, "Verify flash"));

    const Outcome checked = run_phone(images(false), "verify = 1\n", false, po);
    EXPECT_EQ(checked.code, DKB_ERR_VERIFY);
    EXPECT_EQ(checked.image, "rootfs"); // the Section of the log line
    EXPECT_EQ(checked.status, "Verify Failed");
    EXPECT_TRUE(showed(checked, "Verify flash")); // boot was read back first, and passed
    EXPECT_EQ(checked.log, std::vector<std::string>{"NA,,T,T,rootfs,-30"});
}

// (spare bytes, bad blocks, CRC)
class VerifyClean : public Verify, public ::testing::WithParamInterface<std::tuple<bool, bool, int>>
{
};

TEST_P(VerifyClean, EveryWriteReadsBackClean)
{
    const auto [with_oob, bad_blocks, crc] = GetParam();
    auto po = phone_options();
    if (bad_blocks)
        po.nand.bad_blocks = {1, 6}; // inside boot and rootfs: relocated by the phone's table
    const Outcome o = run_phone(images(with_oob), "verify = 1\ncrc = " + std::to_string(crc) + "\n",
                                with_oob, po);
    EXPECT_EQ(o.code, 0) << o.status;
    EXPECT_EQ(o.image, "Finished");
    EXPECT_TRUE(showed(o, "Verify flash"));
    // (Physical addresses are the flash addresses only without spare bytes and bad blocks.)
    EXPECT_TRUE(o.nand_holds || with_oob || bad_blocks);
}

INSTANTIATE_TEST_SUITE_P(Writes, VerifyClean,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values(0, 1)));

// A UBI-like image with spare bytes (eraseblocks of a third data, one blank eraseblock) written
// with skip_blank over a bad block, under the phone's hardware ECC: verify passes, so the blank
// pages read back erased, spare areas included.
TEST_F(Verify, SkipBlankUbiImageReadsBackErased)
{
    const size_t unit = kPage + kOob, ppb = 64;
    std::vector<uint8_t> ubi(unit * ppb * 8, 0xFF);
    for (size_t b = 0; b < 8; b++) {
        if (b == 3)
            continue;
        std::vector<uint8_t> data =
            pattern(unit * (ppb / 3), 30 + static_cast<uint32_t>(b), "UBI#");
        std::copy(data.begin(), data.end(), ubi.begin() + static_cast<long>(b * unit * ppb));
    }
    auto po = phone_options();
    po.nand.bad_blocks = {2};
    po.nand.ecc_size = 16;
    const Outcome o =
        run_phone({{"ubi", 0x0, 0x200000, ubi}}, "verify = 1\nskip_blank = 1\n", true, po);
    EXPECT_EQ(o.code, 0) << o.status;
    EXPECT_TRUE(showed(o, "Verify flash"));
}

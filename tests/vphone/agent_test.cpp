// tests/vphone: the NAND model, and the station's DKB protocol library driving the virtual agent
// over the virtual bus: images land at the right NAND addresses and read back identical, bad
// blocks are relocated behind the station's back, and every device error and fault maps to its
// result code.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "dkb/libdkb.h"
#include "romcode/libromcode_helper.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;

namespace
{

constexpr uint32_t PAGE = 2048, OOB = 64, BLOCK = 0x20000;

vphone::NandGeometry small_chip()
{
    vphone::NandGeometry g;
    g.page_size = PAGE;
    g.block_size = BLOCK;
    g.oob_size = OOB;
    g.block_count = 64; // 8 MiB; reserved area: blocks 62 and 63
    return g;
}

Bytes pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// ---- NAND model --------------------------------------------------------------------------------

TEST(Nand, ProgramOnceEraseAndBadBlocks)
{
    auto g = small_chip();
    g.bad_blocks = {5};
    auto nand = vphone::Nand::create(g);
    ASSERT_TRUE(nand);
    EXPECT_EQ(nand->read_main(0, 16), Bytes(16, 0xFF));
    EXPECT_EQ(nand->spare(0), Bytes(OOB, 0xFF));

    Bytes main = pattern(PAGE, 1), spare = pattern(OOB, 2);
    EXPECT_EQ(nand->program_page(3, main.data(), spare.data()), vphone::NAND_OK);
    EXPECT_EQ(nand->read_main(3 * PAGE, PAGE), main);
    EXPECT_EQ(nand->spare(3), spare);
    EXPECT_FALSE(nand->page_erased(3));
    EXPECT_TRUE(nand->page_erased(4));
    // A programmed page needs an erase first.
    EXPECT_EQ(nand->program_page(3, main.data(), nullptr), vphone::NAND_ERR_NOT_ERASED);
    EXPECT_EQ(nand->erase_block(0), vphone::NAND_OK);
    EXPECT_EQ(nand->read_main(3 * PAGE, 4), Bytes(4, 0xFF));
    EXPECT_EQ(nand->program_page(3, main.data(), nullptr), vphone::NAND_OK);
    EXPECT_EQ(nand->spare(3), Bytes(OOB, 0xFF));

    // A read across a page boundary.
    Bytes across = nand->read_main(3 * PAGE + PAGE - 2, 4);
    EXPECT_EQ(across, (Bytes{main[PAGE - 2], main[PAGE - 1], 0xFF, 0xFF}));

    const uint32_t bad_page = 5 * (BLOCK / PAGE);
    EXPECT_TRUE(nand->is_bad(5));
    EXPECT_EQ(nand->erase_block(5), vphone::NAND_ERR_BAD_BLOCK);
    EXPECT_EQ(nand->program_page(bad_page, main.data(), nullptr), vphone::NAND_ERR_BAD_BLOCK);
    EXPECT_EQ(nand->read_main(5 * BLOCK, 4), Bytes(4, 0x00));
    EXPECT_EQ(nand->erase_block(64), vphone::NAND_ERR_RANGE);
    EXPECT_EQ(nand->program_page(64 * (BLOCK / PAGE), main.data(), nullptr),
              vphone::NAND_ERR_RANGE);
    EXPECT_TRUE(nand->read_main(64 * BLOCK, 4).empty());
}

TEST(Nand, SparseStorageAndInvalidGeometry)
{
    vphone::NandGeometry g; // 2048 blocks of 128 KiB: 256 MiB
    g.block_count = 8192;   // 1 GiB
    auto nand = vphone::Nand::create(g);
    ASSERT_TRUE(nand);
    EXPECT_EQ(nand->main_size(), 1ull << 30);
    EXPECT_EQ(nand->blocks_in_memory(), 0u);
    Bytes page(g.page_size, 0x11);
    EXPECT_EQ(nand->program_page(8191 * 64, page.data(), nullptr), vphone::NAND_OK);
    EXPECT_EQ(nand->blocks_in_memory(), 1u);
    EXPECT_EQ(nand->read_main((1ull << 30) - g.block_size, 2), Bytes(2, 0x11));
    EXPECT_EQ(nand->erase_block(8191), vphone::NAND_OK);
    EXPECT_EQ(nand->blocks_in_memory(), 0u);

    g.page_size = 3000; // a block that is not a whole number of pages
    EXPECT_FALSE(vphone::Nand::create(g));
    g.page_size = 0;
    EXPECT_FALSE(vphone::Nand::create(g));
}

// ---- Station against the agent -----------------------------------------------------------------

class AgentBus : public testing::Test
{
  protected:
    void TearDown() override
    {
        if (dev)
            usb_close(dev);
        vbus::reset();
    }
    // Plugs a phone whose agent runs and opens it.
    void start(const vphone::PhoneOptions &o = opts())
    {
        vbus::reset();
        phone = vphone::plug_agent_phone("sim-dkb", o);
        ASSERT_TRUE(phone);
        std::string path = usb_make_device_path(0x1286, 0x8111, "sim-dkb");
        dev = usb_open(path.c_str());
        ASSERT_TRUE(dev);
        agent = phone->agent();
        nand = phone->nand();
    }
    static vphone::PhoneOptions opts()
    {
        vphone::PhoneOptions o;
        o.nand = small_chip();
        return o;
    }
    // Image file of the given bytes; removed at tear-down.
    std::string file(const Bytes &b)
    {
        char name[] = "/tmp/agentimgXXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        close(fd);
        files.emplace_back(name);
        return name;
    }
    ~AgentBus() override
    {
        for (auto &f : files)
            unlink(f.c_str());
    }
    Bytes read_range(int start, int end, int oob, int crc)
    {
        Bytes out(dkb_flash_read_buffer_size(start, end, PAGE, oob));
        CaptureStdout();
        int r = dkb_flash_read(dev, out.data(), start, end, 1, PAGE, BLOCK, oob, crc, 0, nullptr,
                               nullptr);
        GetCapturedStdout();
        EXPECT_EQ(r, 0);
        return out;
    }

    std::shared_ptr<vphone::Phone> phone;
    std::shared_ptr<vphone::Agent> agent;
    std::shared_ptr<vphone::Nand> nand;
    usb_dev_handle *dev = nullptr;
    std::vector<std::string> files;
};

// The image file reaches the NAND and reads back identical, CRC on and off, OOB on and off.
TEST_F(AgentBus, ImageFileRoundTrip)
{
    for (int oob : {0, static_cast<int>(OOB)}) {
        for (int crc : {0, 1}) {
            SCOPED_TRACE("oob " + std::to_string(oob) + " crc " + std::to_string(crc));
            start();
            const int start_addr = 0x40000, end_addr = 0x100000; // 6 blocks
            // 2.5 blocks of main data; with OOB every page carries its spare bytes.
            const int pages = 2 * (BLOCK / PAGE) + 32;
            const int unit = PAGE + oob;
            Bytes img = pattern(static_cast<size_t>(pages) * unit + 100, 7 + oob + crc);
            std::string path = file(img);
            // Fill the whole range first, so the erase of the rest is visible.
            Bytes junk(end_addr - start_addr, 0x00);
            CaptureStdout();
            ASSERT_EQ(dkb_flash_write(dev, junk.data(), static_cast<int>(junk.size()), start_addr,
                                      end_addr, 1, PAGE, BLOCK, 0, crc, 0, nullptr, nullptr),
                      0);
            int r =
                dkb_flash_write_from_file(dev, path.c_str(), 100, pages * unit, start_addr,
                                          end_addr, 1, PAGE, BLOCK, oob, crc, 0, nullptr, nullptr);
            std::string out = GetCapturedStdout();
            ASSERT_EQ(r, 0);
            EXPECT_NE(out.find("erase extra data\nErase NAND flash: 0x000A0000-0x00100000"),
                      std::string::npos);

            // Physical NAND: main bytes at the flash addresses, spare bytes in the pages.
            for (int p = 0; p < pages; p++) {
                const uint8_t *src = img.data() + 100 + static_cast<size_t>(p) * unit;
                const uint32_t page_no = start_addr / PAGE + p;
                ASSERT_EQ(nand->read_main(static_cast<uint64_t>(page_no) * PAGE, PAGE),
                          Bytes(src, src + PAGE));
                if (oob)
                    ASSERT_EQ(nand->spare(page_no), Bytes(src + PAGE, src + PAGE + oob));
                else
                    ASSERT_EQ(nand->spare(page_no), Bytes(OOB, 0xFF));
            }
            // The rest of the range is erased: the tail of block 2 and blocks 3 to 5.
            const uint64_t data_end = start_addr + static_cast<uint64_t>(pages) * PAGE;
            EXPECT_EQ(nand->read_main(data_end, end_addr - data_end),
                      Bytes(end_addr - data_end, 0xFF));
            EXPECT_EQ(nand->read_main(start_addr - 4, 4), Bytes(4, 0xFF)); // before: untouched

            // Read back through the station.
            Bytes back = read_range(start_addr, static_cast<int>(data_end), oob, crc);
            EXPECT_TRUE(back == Bytes(img.begin() + 100, img.end())) << "read-back differs";
            usb_close(dev);
            dev = nullptr;
        }
    }
}

TEST_F(AgentBus, BadBlocksAreRelocatedBehindTheStation)
{
    auto o = opts();
    o.nand.bad_blocks = {3, 63}; // 63 lies in the reserved area itself
    start(o);
    int found = 0;
    EXPECT_EQ(dkb_init_nand(dev, &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(agent->bbm_table(), (std::map<uint32_t, uint32_t>{{3, 62}}));
    EXPECT_EQ(dkb_validate_bbm(dev), 0);

    // Blocks 2 to 4 at logical addresses; block 3's data lands in block 62.
    Bytes img = pattern(3 * BLOCK, 3);
    CaptureStdout();
    ASSERT_EQ(dkb_flash_write(dev, img.data(), static_cast<int>(img.size()), 2 * BLOCK, 5 * BLOCK,
                              1, PAGE, BLOCK, 0, 1, 0, nullptr, nullptr),
              0);
    GetCapturedStdout();
    EXPECT_EQ(nand->read_main(62ull * BLOCK, BLOCK),
              Bytes(img.begin() + BLOCK, img.begin() + 2 * BLOCK));
    EXPECT_EQ(nand->read_main(3ull * BLOCK, 4), Bytes(4, 0x00)); // the bad block itself
    EXPECT_EQ(nand->read_main(4ull * BLOCK, BLOCK), Bytes(img.begin() + 2 * BLOCK, img.end()));
    EXPECT_EQ(read_range(2 * BLOCK, 5 * BLOCK, 0, 1), img);
}

TEST_F(AgentBus, BbmLifecycleOnABlankChip)
{
    auto o = opts();
    o.bbm_present = false;
    o.nand.bad_blocks = {7, 9};
    start(o);
    int found = 1;
    CaptureStdout();
    EXPECT_EQ(dkb_init_nand(dev, &found), 0); // device error 2 is no failure
    EXPECT_EQ(GetCapturedStdout(), "Flash Fireware error occurred, error code: 2\n");
    EXPECT_EQ(found, 0);

    struct Seen {
        int calls = 0, last_cur = 0, last_range = 0;
    } seen;
    auto cb = [](void *p, const char *msg, int cur, int range) {
        auto *s = static_cast<Seen *>(p);
        EXPECT_STREQ(msg, "Flash");
        s->calls++;
        s->last_cur = cur;
        s->last_range = range;
    };
    CaptureStdout();
    EXPECT_EQ(dkb_init_bbm_nake_flash(dev, cb, &seen), 0);
    EXPECT_NE(GetCapturedStdout().find("BBM: 2 bad blocks relocated"), std::string::npos);
    EXPECT_EQ(seen.last_cur, 64);
    EXPECT_EQ(seen.last_range, 64);
    EXPECT_EQ(seen.calls, 1); // progress every 64 blocks
    EXPECT_EQ(agent->bbm_table(), (std::map<uint32_t, uint32_t>{{7, 62}, {9, 63}}));
    EXPECT_FALSE(nand->stored_bbt());
    EXPECT_EQ(dkb_finialize_nand(dev), 0);
    ASSERT_TRUE(nand->stored_bbt());
    EXPECT_EQ(*nand->stored_bbt(), agent->bbm_table());
    EXPECT_EQ(dkb_init_nand(dev, &found), 0);
    EXPECT_EQ(found, 1);

    // A reserved area of one block: the used init keeps the mappings it has (9 -> 63 now lies
    // outside, which validation reports); a nake init has no room for two bad blocks.
    EXPECT_EQ(dkb_set_nand_bbm_reloc_area(dev, 62 * BLOCK, 63 * BLOCK), 0);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_init_bbm_used_flash(dev, nullptr, nullptr), 0);
    EXPECT_EQ(dkb_validate_bbm(dev), DKB_ERR_DEVICE);
    EXPECT_EQ(dkb_init_bbm_nake_flash(dev, nullptr, nullptr), DKB_ERR_DEVICE);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Invalid BBM mapping, out of reserved area\n");
    EXPECT_NE(out.find("error code: 4\nInit BBM for Nake NAND flash failed\n"), std::string::npos)
        << out;
}

TEST_F(AgentBus, ValidateFindsMappingsOutsideTheReservedArea)
{
    auto o = opts();
    o.nand.bad_blocks = {3};
    start(o);
    nand->store_bbt({{3, 40}});
    int found = 0;
    ASSERT_EQ(dkb_init_nand(dev, &found), 0);
    ASSERT_EQ(dkb_set_nand_bbm_reloc_area(dev, 62 * BLOCK, 64 * BLOCK), 0);
    EXPECT_EQ(agent->reloc_area(), (std::pair<uint32_t, uint32_t>{62 * BLOCK, 64 * BLOCK}));
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_validate_bbm(dev), DKB_ERR_DEVICE);
    EXPECT_EQ(GetCapturedStdout(), "Flash Fireware error occurred, error code: 7\n");
    EXPECT_EQ(GetCapturedStderr(), "Invalid BBM mapping, out of reserved area\n");
    // Widening the area makes the same table valid.
    ASSERT_EQ(dkb_set_nand_bbm_reloc_area(dev, 40 * BLOCK, 64 * BLOCK), 0);
    EXPECT_EQ(dkb_validate_bbm(dev), 0);
}

TEST_F(AgentBus, DeviceErrorsAndStreamFaultsMapToResultCodes)
{
    auto o = opts();
    o.faults.device_errors = {{vphone::agent_cmd::INIT_NAND, 3, 1},
                              {vphone::agent_cmd::VALIDATE_BBM, 8, 0},
                              {vphone::agent_cmd::WRITE_FLASH, 5, 2}};
    o.faults.unknown_word_after = vphone::agent_cmd::ERASE_FLASH;
    o.faults.long_text_after = vphone::agent_cmd::WRITE_BBM;
    start(o);
    int found = 0;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_init_nand(dev, &found), DKB_ERR_DEVICE);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(dkb_init_nand(dev, &found), 0); // only the first one fails
    EXPECT_EQ(dkb_validate_bbm(dev), DKB_ERR_DEVICE);
    EXPECT_EQ(GetCapturedStderr(), "Init NAND flash failed\nUnknown BBM error\n");
    EXPECT_EQ(dkb_flash_erase(dev, 0, BLOCK, 0), DKB_ERR_UNKNOWN_MSG);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Unknown command received: -1430585337\n"), std::string::npos);
    CaptureStdout();
    EXPECT_EQ(dkb_finialize_nand(dev), DKB_ERR_TEXT_TOO_LONG);
    EXPECT_EQ(GetCapturedStdout(),
              "Critical error. Write to SOR BBM failed. Please reformat whole flash\n");

    // The second block of a write fails on the device: nothing after it is written.
    usb_close(dev);
    dev = nullptr;
    start(o);
    Bytes img = pattern(3 * BLOCK, 5);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), static_cast<int>(img.size()), 0, 4 * BLOCK, 1, PAGE,
                              BLOCK, 0, 0, 0, nullptr, nullptr),
              DKB_ERR_DEVICE);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Write NAND flash failed -14\n");
    EXPECT_EQ(nand->read_main(0, BLOCK), Bytes(img.begin(), img.begin() + BLOCK));
    EXPECT_EQ(nand->read_main(BLOCK, 8), Bytes(8, 0xFF));
}

TEST_F(AgentBus, AgentRefusesWritesItCannotDo)
{
    start();
    Bytes img = pattern(PAGE, 9);
    CaptureStdout();
    CaptureStderr();
    // Not page aligned.
    EXPECT_EQ(dkb_flash_write(dev, img.data(), PAGE, 100, BLOCK, 1, PAGE, BLOCK, 0, 0, 0, nullptr,
                              nullptr),
              DKB_ERR_DEVICE);
    // Beyond the chip.
    EXPECT_EQ(dkb_flash_write(dev, img.data(), PAGE, 64 * BLOCK, 65 * BLOCK, 1, PAGE, BLOCK, 0, 0,
                              0, nullptr, nullptr),
              DKB_ERR_DEVICE);
    // Entering a block part-way whose pages are already programmed.
    EXPECT_EQ(
        dkb_flash_write(dev, img.data(), PAGE, 0, BLOCK, 1, PAGE, BLOCK, 0, 0, 0, nullptr, nullptr),
        0);
    EXPECT_EQ(
        dkb_flash_write(dev, img.data(), PAGE, 0, BLOCK, 1, PAGE, BLOCK, 0, 0, 0, nullptr, nullptr),
        0); // from the block start: erased first
    EXPECT_EQ(dkb_flash_write(dev, img.data(), PAGE, 0, 0 + PAGE, 1, PAGE, BLOCK, 0, 0, 0, nullptr,
                              nullptr),
              0);
    GetCapturedStderr();
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("error code: 3\n"), std::string::npos);
}

TEST_F(AgentBus, CrcCorruptionAndLargeHostWrites)
{
    // 131,074 bytes arrive as several bulk_out calls and land in RAM intact.
    start();
    Bytes data = pattern(131074, 11);
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0x5C010000, data.data(), static_cast<int>(data.size()), 1, nullptr,
                            nullptr),
              0);
    GetCapturedStdout();
    EXPECT_EQ(agent->ram(0x5C010000, data.size()), data);
    Bytes back(data.size());
    CaptureStdout();
    EXPECT_EQ(dkb_read_mem(dev, 0x5C010000, back.data(), static_cast<int>(back.size()), 1, nullptr,
                           nullptr),
              0);
    GetCapturedStdout();
    EXPECT_EQ(back, data);

    usb_close(dev);
    dev = nullptr;
    auto o = opts();
    o.faults.corrupt_crc_from = 1;
    start(o);
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0x5C010000, data.data(), static_cast<int>(data.size()), 1, nullptr,
                            nullptr),
              DKB_ERR_CRC);
    EXPECT_NE(GetCapturedStdout().find(" CRC error: expected:"), std::string::npos);
}

TEST_F(AgentBus, UnplugAndSilence)
{
    auto o = opts();
    o.faults.unplug_after_bytes = 70000; // inside the first staged block
    start(o);
    Bytes img = pattern(BLOCK, 13);
    CaptureStdout();
    int r = dkb_flash_write(dev, img.data(), BLOCK, 0, BLOCK, 1, PAGE, BLOCK, 0, 1, 0, nullptr,
                            nullptr);
    GetCapturedStdout();
    EXPECT_EQ(r, DKB_ERR_TRANSFER);
    EXPECT_TRUE(agent->unplugged());
    EXPECT_EQ(nand->read_main(0, 4), Bytes(4, 0xFF));

    // Unplugged at the flash command word: the record cannot be sent.
    usb_close(dev);
    dev = nullptr;
    o.faults = {};
    o.faults.unplug_at_command = 0;
    start(o);
    CaptureStdout();
    EXPECT_EQ(dkb_set_gpio(dev, 1, 1), DKB_ERR_TRANSFER);
    GetCapturedStdout();
    EXPECT_EQ(agent->commands(), std::vector<uint32_t>{vphone::agent_cmd::SET_GPIO});

    // Silent from the first ack on: the echo never comes (1 s time-out).
    usb_close(dev);
    dev = nullptr;
    o.faults = {};
    o.faults.silent_at_command = 0;
    start(o);
    auto t0 = std::chrono::steady_clock::now();
    CaptureStdout();
    EXPECT_EQ(dkb_ack(dev), DKB_ERR_ACK);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find(" error:-5\n"), std::string::npos) << out;
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    EXPECT_TRUE(agent->silent());
}

TEST_F(AgentBus, BoardControlAndCommandLog)
{
    start();
    comm_protocol_flash_info_resp info = {};
    EXPECT_EQ(dkb_get_nand_info(dev, &info), 0);
    EXPECT_EQ(info.manu_id, 0xECu);
    EXPECT_EQ(info.device_id, 0xDAu);
    EXPECT_EQ(info.no_of_blocks, 64u);
    EXPECT_EQ(info.page_size, PAGE);
    EXPECT_EQ(info.block_size, BLOCK);
    EXPECT_EQ(info.oob_size, OOB);

    EXPECT_EQ(dkb_set_gpio(dev, 5, 1), 0);
    EXPECT_EQ(dkb_set_gpio(dev, 9, 0), 0);
    EXPECT_EQ(agent->gpio_levels(), (std::map<uint32_t, uint32_t>{{5, 1}, {9, 0}}));
    struct tm t = {};
    t.tm_year = 110, t.tm_mon = 2, t.tm_mday = 7, t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9;
    EXPECT_EQ(dkb_write_rtc(dev, &t), 0);
    EXPECT_EQ(agent->rtc(), (std::array<uint32_t, 7>{110, 2, 7, 0, 14, 5, 9}));
    struct tm back = {};
    EXPECT_EQ(dkb_read_rtc(dev, &back), 0);
    EXPECT_EQ(back.tm_year, 110);
    EXPECT_EQ(back.tm_min, 5);
    EXPECT_EQ(dkb_write_pmic_data(dev, 0x10, 0xA5), 0);
    EXPECT_EQ(agent->pmic(0x10), 0xA5);
    agent->set_pmic(0x20, 0x3C);
    uint8_t v = 0;
    EXPECT_EQ(dkb_read_pmic_data(dev, 0x20, &v), 0);
    EXPECT_EQ(v, 0x3C);
    EXPECT_EQ(dkb_set_nand_flash_para(dev, 2), 0);
    EXPECT_EQ(dkb_ack(dev), 0);
    EXPECT_EQ(agent->chip_selects(), 2u);
    namespace c = vphone::agent_cmd;
    EXPECT_EQ(agent->commands(), (std::vector<uint32_t>{c::NAND_INFO, c::SET_GPIO, c::SET_GPIO,
                                                        c::WRITE_RTC, c::READ_RTC, c::WRITE_PMIC,
                                                        c::READ_PMIC, c::NAND_PARA, c::ACK}));

    // A reset returns at once; the agent leaves the bus.
    EXPECT_EQ(dkb_software_reset_device(dev), 0);
    EXPECT_TRUE(agent->unplugged());
    CaptureStdout();
    EXPECT_EQ(dkb_ack(dev), DKB_ERR_ACK);
    GetCapturedStdout();
}

// The whole phone: boot ROM, handover to the agent on another instance, reset back to the ROM.
TEST_F(AgentBus, WholePhoneHandsOverAndComesBackAfterReset)
{
    vbus::reset();
    auto o = opts();
    o.agent_instance = "simagent-3";
    o.reboot_on_reset = true;
    o.bootrom.reenumerate_delay_ms = 10;
    o.reset_delay_ms = 10;
    phone = vphone::plug_phone("sim-3", o);
    ASSERT_TRUE(phone);
    std::string rom_path = usb_make_device_path(0x1286, 0x8104, "sim-3");
    usb_dev_handle *rom = usb_open(rom_path.c_str());
    ASSERT_TRUE(rom);
    CaptureStdout();
    CaptureStderr();
    int r = download_dkb_file(rom, nullptr, BW_DKB_STANDIN);
    GetCapturedStdout();
    GetCapturedStderr();
    usb_close(rom);
    ASSERT_EQ(r, 0);
    ASSERT_TRUE(phone->wait_for_agent(2000));
    EXPECT_FALSE(phone->dkb().empty());
    std::string agent_path = usb_make_device_path(0x1286, 0x8111, "simagent-3");
    dev = usb_open(agent_path.c_str());
    ASSERT_TRUE(dev);
    EXPECT_EQ(dkb_ack(dev), 0);
    EXPECT_EQ(dkb_set_gpio(dev, 2, 1), 0);
    EXPECT_EQ(phone->agent()->gpio(2), std::optional<uint32_t>(1));

    EXPECT_EQ(dkb_hardware_reset_device(dev), 0);
    bool rom_back = false;
    for (int i = 0; i < 100 && !rom_back; i++) {
        for (const auto &p : vbus::paths())
            rom_back |= p == rom_path;
        if (!rom_back)
            usleep(10000);
    }
    EXPECT_TRUE(rom_back);
}

} // namespace

// Verify after write compares the spare bytes only when the phone does not compute them itself
// (hardware ECC off); the main data always.
TEST_F(AgentBus, VerifyComparesSpareBytesOnlyWithoutHardwareEcc)
{
    start();
    const int unit = PAGE + OOB, pages = BLOCK / PAGE + 8; // one block and a bit
    Bytes img = pattern(static_cast<size_t>(pages) * unit, 21);
    Bytes other_spare = img, other_main = img;
    other_spare[static_cast<size_t>(pages - 1) * unit + PAGE + 3] ^= 0x40;
    other_main[static_cast<size_t>(pages - 1) * unit + 5] ^= 0x40;
    const std::string written = file(img), spare = file(other_spare), main = file(other_main);
    auto verify = [&](const std::string &path, int hwecc) {
        return dkb_flash_verify_from_file(dev, path.c_str(), 0, 0, 0, 2 * BLOCK, hwecc, PAGE, BLOCK,
                                          OOB, 1, 0, nullptr, nullptr);
    };
    CaptureStdout();
    CaptureStderr();
    ASSERT_EQ(dkb_flash_write_from_file(dev, written.c_str(), 0, 0, 0, 2 * BLOCK, 0, PAGE, BLOCK,
                                        OOB, 1, 0, nullptr, nullptr),
              0);
    EXPECT_EQ(verify(written, 0), 0);
    EXPECT_EQ(verify(spare, 1), 0);
    EXPECT_EQ(verify(spare, 0), DKB_ERR_VERIFY);
    EXPECT_EQ(verify(main, 1), DKB_ERR_VERIFY);
    GetCapturedStdout();
    EXPECT_NE(GetCapturedStderr().find("Verify NAND flash failed: 0x00023805 holds 0x"),
              std::string::npos);
}

// skip_blank on the virtual phone with hardware ECC: a UBI image whose eraseblocks end in 0xFF
// pages. Written whole, those pages carry an ECC and cannot take UBI's later program; written
// with skip_blank they are erased pages, and blank blocks are erased over what was there.
class SkipBlank : public AgentBus
{
  protected:
    static constexpr int PPB = BLOCK / PAGE, DATA_PAGES = PPB / 3, BLOCKS = 4;
    void SetUp() override
    {
        auto o = opts();
        o.nand.ecc_size = 16;
        start(o);
        // Junk over the whole range first, so an erase that does not happen shows.
        Bytes junk(BLOCKS * BLOCK, 0x00);
        CaptureStdout();
        ASSERT_EQ(dkb_flash_write(dev, junk.data(), static_cast<int>(junk.size()), 0,
                                  BLOCKS * BLOCK, 1, PAGE, BLOCK, 0, 1, 0, nullptr, nullptr),
                  0);
        GetCapturedStdout();
        // Eraseblocks 0, 1 and 3: "UBI#" and a third of data; eraseblock 2 entirely blank.
        img.assign(BLOCKS * BLOCK, 0xFF);
        for (int b : {0, 1, 3}) {
            Bytes data = pattern(DATA_PAGES * PAGE, 40 + b);
            memcpy(data.data(), "UBI#", 4);
            std::copy(data.begin(), data.end(), img.begin() + b * BLOCK);
        }
        path = file(img);
    }
    int write(int skip_blank)
    {
        CaptureStdout();
        int r = dkb_flash_write_from_file_ex(dev, path.c_str(), 0, 0, 0, BLOCKS * BLOCK, 1, PAGE,
                                             BLOCK, 0, 1, 0, nullptr, nullptr, skip_blank, nullptr);
        GetCapturedStdout();
        return r;
    }
    int verify()
    {
        CaptureStdout();
        int r = dkb_flash_verify_from_file(dev, path.c_str(), 0, 0, 0, BLOCKS * BLOCK, 1, PAGE,
                                           BLOCK, 0, 1, 0, nullptr, nullptr);
        GetCapturedStdout();
        return r;
    }
    // UBI's view of the first free page after the data of eraseblock 0: is it truly erased, and
    // does a later program of it (with ECC) succeed?
    bool free_page_takes_a_program()
    {
        const uint32_t page = DATA_PAGES;
        EXPECT_EQ(nand->read_main(page * PAGE, PAGE), Bytes(PAGE, 0xFF));
        const Bytes spare = nand->spare(page);
        const bool blank_spare = spare == Bytes(OOB, 0xFF);
        EXPECT_EQ(blank_spare, nand->page_erased(page));
        Bytes later = pattern(PAGE, 99);
        return nand->program_page(page, later.data(), nullptr, true) == vphone::NAND_OK &&
               blank_spare;
    }
    Bytes img;
    std::string path;
};

TEST_F(SkipBlank, UbiFreePagesAreProgrammedWithFfWithoutSkipBlank)
{
    ASSERT_EQ(write(0), 0);
    EXPECT_EQ(verify(), 0); // the data is right: only UBI's next write finds the fault
    EXPECT_FALSE(free_page_takes_a_program());
}

TEST_F(SkipBlank, UbiFreePagesStayErasedWithSkipBlank)
{
    ASSERT_EQ(write(1), 0);
    EXPECT_EQ(verify(), 0);
    EXPECT_EQ(nand->read_main(2 * BLOCK, BLOCK), Bytes(BLOCK, 0xFF)); // blank block erased
    EXPECT_TRUE(free_page_takes_a_program());
}

// Verify reads the blank parts back too: a blank block that was not erased fails with -30.
TEST_F(SkipBlank, VerifyCatchesABlankBlockNotErased)
{
    ASSERT_EQ(write(1), 0);
    Bytes stale(PAGE, 0x00);
    ASSERT_EQ(nand->program_page(2 * PPB + 5, stale.data(), nullptr), vphone::NAND_OK);
    CaptureStderr();
    EXPECT_EQ(verify(), DKB_ERR_VERIFY);
    EXPECT_NE(GetCapturedStderr().find("0x00042800 holds 0x00, the image 0xFF"), std::string::npos);
}

// With spare bytes in the image, verify after a skip_blank write also wants the blank pages'
// spare areas erased: a page programmed with 0xFF (and an ECC) fails it.
TEST_F(SkipBlank, VerifyCatchesABlankPageProgrammedWithFf)
{
    const int unit = PAGE + OOB;
    Bytes oob_img(static_cast<size_t>(PPB) * unit, 0xFF);
    memset(oob_img.data(), 0x33, static_cast<size_t>(DATA_PAGES) * unit);
    const std::string oob_path = file(oob_img);
    auto run = [&](bool write, int skip_blank) {
        CaptureStdout();
        int r = write
                    ? dkb_flash_write_from_file_ex(dev, oob_path.c_str(), 0, 0, 0, BLOCK, 1, PAGE,
                                                   BLOCK, OOB, 1, 0, nullptr, nullptr, skip_blank,
                                                   nullptr)
                    : dkb_flash_verify_from_file_ex(dev, oob_path.c_str(), 0, 0, 0, BLOCK, 1, PAGE,
                                                    BLOCK, OOB, 1, 0, nullptr, nullptr, skip_blank);
        GetCapturedStdout();
        return r;
    };
    ASSERT_EQ(run(true, 0), 0);
    EXPECT_EQ(run(false, 0), 0);
    CaptureStderr();
    EXPECT_EQ(run(false, 1), DKB_ERR_VERIFY);
    EXPECT_NE(GetCapturedStderr().find("(a blank page that is not erased)"), std::string::npos);
    ASSERT_EQ(run(true, 1), 0);
    EXPECT_EQ(run(false, 1), 0);
}

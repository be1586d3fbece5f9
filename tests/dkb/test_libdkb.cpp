// Tests of the dkb layer against the recording fake transport: exact wire bytes, block splits,
// result codes and the diagnostic lines of every operation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "dkb/libdkb.h"
#include "fake_usb.h"
#include "util/bytes.h"
#include "util/crc16.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace
{

const char *word_name(const std::vector<uint8_t> &b)
{
    struct {
        const unsigned char *w;
        const char *name;
    } words[] = {
        {get_crc_command, "get_crc"},         {ack_command, "ack"},
        {set_addr_command, "set_addr"},       {set_len_command, "set_len"},
        {send_data_command, "send_data"},     {get_data_command, "get_data"},
        {write_flash_command, "write_flash"}, {read_flash_command, "read_flash"},
        {erase_flash_command, "erase_flash"},
    };
    if (b.size() != 4)
        return nullptr;
    for (auto &w : words)
        if (memcmp(b.data(), w.w, 4) == 0)
            return w.name;
    return nullptr;
}

// The written transfers as tokens: a command name, a 4-byte value in hex, or "data:N".
std::vector<std::string> tokens()
{
    std::vector<std::string> out;
    for (const auto &w : fake_usb::state().writes) {
        char buf[32];
        if (const char *n = word_name(w.bytes))
            out.push_back(n);
        else if (w.bytes.size() == 4)
            snprintf(buf, sizeof buf, "0x%X", get_le32(w.bytes.data())), out.push_back(buf);
        else
            snprintf(buf, sizeof buf, "data:%zu", w.bytes.size()), out.push_back(buf);
    }
    return out;
}

std::vector<uint32_t> le32s(const std::vector<uint8_t> &b)
{
    std::vector<uint32_t> v;
    for (size_t i = 0; i + 4 <= b.size(); i += 4)
        v.push_back(get_le32(b.data() + i));
    return v;
}

// Indexes of the writes that carry a given command word.
std::vector<size_t> find_word(const unsigned char (&word)[4])
{
    std::vector<size_t> at;
    const auto &ws = fake_usb::state().writes;
    for (size_t i = 0; i < ws.size(); i++)
        if (ws[i].bytes.size() == 4 && memcmp(ws[i].bytes.data(), word, 4) == 0)
            at.push_back(i);
    return at;
}

struct Progress {
    std::vector<std::string> msg;
    std::vector<int> cur, range;
};
void record_progress(void *p, const char *msg, int cur, int range)
{
    auto *pr = static_cast<Progress *>(p);
    pr->msg.push_back(msg);
    pr->cur.push_back(cur);
    pr->range.push_back(range);
}

class Dkb : public testing::Test
{
  protected:
    void SetUp() override { fake_usb::reset(); }
    // A clean transport with the recording agent answering: the start of most cases.
    static void fresh_agent()
    {
        fake_usb::reset();
        fake_usb::install_agent();
    }
    usb_dev_handle *dev = fake_usb::dev();
};

// ---- Channel -----------------------------------------------------------------------------------

TEST_F(Dkb, AckEchoMismatchAndShortReply)
{
    fake_usb::push({0x80, 0x55, 0x55, 0xFF});
    EXPECT_EQ(dkb_ack(dev), 0);
    EXPECT_EQ(fake_usb::written(), (std::vector<uint8_t>{0x80, 0x55, 0x55, 0xFF}));
    EXPECT_EQ(fake_usb::state().writes[0].timeout, 1000);
    EXPECT_EQ(fake_usb::state().read_timeouts[0], 1000);

    fake_usb::push({0x80, 0x55, 0x55, 0xFE});
    CaptureStdout();
    EXPECT_EQ(dkb_ack(dev), DKB_ERR_ACK);
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(out.rfind("libdkb/libdkb.cpp ", 0) == 0) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out; // "%s %d\n" only

    fake_usb::push({0x80, 0x55, 0x55});
    CaptureStdout();
    EXPECT_EQ(dkb_ack(dev), DKB_ERR_ACK);
    out = GetCapturedStdout();
    EXPECT_NE(out.find(" error:-5\n"), std::string::npos) << out;
}

TEST_F(Dkb, MessageStreamDoneProgressAndTexts)
{
    Progress pr;
    fake_usb::push_u32(flash_msg_done);
    EXPECT_EQ(handle_flash_msg(dev, nullptr, record_progress, &pr), 0);
    EXPECT_TRUE(pr.cur.empty());
    EXPECT_EQ(fake_usb::state().read_timeouts, std::vector<int>{15000});

    // Progress before any total reports a range of 1; a text before any length is empty.
    fake_usb::reset();
    fake_usb::push_u32(flash_msg_progress);
    fake_usb::push_u32(7);
    fake_usb::push_u32(flash_msg_text);
    fake_usb::push_u32(flash_msg_total);
    fake_usb::push_u32(100);
    fake_usb::push_u32(flash_msg_progress);
    fake_usb::push_u32(50);
    fake_usb::push_u32(flash_msg_text_length);
    fake_usb::push_u32(3);
    fake_usb::push_u32(flash_msg_text);
    fake_usb::push({'a', 'b', 'c'});
    fake_usb::push_u32(flash_msg_text); // the length still holds
    fake_usb::push({'d', 'e', 'f'});
    fake_usb::push_u32(flash_msg_done);
    CaptureStdout();
    EXPECT_EQ(handle_flash_msg(dev, nullptr, record_progress, &pr), 0);
    EXPECT_EQ(GetCapturedStdout(), "..abcdef");
    EXPECT_EQ(pr.msg, (std::vector<std::string>{"Flash", "Flash"}));
    EXPECT_EQ(pr.cur, (std::vector<int>{7, 50}));
    EXPECT_EQ(pr.range, (std::vector<int>{1, 100}));
    EXPECT_TRUE(fake_usb::state().in.empty());
}

TEST_F(Dkb, MessageStreamTextLimit)
{
    std::string text(255, 'x');
    fake_usb::push_u32(flash_msg_text_length);
    fake_usb::push_u32(255);
    fake_usb::push_u32(flash_msg_text);
    fake_usb::push(std::vector<uint8_t>(text.begin(), text.end()));
    fake_usb::push_u32(flash_msg_done);
    CaptureStdout();
    EXPECT_EQ(handle_flash_msg(dev, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(GetCapturedStdout(), text);

    // A length of 256 is accepted; the text that follows ends the stream before any byte.
    fake_usb::reset();
    fake_usb::push_u32(flash_msg_text_length);
    fake_usb::push_u32(256);
    fake_usb::push_u32(flash_msg_text);
    fake_usb::push(std::vector<uint8_t>(256, 'y'));
    EXPECT_EQ(handle_flash_msg(dev, nullptr, nullptr, nullptr), DKB_ERR_TEXT_TOO_LONG);
    EXPECT_EQ(fake_usb::state().in.size(), 256u);
}

TEST_F(Dkb, MessageStreamErrorsAndFailures)
{
    int code = 99;
    fake_usb::push_u32(flash_msg_error);
    fake_usb::push_u32(5);
    CaptureStdout();
    EXPECT_EQ(handle_flash_msg(dev, &code, nullptr, nullptr), DKB_ERR_DEVICE);
    EXPECT_EQ(GetCapturedStdout(), "Flash Fireware error occurred, error code: 5\n");
    EXPECT_EQ(code, 5);

    code = 99;
    fake_usb::push_u32(0xAABB0007);
    CaptureStdout();
    EXPECT_EQ(handle_flash_msg(dev, &code, nullptr, nullptr), DKB_ERR_UNKNOWN_MSG);
    EXPECT_EQ(GetCapturedStdout(), "Unknown command received: -1430585337\n");
    EXPECT_EQ(code, 99);

    // No word at all (time-out): -1 with the platform's text.
    CaptureStderr();
    EXPECT_EQ(handle_flash_msg(dev, &code, nullptr, nullptr), DKB_ERR_MSG_READ);
    EXPECT_EQ(GetCapturedStderr().rfind("usb read failed: -5, ", 0), 0u);
    EXPECT_EQ(code, 99);

    // A payload that never comes: -2.
    fake_usb::push_u32(flash_msg_total);
    EXPECT_EQ(handle_flash_msg(dev, &code, nullptr, nullptr), DKB_ERR_MSG_SHORT);
    fake_usb::push_u32(flash_msg_error);
    EXPECT_EQ(handle_flash_msg(dev, &code, nullptr, nullptr), DKB_ERR_MSG_SHORT);
    EXPECT_EQ(code, 99);
}

// ---- RAM transfer ------------------------------------------------------------------------------

TEST_F(Dkb, WriteMemBlockSplits)
{
    struct Case {
        int size;
        std::vector<std::string> expect;
    } cases[] = {
        {0, {"set_len", "0x10001"}},
        {1,
         {"set_len", "0x10001", "set_len", "0x1", "set_addr", "0x5C010000", "ack", "send_data",
          "data:1"}},
        {1024,
         {"set_len", "0x10001", "set_len", "0x3FF", "set_addr", "0x5C010000", "ack", "send_data",
          "data:1023", "set_len", "0x1", "set_addr", "0x5C0103FF", "ack", "send_data", "data:1"}},
        {65536,
         {"set_len", "0x10001", "set_len", "0xFFFF", "set_addr", "0x5C010000", "ack", "send_data",
          "data:65535", "set_len", "0x1", "set_addr", "0x5C01FFFF", "ack", "send_data", "data:1"}},
        {65537, {"set_len", "0x10001", "set_addr", "0x5C010000", "ack", "send_data", "data:65537"}},
        {131074,
         {"set_len", "0x10001", "set_addr", "0x5C010000", "ack", "send_data", "data:65537",
          "set_addr", "0x5C020001", "ack", "send_data", "data:65537"}},
    };
    for (const Case &c : cases) {
        fresh_agent();
        std::vector<unsigned char> buf(c.size + 1);
        Progress pr;
        CaptureStdout();
        EXPECT_EQ(dkb_write_mem(dev, 0x5C010000, buf.data(), c.size, 0, record_progress, &pr), 0);
        GetCapturedStdout();
        EXPECT_EQ(tokens(), c.expect) << "size " << c.size;
        if (c.size == 0)
            EXPECT_TRUE(pr.cur.empty());
        else
            EXPECT_EQ(pr.cur.back(), c.size);
    }
}

TEST_F(Dkb, WriteMemTimeoutsProgressAndContent)
{
    fake_usb::install_agent();
    std::vector<unsigned char> buf(65538);
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = static_cast<unsigned char>(i * 7);
    Progress pr;
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0x1000, buf.data(), 65538, 1, record_progress, &pr), 0);
    EXPECT_EQ(GetCapturedStdout(), "..");
    EXPECT_EQ(pr.cur, (std::vector<int>{65537, 65538}));
    EXPECT_EQ(pr.range, (std::vector<int>{65538, 65538}));
    EXPECT_EQ(pr.msg[0], "Write to ram");
    const auto &ws = fake_usb::state().writes;
    // set_len(3000) value(3000) set_addr(3000) addr(5000) ack(1000) send_data(3000) data(5000)
    std::vector<int> to;
    for (size_t i = 0; i < 8; i++)
        to.push_back(ws[i].timeout);
    EXPECT_EQ(to, (std::vector<int>{3000, 3000, 3000, 5000, 1000, 3000, 5000, 5000}));
    EXPECT_EQ(ws[6].bytes, std::vector<uint8_t>(buf.begin(), buf.begin() + 65537));
    EXPECT_EQ(tokens()[7], "get_crc");
    EXPECT_EQ(find_word(get_crc_command).size(), 2u);

    // Without CRC no get_crc is ever sent.
    fresh_agent();
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0x1000, buf.data(), 65538, 0, nullptr, nullptr), 0);
    GetCapturedStdout();
    EXPECT_TRUE(find_word(get_crc_command).empty());
}

TEST_F(Dkb, MemCrcMismatchHighHalfCounts)
{
    fake_usb::install_agent(0x10000);
    unsigned char data[3] = {1, 2, 3};
    unsigned crc = crc16(data, 3);
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0x5C010000, data, 3, 1, nullptr, nullptr), DKB_ERR_CRC);
    char line[96];
    snprintf(line, sizeof line, " CRC error: expected:%d, got:%d\n", crc, crc + 0x10000);
    EXPECT_EQ(GetCapturedStdout(), line);

    fake_usb::reset();
    fake_usb::install_agent(1);
    unsigned char got[3];
    CaptureStdout();
    EXPECT_EQ(dkb_read_mem(dev, 0x5C010000, got, 3, 1, nullptr, nullptr), DKB_ERR_CRC);
    EXPECT_EQ(GetCapturedStdout().rfind(" CRC error: expected:", 0), 0u);
}

TEST_F(Dkb, ReadMemFetchesBlocksWithReadTimeouts)
{
    fake_usb::install_agent();
    std::vector<unsigned char> got(1024, 0);
    Progress pr;
    CaptureStdout();
    EXPECT_EQ(dkb_read_mem(dev, 0x5C010000, got.data(), 1024, 1, record_progress, &pr), 0);
    GetCapturedStdout();
    EXPECT_EQ(got, std::vector<unsigned char>(1024, 0x5A));
    EXPECT_EQ(pr.msg[0], "Read from ram");
    EXPECT_EQ(pr.cur, (std::vector<int>{1023, 1024}));
    for (const auto &w : fake_usb::state().writes)
        EXPECT_EQ(w.timeout, 1000);
    EXPECT_EQ(fake_usb::state().read_timeouts.back(), 3000); // the CRC reply
}

TEST_F(Dkb, MemStepFailuresMapToCodesAndLines)
{
    struct Case {
        int fail_at; // write index that fails
        int expect;
        const char *line_tail; // what follows "libdkb/libdkb.cpp <line>"
    } cases[] = {
        {0, DKB_ERR_TRANSFER, "\n"},
        {1, DKB_ERR_TRANSFER, ", err:-1\n"},
        {2, DKB_ERR_LEN_OR_CRC_REQ, " error:-1\n"},
        {3, DKB_ERR_LEN_OR_CRC_REQ, " error:-1\n"},
        {4, DKB_ERR_TRANSFER, " err:-1\n"},
        {5, DKB_ERR_TRANSFER, "\n"},
        {7, DKB_ERR_TRANSFER, "\n"},
        {8, DKB_ERR_TRANSFER, " error:-1 write_size:10\n"},
        {9, DKB_ERR_LEN_OR_CRC_REQ, "\n"},
    };
    unsigned char data[10] = {};
    for (const Case &c : cases) {
        fresh_agent();
        fake_usb::state().fail_write_at = c.fail_at;
        CaptureStdout();
        EXPECT_EQ(dkb_write_mem(dev, 0, data, 10, 1, nullptr, nullptr), c.expect) << c.fail_at;
        std::string out = GetCapturedStdout();
        EXPECT_EQ(out.rfind("libdkb/libdkb.cpp ", 0), 0u) << out;
        EXPECT_TRUE(out.size() > strlen(c.line_tail) &&
                    out.compare(out.size() - strlen(c.line_tail), std::string::npos, c.line_tail) ==
                        0)
            << c.fail_at << ": " << out;

        // The read side fails with the same codes and prints nothing of its own; its data
        // block failing is a get_data that is never answered.
        fresh_agent();
        if (c.fail_at == 8) {
            auto agent = fake_usb::state().responder;
            fake_usb::state().responder = [agent](const std::vector<uint8_t> &w) {
                if (!(w.size() == 4 && memcmp(w.data(), get_data_command, 4) == 0))
                    agent(w);
            };
        } else {
            // No data block among the read side's writes: later indexes shift by one.
            fake_usb::state().fail_write_at = c.fail_at > 8 ? c.fail_at - 1 : c.fail_at;
        }
        unsigned char got[10];
        CaptureStdout();
        EXPECT_EQ(dkb_read_mem(dev, 0, got, 10, 1, nullptr, nullptr), c.expect) << c.fail_at;
        out = GetCapturedStdout();
        if (c.fail_at != 6) {
            EXPECT_EQ(out, "") << c.fail_at;
        }
    }

    // A missing CRC reply: -2. A failed ack: the ack's line, then the step line, -12.
    fresh_agent();
    auto agent = fake_usb::state().responder;
    fake_usb::state().responder = [agent](const std::vector<uint8_t> &w) {
        if (!(w.size() == 4 && memcmp(w.data(), get_crc_command, 4) == 0))
            agent(w);
    };
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0, data, 10, 1, nullptr, nullptr), DKB_ERR_MSG_SHORT);
    GetCapturedStdout();

    fake_usb::reset();
    CaptureStdout();
    EXPECT_EQ(dkb_write_mem(dev, 0, data, 10, 1, nullptr, nullptr), DKB_ERR_ACK);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find(" error:-5\nlibdkb/libdkb.cpp "), std::string::npos) << out;
}

// ---- NAND transfer -----------------------------------------------------------------------------

TEST_F(Dkb, FlashWriteWithOobRecords)
{
    fake_usb::install_agent();
    std::vector<unsigned char> img(270336, 0xA5);
    Progress pr;
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 270336, 0x100000, 0x140000, 1, 2048, 131072, 64, 1,
                              0, record_progress, &pr),
              0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.find("erase extra data"), std::string::npos); // range exactly filled
    auto at = find_word(write_flash_command);
    ASSERT_EQ(at.size(), 2u);
    const auto &ws = fake_usb::state().writes;
    EXPECT_EQ(ws[at[0]].timeout, 2000);
    EXPECT_EQ(ws[at[0] + 1].timeout, 2000);
    EXPECT_EQ(le32s(ws[at[0] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0x100000, 0x140000, 131072, 1, 1, 1, 0}));
    EXPECT_EQ(le32s(ws[at[1] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0x120000, 0x160000, 131072, 1, 1, 1, 0}));
    EXPECT_EQ(pr.msg.back(), "Write to flash");
    EXPECT_EQ(pr.cur, (std::vector<int>{0x20000, 0x40000, 0x40000}));
    EXPECT_EQ(pr.range, (std::vector<int>{0x40000, 0x40000, 0x40000}));

    // Without OOB a full block at 0x100000 ends at 0x120000; write_oob 0; otp passed on.
    fresh_agent();
    std::vector<unsigned char> blk(0x20000, 1);
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write(dev, blk.data(), 0x20000, 0x100000, 0x120000, 0, 2048, 0x20000, 0, 0,
                              1, nullptr, nullptr),
              0);
    GetCapturedStdout();
    at = find_word(write_flash_command);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(le32s(fake_usb::state().writes[at[0] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0x100000, 0x120000, 0x20000, 0, 0, 1, 1}));
}

TEST_F(Dkb, FlashWriteErasesTheRestOfTheRange)
{
    fake_usb::install_agent();
    std::vector<unsigned char> img(0x30000, 2);
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 0x30000, 0x100000, 0x200000, 1, 2048, 0x20000, 0, 0,
                              0, nullptr, nullptr),
              0);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("erase extra data\nErase NAND flash: 0x00140000-0x00200000 use bbm:1.\n"
                       "Erase NAND flash success.\n"),
              std::string::npos)
        << out;
    auto at = find_word(write_flash_command);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(le32s(fake_usb::state().writes[at[1] + 1].bytes)[1], 0x120000u);
    auto er = find_word(erase_flash_command);
    ASSERT_EQ(er.size(), 1u);
    EXPECT_EQ(le32s(fake_usb::state().writes[er[0] + 1].bytes),
              (std::vector<uint32_t>{0x140000, 0x200000, 1}));

    // Nothing to write: only the erase, from flash_loc rounded up to a block.
    fresh_agent();
    Progress pr;
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write(dev, nullptr, 0, 0x100100, 0x200000, 1, 2048, 0x20000, 0, 0, 0,
                              record_progress, &pr),
              0);
    GetCapturedStdout();
    EXPECT_TRUE(find_word(write_flash_command).empty());
    er = find_word(erase_flash_command);
    ASSERT_EQ(er.size(), 1u);
    EXPECT_EQ(le32s(fake_usb::state().writes[er[0] + 1].bytes),
              (std::vector<uint32_t>{0x120000, 0x200000, 1}));
    EXPECT_EQ(pr.cur, std::vector<int>{0x200000 - 0x100100});

    // Nothing into an inverted range: nothing to refuse, nothing sent.
    fake_usb::reset();
    EXPECT_EQ(dkb_flash_write(dev, nullptr, 0, 0x200000, 0x100000, 1, 2048, 0x20000, 0, 0, 0,
                              nullptr, nullptr),
              0);
    EXPECT_TRUE(fake_usb::state().writes.empty());
}

// skip_blank: a block's trailing 0xFF pages (spare bytes included) are left out of its write,
// blank blocks become one erase per run, and the rest of the range is erased as before.
TEST_F(Dkb, SkipBlankWireForm)
{
    const int unit = 2048 + 64, ppb = 64, blk = unit * ppb;
    std::vector<unsigned char> img(static_cast<size_t>(4 * blk), 0xFF);
    memset(img.data(), 0x11, 2 * unit + 10);                     // block 0: pages 0..2 hold data
    img[static_cast<size_t>(3 * blk + 63 * unit + 2050)] = 0x00; // block 3: only a spare byte
    fake_usb::install_agent();
    Progress pr;
    dkb_write_stats st;
    CaptureStdout();
    ASSERT_EQ(dkb_flash_write_ex(dev, img.data(), static_cast<int>(img.size()), 0x100000, 0x200000,
                                 1, 2048, 131072, 64, 1, 0, record_progress, &pr, 1, &st),
              0);
    GetCapturedStdout();
    const auto &ws = fake_usb::state().writes;
    auto wr = find_word(write_flash_command), er = find_word(erase_flash_command);
    ASSERT_EQ(wr.size(), 2u);
    EXPECT_EQ(le32s(ws[wr[0] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0x100000, 0x120000, 3 * 2048, 1, 1, 1, 0}));
    EXPECT_EQ(le32s(ws[wr[1] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0x160000, 0x1A0000, 131072, 1, 1, 1, 0}));
    ASSERT_EQ(er.size(), 2u);
    EXPECT_TRUE(wr[0] < er[0] && er[0] < wr[1] && wr[1] < er[1]);
    EXPECT_EQ(le32s(ws[er[0] + 1].bytes), (std::vector<uint32_t>{0x120000, 0x160000, 1}));
    EXPECT_EQ(le32s(ws[er[1] + 1].bytes), (std::vector<uint32_t>{0x180000, 0x200000, 1}));
    EXPECT_EQ(pr.cur, (std::vector<int>{0x20000, 0x40000, 0x60000, 0x80000, 0x100000}));
    EXPECT_EQ(st.bytes_staged, 3 * unit + blk);
    EXPECT_EQ(st.blank_blocks, 2);
    EXPECT_EQ(st.blank_pages, 61);

    // Without spare bytes: a short blank tail joins the blank run before it, rounded to a block.
    fresh_agent();
    std::vector<unsigned char> plain(0x40000 + 100, 0xFF);
    plain[0] = 0;
    plain[5 * 2048 + 7] = 0;
    CaptureStdout();
    ASSERT_EQ(dkb_flash_write_ex(dev, plain.data(), static_cast<int>(plain.size()), 0x100000,
                                 0x200000, 1, 2048, 0x20000, 0, 0, 0, nullptr, nullptr, 1, &st),
              0);
    GetCapturedStdout();
    wr = find_word(write_flash_command), er = find_word(erase_flash_command);
    ASSERT_EQ(wr.size(), 1u);
    EXPECT_EQ(le32s(ws[wr[0] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0x100000, 0x120000, 6 * 2048, 1, 0, 1, 0}));
    ASSERT_EQ(er.size(), 2u);
    EXPECT_EQ(le32s(ws[er[0] + 1].bytes), (std::vector<uint32_t>{0x120000, 0x160000, 1}));
    EXPECT_EQ(le32s(ws[er[1] + 1].bytes), (std::vector<uint32_t>{0x160000, 0x200000, 1}));
    EXPECT_EQ(st.blank_blocks, 2);
    EXPECT_EQ(st.blank_pages, 58);

    // A range off a block boundary is written whole.
    fresh_agent();
    CaptureStdout();
    CaptureStderr();
    ASSERT_EQ(dkb_flash_write_ex(dev, plain.data(), static_cast<int>(plain.size()), 0x100800,
                                 0x200000, 1, 2048, 0x20000, 0, 0, 0, nullptr, nullptr, 1, &st),
              0);
    GetCapturedStdout();
    EXPECT_NE(GetCapturedStderr().find("not at a block boundary"), std::string::npos);
    EXPECT_EQ(find_word(write_flash_command).size(), 3u);
    EXPECT_EQ(st.blank_blocks, 0);
}

TEST_F(Dkb, FlashWriteRefusesBadImagesBeforeSending)
{
    fake_usb::install_agent();
    std::vector<unsigned char> img(0x50000);
    // With OOB, 135,000 bytes are not whole pages: -23, nothing sent, nothing printed.
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 135000, 0, 0x100000, 1, 2048, 131072, 64, 0, 0,
                              nullptr, nullptr),
              DKB_ERR_OOB_MISALIGNED);
    // A misaligned tail after whole blocks is refused before the first block goes out.
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 135168 + 100, 0, 0x100000, 1, 2048, 131072, 64, 0, 0,
                              nullptr, nullptr),
              DKB_ERR_OOB_MISALIGNED);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fake_usb::state().writes.empty());

    // Longer than its range: -28 and a line, nothing sent.
    CaptureStderr();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 0x40001, 0x100000, 0x140000, 1, 2048, 0x20000, 0, 0,
                              0, nullptr, nullptr),
              DKB_ERR_IMAGE_TOO_LONG);
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 1, 0x100000, 0x100000, 1, 2048, 0x20000, 0, 0, 0,
                              nullptr, nullptr),
              DKB_ERR_IMAGE_TOO_LONG);
    EXPECT_NE(GetCapturedStderr().find("do not fit"), std::string::npos);
    // With OOB the spare bytes do not count against the range.
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 135168, 0, 0x20000, 1, 2048, 131072, 64, 0, 0,
                              nullptr, nullptr),
              0);
    GetCapturedStdout();

    // Geometry that cannot describe a NAND.
    fake_usb::reset();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 10, 0, 0x100000, 1, 0, 0x20000, 64, 0, 0, nullptr,
                              nullptr),
              DKB_ERR_BAD_ARGS);
    EXPECT_EQ(dkb_flash_read(dev, img.data(), 0, 0x1000, 1, 2048, 0, 0, 0, 0, nullptr, nullptr),
              DKB_ERR_BAD_ARGS);
    GetCapturedStderr();
    EXPECT_TRUE(fake_usb::state().writes.empty());
}

TEST_F(Dkb, FlashWriteStepFailures)
{
    std::vector<unsigned char> img(0x20000);
    // The device reports an error for the block: its code passes through with a line.
    fake_usb::install_agent();
    auto agent = fake_usb::state().responder;
    bool armed = false;
    fake_usb::state().responder = [&](const std::vector<uint8_t> &w) {
        if (armed && w.size() == 32) {
            fake_usb::push_u32(flash_msg_error);
            fake_usb::push_u32(9);
            armed = false;
            return;
        }
        if (w.size() == 4 && memcmp(w.data(), write_flash_command, 4) == 0)
            armed = true;
        agent(w);
    };
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 0x20000, 0, 0x40000, 1, 2048, 0x20000, 0, 0, 0,
                              nullptr, nullptr),
              DKB_ERR_DEVICE);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Write NAND flash failed -14\n");
    EXPECT_TRUE(find_word(erase_flash_command).empty()); // nothing after a failure

    // write_flash_command itself failing: -12 with the ret line.
    fresh_agent();
    CaptureStdout();
    dkb_write_mem(dev, 0, img.data(), 0x20000, 0, nullptr, nullptr);
    GetCapturedStdout();
    int staging_writes = static_cast<int>(fake_usb::state().writes.size());
    fresh_agent();
    fake_usb::state().fail_write_at = staging_writes;
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write(dev, img.data(), 0x20000, 0, 0x40000, 1, 2048, 0x20000, 0, 0, 0,
                              nullptr, nullptr),
              DKB_ERR_ACK);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find(" ret:-1\n"), std::string::npos) << out;
}

TEST_F(Dkb, FlashReadMisalignedAfterOneBlock)
{
    fake_usb::install_agent();
    int64_t n = dkb_flash_read_buffer_size(0, 0x20000 + 100, 2048, 64);
    EXPECT_EQ(n, 135168 + 100);
    std::vector<unsigned char> buf(n);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_read(dev, buf.data(), 0, 0x20000 + 100, 1, 2048, 131072, 64, 0, 0, nullptr,
                             nullptr),
              DKB_ERR_OOB_MISALIGNED);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Read NAND flash with oob size misaligned \n");
    auto at = find_word(read_flash_command);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(le32s(fake_usb::state().writes[at[0] + 1].bytes),
              (std::vector<uint32_t>{0x5C010000, 0, 131072, 1, 1, 1, 0}));
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 135168),
              std::vector<unsigned char>(135168, 0x5A));
}

TEST_F(Dkb, FlashReadStreamFailureLine)
{
    fake_usb::state().responder = [](const std::vector<uint8_t> &w) {
        if (w.size() == 28) {
            fake_usb::push_u32(flash_msg_error);
            fake_usb::push_u32(4);
        }
    };
    std::vector<unsigned char> buf(0x800);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_read(dev, buf.data(), 0x1000, 0x1800, 1, 2048, 0x20000, 0, 0, 0, nullptr,
                             nullptr),
              DKB_ERR_DEVICE);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Read NAND flash failed -14 @ 0x00001000 size: 2048\n");
}

TEST_F(Dkb, EraseRecordLinesAndFailures)
{
    fake_usb::install_agent();
    CaptureStdout();
    EXPECT_EQ(dkb_flash_erase(dev, 0x100000, 0x40000, 0), 0);
    EXPECT_EQ(GetCapturedStdout(), "Erase NAND flash: 0x00100000-0x00140000 use bbm:1.\n"
                                   "Erase NAND flash success.\n");
    EXPECT_EQ(fake_usb::written(),
              (std::vector<uint8_t>{0x06, 0x00, 0xAA, 0xAA, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
                                    0x14, 0x00, 1, 0, 0, 0}));
    EXPECT_EQ(fake_usb::state().writes[1].timeout, 1000);

    fresh_agent();
    CaptureStdout();
    EXPECT_EQ(dkb_flash_erase(dev, 0, 0x20000, 1), 0);
    EXPECT_NE(GetCapturedStdout().find("use bbm:0."), std::string::npos);
    EXPECT_EQ(le32s(fake_usb::state().writes[1].bytes)[2], 0u);

    fake_usb::reset();
    fake_usb::state().fail_write_at = 1;
    CaptureStdout();
    EXPECT_EQ(dkb_flash_erase(dev, 0, 0x20000, 0), DKB_ERR_TRANSFER);
    GetCapturedStdout();

    fake_usb::reset(); // no stream at all
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_erase(dev, 0, 0x20000, 0), DKB_ERR_MSG_READ);
    EXPECT_NE(GetCapturedStdout().find("Erase NAND flash failed\n"), std::string::npos);
    GetCapturedStderr();
}

// ---- Files -------------------------------------------------------------------------------------

class DkbFiles : public Dkb
{
  protected:
    void SetUp() override
    {
        Dkb::SetUp();
        char tmpl[] = "/tmp/dkbtestXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        for (const auto &f : files)
            unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string make(const char *name, size_t size)
    {
        std::string p = dir + "/" + name;
        FILE *f = fopen(p.c_str(), "wb");
        std::vector<unsigned char> b(size);
        for (size_t i = 0; i < size; i++)
            b[i] = static_cast<unsigned char>(i);
        fwrite(b.data(), 1, size, f);
        fclose(f);
        files.push_back(p);
        return p;
    }
    std::string dir;
    std::vector<std::string> files;
};

TEST_F(DkbFiles, WriteFromFileRefusesWhatIsNotInTheFile)
{
    std::string img = make("img.bin", 4096);
    std::string missing = dir + "/none.bin";
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write_from_file(dev, missing.c_str(), 0, 0, 0, 0x20000, 1, 2048, 0x20000, 0,
                                        0, 0, nullptr, nullptr),
              DKB_ERR_OPEN_FILE);
    EXPECT_EQ(GetCapturedStdout(), "  Cannot open " + missing + " file\n");

    CaptureStderr();
    EXPECT_EQ(dkb_flash_write_from_file(dev, img.c_str(), 4096, 0, 0, 0x20000, 1, 2048, 0x20000, 0,
                                        0, 0, nullptr, nullptr),
              DKB_ERR_FILE_EMPTY);
    EXPECT_EQ(GetCapturedStderr().rfind(img + " file size invalid: ", 0), 0u);

    struct {
        int offset, length;
    } outside[] = {{4097, 0}, {-1, 10}, {4000, 97}, {0, 4097}, {5000, 1}};
    for (auto c : outside) {
        CaptureStderr();
        EXPECT_EQ(dkb_flash_write_from_file(dev, img.c_str(), c.offset, c.length, 0, 0x20000, 1,
                                            2048, 0x20000, 0, 0, 0, nullptr, nullptr),
                  DKB_ERR_FILE_RANGE)
            << c.offset << "+" << c.length;
        EXPECT_NE(GetCapturedStderr().find("lies outside the file of 4096 bytes"),
                  std::string::npos);
    }
    EXPECT_TRUE(fake_usb::state().writes.empty());
}

TEST_F(DkbFiles, WriteFromFileSendsTheSelectedBytes)
{
    std::string img = make("img.bin", 4096);
    fake_usb::install_agent();
    Progress pr;
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write_from_file(dev, img.c_str(), 1000, 100, 0, 0x20000, 1, 2048, 0x20000,
                                        0, 1, 0, record_progress, &pr),
              0);
    GetCapturedStdout();
    auto data = find_word(send_data_command);
    ASSERT_EQ(data.size(), 1u);
    std::vector<uint8_t> expect(100);
    for (int i = 0; i < 100; i++)
        expect[i] = static_cast<uint8_t>(1000 + i);
    EXPECT_EQ(fake_usb::state().writes[data[0] + 1].bytes, expect);
    EXPECT_EQ(pr.cur.back(), 0x20000);

    // Length 0: from the offset to the end of the file.
    std::string img2 = make("img2.bin", 1000 + 4096);
    fresh_agent();
    CaptureStdout();
    EXPECT_EQ(dkb_flash_write_from_file(dev, img2.c_str(), 1000, 0, 0, 0x20000, 1, 2048, 0x20000, 0,
                                        0, 0, nullptr, nullptr),
              0);
    GetCapturedStdout();
    data = find_word(send_data_command);
    ASSERT_EQ(data.size(), 2u); // 4096 bytes go as 4095 + 1
    EXPECT_EQ(fake_usb::state().writes[data[0] + 1].bytes.size(), 4095u);
    EXPECT_EQ(fake_usb::state().writes[data[0] + 1].bytes[0], static_cast<uint8_t>(1000));
}

TEST_F(DkbFiles, ReadToFile)
{
    std::string out = dir + "/out.bin";
    files.push_back(out);
    CaptureStderr();
    EXPECT_EQ(dkb_flash_read_to_file(dev, out.c_str(), 0x1000, 0x1000, 1, 2048, 0x20000, 0, 0, 0,
                                     nullptr, nullptr),
              DKB_ERR_READ_SIZE);
    EXPECT_EQ(GetCapturedStderr(), "read size <= 0\n");
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    fake_usb::install_agent();
    CaptureStdout();
    EXPECT_EQ(dkb_flash_read_to_file(dev, out.c_str(), 0x1000, 0x1800, 1, 2048, 0x20000, 0, 0, 0,
                                     nullptr, nullptr),
              0);
    EXPECT_NE(
        GetCapturedStdout().find("Read Flash at 0x00001000 to 0x00001800 saved to " + out + "\n"),
        std::string::npos);
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0x800);

    // A failed read leaves the file empty.
    fake_usb::reset();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_flash_read_to_file(dev, out.c_str(), 0x1000, 0x1800, 1, 2048, 0x20000, 0, 0, 0,
                                     nullptr, nullptr),
              DKB_ERR_MSG_READ);
    EXPECT_NE(GetCapturedStdout().find("  Read from flash failed\n"), std::string::npos);
    GetCapturedStderr();
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

// ---- NAND set-up and control -------------------------------------------------------------------

TEST_F(Dkb, InitNandBadBlockTableAndFailures)
{
    int found = -1;
    fake_usb::push_u32(flash_msg_done);
    EXPECT_EQ(dkb_init_nand(dev, &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(fake_usb::written(), (std::vector<uint8_t>{0x01, 0x00, 0xAA, 0xAA}));

    fake_usb::push_u32(flash_msg_error);
    fake_usb::push_u32(2);
    CaptureStdout();
    EXPECT_EQ(dkb_init_nand(dev, &found), 0);
    GetCapturedStdout();
    EXPECT_EQ(found, 0);

    fake_usb::push_u32(flash_msg_error);
    fake_usb::push_u32(3);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_init_nand(dev, &found), DKB_ERR_DEVICE);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Init NAND flash failed\n");
    EXPECT_EQ(found, 1);

    found = 0; // a stream that breaks off: -1, found_bbm 1
    CaptureStderr();
    EXPECT_EQ(dkb_init_nand(dev, &found), DKB_ERR_MSG_READ);
    GetCapturedStderr();
    EXPECT_EQ(found, 1);

    found = 5;
    fake_usb::state().fail_write_at = static_cast<int>(fake_usb::state().writes.size());
    EXPECT_EQ(dkb_init_nand(dev, &found), DKB_ERR_ACK);
    EXPECT_EQ(found, 5);
}

TEST_F(Dkb, ValidateBbmDeviceCodes)
{
    struct {
        uint32_t code;
        const char *line;
    } cases[] = {{7, "Invalid BBM mapping, out of reserved area\n"}, {8, "Unknown BBM error\n"}};
    for (auto c : cases) {
        fake_usb::push_u32(flash_msg_error);
        fake_usb::push_u32(c.code);
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(dkb_validate_bbm(dev), DKB_ERR_DEVICE);
        GetCapturedStdout();
        EXPECT_EQ(GetCapturedStderr(), c.line);
    }
    fake_usb::push_u32(flash_msg_done);
    EXPECT_EQ(dkb_validate_bbm(dev), 0);
}

TEST_F(Dkb, BbmInitHandsProgressOnAndFinalizeLines)
{
    Progress pr;
    fake_usb::push_u32(flash_msg_total);
    fake_usb::push_u32(10);
    fake_usb::push_u32(flash_msg_progress);
    fake_usb::push_u32(4);
    fake_usb::push_u32(flash_msg_done);
    CaptureStdout();
    EXPECT_EQ(dkb_init_bbm_nake_flash(dev, record_progress, &pr), 0);
    GetCapturedStdout();
    EXPECT_EQ(pr.cur, std::vector<int>{4});
    EXPECT_EQ(pr.range, std::vector<int>{10});
    EXPECT_EQ(fake_usb::written(), (std::vector<uint8_t>{0x02, 0x00, 0xAA, 0xAA}));

    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dkb_init_bbm_used_flash(dev, nullptr, nullptr), DKB_ERR_MSG_READ);
    EXPECT_EQ(GetCapturedStdout(), "Init BBM for Used NAND flash failed\n");
    CaptureStdout();
    EXPECT_EQ(dkb_finialize_nand(dev), DKB_ERR_MSG_READ);
    EXPECT_EQ(GetCapturedStdout(),
              "Critical error. Write to SOR BBM failed. Please reformat whole flash\n");
    GetCapturedStderr();

    fake_usb::reset();
    fake_usb::state().fail_write_at = 0;
    EXPECT_EQ(dkb_init_bbm_nake_flash(dev, nullptr, nullptr), DKB_ERR_TRANSFER);
    EXPECT_EQ(dkb_finialize_nand(dev), DKB_ERR_ACK);
}

TEST_F(Dkb, ControlRecordsOnTheWire)
{
    EXPECT_EQ(dkb_set_gpio(dev, 5, 1), 0);
    EXPECT_EQ(fake_usb::written(),
              (std::vector<uint8_t>{0x80, 0x88, 0x88, 0xFF, 5, 0, 0, 0, 1, 0, 0, 0}));

    fake_usb::reset();
    struct tm t = {};
    t.tm_year = 110, t.tm_mon = 2, t.tm_mday = 7, t.tm_wday = 0;
    t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9;
    EXPECT_EQ(dkb_write_rtc(dev, &t), 0);
    EXPECT_EQ(fake_usb::state().writes[0].bytes, (std::vector<uint8_t>{0x80, 0x88, 0x55, 0xFF}));
    EXPECT_EQ(le32s(fake_usb::state().writes[1].bytes),
              (std::vector<uint32_t>{110, 2, 7, 0, 14, 5, 9}));

    fake_usb::reset();
    EXPECT_EQ(dkb_write_pmic_data(dev, 0x10, 0xA5), 0);
    auto w = fake_usb::written();
    EXPECT_EQ(std::vector<uint8_t>(w.begin(), w.begin() + 6),
              (std::vector<uint8_t>{0x80, 0x88, 0x77, 0xFF, 0x10, 0xA5}));
    EXPECT_EQ(w.size(), 8u);

    fake_usb::reset();
    EXPECT_EQ(dkb_set_nand_bbm_reloc_area(dev, 0x7000000, 0x8000000), 0);
    EXPECT_EQ(dkb_set_nand_flash_para(dev, 2), 0);
    EXPECT_EQ(tokens(), (std::vector<std::string>{"0xAAAA0009", "data:8", "0xAAAA000A", "0x2"}));
    EXPECT_EQ(le32s(fake_usb::state().writes[1].bytes),
              (std::vector<uint32_t>{0x7000000, 0x8000000}));

    fake_usb::reset();
    EXPECT_EQ(dkb_software_reset_device(dev), 0);
    EXPECT_EQ(dkb_hardware_reset_device(dev), 0);
    EXPECT_EQ(fake_usb::written(),
              (std::vector<uint8_t>{0x40, 0xAA, 0xAA, 0xFF, 0x80, 0xAA, 0xAA, 0xFF}));
    fake_usb::state().fail_write_at = 2;
    EXPECT_EQ(dkb_software_reset_device(dev), DKB_ERR_TRANSFER);
    fake_usb::state().fail_write_at = 3; // the record after a good word
    EXPECT_EQ(dkb_set_gpio(dev, 1, 1), DKB_ERR_TRANSFER);
}

TEST_F(Dkb, ControlReplies)
{
    comm_protocol_flash_info_resp info = {};
    std::vector<uint8_t> reply;
    for (uint32_t v : {0xECu, 0xDAu, 2048u, 2048u, 131072u, 64u, 8u}) {
        uint8_t b[4];
        put_le32(b, v);
        reply.insert(reply.end(), b, b + 4);
    }
    fake_usb::push(reply);
    EXPECT_EQ(dkb_get_nand_info(dev, &info), 0);
    EXPECT_EQ(info.manu_id, 0xECu);
    EXPECT_EQ(info.no_of_blocks, 2048u);
    EXPECT_EQ(info.block_size, 131072u);
    EXPECT_EQ(info.oob_size, 64u);
    EXPECT_EQ(info.bus_width, 8u);
    EXPECT_EQ(fake_usb::state().read_timeouts.back(), 2000);

    fake_usb::push(std::vector<uint8_t>(reply.begin(), reply.end() - 1)); // 27 bytes
    EXPECT_EQ(dkb_get_nand_info(dev, &info), DKB_ERR_ACK);

    fake_usb::reset();
    struct tm t = {};
    t.tm_yday = 77, t.tm_isdst = 1;
    fake_usb::push(
        {110, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 14, 0, 0, 0, 5, 0, 0, 0, 9, 0, 0, 0});
    EXPECT_EQ(dkb_read_rtc(dev, &t), 0);
    EXPECT_EQ(t.tm_year, 110);
    EXPECT_EQ(t.tm_mon, 2);
    EXPECT_EQ(t.tm_mday, 7);
    EXPECT_EQ(t.tm_hour, 14);
    EXPECT_EQ(t.tm_sec, 9);
    EXPECT_EQ(t.tm_yday, 77);
    EXPECT_EQ(t.tm_isdst, 1);
    t.tm_year = 1;
    EXPECT_EQ(dkb_read_rtc(dev, &t), DKB_ERR_ACK);
    EXPECT_EQ(t.tm_year, 1);

    fake_usb::reset();
    uint8_t value = 0x11;
    fake_usb::push({0x5C, 9, 9, 9});
    EXPECT_EQ(dkb_read_pmic_data(dev, 0x20, &value), 0);
    EXPECT_EQ(value, 0x5C);
    EXPECT_EQ(fake_usb::written(), (std::vector<uint8_t>{0x80, 0x88, 0x66, 0xFF, 0x20, 0, 0, 0}));
    EXPECT_EQ(dkb_read_pmic_data(dev, 0x20, &value), DKB_ERR_ACK);
    EXPECT_EQ(value, 0x5C);
}

} // namespace

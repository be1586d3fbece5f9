// tests/romcode: the boot ROM command protocol on the exact bytes on the wire, against the
// recording fake transport.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "fake_usb.h"
#include "romcode/romcode_protocol.h"
#include "romcode/sor_error_codes.h"
#include "util/bytes.h"

namespace
{

using Bytes = std::vector<uint8_t>;

class Protocol : public ::testing::Test
{
  protected:
    void SetUp() override { g_usb = FakeUsb{}; }
    usb_dev_handle *dev = reinterpret_cast<usb_dev_handle *>(0x1);
};

Bytes image(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

Bytes header_frame(uint8_t seq, uint32_t remaining)
{
    Bytes f = {0x2A, seq, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    put_le32(f.data() + 8, remaining);
    return f;
}

Bytes data_frame(uint8_t seq, const Bytes &img, size_t off, size_t n)
{
    Bytes f = {0x22, seq, 0, 0, 0, 0, 0, 0};
    put_le32(f.data() + 4, static_cast<uint32_t>(n));
    f.insert(f.end(), img.begin() + off, img.begin() + off + n);
    return f;
}

const Bytes kDone = {0x30, 0, 0, 0, 0, 0, 0, 0};

// A ROM that grants the sizes in `grants` one after the other and acknowledges data and done.
void granting_rom(std::vector<uint32_t> grants)
{
    auto next = std::make_shared<size_t>(0);
    g_usb.responder = [grants, next](const Bytes &w) {
        if (w[0] == 0x2A) {
            Bytes d(4);
            put_le32(d.data(), *next < grants.size() ? grants[*next] : 0);
            ++*next;
            g_usb.answer(0x2A, 0, d);
        } else {
            g_usb.answer(w[0], 0, {});
        }
    };
}

std::vector<Bytes> written()
{
    std::vector<Bytes> out;
    for (const FakeTransfer &w : g_usb.writes)
        out.push_back(w.bytes);
    return out;
}

TEST_F(Protocol, ImageCutAsTheRomGrants)
{
    Bytes img = image(1300);
    granting_rom({512, 512, 276});
    ASSERT_EQ(sor_romcode_send_image(dev, img.data(), 1300), 0);

    std::vector<Bytes> expect = {header_frame(1, 1300),
                                 data_frame(2, img, 0, 512),
                                 header_frame(3, 788),
                                 data_frame(4, img, 512, 512),
                                 header_frame(5, 276),
                                 data_frame(6, img, 1024, 276),
                                 kDone};
    EXPECT_EQ(written(), expect);
    for (const FakeTransfer &w : g_usb.writes) {
        EXPECT_EQ(w.ep, 0x02);
        EXPECT_EQ(w.timeout, 10000);
    }
    // Headers get 4 answer bytes, data and done none.
    std::vector<int> read_sizes;
    for (const FakeTransfer &r : g_usb.reads) {
        read_sizes.push_back(r.size);
        EXPECT_EQ(r.ep, 0x81);
        EXPECT_EQ(r.timeout, 5000);
    }
    EXPECT_EQ(read_sizes, (std::vector<int>{10, 6, 10, 6, 10, 6, 6}));
}

TEST_F(Protocol, GrantsTheImageCannotFillEndTheTransfer)
{
    Bytes img = image(1300);
    granting_rom({512, 512, 512}); // 512 after the header announcing 276
    EXPECT_EQ(sor_romcode_send_image(dev, img.data(), 1300), -6);
    std::vector<Bytes> w = written();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w.back(), header_frame(5, 276));

    // A zero grant while bytes remain would repeat the header for ever: one header, then -6.
    g_usb = FakeUsb{};
    granting_rom({0, 0, 0, 0});
    EXPECT_EQ(sor_romcode_send_image(dev, img.data(), 1300), -6);
    EXPECT_EQ(written(), (std::vector<Bytes>{header_frame(1, 1300)}));
}

TEST_F(Protocol, EmptyAndWholeImages)
{
    // 0 bytes: header announcing 0, a data command without data, done.
    granting_rom({0});
    EXPECT_EQ(sor_romcode_send_image(dev, nullptr, 0), 0);
    EXPECT_EQ(written(),
              (std::vector<Bytes>{header_frame(1, 0), Bytes{0x22, 2, 0, 0, 0, 0, 0, 0}, kDone}));
    g_usb = FakeUsb{};
    granting_rom({1});
    EXPECT_EQ(sor_romcode_send_image(dev, nullptr, 0), -6);
    EXPECT_EQ(g_usb.writes.size(), 1u);

    // Everything at once: one header, one data, done.
    g_usb = FakeUsb{};
    Bytes img = image(100000); // larger than one transport request; still one frame
    granting_rom({100000});
    EXPECT_EQ(sor_romcode_send_image(dev, img.data(), 100000), 0);
    EXPECT_EQ(written(),
              (std::vector<Bytes>{header_frame(1, 100000), data_frame(2, img, 0, 100000), kDone}));
}

TEST_F(Protocol, SequenceWrapsAfter255)
{
    Bytes img = image(200);
    granting_rom(std::vector<uint32_t>(200, 1));
    ASSERT_EQ(sor_romcode_send_image(dev, img.data(), 200), 0);
    std::vector<Bytes> w = written();
    ASSERT_EQ(w.size(), 401u);
    auto seqs = [&](int chunk) { // 1-based chunk: (header seq, data seq)
        return std::make_pair(w[2 * (chunk - 1)][1], w[2 * (chunk - 1) + 1][1]);
    };
    EXPECT_EQ(seqs(1), std::make_pair(uint8_t{1}, uint8_t{2}));
    EXPECT_EQ(seqs(127), std::make_pair(uint8_t{253}, uint8_t{254}));
    EXPECT_EQ(seqs(128), std::make_pair(uint8_t{255}, uint8_t{0}));
    EXPECT_EQ(seqs(129), std::make_pair(uint8_t{1}, uint8_t{2}));
    EXPECT_EQ(w[255], data_frame(0, img, 127, 1));
    EXPECT_EQ(w.back(), kDone);
}

TEST_F(Protocol, FailuresInsideATransferPassTheirCodeOn)
{
    Bytes img = image(1300);
    // The second data command is not acknowledged: -3, nothing more is sent.
    granting_rom({512, 512, 276});
    auto base = g_usb.responder;
    int data_seen = 0;
    g_usb.responder = [&](const Bytes &w) {
        if (w[0] == 0x22 && ++data_seen == 2)
            return;
        base(w);
    };
    EXPECT_EQ(sor_romcode_send_image(dev, img.data(), 1300), -3);
    EXPECT_EQ(g_usb.writes.size(), 4u);

    // The done is refused with a status: -7.
    g_usb = FakeUsb{};
    granting_rom({1300});
    base = g_usb.responder;
    g_usb.responder = [&](const Bytes &w) {
        if (w[0] == 0x30)
            g_usb.answer(0x30, 0x91, {});
        else
            base(w);
    };
    EXPECT_EQ(sor_romcode_send_image(dev, img.data(), 1300), -7);

    // The data frame cannot be written: -4.
    g_usb = FakeUsb{};
    granting_rom({1300});
    g_usb.fail_write_index = 1;
    EXPECT_EQ(sor_romcode_send_image(dev, img.data(), 1300), -4);
    EXPECT_EQ(g_usb.writes.size(), 2u);
}

TEST_F(Protocol, VersionIsDecodedMostSignificantFirst)
{
    g_usb.responder = [](const Bytes &w) {
        g_usb.answer(w[0], 0,
                     {0x31, 0x30, 0x32, 0x33, 0x78, 0x56, 0x34, 0x12, 0x07, 0x5A, 0x59, 0x58});
    };
    sor_bootrom_version v = {};
    ASSERT_EQ(sor_romcode_get_version(dev, &v), 0);
    EXPECT_EQ(std::string(v.version, 4), "3201");
    EXPECT_EQ(v.date, 0x12345678u);
    EXPECT_EQ(v.processor[0], 'X');
    EXPECT_EQ(v.processor[1], 'Y');
    EXPECT_EQ(v.processor[2], 'Z');
    EXPECT_EQ(v.processor[3], 0x07);
    EXPECT_EQ(written(), (std::vector<Bytes>{{0x20, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(g_usb.reads.at(0).size, 18);

    // A failed answer leaves the record untouched.
    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &w) { g_usb.answer(w[0], 0x02, Bytes(12, 0xEE)); };
    sor_bootrom_version untouched = {{'a', 'b', 'c', 'd'}, 1, {2, 3, 4, 5}};
    EXPECT_EQ(sor_romcode_get_version(dev, &untouched), -7);
    EXPECT_EQ(untouched.date, 1u);
    EXPECT_EQ(untouched.version[0], 'a');
}

TEST_F(Protocol, AnswersAreCheckedIdThenStatusThenLength)
{
    uint32_t id = 0xCAFE;
    // Wrong command id, status 0: -6.
    g_usb.responder = [](const Bytes &) { g_usb.answer(0x27, 0, {0x48, 0x4D, 0x49, 0x54}); };
    EXPECT_EQ(sor_romcode_select_image(dev, &id), -6);
    // Wrong length field, status 0 (the bytes on the wire are complete): -6.
    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &) { g_usb.answer(0x26, 0, {0x48, 0x4D, 0x49, 0x54}, 5); };
    EXPECT_EQ(sor_romcode_select_image(dev, &id), -6);
    // Non-zero status with a right id: -7, even with a wrong length.
    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &) { g_usb.answer(0x26, 0x6A, {0, 0, 0, 0}, 9); };
    EXPECT_EQ(sor_romcode_select_image(dev, &id), -7);
    // A wrong id wins over a status.
    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &) { g_usb.answer(0x20, 0x6A, {0, 0, 0, 0}); };
    EXPECT_EQ(sor_romcode_select_image(dev, &id), -6);
    // An answer shorter than expected: -3.
    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &) { g_usb.answer(0x26, 0, {0x48}); };
    EXPECT_EQ(sor_romcode_select_image(dev, &id), -3);
    EXPECT_EQ(id, 0xCAFEu);
    // Success stores the id.
    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &) { g_usb.answer(0x26, 0, {0x48, 0x4D, 0x49, 0x54}); };
    EXPECT_EQ(sor_romcode_select_image(dev, &id), 0);
    EXPECT_EQ(id, 0x54494D48u);
}

TEST_F(Protocol, VerifyCarriesOneZeroByte)
{
    g_usb.responder = [](const Bytes &w) { g_usb.answer(w[0], 0, {}); };
    EXPECT_EQ(sor_romcode_verify_image(dev), 0);
    EXPECT_EQ(written(), (std::vector<Bytes>{{0x27, 0, 0, 0, 1, 0, 0, 0, 0}}));
    EXPECT_EQ(g_usb.reads.at(0).size, 6);
}

TEST_F(Protocol, Preamble)
{
    const Bytes pre = {0x00, 0xD3, 0x02, 0x2B};
    g_usb.responder = [](const Bytes &w) { g_usb.raw(w); };
    EXPECT_EQ(sor_romcode_send_premble(dev), 0);
    EXPECT_EQ(written(), (std::vector<Bytes>{pre}));
    EXPECT_EQ(g_usb.writes[0].timeout, 2000);
    EXPECT_EQ(g_usb.reads.at(0).size, 4);
    EXPECT_EQ(g_usb.reads[0].timeout, 2000);

    g_usb = FakeUsb{};
    g_usb.responder = [](const Bytes &) { g_usb.raw({0x00, 0xD3, 0x02, 0x2C}); };
    EXPECT_EQ(sor_romcode_send_premble(dev), -2);

    g_usb = FakeUsb{}; // no echo
    EXPECT_EQ(sor_romcode_send_premble(dev), -3);

    g_usb = FakeUsb{};
    g_usb.fail_write_index = 0;
    EXPECT_EQ(sor_romcode_send_premble(dev), -4);
    EXPECT_TRUE(g_usb.reads.empty());
}

TEST_F(Protocol, DisconnectReadsNothing)
{
    g_usb.responder = [](const Bytes &w) { g_usb.answer(w[0], 0, {}); }; // a ROM that answers
    EXPECT_EQ(sor_romcode_disconnect(dev), 0);
    EXPECT_EQ(written(), (std::vector<Bytes>{{0x31, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_TRUE(g_usb.reads.empty());

    g_usb = FakeUsb{};
    g_usb.fail_write_index = 0;
    EXPECT_EQ(sor_romcode_disconnect(dev), -4);
}

TEST_F(Protocol, GetMessage)
{
    Bytes text(255, 0);
    memcpy(text.data(), "hello", 5);
    g_usb.responder = [&](const Bytes &) { g_usb.answer(0x2B, 0, text); };
    sor_bootrom_response resp = {};
    ASSERT_EQ(sor_romcode_get_message(dev, &resp), 0);
    EXPECT_EQ(written(), (std::vector<Bytes>{{0x2B, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(g_usb.writes[0].timeout, 1000);
    EXPECT_EQ(g_usb.reads.at(0).size, 261);
    EXPECT_EQ(g_usb.reads[0].timeout, 2000);
    EXPECT_EQ(resp.len, 255);
    EXPECT_STREQ(reinterpret_cast<const char *>(resp.data), "hello");

    g_usb = FakeUsb{};
    g_usb.responder = [&](const Bytes &) { g_usb.answer(0x2B, 0, text, 10); };
    EXPECT_EQ(sor_romcode_get_message(dev, &resp), -6);
    g_usb = FakeUsb{};
    g_usb.responder = [&](const Bytes &) { g_usb.answer(0x2B, 0x99, text); };
    EXPECT_EQ(sor_romcode_get_message(dev, &resp), -7);
    g_usb = FakeUsb{};
    g_usb.responder = [&](const Bytes &) { g_usb.answer(0x2A, 0, text); };
    EXPECT_EQ(sor_romcode_get_message(dev, &resp), -6);
    g_usb = FakeUsb{};
    EXPECT_EQ(sor_romcode_get_message(dev, &resp), -3);
}

TEST(StatusTable, FiftyThreeRowsInCodeOrder)
{
    std::set<int> codes;
    for (int i = 0; i < SOR_ERROR_CODES_COUNT; i++) {
        const sor_bootrom_errorcode &row = SOR_ERROR_CODES[i];
        if (i > 0) {
            EXPECT_LT(SOR_ERROR_CODES[i - 1].code, row.code) << "row " << i;
        }
        EXPECT_NE(memchr(row.description, '\0', sizeof(row.description)), nullptr);
        EXPECT_GT(strlen(row.description), 0u);
        codes.insert(row.code);
    }
    EXPECT_EQ(codes.size(), 53u);
    EXPECT_STREQ(SOR_ERROR_CODES[0].description, "NoError");
    EXPECT_STREQ(SOR_ERROR_CODES[52].description, "JtagReEnableOEMKeyLengthError");
    EXPECT_STREQ(sor_bootrom_error_description(0x6A), "InvalidTIMImageError");
    EXPECT_STREQ(sor_bootrom_error_description(0x9A), "NoEnumerationResponseTimeOutError");
    EXPECT_EQ(sor_bootrom_error_description(0x06), nullptr);
}

} // namespace

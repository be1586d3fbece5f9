// tests of the CRC-16: the table, the check value, and the sliced form against the reference.
#include "util/crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The table must be the standard reflected table for 0xA001, entry by entry.
TEST(Crc16, TableIsTheReflectedTableFor0xA001)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int b = 0; b < 8; b++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        ASSERT_EQ(crc_tbl[i], c) << "entry " << i;
    }
    EXPECT_EQ(crc_tbl[1], 0xC0C1u);
    EXPECT_EQ(crc_tbl[2], 0xC181u);
    EXPECT_EQ(crc_tbl[3], 0x0140u);
}

TEST(Crc16, CheckValuesAndEmptyInput)
{
    const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16(digits, 9), 0x4B37u);
    EXPECT_EQ(crc16(digits, 0), 0xFFFFu);
    EXPECT_EQ(crc16(nullptr, 0), 0xFFFFu);
    EXPECT_EQ(crc16_bytewise(digits, 9), 0x4B37u);
    EXPECT_EQ(crc16_bytewise(nullptr, 0), 0xFFFFu);
}

TEST(Crc16, UpperBitsStayZeroOverLongInput)
{
    std::vector<unsigned char> buf(200000);
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = static_cast<unsigned char>(i * 131 + 7);
    unsigned int c = crc16(buf.data(), static_cast<uint32_t>(buf.size()));
    EXPECT_EQ(c >> 16, 0u);
    // Any single changed byte changes the result.
    buf[123456] ^= 0x01;
    EXPECT_NE(crc16(buf.data(), static_cast<uint32_t>(buf.size())), c);
}

// The sliced crc16 must equal the byte-wise reference for every length (the tail after the last
// 16-byte step included), every start alignment and every content.
TEST(Crc16, SlicedEqualsBytewiseOnRandomLengthsAlignmentsAndContents)
{
    std::mt19937_64 rng(0x5EED'C0DE);
    std::vector<unsigned char> buf(4096 + 64);
    for (int round = 0; round < 2000; round++) {
        for (auto &b : buf)
            b = static_cast<unsigned char>(rng());
        size_t offset = rng() % 64;
        uint32_t len = static_cast<uint32_t>(rng() % (buf.size() - offset + 1));
        const unsigned char *p = buf.data() + offset;
        ASSERT_EQ(crc16(p, len), crc16_bytewise(p, len)) << "len " << len << " offset " << offset;
    }
    // Every short length exactly, around the 16-byte step.
    for (uint32_t len = 0; len <= 80; len++)
        for (size_t offset = 0; offset < 16; offset++)
            ASSERT_EQ(crc16(buf.data() + offset, len), crc16_bytewise(buf.data() + offset, len));
}

// Extreme contents, where a wrong slice table shows: all zero, all 0xFF, and a lone set bit at
// every position of a block (each byte index selects a different table).
TEST(Crc16, SlicedEqualsBytewiseOnExtremeContents)
{
    for (unsigned char fill : {0x00, 0xFF, 0x55, 0xAA}) {
        std::vector<unsigned char> buf(65537, fill);
        ASSERT_EQ(crc16(buf.data(), 65537), crc16_bytewise(buf.data(), 65537)) << int(fill);
    }
    std::vector<unsigned char> block(48, 0);
    for (size_t i = 0; i < block.size(); i++)
        for (int bit = 0; bit < 8; bit++) {
            block.assign(block.size(), 0);
            block[i] = static_cast<unsigned char>(1u << bit);
            ASSERT_EQ(crc16(block.data(), 48), crc16_bytewise(block.data(), 48))
                << "byte " << i << " bit " << bit;
        }
}

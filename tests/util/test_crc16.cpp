#include "util/crc16.h"

#include <gtest/gtest.h>

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

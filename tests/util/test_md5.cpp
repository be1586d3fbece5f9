#include "util/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

static std::string md5_hex(const std::string &s, size_t piece = 0)
{
    MD5_CTX ctx;
    EXPECT_EQ(MD5Init(&ctx), 0);
    if (piece == 0) {
        EXPECT_EQ(MD5Update(&ctx, s.data(), s.size()), 0);
    } else {
        for (size_t i = 0; i < s.size(); i += piece)
            EXPECT_EQ(MD5Update(&ctx, s.data() + i, std::min(piece, s.size() - i)), 0);
    }
    EXPECT_EQ(MD5Final(&ctx), 0);
    std::string hex;
    char b[3];
    for (unsigned char c : ctx.digest) {
        snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    return hex;
}

TEST(Md5, Rfc1321TestSuite)
{
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                      "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PiecewiseUpdatesGiveTheSameDigest)
{
    std::string s(10000, '\0');
    for (size_t i = 0; i < s.size(); i++)
        s[i] = static_cast<char>(i * 7);
    EXPECT_EQ(md5_hex(s, 1), md5_hex(s));
    EXPECT_EQ(md5_hex(s, 63), md5_hex(s));
    EXPECT_EQ(md5_hex(s, 4096), md5_hex(s));
}

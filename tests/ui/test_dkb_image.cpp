// The embedded DKB image must be the configured file, byte for byte.
#include "ui/dkb_image.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

TEST(DkbImage, EmbeddedBytesEqualTheConfiguredFile)
{
    std::ifstream f(BW_DKB_IMAGE_PATH, std::ios::binary);
    ASSERT_TRUE(f) << BW_DKB_IMAGE_PATH;
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(f)),
                                    std::istreambuf_iterator<char>());
    int size = -1;
    const unsigned char *p = load_flasher_image(DKB_IMAGE_RESOURCE_ID, &size);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(size, static_cast<int>(file.size()));
    EXPECT_TRUE(std::equal(file.begin(), file.end(), p));
}

TEST(DkbImage, OtherResourceIdsYieldNothing)
{
    int size = 7;
    EXPECT_EQ(load_flasher_image(151, &size), nullptr);
    EXPECT_EQ(size, 0);
}

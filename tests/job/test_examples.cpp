// tests of the job layer: the example jobs under examples/ parse as their README describes.
#include "job_test_util.h"

#include <unistd.h>

namespace
{

// Parses flasher.ini from inside an example folder, as the station runs there.
job_ptr parse_example(const char *folder)
{
    char cwd[4096];
    EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::string dir = std::string(BW_EXAMPLES_DIR) + "/" + folder;
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
    job_ptr job(flashini_parse_file("flasher.ini"));
    EXPECT_EQ(chdir(cwd), 0);
    return job;
}

TEST(ExampleJobs, ListJob)
{
    job_ptr job = parse_example("list-job");
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->gpio_bd_info_list->no_of_gpio_info, 2);
    EXPECT_EQ(job->gpio_ad_info_list->no_of_gpio_info, 1);
    EXPECT_EQ(job->erase_info_list->no_of_erase_info, 2);
    ASSERT_EQ(job->partition_info_list->no_of_partition_info, 4);
    for (int i = 0; i < 4; i++) {
        const flashini_partition_info &p = job->partition_info_list->partition_info[i];
        EXPECT_EQ(p.skip_flash, i == 3 ? 1 : 0) << p.filename; // only calibration.img is absent
        EXPECT_EQ(p.nand_loc_start % 0x20000, 0u);
        EXPECT_EQ(p.nand_loc_end % 0x20000, 0u);
        EXPECT_LT(p.nand_loc_end, 1024u * 0x20000);
    }
}

TEST(ExampleJobs, OneFileJob)
{
    job_ptr job = parse_example("onefile-job");
    ASSERT_NE(job, nullptr);
    EXPECT_STREQ(job->one_file_image, "job.1fi");
    EXPECT_STREQ(job->one_file_image_description, "Example one-file job 1.0");
    EXPECT_EQ(std::string(job->creationtime, 12), "202612081900");
    EXPECT_EQ(job->logging, 1);
    ASSERT_EQ(job->partition_info_list->no_of_partition_info, 3);
    EXPECT_STREQ(job->partition_info_list->partition_info[0].filename, "job.1fi");
    EXPECT_STREQ(job->partition_info_list->partition_info[0].original_filename, "boot.img");
    EXPECT_EQ(job->partition_info_list->partition_info[0].file_size, 8 * 1024);
    EXPECT_EQ(job->partition_info_list->partition_info[1].file_size, 192 * 1024);
    EXPECT_STREQ(job->partition_info_list->partition_info[2].filename, "splash.img");
    EXPECT_EQ(job->gpio_bd_info_list->no_of_gpio_info, 1);
    EXPECT_EQ(job->gpio_ad_info_list->no_of_gpio_info, 1);
    EXPECT_EQ(job->erase_info_list->no_of_erase_info, 1);
}

} // namespace

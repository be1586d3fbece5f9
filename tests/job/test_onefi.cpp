// tests of the job layer: one-file image containers, alone and merged with flasher.ini.
#include "job_test_util.h"

#include <climits>
#include <cstring>
#include <sys/stat.h>

#include "util/bytes.h"
#include "util/md5.h"

namespace
{

using onefi_writer::container;
using onefi_writer::section;

std::vector<uint8_t> bytes_of(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

section image(const std::string &name, const std::string &desc, const std::string &data,
              uint32_t start, uint32_t end)
{
    section s;
    s.type = ONEFI_IMAGE;
    s.name = name;
    s.desc = desc;
    s.data = bytes_of(data);
    s.first = start;
    s.second = end;
    return s;
}

section plain(uint32_t type, uint32_t first, uint32_t second)
{
    section s;
    s.type = type;
    s.first = first;
    s.second = second;
    return s;
}

// A container with every kind of section, interleaved so that per-type order is visible.
container sample()
{
    container c;
    c.description = "Release 1.2";
    c.creationtime = "201011250647";
    c.enable_crc_download = 0;
    c.init_nand_flash_bbm_method = 2;
    c.bbm_reloc_addr = 0x7000000;
    c.bbm_reloc_end_addr = 0x8000000;
    c.num_of_chip_select = 1;
    c.sections = {image("boot.img", "Boot", "BOOTDATA", 0x0, 0x40000),
                  plain(ONEFI_ERASE, 0x100000, 0x120000),
                  plain(ONEFI_GPIO_BD, 10, 1),
                  plain(7, 1, 2), // unknown type: skipped
                  image("kernel.img", "Kernel", "KERNEL", 0x40000, 0x100000),
                  plain(ONEFI_GPIO_AD, 11, 0),
                  plain(ONEFI_ERASE, 0x200000, 0x240000),
                  plain(ONEFI_GPIO_BD, 12, 0)};
    return c;
}

class OneFi : public JobDirTest
{
  protected:
    // Runs parse_one_1fi on a fresh record; stderr goes to err_.
    int read(const std::string &file)
    {
        memset(&job_, 0, sizeof job_);
        testing::internal::CaptureStderr();
        int rc = parse_one_1fi(&job_, file.c_str());
        err_ = testing::internal::GetCapturedStderr();
        return rc;
    }

    // Expects the container to be refused with exactly message and the record left untouched.
    void expect_refused(const std::vector<uint8_t> &bytes, const std::string &message)
    {
        std::string file = write_bytes("bad.1fi", bytes);
        EXPECT_NE(read(file), 0);
        EXPECT_EQ(err_, message);
        flashini_content zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(memcmp(&job_, &zero, sizeof zero), 0) << "record changed on failure";
    }

    void TearDown() override
    {
        free(job_.erase_info_list);
        free(job_.partition_info_list);
        free(job_.gpio_bd_info_list);
        free(job_.gpio_ad_info_list);
        JobDirTest::TearDown();
    }

    flashini_content job_{};
};

TEST_F(OneFi, ReadsHeaderSettingsAndSectionsInFileOrder)
{
    std::vector<uint8_t> bytes = onefi_writer::build(sample());
    std::string file = write_bytes("job.1fi", bytes);
    ASSERT_EQ(read(file), 0) << err_;
    EXPECT_EQ(err_, "");
    EXPECT_EQ(job_.enable_crc, 0);
    EXPECT_EQ(job_.init_bbm_method, 2);
    EXPECT_EQ(job_.bbm_reloc_addr, 0x7000000);
    EXPECT_EQ(job_.bbm_reloc_end_addr, 0x8000000);
    EXPECT_EQ(job_.num_of_chip_select, 1);
    EXPECT_EQ(std::string(job_.creationtime, 12), "201011250647");
    EXPECT_STREQ(job_.one_file_image_description, "Release 1.2");
    EXPECT_EQ(std::string(job_.one_file_image), file);

    ASSERT_EQ(job_.partition_info_list->no_of_partition_info, 2);
    const flashini_partition_info &boot = job_.partition_info_list->partition_info[0];
    EXPECT_EQ(std::string(boot.filename), file);
    EXPECT_STREQ(boot.original_filename, "boot.img");
    EXPECT_STREQ(boot.desc, "Boot");
    EXPECT_EQ(boot.nand_loc_start, 0u);
    EXPECT_EQ(boot.nand_loc_end, 0x40000u);
    EXPECT_EQ(boot.skip_flash, 0);
    EXPECT_EQ(boot.file_size, 8);
    // the entry points at its own bytes inside the container
    ASSERT_LE(static_cast<size_t>(boot.offset_in_file) + 8, bytes.size());
    EXPECT_EQ(memcmp(bytes.data() + boot.offset_in_file, "BOOTDATA", 8), 0);
    const flashini_partition_info &kernel = job_.partition_info_list->partition_info[1];
    EXPECT_STREQ(kernel.original_filename, "kernel.img");
    EXPECT_EQ(kernel.nand_loc_start, 0x40000u);
    EXPECT_EQ(memcmp(bytes.data() + kernel.offset_in_file, "KERNEL", 6), 0);

    ASSERT_EQ(job_.erase_info_list->no_of_erase_info, 2);
    EXPECT_EQ(job_.erase_info_list->erase_info[0].nand_loc_start, 0x100000u);
    EXPECT_EQ(job_.erase_info_list->erase_info[1].nand_loc_start, 0x200000u);
    EXPECT_EQ(job_.erase_info_list->erase_info[1].nand_loc_end, 0x240000u);
    ASSERT_EQ(job_.gpio_bd_info_list->no_of_gpio_info, 2);
    EXPECT_EQ(job_.gpio_bd_info_list->gpio_info[0].gpio, 10);
    EXPECT_EQ(job_.gpio_bd_info_list->gpio_info[1].gpio, 12);
    ASSERT_EQ(job_.gpio_ad_info_list->no_of_gpio_info, 1);
    EXPECT_EQ(job_.gpio_ad_info_list->gpio_info[0].gpio, 11);
    EXPECT_EQ(job_.gpio_ad_info_list->gpio_info[0].value, 0);
}

TEST_F(OneFi, EmptyContainerGivesEmptyListsAndTheHeaderSettings)
{
    container c;
    c.init_nand_flash_bbm_method = 0;
    ASSERT_EQ(read(write_bytes("empty.1fi", onefi_writer::build(c))), 0) << err_;
    EXPECT_EQ(job_.partition_info_list->no_of_partition_info, 0);
    EXPECT_EQ(job_.erase_info_list->no_of_erase_info, 0);
    EXPECT_EQ(job_.gpio_bd_info_list->no_of_gpio_info, 0);
    EXPECT_EQ(job_.gpio_ad_info_list->no_of_gpio_info, 0);
    EXPECT_EQ(job_.init_bbm_method, 0);
    EXPECT_EQ(job_.num_of_chip_select, -1); // all ones
}

TEST_F(OneFi, TextFieldsAreCutAndTerminated)
{
    container c;
    c.description = std::string(60, 'v'); // fills the field, no terminator
    c.sections = {image(std::string(4096, 'n'), std::string(256, 'd'), "x", 0, 1)};
    ASSERT_EQ(read(write_bytes("t.1fi", onefi_writer::build(c))), 0) << err_;
    EXPECT_EQ(std::string(job_.one_file_image_description), std::string(60, 'v'));
    const flashini_partition_info &e = job_.partition_info_list->partition_info[0];
    EXPECT_EQ(std::string(e.original_filename), std::string(4095, 'n'));
    EXPECT_EQ(std::string(e.desc), std::string(255, 'd'));
    EXPECT_EQ(std::string(e.md5sum_res, sizeof e.md5sum_res), std::string(33, '\0'));
}

TEST_F(OneFi, ImageRangesMustLieInsideTheFile)
{
    container c;
    c.sections = {image("a", "a", "0123456789", 0, 1)};
    size_t len = onefi_writer::build(c).size();

    // size 0 means "to the end of the file"; reaching exactly the end is fine
    c.sections[0].size = 0;
    ASSERT_EQ(read(write_bytes("ok.1fi", onefi_writer::build(c))), 0) << err_;
    EXPECT_EQ(job_.partition_info_list->partition_info[0].file_size, 0);
    free(job_.partition_info_list);
    free(job_.erase_info_list);
    free(job_.gpio_bd_info_list);
    free(job_.gpio_ad_info_list);

    auto beyond = [&](uint32_t offset, uint32_t size) {
        container d = c;
        d.sections[0].offset = offset;
        d.sections[0].size = size;
        expect_refused(onefi_writer::build(d),
                       "One file image section 0: image at offset " + std::to_string(offset) +
                           ", size " + std::to_string(size) + " lies beyond the end of the file (" +
                           std::to_string(len) + " bytes)\n");
    };
    beyond(static_cast<uint32_t>(len - 10), 11); // one byte too many
    beyond(static_cast<uint32_t>(len + 1), 0);   // starts past the end
    beyond(0xFFFFFFF0u, 0x20);                   // would wrap in 32 bits
    beyond(0, 0x80000000u);                      // does not fit file_size
}

TEST_F(OneFi, MagicMustMatchAllFortyBytes)
{
    std::vector<uint8_t> bytes = onefi_writer::build(sample());
    std::vector<uint8_t> padded = bytes;
    padded[20] = ' ';
    expect_refused(padded, "One file image magic number not found\n");
    std::vector<uint8_t> lower = bytes;
    lower[1] = 'f';
    expect_refused(lower, "One file image magic number not found\n");
}

TEST_F(OneFi, ChecksumCoversEveryByteFrom56)
{
    std::vector<uint8_t> good = onefi_writer::build(sample());
    // the section count, a reserved header byte, a section's unread part, image data, last byte
    for (size_t at :
         {size_t{56}, size_t{200}, ONEFI_HEADER_SIZE + 4700, good.size() - 10, good.size() - 1}) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= 0x01;
        MD5_CTX ctx;
        MD5Init(&ctx);
        MD5Update(&ctx, bad.data() + 56, bad.size() - 56);
        MD5Final(&ctx);
        char stored[33], computed[33];
        for (int i = 0; i < 16; i++) {
            snprintf(stored + 2 * i, 3, "%02X", bad[40 + i]);
            snprintf(computed + 2 * i, 3, "%02X", ctx.digest[i]);
        }
        expect_refused(bad, std::string("One file image checksum error: ") + stored +
                                " expected: " + computed + "\n");
    }
}

TEST_F(OneFi, ShortOrMissingFilesAreRefused)
{
    std::vector<uint8_t> bytes = onefi_writer::build(sample());
    expect_refused({}, "Read one file image error\n");
    expect_refused(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 491),
                   "Read one file image error\n");

    EXPECT_NE(read(path("absent.1fi")), 0);
    EXPECT_EQ(err_, "Open one file image error\n");
    ASSERT_EQ(mkdir(path("dir.1fi").c_str(), 0755), 0);
    EXPECT_NE(read(path("dir.1fi")), 0);
    EXPECT_EQ(err_, "Open one file image error\n");
}

TEST_F(OneFi, SectionCountMustFitTheFile)
{
    // one section more than the file holds, and a count whose table would need 20 GB: both are
    // refused from the file length, before anything is allocated
    for (uint32_t count : {9u, 0xFFFFFFFFu}) {
        container c = sample();
        c.no_of_sections = count;
        c.sections.resize(7); // the file holds 7 sections plus image bytes < one more section
        expect_refused(onefi_writer::build(c), "Read file image error\n");
    }
}

// ---- a container named by flasher.ini ----

TEST_F(OneFi, FlasherIniOverridesSettingsAndAppendsItsEntries)
{
    std::string one = write_bytes("job.1fi", onefi_writer::build(sample()));
    std::string extra = write_text("extra.img", "extra");
    job_ptr job = parse(
        write_text("flasher.ini",
                   "[misc]\ncrc=1\nnum_of_chip_select=2\nlogging=1\n"
                   "[map]\n1fi_file=" +
                       one +
                       "\ntotal=1\n"
                       "[map1]\nfilename=" +
                       extra +
                       "\ndesc=Extra\nnand_loc=0x300000\n"
                       "nand_loc_end=0x340000\n"
                       "[gpio_bd]\ntotal=1\n[gpio_bd1]\ngpio=20\nvalue=1\n"
                       "[erase]\ntotal=1\n[erase1]\nnand_loc=0x400000\nnand_loc_end=0x440000\n"));
    ASSERT_NE(job, nullptr) << err_;
    EXPECT_EQ(job->enable_crc, 1);         // flasher.ini
    EXPECT_EQ(job->num_of_chip_select, 2); // flasher.ini
    EXPECT_EQ(job->init_bbm_method, 2);    // container
    EXPECT_EQ(job->bbm_reloc_addr, 0x7000000);
    EXPECT_EQ(job->logging, 1);
    EXPECT_EQ(std::string(job->one_file_image), one);

    ASSERT_EQ(job->partition_info_list->no_of_partition_info, 3);
    EXPECT_STREQ(job->partition_info_list->partition_info[0].original_filename, "boot.img");
    EXPECT_STREQ(job->partition_info_list->partition_info[1].original_filename, "kernel.img");
    EXPECT_EQ(std::string(job->partition_info_list->partition_info[2].filename), extra);
    EXPECT_EQ(job->partition_info_list->partition_info[2].offset_in_file, 0);
    ASSERT_EQ(job->gpio_bd_info_list->no_of_gpio_info, 3);
    EXPECT_EQ(job->gpio_bd_info_list->gpio_info[2].gpio, 20);
    ASSERT_EQ(job->erase_info_list->no_of_erase_info, 3);
    EXPECT_EQ(job->erase_info_list->erase_info[2].nand_loc_start, 0x400000u);
    EXPECT_EQ(job->gpio_ad_info_list->no_of_gpio_info, 1);
}

TEST_F(OneFi, ContainerSettingsStandWithoutOverridesButSwitchesDoNot)
{
    container c = sample();
    c.enable_crc_download = 1;
    std::string one = write_bytes("job.1fi", onefi_writer::build(c));
    job_ptr job = parse(write_text("flasher.ini", "[misc]\ncrc=0\n[map]\n1fi_file=" + one + "\n"));
    ASSERT_NE(job, nullptr) << err_;
    EXPECT_EQ(job->enable_crc, 0); // flasher.ini wins over the container
    EXPECT_EQ(job->num_of_chip_select, 1);
    EXPECT_EQ(job->loop_test, 0); // switches come from flasher.ini only
    EXPECT_EQ(job->logging, 0);
    EXPECT_EQ(job->partition_info_list->no_of_partition_info, 2);
}

TEST_F(OneFi, ABadContainerOrAnEntryAfterItFailsTheWholeJob)
{
    std::vector<uint8_t> bytes = onefi_writer::build(sample());
    bytes[bytes.size() - 1] ^= 1;
    std::string bad = write_bytes("bad.1fi", bytes);
    EXPECT_EQ(parse(write_text("flasher.ini", "[map]\n1fi_file=" + bad + "\n")), nullptr);
    EXPECT_EQ(err_.rfind("One file image checksum error: ", 0), 0u) << err_;

    // the container's lists are released when a later entry fails (ASan checks the leak)
    std::string good = write_bytes("good.1fi", onefi_writer::build(sample()));
    EXPECT_EQ(parse(write_text("flasher.ini", "[map]\n1fi_file=" + good + "\ntotal=1\n")), nullptr);
    EXPECT_EQ(parse(write_text("flasher.ini", "[map]\n1fi_file=" + good + "\n[erase]\ntotal=-2\n")),
              nullptr);
    EXPECT_EQ(parse(write_text("flasher.ini", "[map]\n1fi_file=\n")), nullptr);
    EXPECT_EQ(err_, "Open one file image error\n");
}

} // namespace

// tests of the job layer: flasher.ini reading (list jobs, value rules, failures, guards).
#include "job_test_util.h"

#include <sys/stat.h>

namespace
{

using FlashIni = JobDirTest;

TEST_F(FlashIni, MiscOnlyJobHasDefaultsAndFourEmptyLists)
{
    job_ptr job = parse(write_text("flasher.ini", "[misc]\nlogging = 1\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->logging, 1);
    EXPECT_EQ(job->loop_test, 0);
    EXPECT_EQ(job->reboot, 0);
    EXPECT_EQ(job->sync_pc_time, 0);
    EXPECT_EQ(job->enable_crc, 1);
    EXPECT_EQ(job->init_bbm_method, FLASHINI_USE_EXIST_BBM_IF_NOT_FOUND_INIT_USED_BBM);
    EXPECT_EQ(job->bbm_reloc_addr, 0);
    EXPECT_EQ(job->bbm_reloc_end_addr, 0);
    EXPECT_EQ(job->num_of_chip_select, -1);
    EXPECT_EQ(std::string(job->creationtime, 12), std::string(12, '\0'));
    EXPECT_STREQ(job->one_file_image, "");
    EXPECT_STREQ(job->one_file_image_description, "");
    ASSERT_NE(job->erase_info_list, nullptr);
    ASSERT_NE(job->partition_info_list, nullptr);
    ASSERT_NE(job->gpio_bd_info_list, nullptr);
    ASSERT_NE(job->gpio_ad_info_list, nullptr);
    EXPECT_EQ(job->erase_info_list->no_of_erase_info, 0);
    EXPECT_EQ(job->partition_info_list->no_of_partition_info, 0);
    EXPECT_EQ(job->gpio_bd_info_list->no_of_gpio_info, 0);
    EXPECT_EQ(job->gpio_ad_info_list->no_of_gpio_info, 0);
    EXPECT_EQ(err_, "");
}

TEST_F(FlashIni, ListJobKeepsEveryEntryInOrder)
{
    std::string boot = write_text("Boot.IMG", "boot");
    job_ptr job = parse(
        write_text("flasher.ini", "[misc]\nloop_test=1\nreboot=2\nsync_pc_time=3\n"
                                  "crc=no\ninit_nand_flash_bbm=1\nbbm_reloc=0x100000\n"
                                  "bbm_reloc_end=0x200000\nnum_of_chip_select=1\n"
                                  "[gpio_bd]\ntotal=2\n[gpio_bd1]\ngpio=5\nvalue=1\n"
                                  "[gpio_bd2]\ngpio=6\nvalue=0\n"
                                  "[gpio_ad]\ntotal=1\n[gpio_ad1]\ngpio=7\nvalue=1\n"
                                  "[erase]\ntotal=2\n[erase1]\nnand_loc=0x0\nnand_loc_end=0x20000\n"
                                  "[erase2]\nnand_loc=0x100000\nnand_loc_end=0x140000\n"
                                  "[map]\ntotal=2\n"
                                  "[map1]\nfilename=" +
                                      boot +
                                      "\ndesc=Boot loader\n"
                                      "nand_loc=0x20000\nnand_loc_end=0x60000\n"
                                      "[map2]\nfilename=rootfs.img\ndesc=\nwith_oob=1\n"
                                      "nand_loc=0x60000\nnand_loc_end=0x100000\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->loop_test, 1);
    EXPECT_EQ(job->reboot, 2);
    EXPECT_EQ(job->sync_pc_time, 3);
    EXPECT_EQ(job->enable_crc, 0);
    EXPECT_EQ(job->init_bbm_method, FLASHINI_INIT_NAKE_BBM);
    EXPECT_EQ(job->bbm_reloc_addr, 0x100000);
    EXPECT_EQ(job->bbm_reloc_end_addr, 0x200000);
    EXPECT_EQ(job->num_of_chip_select, 1);

    ASSERT_EQ(job->gpio_bd_info_list->no_of_gpio_info, 2);
    EXPECT_EQ(job->gpio_bd_info_list->gpio_info[0].gpio, 5);
    EXPECT_EQ(job->gpio_bd_info_list->gpio_info[0].value, 1);
    EXPECT_EQ(job->gpio_bd_info_list->gpio_info[1].gpio, 6);
    EXPECT_EQ(job->gpio_bd_info_list->gpio_info[1].value, 0);
    ASSERT_EQ(job->gpio_ad_info_list->no_of_gpio_info, 1);
    EXPECT_EQ(job->gpio_ad_info_list->gpio_info[0].gpio, 7);

    ASSERT_EQ(job->erase_info_list->no_of_erase_info, 2);
    EXPECT_EQ(job->erase_info_list->erase_info[0].nand_loc_start, 0u);
    EXPECT_EQ(job->erase_info_list->erase_info[0].nand_loc_end, 0x20000u);
    EXPECT_EQ(job->erase_info_list->erase_info[1].nand_loc_start, 0x100000u);
    EXPECT_EQ(job->erase_info_list->erase_info[1].nand_loc_end, 0x140000u);

    ASSERT_EQ(job->partition_info_list->no_of_partition_info, 2);
    const flashini_partition_info &p1 = job->partition_info_list->partition_info[0];
    EXPECT_EQ(std::string(p1.filename), boot); // value case kept
    EXPECT_EQ(std::string(p1.original_filename), boot);
    EXPECT_STREQ(p1.desc, "Boot loader");
    EXPECT_EQ(p1.nand_loc_start, 0x20000u);
    EXPECT_EQ(p1.nand_loc_end, 0x60000u);
    EXPECT_EQ(p1.image_with_oob, 0);
    EXPECT_EQ(p1.skip_flash, 0);
    EXPECT_EQ(p1.offset_in_file, 0);
    EXPECT_EQ(p1.file_size, 0);
    const flashini_partition_info &p2 = job->partition_info_list->partition_info[1];
    EXPECT_STREQ(p2.filename, "rootfs.img"); // not checked for existence
    EXPECT_STREQ(p2.desc, "");               // present but empty is not absent
    EXPECT_EQ(p2.image_with_oob, 1);
}

TEST_F(FlashIni, IntegersReadLikeStrtolWithBaseZero)
{
    job_ptr job =
        parse(write_text("flasher.ini", "[misc]\nlogging=010\nloop_test=12abc\nreboot=abc\n"
                                        "sync_pc_time=-0x10\nnum_of_chip_select=\" 2\"\n"
                                        "[erase]\ntotal=1\n[erase1]\nnand_loc=0x40000\n"
                                        "nand_loc_end=2147483647\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->logging, 8);    // octal
    EXPECT_EQ(job->loop_test, 12); // stops at the first non-digit
    EXPECT_EQ(job->reboot, 0);     // no number at all
    EXPECT_EQ(job->sync_pc_time, -16);
    EXPECT_EQ(job->num_of_chip_select, 2);
    EXPECT_EQ(job->erase_info_list->erase_info[0].nand_loc_start, 262144u);
    EXPECT_EQ(job->erase_info_list->erase_info[0].nand_loc_end, 0x7FFFFFFFu);
}

TEST_F(FlashIni, BooleanLooksAtTheFirstCharacterOnly)
{
    struct {
        const char *text;
        int expected;
    } cases[] = {{"0x1", 0},   {"2", 1}, {"yes", 1}, {"T", 1},  {"1", 1},  {"no", 0},
                 {"False", 0}, {"0", 0}, {"", 1},    {"on", 1}, {"off", 1}};
    for (const auto &c : cases) {
        job_ptr job = parse(write_text("flasher.ini", std::string("[misc]\ncrc=") + c.text + "\n"));
        ASSERT_NE(job, nullptr) << c.text;
        EXPECT_EQ(job->enable_crc, c.expected) << "crc=" << c.text;
    }
}

TEST_F(FlashIni, NamesMatchInAnyCaseAndValuesKeepTheirs)
{
    job_ptr job = parse(write_text("flasher.ini", "[MISC]\nLogging = 1\nSYNC_PC_TIME=1\n"
                                                  "[Map]\nTOTAL=1\n[MAP1]\nFileName=Image.BIN\n"
                                                  "Desc=Kernel A\nNAND_LOC=0\nNand_Loc_End=1\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->logging, 1);
    EXPECT_EQ(job->sync_pc_time, 1);
    ASSERT_EQ(job->partition_info_list->no_of_partition_info, 1);
    EXPECT_STREQ(job->partition_info_list->partition_info[0].filename, "Image.BIN");
    EXPECT_STREQ(job->partition_info_list->partition_info[0].desc, "Kernel A");
}

TEST_F(FlashIni, LineSyntaxTheJobReliesOn)
{
    job_ptr job = parse(write_text(
        "flasher.ini", "# comment\n; comment\n\n  [map]  \r\n total = 3 \r\n"
                       "[map1]\nfilename = \"a ; b.img\"\ndesc = shown # not shown\n"
                       "nand_loc=1\nnand_loc_end=2\nnand_loc_end=3\n"
                       "[map2]\nfilename='q.img'\ndesc=\nnand_loc=1\nnand_loc_end=2\n"
                       "[map3]\nfilename=long\\\nname.img\ndesc=;\nnand_loc=1\nnand_loc_end=2"));
    ASSERT_NE(job, nullptr) << err_;
    const flashini_partition_info *p = job->partition_info_list->partition_info;
    EXPECT_STREQ(p[0].filename, "a ; b.img");
    EXPECT_STREQ(p[0].desc, "shown");
    EXPECT_EQ(p[0].nand_loc_end, 3u); // a key given twice keeps its last value
    EXPECT_STREQ(p[1].filename, "q.img");
    EXPECT_STREQ(p[2].filename, "longname.img");
    EXPECT_STREQ(p[2].desc, "");
}

TEST_F(FlashIni, MissingOrMinusOneRequiredKeysFailNamingWhatIsMissing)
{
    const char *entry = "[map1]\nfilename=a\ndesc=d\nnand_loc=0\nnand_loc_end=1\n";
    const std::pair<std::string, std::string> jobs[] = {
        // map:total 2 with map1 and map3 only: entry 2 is missing
        {std::string("[map]\ntotal=2\n") + entry +
             "[map3]\nfilename=c\ndesc=d\nnand_loc=0\nnand_loc_end=1\n",
         "[map2] is missing, though its list's total counts it"},
        {"[map]\ntotal=1\n[map1]\ndesc=d\nnand_loc=0\nnand_loc_end=1\n", "[map1] has no filename"},
        {"[map]\ntotal=1\n[map1]\nfilename=a\nnand_loc=0\nnand_loc_end=1\n", "[map1] has no desc"},
        {"[map]\ntotal=1\n[map1]\nfilename=a\ndesc=d\nnand_loc=-1\nnand_loc_end=1\n",
         "[map1] nand_loc = -1, which stands for a missing value"},
        {"[map]\ntotal=1\n[map1]\nfilename=a\ndesc=d\nnand_loc=0\n", "[map1] has no nand_loc_end"},
        {"[gpio_bd]\ntotal=1\n[gpio_bd1]\ngpio=3\nvalue=-1\n",
         "[gpio_bd1] value = -1, which stands for a missing value"},
        {"[gpio_ad]\ntotal=1\n[gpio_ad1]\nvalue=1\n", "[gpio_ad1] has no gpio"},
        {"[erase]\ntotal=1\n[erase1]\nnand_loc=0\n", "[erase1] has no nand_loc_end"},
        {"[erase]\ntotal=1\n[erase1]\nnand_loc=0\nnand_loc_end=-1\n",
         "[erase1] nand_loc_end = -1, which stands for a missing value"},
        // a section named like a key maps to a null value: absent, never a crash
        {"[map]\ntotal=1\n[map1:filename]\n[map1]\ndesc=d\nnand_loc=0\nnand_loc_end=1\n",
         "[map1] has no filename"},
        // more entries than the file has keys: fails before allocating them
        {"[map]\ntotal=3\n" + std::string(entry), "map:total = 3, but [map2] is missing"},
        {"[map]\ntotal=2000000000\n", "map:total = 2000000000, but [map1] is missing"},
    };
    for (const auto &[text, what] : jobs) {
        const std::string ini = write_text("flasher.ini", text);
        EXPECT_EQ(parse(ini), nullptr) << text;
        EXPECT_EQ(err_, ini + ": " + what + "\n") << text;
    }
    // a section named like a switch reads as its default
    job_ptr job = parse(write_text("flasher.ini", "[misc:crc]\n[misc:logging]\n[misc]\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->enable_crc, 1);
    EXPECT_EQ(job->logging, 0);
}

TEST_F(FlashIni, DescIsCutTo255Characters)
{
    std::string desc(300, 'd');
    job_ptr job =
        parse(write_text("flasher.ini", "[map]\ntotal=1\n[map1]\nfilename=a\ndesc=" + desc +
                                            "\nnand_loc=0\nnand_loc_end=1\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(std::string(job->partition_info_list->partition_info[0].desc), desc.substr(0, 255));
}

TEST_F(FlashIni, SkipOnlyWhenAllowedAndTheFileIsMissing)
{
    std::string present = write_text("present.img", "x");
    std::string missing = path("missing.img");
    job_ptr job = parse(write_text("flasher.ini", "[map]\ntotal=3\n"
                                                  "[map1]\nfilename=" +
                                                      present +
                                                      "\ndesc=a\nskip_flash_if_file_not_exist=1\n"
                                                      "nand_loc=0\nnand_loc_end=1\n"
                                                      "[map2]\nfilename=" +
                                                      missing +
                                                      "\ndesc=b\nskip_flash_if_file_not_exist=1\n"
                                                      "nand_loc=0\nnand_loc_end=1\n"
                                                      "[map3]\nfilename=" +
                                                      missing +
                                                      "\ndesc=c\nskip_flash_if_file_not_exist=0\n"
                                                      "nand_loc=0\nnand_loc_end=1\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->partition_info_list->partition_info[0].skip_flash, 0);
    EXPECT_EQ(job->partition_info_list->partition_info[1].skip_flash, 1);
    EXPECT_EQ(job->partition_info_list->partition_info[2].skip_flash, 0);
}

TEST_F(FlashIni, LoadFailuresReportIniparserThenCannotParse)
{
    std::string missing = path("nothere.ini");
    EXPECT_EQ(parse(missing), nullptr);
    EXPECT_EQ(err_, "iniparser: cannot open " + missing + "\ncannot parse file: " + missing + "\n");

    std::string bad = write_text("bad.ini", "[misc]\nlogging=1\njunk line\n");
    EXPECT_EQ(parse(bad), nullptr);
    EXPECT_EQ(err_, "iniparser: syntax error in " + bad +
                        " (3):\n-> junk line\n"
                        "cannot parse file: " +
                        bad + "\n");

    // 1022 characters plus the line end fit the reader's buffer; 1023 do not.
    std::string fits = write_text("fits.ini", "[misc]\nx=" + std::string(1020, 'a') + "\n");
    EXPECT_NE(parse(fits), nullptr);
    std::string longer = write_text("long.ini", "[misc]\nx=" + std::string(1021, 'a') + "\n");
    EXPECT_EQ(parse(longer), nullptr);
    EXPECT_EQ(err_, "iniparser: input line too long in " + longer +
                        " (2)\ncannot parse file: " + longer + "\n");
}

TEST_F(FlashIni, DirectoriesAndEmptyFilesAreRefused)
{
    std::string dir = path("flasher.ini");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(parse(dir), nullptr);
    EXPECT_EQ(err_, dir + ": is a directory, not a job file\ncannot parse file: " + dir + "\n");

    std::string empty = write_text("empty.ini", "");
    EXPECT_EQ(parse(empty), nullptr);
    EXPECT_EQ(err_, empty + ": the job file is empty\ncannot parse file: " + empty + "\n");
}

TEST_F(FlashIni, ByteOrderMarkIsSkipped)
{
    job_ptr job = parse(write_text("bom.ini", "\xEF\xBB\xBF[misc]\nlogging=1\n"));
    ASSERT_NE(job, nullptr) << err_;
    EXPECT_EQ(job->logging, 1);

    // messages still name the real file and the right line
    std::string bad = write_text("badbom.ini", "\xEF\xBB\xBF[misc]\nlogging=1\njunk\n");
    EXPECT_EQ(parse(bad), nullptr);
    EXPECT_EQ(err_, "iniparser: syntax error in " + bad +
                        " (3):\n-> junk\n"
                        "cannot parse file: " +
                        bad + "\n");

    // and iniparser's own reporting is back in place for the next file
    std::string plain = write_text("plain.ini", "[misc]\njunk\n");
    EXPECT_EQ(parse(plain), nullptr);
    EXPECT_EQ(err_, "iniparser: syntax error in " + plain +
                        " (2):\n-> junk\n"
                        "cannot parse file: " +
                        plain + "\n");
}

TEST_F(FlashIni, NumbersOutsideThirtyTwoBitsAreRefused)
{
    const char *values[] = {"2147483648", "0xFFFFFFFF", "-2147483649", "99999999999999999999999"};
    for (const char *v : values) {
        std::string ini = write_text("flasher.ini", std::string("[erase]\ntotal=1\n[erase1]\n"
                                                                "nand_loc=") +
                                                        v + "\nnand_loc_end=1\n");
        EXPECT_EQ(parse(ini), nullptr) << v;
        EXPECT_EQ(err_, ini + ": value of erase1:nand_loc does not fit in 32 bits: " + v + "\n");
    }
    job_ptr job = parse(write_text("flasher.ini", "[misc]\nbbm_reloc=-2147483648\n"));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->bbm_reloc_addr, INT32_MIN);
}

TEST_F(FlashIni, NegativeTotalsAreRefused)
{
    for (const char *section : {"gpio_bd", "gpio_ad", "erase", "map"}) {
        std::string ini = write_text("flasher.ini", std::string("[") + section + "]\ntotal=-1\n");
        EXPECT_EQ(parse(ini), nullptr) << section;
        EXPECT_EQ(err_, ini + ": " + section + ":total is negative: -1\n");
    }
}

} // namespace

// The job check's findings, one property each, and the misc:verify key it reports.
#include "job/job_check.h"
#include "job_test_util.h"

namespace
{

class JobCheck : public JobDirTest
{
  protected:
    // A list job: the given sections after two images of 0x20000 bytes (a.img, b.img), each in a
    // range of its own unless the sections say otherwise.
    std::vector<job_finding> check(const std::string &sections, bool write_b = true)
    {
        write_bytes("a.img", std::vector<uint8_t>(0x20000, 0xA5));
        if (write_b)
            write_bytes("b.img", std::vector<uint8_t>(0x20000, 0x5A));
        std::string ini = "[map]\ntotal = 2\n"
                          "[map1]\nfilename = " +
                          path("a.img") +
                          "\ndesc = A\n"
                          "nand_loc = 0\nnand_loc_end = 0x40000\n" +
                          sections;
        if (sections.find("[map2]") == std::string::npos)
            ini += "[map2]\nfilename = " + path("b.img") +
                   "\ndesc = B\n"
                   "nand_loc = 0x40000\nnand_loc_end = 0x80000\n";
        job = parse(write_text("flasher.ini", ini));
        EXPECT_TRUE(job) << err_;
        return job ? job_check_findings(*job) : std::vector<job_finding>{};
    }
    // A list job of one image, a.img with the given bytes, in 0..0x80000, after misc lines.
    job_ptr image_job(const std::vector<uint8_t> &bytes, const std::string &misc = "")
    {
        write_bytes("a.img", bytes);
        return parse(
            write_text("flasher.ini", "[misc]\n" + misc +
                                          "[map]\ntotal = 1\n[map1]\nfilename = " + path("a.img") +
                                          "\ndesc = A\nnand_loc = 0\nnand_loc_end = "
                                          "0x80000\n"));
    }
    static std::string texts(const std::vector<job_finding> &f)
    {
        std::string s;
        for (const job_finding &x : f)
            s += (x.problem ? "problem: " : "warning: ") + x.text + "\n";
        return s;
    }
    job_ptr job;
};

TEST_F(JobCheck, VerifyKeyIsReadWithoutChangingTheOtherSettings)
{
    EXPECT_TRUE(check("").empty());
    EXPECT_EQ(job->verify, 0);
    job_ptr plain = std::move(job);
    check("[misc]\nverify = 1\n");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->verify, 1);
    job->verify = 0;
    EXPECT_EQ(memcmp(job.get(), plain.get(), offsetof(flashini_content, erase_info_list)), 0);
}

TEST_F(JobCheck, OverlappingImageRangesNameBothEntries)
{
    auto f = check("[map2]\nfilename = " + path("b.img") +
                   "\ndesc = B\nnand_loc = 0x20000\nnand_loc_end = 0x60000\n");
    ASSERT_EQ(job_check_problem_count(f), 1) << texts(f);
    EXPECT_EQ(f[0].text.find("[map2] \"B\" (" + path("b.img") +
                             ") 0x00020000-0x00060000 overlaps "
                             "[map1] \"A\" (" +
                             path("a.img") + ") 0x00000000-0x00040000"),
              0u)
        << f[0].text;
}

TEST_F(JobCheck, EraseRangeOverlappingAnImageIsAProblem)
{
    auto f = check("[erase]\ntotal = 2\n[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x200000\n"
                   "[erase2]\nnand_loc = 0x60000\nnand_loc_end = 0x100000\n");
    ASSERT_EQ(job_check_problem_count(f), 1) << texts(f);
    EXPECT_EQ(f[0].text.find("[erase2] 0x00060000-0x00100000 overlaps [map2] \"B\""), 0u)
        << f[0].text;
}

TEST_F(JobCheck, EndAtOrBeforeStartIsAProblem)
{
    auto f = check("[erase]\ntotal = 1\n[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x100000\n"
                   "[map2]\nfilename = " +
                   path("b.img") + "\ndesc = B\nnand_loc = 0x80000\nnand_loc_end = 0x40000\n");
    EXPECT_EQ(job_check_problem_count(f), 2) << texts(f);
    EXPECT_NE(texts(f).find("problem: [map2] \"B\" (" + path("b.img") +
                            "): the range 0x00080000-0x00040000 ends at or before its start"),
              std::string::npos)
        << texts(f);
    EXPECT_NE(texts(f).find("problem: [erase1] 0x00100000-0x00100000: ends at or before its start"),
              std::string::npos);
}

TEST_F(JobCheck, MissingFileIsAProblemUnlessItMayBeSkipped)
{
    const std::string b = "[map2]\nfilename = " + path("b.img") +
                          "\ndesc = B\nnand_loc = 0x40000\nnand_loc_end = 0x80000\n";
    auto f = check(b, false);
    ASSERT_EQ(job_check_problem_count(f), 1) << texts(f);
    EXPECT_NE(f[0].text.find("the file is missing and the entry may not be skipped; every phone "
                             "fails with -16"),
              std::string::npos);
    const std::string plan = job_check_plan(*job, path("flasher.ini").c_str(), {});
    const size_t write_b = plan.find("Write [map2]");
    ASSERT_NE(write_b, std::string::npos) << plan;
    const std::string line = plan.substr(write_b, plan.find('\n', write_b) - write_b);
    EXPECT_NE(line.find("fails: the file is missing"), std::string::npos) << line;
    EXPECT_EQ(line.find("its file is present"), std::string::npos) << line;

    f = check(b + "skip_flash_if_file_not_exist = 1\n", false);
    EXPECT_EQ(job_check_problem_count(f), 0) << texts(f);
    EXPECT_EQ(texts(f), "warning: [map2] \"B\" (" + path("b.img") +
                            "): the file is missing; the entry is skipped "
                            "(skip_flash_if_file_not_exist)\n");
}

} // namespace

namespace
{

// An image of 4 blocks (2048-byte pages, 64 a block): data in block 0, two blank blocks, and
// block 3 a third data; "UBI#" at its start when ubi.
std::vector<uint8_t> half_blank(bool ubi)
{
    std::vector<uint8_t> img(4 * 0x20000, 0xFF);
    memset(img.data(), 0x11, 0x20000);
    memset(img.data() + 3 * 0x20000, 0x22, 21 * 2048 + 1);
    if (ubi)
        memcpy(img.data(), "UBI#", 4);
    return img;
}

} // namespace

TEST_F(JobCheck, PlanTellsTheBlankShareOfAnImage)
{
    job = image_job(half_blank(false));
    ASSERT_TRUE(job) << err_;
    const std::string plan = job_check_plan(*job, "flasher.ini", {});
    // 2 blank blocks + 42 blank pages = 170 of 256 pages, 348160 bytes at 40 MB/s.
    EXPECT_NE(plan.find("blank: 2 of 4 blocks, 42 trailing pages of the other blocks (66.4% of "
                        "the image, 348160 bytes (340.0 KiB)); skip_blank = 1 would save 0.01 s "
                        "a phone at 40 MB/s"),
              std::string::npos)
        << plan;
    EXPECT_TRUE(job_check_findings(*job).empty());
}

TEST_F(JobCheck, UbiImageWithoutSkipBlankIsAWarning)
{
    job = image_job(half_blank(true));
    ASSERT_TRUE(job) << err_;
    auto f = job_check_findings(*job);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_FALSE(f[0].problem);
    EXPECT_NE(f[0].text.find("a UBI image"), std::string::npos) << f[0].text;
    job = image_job(half_blank(true), "skip_blank = 1\n");
    ASSERT_TRUE(job) << err_;
    EXPECT_TRUE(job_check_findings(*job).empty());
    EXPECT_FALSE(image_job(half_blank(true), "skip_blank = 2\n"));
}

// Files outside the job's directory, by absolute path or by ../, are still written but each is
// warned about; files inside are not.
TEST_F(JobCheck, FilesOutsideTheJobDirectoryAreWarnedAbout)
{
    char other[] = "/tmp/bw-job-outside-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    const std::string outside = std::string(other) + "/b.img";
    ASSERT_TRUE(onefi_writer::write_file(outside, std::vector<uint8_t>(0x20000, 0x5A)));
    const std::string climbing = dir_ + "/../" + std::string(other).substr(5) + "/b.img";
    auto f = check("[map2]\nfilename = " + climbing +
                       "\ndesc = B\nnand_loc = 0x40000\nnand_loc_end = 0x80000\n",
                   false);
    ASSERT_TRUE(job);
    EXPECT_TRUE(f.empty()) << texts(f);
    f = job_check_findings(*job, path("flasher.ini"));
    EXPECT_EQ(job_check_problem_count(f), 0) << texts(f);
    EXPECT_EQ(texts(f), "warning: [map2] \"B\" (" + climbing +
                            "): the file lies outside the job's directory " + dir_ + " (it is " +
                            outside + ")\n");
    unlink(outside.c_str());
    rmdir(other);
}

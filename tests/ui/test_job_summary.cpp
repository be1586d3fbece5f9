// Tests of the job summary runs and their terminal rendering.
#include "ui/job_summary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace
{

using ui::SummaryJob;
using ui::SummaryRun;

// Sets TZ for one test and puts the old value back.
class ScopedTz
{
  public:
    explicit ScopedTz(const char *tz)
    {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(JobSummary, ListJobMarksSkippedFilesRedWithoutBold)
{
    SummaryJob job;
    job.entries = {{"boot.bin", false}, {"radio.bin", true}, {"fs.img", false}};
    std::vector<SummaryRun> expect = {
        {"Filename: ", true, false},
        {"boot.bin, ", false, false},
        {"radio.bin[missing and skip]", false, true},
        {", fs.img", false, false},
    };
    EXPECT_EQ(ui::job_summary(job, nullptr), expect);
}

TEST(JobSummary, EmptyListJobShowsOnlyTheLabel)
{
    SummaryJob job;
    std::vector<SummaryRun> expect = {{"Filename: ", true, false}};
    EXPECT_EQ(ui::job_summary(job, nullptr), expect);
    // A list job never mentions a plug-in: only one-file jobs can carry one.
    EXPECT_EQ(ui::job_summary(job, "qc"), expect);
}

TEST(JobSummary, OneFileJobInZoneEightHoursEast)
{
    ScopedTz tz("CST-8"); // eight hours east of UTC, no daylight saving
    SummaryJob job;
    job.one_file_image = "release.1fi";
    job.description = "SOR v1.2";
    job.creationtime = "201011250647";
    job.entries = {
        {"release.1fi", false}, {"extra.bin", false}, {"release.1fi", false}, {"cal.bin", true}};
    std::vector<SummaryRun> expect = {
        {"Filename: ", true, false},
        {"release.1fi [SOR v1.2]\n", false, false},
        {"Creation Time: ", true, false},
        {"2010-11-25 06:47 (UTC)", false, false},
        {",\t", true, false},
        {"2010-11-25 14:47 + 8.0 Hrs (Local time)\nUsing external plugin: QC check", false, false},
        {"\nAdditional files: ", true, false},
        {"extra.bin, ", false, false},
        {"cal.bin[missing, skip allowed]", true, true},
    };
    EXPECT_EQ(ui::job_summary(job, "QC check"), expect);
}

TEST(JobSummary, OneFileJobWithoutDescriptionOrAdditionalFiles)
{
    ScopedTz tz("UTC0");
    SummaryJob job;
    job.one_file_image = "a.1fi";
    job.creationtime = "202401020304";
    job.entries = {{"a.1fi", false}, {"a.1fi", false}};
    std::string text = ui::summary_text(ui::job_summary(job, nullptr));
    EXPECT_EQ(text, "Filename: a.1fi\nCreation Time: 2024-01-02 03:04 (UTC),\t"
                    "2024-01-02 03:04 + 0.0 Hrs (Local time)");
}

TEST(JobSummary, LocalTimeUsesDstButShowsTheStandardOffset)
{
    // Central Europe: standard +1, summer +2. A July creation time is shifted by two hours
    // while the offset shown stays the standard one.
    ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    SummaryJob job;
    job.one_file_image = "a.1fi";
    job.creationtime = "202307012330";
    std::string text = ui::summary_text(ui::job_summary(job, nullptr));
    EXPECT_NE(text.find("2023-07-02 01:30 + 1.0 Hrs (Local time)"), std::string::npos) << text;

    ScopedTz west("EST5EDT,M3.2.0,M11.1.0");
    text = ui::summary_text(ui::job_summary(job, nullptr));
    EXPECT_NE(text.find("2023-07-01 19:30 + -5.0 Hrs (Local time)"), std::string::npos) << text;
}

TEST(JobSummary, MalformedCreationTimeDoesNotReadPastItsTwelveCharacters)
{
    ScopedTz tz("UTC0");
    SummaryJob job;
    job.one_file_image = "a.1fi";
    job.creationtime = std::string("2010\0\0\0\0\0\0\0\0", 12); // cut short by terminators
    std::string text = ui::summary_text(ui::job_summary(job, nullptr));
    EXPECT_NE(text.find("Creation Time: 2010-- : (UTC)"), std::string::npos) << text;
}

TEST(JobSummary, AnsiRenderingWrapsFormattedRunsOnly)
{
    std::vector<SummaryRun> runs = {
        {"B", true, false}, {"n", false, false}, {"R", false, true}, {"BR", true, true}};
    EXPECT_EQ(ui::summary_ansi(runs, true), "\033[1mB\033[0mn\033[31mR\033[0m\033[1;31mBR\033[0m");
    EXPECT_EQ(ui::summary_ansi(runs, false), "BnRBR");
}

} // namespace

// The job check's findings follow the summary, each on its own line in red; problems in bold.
TEST(JobSummary, FindingsFollowInRedOneLineEach)
{
    std::vector<job_finding> findings = {{true, "[map1] too long"}, {false, "[map2] missing"}};
    EXPECT_EQ(ui::job_findings_runs(findings),
              (std::vector<SummaryRun>{{"\nProblem: [map1] too long", true, true},
                                       {"\nWarning: [map2] missing", false, true}}));
    EXPECT_TRUE(ui::job_findings_runs({}).empty());
}

TEST(JobSummary, MappingProblemIsARedLineOfItsOwn)
{
    EXPECT_TRUE(ui::mapping_summary("").empty());
    std::vector<SummaryRun> expect = {{"\n", false, false}, {"Port mapping x: bad", false, true}};
    EXPECT_EQ(ui::mapping_summary("Port mapping x: bad"), expect);
}

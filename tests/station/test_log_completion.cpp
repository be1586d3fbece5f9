// A station killed between an entry's detail line and its CSV line: start-up completes the CSV
// from the detail record, cutting off a part-written CSV line first.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "record/detail_record.h"
#include "station/log_completion.h"

namespace
{

std::string read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The detail line the station writes for CSV line csv_line.
std::string detail_line(int csv_line, const std::string &section)
{
    detail_log log;
    log.station = "st-1";
    log.csv_file = "log_20261209_011500.csv";
    detail_row row;
    row.csv_line = csv_line;
    row.fixture = "3";
    row.die_id = "DEAD";
    row.section = section;
    row.status_code = -13;
    row.start_utc_ms = 1796778900123;  // 2026-12-09T01:15:00.123Z
    row.finish_utc_ms = 1796778961005; // 2026-12-09T01:16:01.005Z
    std::string line;
    EXPECT_EQ(detail_record_format(log, row, detail_run{}, &line), 0);
    return line;
}

} // namespace

TEST(LogCompletion, AMissingCsvLineIsWrittenFromItsDetailLineOnce)
{
    setenv("TZ", "UTC", 1);
    tzset();
    char t[] = "/tmp/bw_complete_XXXXXX";
    ASSERT_NE(mkdtemp(t), nullptr);
    const std::string dir = t, csv = dir + "/log_20261209_011500.csv";
    const std::string head = "Fixture ID,MPU Die ID,Start Time,Finish Time,Section,Status code\r\n"
                             "3,DEAD,2026-12-09 01:15:00,2026-12-09 01:16:01,Finished,0\r\n";
    // Killed part-way through CSV line 3, whose detail line (with hostile bytes) is on disk.
    std::ofstream(csv, std::ios::binary) << head << "3,DE";
    std::ofstream(dir + "/log_20261209_011500.jsonl", std::ios::binary)
        << detail_line(2, "Finished") << detail_line(3, "boot, \"img\"\xff");

    FILE *report = tmpfile();
    EXPECT_EQ(log_complete_dir(dir, report), 0);
    const std::string done =
        head + "3,DEAD,2026-12-09 01:15:00,2026-12-09 01:16:01,\"boot, \"\"img\"\"\xff\",-13\r\n";
    EXPECT_EQ(read_all(csv), done);
    EXPECT_EQ(log_complete_dir(dir, report), 0); // a second start finds nothing to do
    EXPECT_EQ(read_all(csv), done);
    fclose(report);
    std::filesystem::remove_all(dir);
}

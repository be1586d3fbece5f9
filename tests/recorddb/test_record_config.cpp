// Where the factory record goes (option, station configuration, none) and the state line the
// front-ends show.
#include "recorddb/record_config.h"
#include "recorddb/shipper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace
{

class RecordConfigTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/bw-station-ini-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
    }
    void TearDown() override { unlink(path_.c_str()); }
    void write(const char *text)
    {
        FILE *f = std::fopen(path_.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
    }
    std::string conninfo(const std::string &option, int expect_rc = 0)
    {
        std::string out = "stale", error;
        EXPECT_EQ(record_db_conninfo(option, path_, &out, &error), expect_rc) << error;
        return out;
    }
    std::string path_;
};

TEST_F(RecordConfigTest, TheOptionWinsOverTheFileAndAMissingFileMeansNoDatabase)
{
    write("[record]\ndatabase = \"host=db.factory dbname=production password=a#b;c\"\n");
    EXPECT_EQ(conninfo(""), "host=db.factory dbname=production password=a#b;c");
    EXPECT_EQ(conninfo("postgresql://station@db/line2"), "postgresql://station@db/line2");
    write("[station]\nid = 7\n");
    EXPECT_EQ(conninfo(""), "");
    unlink(path_.c_str());
    EXPECT_EQ(conninfo(""), "");
}

TEST(RecordStateLine, SaysWhatWaitsWhyAndWhatWasRefused)
{
    ShipperState s;
    s.connected = true;
    EXPECT_EQ(record_state_line(s), "record: up to date");
    s.waiting = 12;
    EXPECT_EQ(record_state_line(s), "record: 12 waiting");
    s.connected = false;
    EXPECT_EQ(record_state_line(s), "record: 12 waiting, connecting to the database");
    struct tm t = {};
    time_t now = time(nullptr);
    localtime_r(&now, &t);
    t.tm_hour = 14;
    t.tm_min = 5;
    s.unreachable_since = mktime(&t);
    s.refused = 1;
    EXPECT_EQ(record_state_line(s),
              "record: 12 waiting, database unreachable since 14:05, 1 refused (kept in the log)");
}

} // namespace

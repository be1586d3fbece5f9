// The job guard: each way a job file can stop being the one start-up checked raises the alarm
// naming it, and a file left alone raises none.
#include "station/job_guard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

TEST(JobGuard, EveryWayAFileChangesRaisesTheAlarmNamingIt)
{
    struct Case {
        const char *name;
        std::function<void(const std::string &dir)> change; // null: left alone
    };
    const Case cases[] = {
        {"left alone", nullptr},
        {"written in place",
         [](const std::string &d) { std::ofstream(d + "/boot.img", std::ios::in) << "B"; }},
        {"replaced by a rename",
         [](const std::string &d) {
             std::ofstream(d + "/new.img") << "boot";
             fs::rename(d + "/new.img", d + "/boot.img");
         }},
        {"removed", [](const std::string &d) { fs::remove(d + "/boot.img"); }},
        {"missing at start, then made",
         [](const std::string &d) { std::ofstream(d + "/late.img") << "late"; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char tmpl[] = "/tmp/bw_guard_XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        std::ofstream(dir + "/boot.img") << "boot";
        job_guard guard;
        std::string why;
        ASSERT_EQ(job_guard_open(&guard, {dir + "/boot.img", dir + "/late.img"}, &why), 0);
        if (c.change)
            c.change(dir);
        std::string which;
        const std::string alarm = job_guard_alarm(&guard); // from the watches alone
        if (!c.change) {
            EXPECT_EQ(alarm, "");
            EXPECT_EQ(job_guard_verify(&guard, &which), 0);
        } else {
            EXPECT_NE(alarm.find("Job file " + dir + "/"), std::string::npos) << alarm;
            EXPECT_EQ(job_guard_verify(&guard, &which), -1);
            EXPECT_NE(alarm.find(which), std::string::npos) << alarm;
        }
        fs::remove_all(dir);
    }
}

} // namespace

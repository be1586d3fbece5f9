// Tests of the single-instance guard.
#include "ui/instance_lock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string temp_lock_path()
{
    char dir[] = "/tmp/bw_lock_XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/station.lock";
}

TEST(InstanceLock, SecondHolderIsRefusedUntilFirstReleases)
{
    std::string path = temp_lock_path();
    ui::InstanceLock first, second;
    ASSERT_EQ(first.acquire(path), ui::LOCK_ACQUIRED);
    EXPECT_TRUE(first.held());
    EXPECT_EQ(second.acquire(path), ui::LOCK_HELD_ELSEWHERE);
    EXPECT_FALSE(second.held());
    first.release();
    EXPECT_EQ(second.acquire(path), ui::LOCK_ACQUIRED);
}

TEST(InstanceLock, KernelReleasesTheLockOfADeadProcess)
{
    std::string path = temp_lock_path();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ui::InstanceLock held;
        char ok = held.acquire(path) == ui::LOCK_ACQUIRED ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        pause(); // killed below, never releases by itself
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    ui::InstanceLock mine;
    EXPECT_EQ(mine.acquire(path), ui::LOCK_HELD_ELSEWHERE);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(mine.acquire(path), ui::LOCK_ACQUIRED);
    close(ready[0]);
    close(ready[1]);
}

TEST(InstanceLock, UnopenablePathIsReportedNotTakenForAnotherStation)
{
    ui::InstanceLock lock;
    std::string why;
    EXPECT_EQ(lock.acquire("/nonexistent-dir/x/station.lock", &why), ui::LOCK_UNAVAILABLE);
    EXPECT_NE(why.find("/nonexistent-dir/x/station.lock"), std::string::npos);
    EXPECT_FALSE(lock.held());
}

TEST(InstanceLock, DefaultPathIsNamedAfterTheStation)
{
    std::string p = ui::default_lock_path();
    EXPECT_TRUE(p.rfind("/run/lock/", 0) == 0 || p.rfind("/tmp/", 0) == 0) << p;
    EXPECT_NE(p.find("bramblewick-for-Sorrel-Platform"), std::string::npos);
}

} // namespace

// Tests of the single-instance guard.
#include "ui/instance_lock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// A fresh directory per test; path is the lock file's place in it.
class InstanceLock : public testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/bw_lock_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/station.lock";
    }
    std::string dir, path;
};

TEST_F(InstanceLock, SecondHolderIsRefusedUntilFirstReleases)
{
    ui::InstanceLock first, second;
    ASSERT_EQ(first.acquire(path), ui::LOCK_ACQUIRED);
    EXPECT_TRUE(first.held());
    EXPECT_EQ(second.acquire(path), ui::LOCK_HELD_ELSEWHERE);
    EXPECT_FALSE(second.held());
    first.release();
    EXPECT_EQ(second.acquire(path), ui::LOCK_ACQUIRED);
}

TEST_F(InstanceLock, KernelReleasesTheLockOfADeadProcess)
{
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

TEST_F(InstanceLock, UnopenablePathIsReportedNotTakenForAnotherStation)
{
    ui::InstanceLock lock;
    std::string why;
    EXPECT_EQ(lock.acquire("/nonexistent-dir/x/station.lock", &why), ui::LOCK_UNAVAILABLE);
    EXPECT_NE(why.find("/nonexistent-dir/x/station.lock"), std::string::npos);
    EXPECT_FALSE(lock.held());
}

// A symlink planted at the lock path is refused and its target neither created nor changed; a
// lock file the station creates is not writable by others.
TEST_F(InstanceLock, SymlinkIsRefusedAndNewFileIsNotWorldWritable)
{
    const std::string target = dir + "/target";
    int fd = open(target.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    ui::InstanceLock lock;
    std::string why;
    EXPECT_EQ(lock.acquire(path, &why), ui::LOCK_UNAVAILABLE);
    EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const std::string dangling = dir + "/dangling.lock";
    ASSERT_EQ(symlink((dir + "/absent").c_str(), dangling.c_str()), 0);
    EXPECT_EQ(lock.acquire(dangling), ui::LOCK_UNAVAILABLE);
    EXPECT_NE(access((dir + "/absent").c_str(), F_OK), 0);

    unlink(path.c_str());
    ASSERT_EQ(lock.acquire(path), ui::LOCK_ACQUIRED);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u);
}

TEST_F(InstanceLock, DefaultPathIsNamedAfterTheStation)
{
    std::string p = ui::default_lock_path();
    EXPECT_TRUE(p.rfind("/run/bramblewick/", 0) == 0 || p.rfind("/run/lock/", 0) == 0 ||
                p.rfind("/tmp/", 0) == 0)
        << p;
    EXPECT_NE(p.find("bramblewick-for-Sorrel-Platform"), std::string::npos);
}

} // namespace

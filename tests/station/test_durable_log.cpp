// The durable log against real write failures: a full filesystem (a small tmpfs), /dev/full, a
// log directory removed, and one that cannot be made again because its parent is read-only (a
// read-only bind mount). Mounting needs root; those cases skip saying so elsewhere.
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "station/durable_log.h"

namespace fs = std::filesystem;

namespace
{

std::string read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A scratch directory, with the mounts a test made on it undone at the end.
struct DurableLog : ::testing::Test {
    std::string dir;
    std::vector<std::string> mounts;

    void SetUp() override
    {
        char t[] = "/tmp/bw_durable_XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir = t;
    }
    void TearDown() override
    {
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
            umount2(it->c_str(), MNT_DETACH);
        fs::remove_all(dir);
    }
    // A tmpfs of `bytes` at path; false when this machine does not let us mount.
    bool mount_tmpfs(const std::string &path, size_t bytes)
    {
        fs::create_directories(path);
        std::string opt = "size=" + std::to_string(bytes);
        if (mount("tmpfs", path.c_str(), "tmpfs", 0, opt.c_str()) != 0)
            return false;
        mounts.push_back(path);
        return true;
    }
    // path made read-only through a bind mount of itself.
    bool make_read_only(const std::string &path)
    {
        if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return false;
        mounts.push_back(path);
        return mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) ==
               0;
    }
    void undo_last_mount()
    {
        umount2(mounts.back().c_str(), MNT_DETACH);
        mounts.pop_back();
    }
};

// Fills the filesystem of path with a file there until it refuses a byte more.
void fill(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, "f", 1) > 0) {
    }
    close(fd);
}

} // namespace

TEST_F(DurableLog, FullDiskCutsOffThePartLineAndWritesKeptLinesOnceInOrder)
{
    const std::string m = dir + "/small";
    if (!mount_tmpfs(m, 16384))
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << strerror(errno);
    durable_log log;
    log.files.emplace_back();
    ASSERT_EQ(durable_file_open(&log.files[0], m + "/log.csv"), 0);
    // The file's page has 20 bytes left, and no page is free: the next line gets in part-way.
    const std::string head(4096 - 20 - 2, 'h');
    ASSERT_EQ(durable_log_write(&log, {head + "\r\n"}), 0);
    fill(m + "/filler");

    EXPECT_EQ(durable_log_write(&log, {"line 1, longer than what is left\r\n"}), -ENOSPC);
    EXPECT_EQ(fs::file_size(m + "/log.csv"), 4096u - 20);        // no torn line
    EXPECT_EQ(durable_log_write(&log, {"line 2\r\n"}), -ENOSPC); // kept behind line 1
    EXPECT_EQ(log.kept.size(), 2u);
    EXPECT_EQ(log.error_path, m + "/log.csv");
    EXPECT_EQ(durable_log_flush(&log), -ENOSPC); // still full: nothing changes
    EXPECT_EQ(fs::file_size(m + "/log.csv"), 4096u - 20);

    fs::remove(m + "/filler");
    EXPECT_EQ(durable_log_flush(&log), 0);
    EXPECT_TRUE(log.kept.empty());
    EXPECT_EQ(durable_log_write(&log, {"line 3\r\n"}), 0);
    durable_log_close(&log);
    EXPECT_EQ(read_all(m + "/log.csv"),
              head + "\r\nline 1, longer than what is left\r\nline 2\r\nline 3\r\n");
}

TEST_F(DurableLog, DevFullRefusesTheLineAndKeepsIt)
{
    durable_log log;
    log.files.emplace_back();
    ASSERT_EQ(durable_file_open(&log.files[0], "/dev/full"), 0);
    EXPECT_EQ(durable_log_write(&log, {"a line\r\n"}), -ENOSPC);
    ASSERT_EQ(log.kept.size(), 1u);
    EXPECT_EQ(log.kept.front().parts[0], "a line\r\n");
    durable_log_close(&log);
}

TEST_F(DurableLog, RemovedDirectoryIsMadeAgainWithEveryLineAndWaitsWhileItCannotBe)
{
    const std::string logdir = dir + "/parent/log", path = logdir + "/log.csv";
    fs::create_directories(logdir);
    // Two files written together, as the detail record and the CSV are.
    durable_log log;
    log.files.resize(2);
    ASSERT_EQ(durable_file_open(&log.files[0], logdir + "/detail.jsonl"), 0);
    ASSERT_EQ(durable_file_open(&log.files[1], path), 0);
    ASSERT_EQ(durable_log_write(&log, {"{1}\n", "1\r\n"}), 0);
    fs::remove_all(logdir);
    EXPECT_EQ(durable_log_write(&log, {"{2}\n", "2\r\n"}), 0);
    EXPECT_EQ(read_all(path), "1\r\n2\r\n");
    EXPECT_EQ(read_all(logdir + "/detail.jsonl"), "{1}\n{2}\n");

    fs::remove_all(logdir);
    if (!make_read_only(dir + "/parent"))
        GTEST_SKIP() << "cannot make a read-only bind mount here (needs root)";
    EXPECT_EQ(durable_log_write(&log, {"{3}\n", "3\r\n"}), -EROFS);
    EXPECT_EQ(durable_log_write(&log, {"{4}\n", "4\r\n"}), -EROFS);
    EXPECT_EQ(log.kept.size(), 2u);
    undo_last_mount();
    EXPECT_EQ(durable_log_flush(&log), 0);
    durable_log_close(&log);
    EXPECT_EQ(read_all(path), "1\r\n2\r\n3\r\n4\r\n");
    EXPECT_EQ(read_all(logdir + "/detail.jsonl"), "{1}\n{2}\n{3}\n{4}\n");
}

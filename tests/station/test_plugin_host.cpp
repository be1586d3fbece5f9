// Tests of the post-flash plug-in host with plug-ins built by the tests, each run in the helper
// program as the station runs it.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "station/post_plugin_handler.h"

namespace
{

// Writes post_plugin.ini files and starts hosts over the test's helper program; frees them all.
class PluginHost : public testing::Test
{
  protected:
    ~PluginHost() override
    {
        for (void *h : handles_)
            plugin_handler_finailize(h);
        for (const std::string &p : files_)
            unlink(p.c_str());
    }

    std::string ini(const std::string &content)
    {
        char tmpl[] = "/tmp/bw_plugin_XXXXXX";
        int fd = mkstemp(tmpl);
        FILE *f = fdopen(fd, "w");
        fputs(content.c_str(), f);
        fclose(f);
        files_.push_back(tmpl);
        return tmpl;
    }
    static std::string config(const char *dll, const char *extra = "")
    {
        return std::string("[Plugin]\ndll_name = ") + dll + "\n" + extra;
    }
    // plugin_handler_init on that content; the error number in err_.
    void *init(const std::string &content, const char *host = BW_PLUGIN_HOST)
    {
        void *h = plugin_handler_init(&err_, ini(content).c_str(), host);
        if (h)
            handles_.push_back(h);
        return h;
    }
    // One call on a shared buffer holding bytes; the POST_PLUGIN_* result, the verdict in
    // verdict_.
    int judge(void *h, const std::string &bytes, const std::atomic<int> *cancel = nullptr)
    {
        plugin_shared_buffer buf;
        EXPECT_EQ(plugin_shared_buffer_alloc(&buf, static_cast<int>(bytes.size())), 0);
        memcpy(buf.data(), bytes.data(), bytes.size());
        int how = plugin_handler_judge(h, &buf, 1, "v1", cancel, &verdict_);
        plugin_shared_buffer_free(&buf);
        return how;
    }
    // True when this process has no child left, running or unreaped.
    static bool no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

    int err_ = -1;
    int verdict_ = -1;

  private:
    std::vector<void *> handles_;
    std::vector<std::string> files_;
};

} // namespace

TEST_F(PluginHost, ErrorNumbersOfEveryRefusal)
{
    int err = -1;
    EXPECT_EQ(plugin_handler_init(&err, "/nonexistent/post_plugin.ini"), nullptr);
    EXPECT_EQ(err, 0); // no plug-in configured

    EXPECT_EQ(init("[Other]\nx = 1\n"), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_NO_DLL_NAME);
    EXPECT_EQ(init("[Plugin]\ndll_name =\nextra_read_size = 16\n"), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_NO_DLL_NAME);
    EXPECT_EQ(init(config("/nonexistent/libnothing.so")), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_LOAD_DLL_FAILED);
    EXPECT_EQ(init(config(BW_PLUGIN_NO_ERROR_STR)), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_LOAD_DLL_FUNC_FAILED);
    EXPECT_EQ(init(config(BW_PLUGIN_INIT_NULL)), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_INIT_DLL_FAILED); // not the 7 the plug-in stored

    testing::internal::CaptureStderr();
    // A read range that does not fit in 32 bits is refused, not cut to some other size; so is a
    // time-out that is no number of seconds.
    EXPECT_EQ(init(config(BW_PLUGIN_VERDICT_5, "extra_read_size = 99999999999\n")), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_NO_DLL_NAME);
    EXPECT_EQ(init(config(BW_PLUGIN_VERDICT_5, "timeout = 0\n")), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_NO_DLL_NAME);
    // A station whose helper program is missing cannot run its plug-in: refused at start-up.
    EXPECT_EQ(init(config(BW_PLUGIN_VERDICT_5), "/nonexistent/bramblewick-plugin-host"), nullptr);
    EXPECT_EQ(err_, ERROR_POST_PLUGIN_LOAD_DLL_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "post_plugin.ini: plugin:extra_read_size does not fit in 32 bits: 99999999999\n"
              "post_plugin.ini: plugin:timeout is not a number of seconds from 0.001 to 86400: 0\n"
              "bramblewick-plugin-host: cannot start /nonexistent/bramblewick-plugin-host: No "
              "such file or directory\n");
    EXPECT_TRUE(no_children());
}

TEST_F(PluginHost, StartedPluginForwardsCallsAndReadRange)
{
    void *h = init(config(BW_PLUGIN_VERDICT_5, "extra_read_addr = 0x100000\n"
                                               "extra_read_size = 2048\ntimeout = 2.5\n"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(err_, 0); // the plug-in stored 7; a started host reports 0
    EXPECT_STREQ(plugin_handler_get_name(h), "test plug-in");
    EXPECT_EQ(plugin_handler_get_extra_read_addr(h), 0x100000);
    EXPECT_EQ(plugin_handler_get_extra_read_size(h), 2048);
    EXPECT_EQ(plugin_handler_get_timeout_ms(h), 2500);
    char buf[4] = {'B', 'W', 'I', 'M'};
    char version[] = "v1.0";
    EXPECT_EQ(plugin_handler_download_finish_cb(h, nullptr, buf, 4, 1, version), 5);

    h = init(config(BW_PLUGIN_VERDICT_5));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(plugin_handler_get_extra_read_addr(h), 0);
    EXPECT_EQ(plugin_handler_get_extra_read_size(h), 0);
    EXPECT_EQ(plugin_handler_get_timeout_ms(h), 60000);

    // 32-bit values at both ends are taken as written: 0xFFFFFFFF (or -1) reads back as -1.
    h = init(config(BW_PLUGIN_VERDICT_5, "extra_read_addr = 0xFFFFFFFF\nextra_read_size = -1\n"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(plugin_handler_get_extra_read_addr(h), -1);
    EXPECT_EQ(plugin_handler_get_extra_read_size(h), -1);
}

// The sample judges the whole buffer, also one of 16 MiB and more: an erased range with one
// written byte at its very end is no longer erased.
TEST_F(PluginHost, SamplePluginChecksTheSignature)
{
    void *h = init(config(BW_SAMPLE_PLUGIN, "extra_read_size = 16\n"));
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(plugin_handler_get_name(h), "Sample signature check");
    EXPECT_EQ(judge(h, std::string("BWIMG1 payload..")), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 0);
    EXPECT_EQ(judge(h, std::string("something else..")), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 7);
    EXPECT_EQ(judge(h, "BWI"), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 5);
    std::string big((16 << 20) + 1, '\xFF');
    EXPECT_EQ(judge(h, big), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 6);
    big.back() = 0;
    EXPECT_EQ(judge(h, big), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 7);
    EXPECT_TRUE(no_children());
}

// A call that never returns ends at its time-out, or at once when the station stops; either way
// its process is gone and reaped.
TEST_F(PluginHost, HungCallEndsAtTimeOutOrCancel)
{
    void *h = init(config(BW_PLUGIN_SLEEP, "timeout = 0.3\n"));
    ASSERT_NE(h, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(judge(h, "BWIMG1"), POST_PLUGIN_TIMED_OUT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "bramblewick-plugin-host: no answer from the plug-in within 300 ms; ended it\n");
    EXPECT_TRUE(no_children());

    h = init(config(BW_PLUGIN_SLEEP, "timeout = 600\n"));
    ASSERT_NE(h, nullptr);
    std::atomic<int> do_exit{0};
    std::thread quit([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        do_exit = 1;
    });
    EXPECT_EQ(judge(h, "BWIMG1", &do_exit), POST_PLUGIN_CANCELLED);
    quit.join();
    EXPECT_TRUE(no_children());
}

// A crash, or a write past the buffer's end, costs only that call: the next call of a working
// plug-in answers.
TEST_F(PluginHost, CrashAndOverrunFailOnlyTheirCall)
{
    for (const char *dll : {BW_PLUGIN_CRASH, BW_PLUGIN_OVERRUN}) {
        SCOPED_TRACE(dll);
        void *h = init(config(dll));
        ASSERT_NE(h, nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(judge(h, std::string(2048, 'x')), POST_PLUGIN_CRASHED);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("bramblewick-plugin-host: "),
                  std::string::npos);
        EXPECT_TRUE(no_children());
    }
    void *h = init(config(BW_PLUGIN_VERDICT_5));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(judge(h, "BWIMG1"), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 5);
}

// Run as root, the plug-in is not: it cannot read /etc/shadow.
TEST_F(PluginHost, PluginCannotReadWhatOnlyRootMay)
{
    void *h = init(config(BW_PLUGIN_READ_SHADOW, "extra_read_size = 16\n"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(judge(h, "BWIMG1"), POST_PLUGIN_ANSWERED);
    EXPECT_EQ(verdict_, 0);
}

// A process the plug-in starts, even one that leaves its session with setsid(), is gone when the
// call returns, answered or timed out: in bubblewrap's PID namespace and without it.
TEST_F(PluginHost, ProcessesThePluginStartsEndWithTheCall)
{
    const std::string marker = ini(""); // a file the plug-in's child locks while it lives
    ASSERT_EQ(chmod(marker.c_str(), 0644), 0);
    setenv("BW_TEST_PLUGIN_MARKER", marker.c_str(), 1);
    for (const char *sandbox : {"", "none"}) {
        for (bool hang : {false, true}) {
            SCOPED_TRACE(std::string(sandbox) + (hang ? " hung" : " answered"));
            setenv("BRAMBLEWICK_PLUGIN_SANDBOX", sandbox, 1);
            if (hang)
                setenv("BW_TEST_PLUGIN_HANG", "1", 1);
            void *h = init(config(BW_PLUGIN_SETSID_CHILD, "extra_read_size = 16\ntimeout = 0.5\n"));
            ASSERT_NE(h, nullptr);
            testing::internal::CaptureStderr();
            EXPECT_EQ(judge(h, "BWIMG1"), hang ? POST_PLUGIN_TIMED_OUT : POST_PLUGIN_ANSWERED);
            testing::internal::GetCapturedStderr();
            unsetenv("BW_TEST_PLUGIN_HANG");
            int fd = open(marker.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the plug-in's child still lives";
            close(fd);
        }
    }
    unsetenv("BRAMBLEWICK_PLUGIN_SANDBOX");
    unsetenv("BW_TEST_PLUGIN_MARKER");
    EXPECT_TRUE(no_children());
}

// A plug-in's output goes to a file of its own per call, never to the station's terminal; a
// call that writes nothing leaves no file.
TEST_F(PluginHost, OutputGoesToAFilePerCall)
{
    char dir[] = "/tmp/bw_plugin_out_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const char *dll : {BW_PLUGIN_CHATTY, BW_PLUGIN_VERDICT_0}) {
        void *h = init(config(dll, "extra_read_size = 16\n"));
        ASSERT_NE(h, nullptr);
        plugin_handler_set_output_dir(h, dir);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(judge(h, "BWIMG1"), POST_PLUGIN_ANSWERED);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    std::vector<std::string> texts;
    for (const auto &f : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(f.path());
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::filesystem::remove(f.path());
    }
    rmdir(dir);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("chatty out \033]0;title\a\n"), std::string::npos) << texts[0];
    EXPECT_NE(texts[0].find("chatty err\n"), std::string::npos) << texts[0];
}

// Tests of the post-flash plug-in host with plug-ins built by the tests.
#include <cstdio>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "station/post_plugin_handler.h"

namespace
{

struct Ini {
    std::string path;
    explicit Ini(const std::string &content)
    {
        char tmpl[] = "/tmp/bw_plugin_XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        FILE *f = fdopen(fd, "w");
        fputs(content.c_str(), f);
        fclose(f);
    }
    ~Ini() { unlink(path.c_str()); }
};

std::string config(const char *dll, const char *extra = "")
{
    return std::string("[Plugin]\ndll_name = ") + dll + "\n" + extra;
}

} // namespace

TEST(PluginHost, ErrorNumbersOfEveryRefusal)
{
    int err = -1;
    EXPECT_EQ(plugin_handler_init(&err, "/nonexistent/post_plugin.ini"), nullptr);
    EXPECT_EQ(err, 0); // no plug-in configured

    Ini no_section("[Other]\nx = 1\n");
    EXPECT_EQ(plugin_handler_init(&err, no_section.path.c_str()), nullptr);
    EXPECT_EQ(err, ERROR_POST_PLUGIN_NO_DLL_NAME);

    Ini empty_name("[Plugin]\ndll_name =\nextra_read_size = 16\n");
    EXPECT_EQ(plugin_handler_init(&err, empty_name.path.c_str()), nullptr);
    EXPECT_EQ(err, ERROR_POST_PLUGIN_NO_DLL_NAME);

    Ini missing(config("/nonexistent/libnothing.so"));
    EXPECT_EQ(plugin_handler_init(&err, missing.path.c_str()), nullptr);
    EXPECT_EQ(err, ERROR_POST_PLUGIN_LOAD_DLL_FAILED);

    Ini no_errstr(config(BW_PLUGIN_NO_ERROR_STR));
    EXPECT_EQ(plugin_handler_init(&err, no_errstr.path.c_str()), nullptr);
    EXPECT_EQ(err, ERROR_POST_PLUGIN_LOAD_DLL_FUNC_FAILED);

    Ini init_null(config(BW_PLUGIN_INIT_NULL));
    EXPECT_EQ(plugin_handler_init(&err, init_null.path.c_str()), nullptr);
    EXPECT_EQ(err, ERROR_POST_PLUGIN_INIT_DLL_FAILED); // not the 7 the plug-in stored

    // A read range that does not fit in 32 bits is refused, not cut to some other size.
    testing::internal::CaptureStderr();
    Ini huge(config(BW_PLUGIN_VERDICT_5, "extra_read_size = 99999999999\n"));
    EXPECT_EQ(plugin_handler_init(&err, huge.path.c_str()), nullptr);
    EXPECT_EQ(err, ERROR_POST_PLUGIN_NO_DLL_NAME);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "post_plugin.ini: plugin:extra_read_size does not fit in 32 bits: 99999999999\n");
}

TEST(PluginHost, StartedPluginForwardsCallsAndReadRange)
{
    Ini ini(config(BW_PLUGIN_VERDICT_5, "extra_read_addr = 0x100000\nextra_read_size = 2048\n"));
    int err = -1;
    void *h = plugin_handler_init(&err, ini.path.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(err, 0); // the plug-in stored 7; a started host reports 0
    EXPECT_STREQ(plugin_handler_get_name(h), "test plug-in");
    EXPECT_EQ(plugin_handler_get_extra_read_addr(h), 0x100000);
    EXPECT_EQ(plugin_handler_get_extra_read_size(h), 2048);
    char buf[4] = {'B', 'W', 'I', 'M'};
    char version[] = "v1.0";
    EXPECT_EQ(plugin_handler_download_finish_cb(h, nullptr, buf, 4, 1, version), 5);
    plugin_handler_finailize(h);

    Ini defaults(config(BW_PLUGIN_VERDICT_5));
    h = plugin_handler_init(&err, defaults.path.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(plugin_handler_get_extra_read_addr(h), 0);
    EXPECT_EQ(plugin_handler_get_extra_read_size(h), 0);
    plugin_handler_finailize(h);

    // 32-bit values at both ends are taken as written: 0xFFFFFFFF (or -1) reads back as -1.
    Ini ends(config(BW_PLUGIN_VERDICT_5, "extra_read_addr = 0xFFFFFFFF\nextra_read_size = -1\n"));
    h = plugin_handler_init(&err, ends.path.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(plugin_handler_get_extra_read_addr(h), -1);
    EXPECT_EQ(plugin_handler_get_extra_read_size(h), -1);
    plugin_handler_finailize(h);
}

TEST(PluginHost, SamplePluginChecksTheSignature)
{
    Ini ini(config(BW_SAMPLE_PLUGIN, "extra_read_size = 16\n"));
    int err = -1;
    void *h = plugin_handler_init(&err, ini.path.c_str());
    ASSERT_NE(h, nullptr);
    char good[16] = "BWIMG1 payload";
    char erased[16];
    memset(erased, 0xFF, sizeof erased);
    char other[16] = "something else";
    char version[] = "v1";
    EXPECT_EQ(plugin_handler_download_finish_cb(h, nullptr, good, 16, 1, version), 0);
    EXPECT_EQ(plugin_handler_download_finish_cb(h, nullptr, erased, 16, 1, version), 6);
    EXPECT_EQ(plugin_handler_download_finish_cb(h, nullptr, other, 16, 1, version), 7);
    EXPECT_EQ(plugin_handler_download_finish_cb(h, nullptr, good, 3, 1, version), 5);
    plugin_handler_finailize(h);
}

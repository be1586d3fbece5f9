// Start-up paths of the program: each failure shows its one message, touches nothing else and
// ends with 0; a good start hands the window the job, the DKB image and the log.
#include "ui_test_util.h"

#include "ui/dkb_image.h"
#include "ui/instance_lock.h"

#include <sys/stat.h>

namespace
{

using uitest::RecordingMessages;
using uitest::TempCwd;

// Records the set-up it was given; optionally quits through the close request like a window.
class RecordingWindow : public ui::StationWindow
{
  public:
    void run(ui::StationSetup &setup) override
    {
        ++runs;
        job = setup.options.ini_content;
        plugin = setup.options.post_plugin_handle;
        dkb = setup.options.dkb_buf;
        dkb_size = setup.options.dkb_size;
        had_log = setup.options.logging_fd != nullptr;
        log_path = setup.log_path;
        mapping = setup.options.port_mapping_path;
        Station station(setup.options); // takes the log over; stop() closes it
        if (messages) {
            while (!ui::confirm_quit(*messages, station))
                ++declined;
        }
    }
    int runs = 0, declined = 0;
    const flashini_content *job = nullptr;
    void *plugin = nullptr;
    const unsigned char *dkb = nullptr;
    int dkb_size = 0;
    bool had_log = false;
    std::string log_path, mapping;
    ui::OperatorMessages *messages = nullptr;
};

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Startup : public ::testing::Test
{
  protected:
    Startup()
    {
        opt.lock_path = cwd.path("station.lock");
        opt.plugin_ini = cwd.path("post_plugin.ini");
        opt.plugin_host = BW_PLUGIN_HOST;
        opt.port_mapping_path = cwd.path("ports.ini");
    }
    int run() { return ui::run_program(opt, messages, window); }
    void expect_only_message(const char *text, const char *caption, ui::MessageIcon icon)
    {
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, text);
        EXPECT_EQ(messages.shown[0].caption, caption);
        EXPECT_EQ(messages.shown[0].icon, icon);
    }

    TempCwd cwd;
    ui::ProgramOptions opt;
    RecordingMessages messages;
    RecordingWindow window;
};

TEST_F(Startup, SecondInstanceIsToldAndTouchesNothing)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    ui::InstanceLock first;
    ASSERT_EQ(first.acquire(opt.lock_path), ui::LOCK_ACQUIRED);
    EXPECT_EQ(run(), 0);
    expect_only_message("Another instance of same application is running\nPlease close it first.",
                        "Error", ui::MessageIcon::Error);
    EXPECT_EQ(window.runs, 0);
    EXPECT_FALSE(exists(cwd.path("log")));
}

TEST_F(Startup, MissingOrBrokenJobFileStopsBeforeTheLog)
{
    EXPECT_EQ(run(), 0); // no flasher.ini at all
    expect_only_message("Parse ini file error", "Error", ui::MessageIcon::Error);

    messages.shown.clear();
    // Logging asked for, but the job names an image entry without its required range.
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n[map]\ntotal = 1\n[map1]\nfilename = a.img\n");
    EXPECT_EQ(run(), 0);
    expect_only_message("Parse ini file error", "Error", ui::MessageIcon::Error);
    EXPECT_EQ(window.runs, 0);
    EXPECT_FALSE(exists(cwd.path("log")));

    // The lock was released on the way out: a good start follows.
    messages.shown.clear();
    cwd.write("flasher.ini", "[misc]\n");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(window.runs, 1);
}

TEST_F(Startup, PluginThatFailsToLoadStopsTheStart)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    cwd.write("post_plugin.ini", "[Plugin]\ndll_name = " + cwd.path("no_such_plugin.so") + "\n");
    EXPECT_EQ(run(), 0);
    expect_only_message("Initialize post plugin failed", "Error", ui::MessageIcon::Error);
    EXPECT_EQ(window.runs, 0);
    EXPECT_FALSE(exists(cwd.path("log")));

    messages.shown.clear();
    cwd.write("post_plugin.ini", "[Plugin]\nextra_read_size = 16\n"); // names no library
    EXPECT_EQ(run(), 0);
    expect_only_message("Initialize post plugin failed", "Error", ui::MessageIcon::Error);
}

TEST_F(Startup, PluginNeedsAOneFileImageDescription)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    cwd.write("post_plugin.ini", std::string("[Plugin]\ndll_name = ") + BW_SAMPLE_PLUGIN + "\n");
    EXPECT_EQ(run(), 0);
    expect_only_message("No valid one file image version description for external plugin", "Error",
                        ui::MessageIcon::Error);
    EXPECT_EQ(window.runs, 0);
    EXPECT_FALSE(exists(cwd.path("log")));
}

TEST_F(Startup, LogThatCannotBeCreatedIsAWarningAndTheStationRuns)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    cwd.write("log", "a file where the log directory should be");
    EXPECT_EQ(run(), 0);
    expect_only_message("Failed to create logging file", "Warning", ui::MessageIcon::Warning);
    EXPECT_EQ(window.runs, 1);
    EXPECT_FALSE(window.had_log);
    EXPECT_EQ(window.log_path, "");
}

TEST_F(Startup, LoggingOffCreatesNoLogDirectory)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 0\n");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(window.runs, 1);
    EXPECT_FALSE(window.had_log);
    EXPECT_FALSE(exists(cwd.path("log")));
}

TEST_F(Startup, GoodStartHandsTheWindowJobImageAndLog)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_EQ(window.runs, 1);
    ASSERT_NE(window.job, nullptr);
    EXPECT_EQ(window.plugin, nullptr); // no post_plugin.ini: no plug-in, no message
    int size = 0;
    EXPECT_EQ(window.dkb, load_flasher_image(DKB_IMAGE_RESOURCE_ID, &size));
    EXPECT_EQ(window.dkb_size, size);
    EXPECT_GT(size, 0);
    EXPECT_EQ(window.mapping, opt.port_mapping_path);
    ASSERT_TRUE(window.had_log);
    ASSERT_EQ(window.log_path.rfind("log/log_", 0), 0u) << window.log_path;
    std::ifstream log(cwd.path(window.log_path), std::ios::binary);
    std::string header((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(header, "Fixture ID,MPU Die ID,Start Time,Finish Time,Section,Status code\r\n");
}

TEST_F(Startup, QuitIsAskedUntilTheOperatorSaysYes)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    window.messages = &messages;
    messages.answers = {false, false, true};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(window.declined, 2);
    ASSERT_EQ(messages.asked.size(), 3u);
    EXPECT_EQ(messages.asked[0].text, "Are you sure you want to quit?");
    EXPECT_EQ(messages.asked[0].caption, "Quit");
}

TEST_F(Startup, TwoStartsInOneSecondKeepBothLogs)
{
    cwd.write("flasher.ini", "[misc]\nlogging = 1\n");
    EXPECT_EQ(run(), 0);
    std::string first = window.log_path;
    EXPECT_EQ(run(), 0);
    EXPECT_NE(window.log_path, first);
    EXPECT_TRUE(exists(cwd.path(first)));
    EXPECT_TRUE(exists(cwd.path(window.log_path)));
}

} // namespace

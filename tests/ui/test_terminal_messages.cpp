// Operator messages on a terminal: captions and texts on the error stream, the quit question
// answered by one key on a pseudo-terminal while the station keeps being served.
#include "terminal_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

std::string read_all(FILE *f)
{
    std::string text;
    rewind(f);
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}

TEST(TerminalMessages, MessageIsCaptionThenText)
{
    FILE *err = tmpfile();
    ui::TerminalMessages messages(err, -1);
    messages.show(ui::kMsgAnotherInstance, ui::kCaptionError, ui::MessageIcon::Error);
    messages.show(ui::kMsgLogCreateFailed, ui::kCaptionWarning, ui::MessageIcon::Warning);
    EXPECT_EQ(read_all(err), "Error: Another instance of same application is running\n"
                             "Please close it first.\n"
                             "Warning: Failed to create logging file\n");
    fclose(err);
}

TEST(TerminalMessages, WithoutATerminalTheRequestStandsAsYes)
{
    FILE *err = tmpfile();
    ui::TerminalMessages messages(err, -1);
    EXPECT_TRUE(messages.ask_yes_no(ui::kMsgQuitQuestion, ui::kCaptionQuit));
    EXPECT_EQ(read_all(err), ""); // nobody to ask
    fclose(err);
}

TEST(TerminalMessages, OneKeyAnswersOnATerminalAndThePumpRunsMeanwhile)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FILE *err = tmpfile();
    ui::TerminalMessages messages(err, slave);
    std::atomic<int> pumped{0};
    messages.set_pump([&] { ++pumped; });

    for (char key : {'n', 'y', '\x03', 'Y'}) {
        std::thread typist([&, key] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            (void)!write(master, &key, 1);
        });
        bool yes = messages.ask_yes_no(ui::kMsgQuitQuestion, ui::kCaptionQuit);
        typist.join();
        EXPECT_EQ(yes, key == 'y' || key == 'Y') << int(key);
    }
    EXPECT_GE(pumped.load(), 4); // about every 100 ms while waiting
    std::string text = read_all(err);
    EXPECT_EQ(text.find("\nQuit: Are you sure you want to quit? [y/N] no\n"), 0u) << text;
    fclose(err);
    close(master);
    close(slave);
}

} // namespace

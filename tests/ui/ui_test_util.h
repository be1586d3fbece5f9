// Helpers shared by the ui tests: a temporary working directory, a recording set of operator
// messages and a station window that only records what start-up handed it.
#pragma once

#include "ui/startup.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace uitest
{

// Runs the test in a fresh temporary directory (the station reads flasher.ini and writes log/
// relative to the working directory) and goes back afterwards.
class TempCwd
{
  public:
    TempCwd()
    {
        char buf[PATH_MAX];
        old_ = getcwd(buf, sizeof buf) ? buf : "/";
        char tmpl[] = "/tmp/bw_ui_XXXXXX";
        dir_ = mkdtemp(tmpl);
        EXPECT_EQ(chdir(dir_.c_str()), 0);
    }
    ~TempCwd()
    {
        (void)!chdir(old_.c_str());
        std::string cmd = "rm -rf '" + dir_ + "'";
        (void)!std::system(cmd.c_str());
    }
    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(path(name), std::ios::binary) << text;
    }

  private:
    std::string old_, dir_;
};

struct Message {
    std::string text, caption;
    ui::MessageIcon icon;
};

class RecordingMessages : public ui::OperatorMessages
{
  public:
    void show(const std::string &text, const std::string &caption, ui::MessageIcon icon) override
    {
        shown.push_back({text, caption, icon});
    }
    bool ask_yes_no(const std::string &text, const std::string &caption) override
    {
        asked.push_back({text, caption, ui::MessageIcon::Warning});
        bool yes = answers.empty() ? true : answers.front();
        if (!answers.empty())
            answers.erase(answers.begin());
        return yes;
    }
    std::vector<Message> shown, asked;
    std::vector<bool> answers; // the operator's answers, in order; Yes once used up
};

} // namespace uitest

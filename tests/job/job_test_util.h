// tests of the job layer: a scratch directory per test and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "job/flashini_parser.h"
#include "onefi_writer.h"

struct job_deleter {
    void operator()(flashini_content *c) const { flashini_destroy(c); }
};
using job_ptr = std::unique_ptr<flashini_content, job_deleter>;

// Each test gets its own directory under /tmp, removed afterwards.
class JobDirTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/bw-job-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes text to a file of the scratch directory and returns its path.
    std::string write_text(const std::string &name, const std::string &text) const
    {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        EXPECT_TRUE(onefi_writer::write_file(path(name), bytes));
        return path(name);
    }

    std::string write_bytes(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        EXPECT_TRUE(onefi_writer::write_file(path(name), bytes));
        return path(name);
    }

    // Parses a job file, capturing what the parser writes on stderr into err_.
    job_ptr parse(const std::string &ini)
    {
        testing::internal::CaptureStderr();
        job_ptr job(flashini_parse_file(ini.c_str()));
        err_ = testing::internal::GetCapturedStderr();
        return job;
    }

    std::string dir_;
    std::string err_;
};

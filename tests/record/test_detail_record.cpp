// Tests of the detail record module: the reversible text escaping, the job digests, the line's
// fields and the writer's all-or-nothing append.
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "job/flashini_parser.h"
#include "onefi_writer.h"
#include "record/detail_record.h"

namespace
{

using nlohmann::json;

// SHA-256 test vectors (FIPS 180-2).
const char kAbc[] = "abc";
const char kAbcSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char k448[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char k448Sha[] = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";

std::string sha256_of(const std::vector<uint8_t> &bytes)
{
    unsigned char d[32];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_sha256(), nullptr);
    std::ostringstream s;
    for (unsigned i = 0; i < n; i++)
        s << std::hex << (d[i] >> 4) << (d[i] & 15);
    return s.str();
}

// What an outside source could hand over: every byte value, broken, overlong and out-of-range
// sequences, a lone surrogate, a character of the escape range itself, a quote, a backslash,
// control characters and a NUL.
std::vector<std::string> hostile_texts()
{
    std::string all;
    for (int b = 0; b < 256; b++)
        all += static_cast<char>(b);
    using namespace std::string_literals;
    return {all,
            "\xC0\x80 overlong"s,
            "lone \xED\xA0\x80 surrogate"s,
            "\xF4\x90\x80\x80 past U+10FFFF"s,
            "cut \xE2\x82"s,
            "escape range \xEE\xBD\x81 itself"s,
            "quote \" backslash \\ tab \t cr \r lf \n bell \x07 nul \0 end"s,
            "caf\xC3\xA9, then \x80\xFF"s};
}

struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/bw_record_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name, const std::string &content) const
    {
        std::string p = (path / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
};

std::string read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A record with every part filled in, texts taken from `hostile`.
struct Filled {
    detail_log log;
    detail_row row;
    detail_run run;
    explicit Filled(const std::string &hostile)
    {
        log.station = "st-1";
        log.program = detail_program_version();
        log.run_id = "5f1c0ffee";
        log.csv_file = "log_20261209_011500.csv";
        log.job.sha256 = kAbcSha;
        log.job.one_file = true;
        log.job.container_sha256 = k448Sha;
        detail_image im;
        im.file = hostile;
        im.desc = hostile;
        im.nand_loc = 0x40000;
        im.nand_loc_end = 0x80000;
        im.size = 3;
        im.sha256 = kAbcSha;
        im.in_container = true;
        log.job.images = {im};
        row.csv_line = 7;
        row.fixture = "3";
        row.interface_1 = "sim-f3";
        row.interface_2 = "simagent-f3";
        row.section = hostile;
        row.status_text = "Write Failed";
        row.status_code = -13;
        row.start_utc_ms = 1796778900123; // 2026-12-09T01:15:00.123Z
        row.finish_utc_ms = 1796778961005;
        row.plugin_name = "judge";
        run.bootrom_vid = 0x1286;
        run.bootrom_pid = 0x8104;
        run.bootrom_version = "3201 20100315 SOR 01";
        run.agent_interface = "simagent-f3";
        run.nand = detail_nand{0xEC, 0xDA, 2048, 2048, 131072, 64, 8, true};
        run.plugin_judged = true;
        run.plugin_result = 5;
        run.steps = {{"Download DKB", 0, 120, 51000}, {hostile, 120, 900, 70000}};
    }
};

// The record of a filled run, parsed back.
json record_of(const Filled &f)
{
    std::string line;
    EXPECT_EQ(detail_record_format(f.log, f.row, f.run, &line), 0);
    return line.empty() ? json() : json::parse(line);
}

} // namespace

TEST(DetailText, ValidUtf8IsKeptAsItIs)
{
    for (std::string s : {"plain", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x99\x82",
                          "quote \" backslash \\ tab \t", "\xEF\xBF\xBF"})
        EXPECT_EQ(detail_escape_text(s), s);
}

TEST(DetailText, AnyBytesComeBackExactlyFromValidJson)
{
    for (const std::string &raw : hostile_texts()) {
        SCOPED_TRACE(json(detail_escape_text(raw)).dump());
        const std::string escaped = detail_escape_text(raw);
        EXPECT_EQ(escaped.find('\0'), std::string::npos);
        std::string text;
        ASSERT_NO_THROW(text = json(escaped).dump(-1, ' ', false, json::error_handler_t::strict));
        EXPECT_EQ(detail_unescape_text(json::parse(text).get<std::string>()), raw);
    }
}

TEST(DetailRecord, LineHoldsEveryFieldWithItsTypeAndHostileTextsIntact)
{
    for (const std::string &hostile : hostile_texts()) {
        Filled f(hostile);
        std::string line;
        ASSERT_EQ(detail_record_format(f.log, f.row, f.run, &line), 0);
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
        json j = json::parse(line);
        EXPECT_EQ(j["station"], "st-1");
        EXPECT_EQ(j["program"], "2.0.30.0");
        EXPECT_EQ(j["run_id"], "5f1c0ffee");
        EXPECT_EQ(j["csv_file"], "log_20261209_011500.csv");
        EXPECT_EQ(j["csv_line"], 7);
        EXPECT_EQ(j["fixture"], "3");
        EXPECT_EQ(j["interface_1"], "sim-f3");
        EXPECT_EQ(j["interface_2"], "simagent-f3");
        EXPECT_EQ(j["bootrom_id"], "1286:8104");
        EXPECT_EQ(j["bootrom_version"], "3201 20100315 SOR 01");
        EXPECT_EQ(j["agent_interface"], "simagent-f3");
        EXPECT_EQ(j["start"], "2026-12-09T01:15:00.123Z");
        EXPECT_EQ(j["finish"], "2026-12-09T01:16:01.005Z");
        EXPECT_EQ(detail_unescape_text(j["section"].get<std::string>()), hostile);
        EXPECT_EQ(j["status_code"], -13);
        EXPECT_EQ(j["status_text"], "Write Failed");
        EXPECT_EQ(j["passed"], false);
        EXPECT_EQ(j["job"]["sha256"], kAbcSha);
        EXPECT_EQ(j["job"]["container_sha256"], k448Sha);
        const json &im = j["job"]["images"].at(0);
        EXPECT_EQ(detail_unescape_text(im["file"].get<std::string>()), hostile);
        EXPECT_EQ(detail_unescape_text(im["desc"].get<std::string>()), hostile);
        EXPECT_EQ(im["nand_loc"], 0x40000);
        EXPECT_EQ(im["nand_loc_end"], 0x80000);
        EXPECT_EQ(im["size"], 3);
        EXPECT_EQ(im["sha256"], kAbcSha);
        EXPECT_EQ(j["nand"], json({{"manu_id", 0xEC},
                                   {"device_id", 0xDA},
                                   {"no_of_blocks", 2048},
                                   {"page_size", 2048},
                                   {"block_size", 131072},
                                   {"oob_size", 64},
                                   {"bus_width", 8},
                                   {"found_bbm", true}}));
        ASSERT_EQ(j["steps"].size(), 2u);
        EXPECT_EQ(
            j["steps"][0],
            json({{"stage", "Download DKB"}, {"start_ms", 0}, {"ms", 120}, {"bytes", 51000}}));
        EXPECT_EQ(detail_unescape_text(j["steps"][1]["stage"].get<std::string>()), hostile);
        EXPECT_EQ(j["plugin"], json({{"name", "judge"}, {"result", 5}}));
    }
}

TEST(DetailRecord, WhatTheRunNeverReachedIsNull)
{
    Filled f("x");
    f.log.job = detail_job{};
    f.log.job.images = {detail_image{"missing.bin", "boot", 0, 0x40000, {}, {}, false, true}};
    f.run = detail_run{};
    f.row.status_code = 0;
    json j = record_of(f);
    EXPECT_EQ(j["passed"], true);
    for (const char *key : {"bootrom_version", "agent_interface", "nand", "plugin"})
        EXPECT_TRUE(j[key].is_null()) << key;
    EXPECT_TRUE(j["job"]["sha256"].is_null());
    EXPECT_FALSE(j["job"].contains("container_sha256")) << "only for a one-file job";
    EXPECT_TRUE(j["job"]["images"][0]["sha256"].is_null());
    EXPECT_TRUE(j["job"]["images"][0]["size"].is_null());
    EXPECT_EQ(j["job"]["images"][0]["skip_flash"], true);
    EXPECT_EQ(j["steps"], json::array());
}

TEST(DetailJob, FileJobDigestsEveryImageAndListsAMissingSkippedOne)
{
    TempDir dir;
    const std::string abc = dir.file("abc.bin", kAbc);
    const std::string ini =
        dir.file("flasher.ini", "[map]\ntotal = 2\n[map1]\nfilename = " + abc +
                                    "\ndesc = boot\nnand_loc = 0\nnand_loc_end = 0x40000\n"
                                    "[map2]\nfilename = " +
                                    (dir.path / "gone.bin").string() +
                                    "\ndesc = extra\nskip_flash_if_file_not_exist = 1\n"
                                    "nand_loc = 0x40000\nnand_loc_end = 0x80000\n");
    flashini_content *job = flashini_parse_file(ini.c_str());
    ASSERT_TRUE(job);
    detail_job d;
    ASSERT_EQ(detail_job_digests(job, ini.c_str(), &d), 0);
    flashini_destroy(job);

    std::string text = read_all(ini);
    EXPECT_EQ(d.sha256, sha256_of(std::vector<uint8_t>(text.begin(), text.end())));
    EXPECT_FALSE(d.one_file);
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_EQ(d.images[0].file, abc);
    EXPECT_EQ(d.images[0].sha256, kAbcSha);
    EXPECT_EQ(d.images[0].size, 3);
    EXPECT_EQ(d.images[1].desc, "extra");
    EXPECT_TRUE(d.images[1].skip_flash);
    EXPECT_FALSE(d.images[1].sha256);
    EXPECT_FALSE(d.images[1].size);
}

TEST(DetailJob, OneFileJobDigestsTheContainerAndEachSection)
{
    TempDir dir;
    onefi_writer::container c;
    c.description = "v7";
    onefi_writer::section a;
    a.name = "a.img";
    a.desc = "first";
    a.data.assign(kAbc, kAbc + 3);
    a.second = 0x40000;
    onefi_writer::section b = a;
    b.name = "b.img";
    b.data.assign(k448, k448 + sizeof k448 - 1);
    b.first = 0x40000;
    b.second = 0x80000;
    b.size = 0; // stored as "to the end of the file": it is the last data in the container
    c.sections = {a, b};
    const std::vector<uint8_t> bytes = onefi_writer::build(c);
    const std::string path = (dir.path / "job.1fi").string();
    ASSERT_TRUE(onefi_writer::write_file(path, bytes));
    const std::string ini = dir.file("flasher.ini", "[map]\n1fi_file = " + path + "\n");
    flashini_content *job = flashini_parse_file(ini.c_str());
    ASSERT_TRUE(job);
    detail_job d;
    ASSERT_EQ(detail_job_digests(job, ini.c_str(), &d), 0);
    flashini_destroy(job);

    EXPECT_TRUE(d.one_file);
    EXPECT_EQ(d.container_sha256, sha256_of(bytes));
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_EQ(d.images[0].file, "a.img");
    EXPECT_EQ(d.images[0].sha256, kAbcSha);
    EXPECT_EQ(d.images[0].size, 3);
    EXPECT_TRUE(d.images[0].in_container);
    EXPECT_EQ(d.images[1].file, "b.img");
    EXPECT_EQ(d.images[1].sha256, k448Sha);
    EXPECT_EQ(d.images[1].size, static_cast<int64_t>(sizeof k448 - 1));
}

class DetailWriter : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        csv = dir.file("log_20261209_011500.csv", "header\r\n");
        ASSERT_EQ(detail_log_open(csv, &log), 0);
    }
    void TearDown() override { detail_log_close(&log); }
    TempDir dir;
    std::string csv;
    detail_log log;
};

TEST_F(DetailWriter, OpensBesideTheCsvAndNeverOverAnExistingFile)
{
    EXPECT_EQ(log.path, (dir.path / "log_20261209_011500.jsonl").string());
    EXPECT_EQ(log.csv_file, "log_20261209_011500.csv");
    detail_log again;
    EXPECT_EQ(detail_log_open(csv, &again), -EEXIST);
}

// An image written with skip_blank: the stage it closes tells what was left out; other stages
// keep their four keys.
TEST(DetailRecord, SkipBlankStageCarriesBlankCounts)
{
    Filled f("x");
    f.run.steps.clear();
    detail_run_stage(&f.run, "system", 100);
    f.run.blank_pending = true;
    f.run.pending_blank_blocks = 3;
    f.run.pending_blank_pages = 42;
    detail_run_stage(&f.run, "Write back BBM", 900);
    detail_run_close(&f.run, 950);
    json j = record_of(f);
    EXPECT_EQ(j["steps"][0]["blank_blocks"], 3);
    EXPECT_EQ(j["steps"][0]["blank_pages"], 42);
    EXPECT_FALSE(j["steps"][1].contains("blank_blocks"));
}

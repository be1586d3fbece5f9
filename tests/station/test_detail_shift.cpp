// Whole-station tests of the detail record: a shift whose every .jsonl line matches its CSV line
// field by field and in order, a one-file job whose file name and description hold hostile bytes,
// and a plug-in's verdict.
#include <ctime>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "onefi_writer.h"
#include "station/log_completion.h"
#include "station_harness.h"

using namespace harness;
using nlohmann::json;

namespace
{

std::string sha256_of(const std::vector<uint8_t> &bytes)
{
    unsigned char d[32];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; i++)
        s += {hex[d[i] >> 4], hex[d[i] & 15]};
    return s;
}

// The CSV's fields of one line (quoted fields unquoted).
std::vector<std::string> csv_fields(const std::string &line)
{
    std::vector<std::string> out(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            out.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

std::vector<std::vector<std::string>> csv_rows(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        rows.push_back(csv_fields(line));
    }
    return rows;
}

std::vector<json> json_lines(const std::string &text)
{
    std::vector<json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(json::parse(line)); // throws, failing the test, on anything but JSON
    return out;
}

// "2026-12-09T01:15:00.123Z" as the CSV writes it: local time, to the second.
std::string csv_time(const std::string &iso)
{
    struct tm tm {
    };
    if (!strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &tm))
        return "bad time " + iso;
    const time_t t = timegm(&tm);
    struct tm local {
    };
    localtime_r(&t, &local);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

std::string text_of(const json &j)
{
    return detail_unescape_text(j.get<std::string>());
}

// A station on fixtures 1..3 (boot ROM sim-fK, agent simagent-fK).
class DetailShift : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string map = "[ports]\nNoOfPorts = 6\n";
        for (int k = 1; k <= 3; k++)
            for (const char *name : {"sim-f", "simagent-f"})
                map += "[Port" + std::to_string(2 * k - (name[3] == '-')) +
                       "]\nInterfaceName = " + name + std::to_string(k) +
                       "\nPortNo = " + std::to_string(k) + "\n";
        options.port_mapping_path = (jobdir.path / "ports.ini").string();
        std::ofstream(options.port_mapping_path) << map;
        options.ack_period_ms = 50;
        options.agent_wait_ms = 500;
    }
    // Plugs a phone on fixture k and waits until its run has been logged and detached.
    void run_phone(StationRun &run, int k, vphone::PhoneOptions po, int logged)
    {
        auto phone = vphone::plug_phone("sim-f" + std::to_string(k), po);
        ASSERT_TRUE(phone);
        ASSERT_TRUE(run.pump_until([&] { return count_lines(run.detail_text()) == logged; }));
        ASSERT_TRUE(run.pump_until([&] {
            const tag_list_item *it = run.list().GetItemData(k - 1);
            return it && it->completed;
        }));
        phone->unplug();
        ASSERT_TRUE(run.pump_until([&] {
            const tag_list_item *it = run.list().GetItemData(k - 1);
            return !it || it->detached;
        }));
    }
    TempDir jobdir;
    station_options options;
};

} // namespace

TEST_F(DetailShift, EveryLineMatchesItsCsvLineInOrder)
{
    auto images = default_images();
    Job job = make_job(jobdir, images, "[misc]\nlogging = 1\n");
    ASSERT_TRUE(job);
    const std::string ini = (jobdir.path / "flasher.ini").string();
    StationRun run(job.get(), options, ini);
    ASSERT_EQ(run.start(), 0);

    using DE = vphone::AgentFaults::DeviceError;
    struct Phone {
        int fixture;
        std::function<void(vphone::PhoneOptions &)> fault;
        std::string status_text, bootrom_id;
        bool agent;
    };
    auto none = [](vphone::PhoneOptions &) {};
    const std::vector<Phone> shift = {
        {1, [](vphone::PhoneOptions &po) { po.rom_vid = 0x8086, po.rom_pid = 0xD001; }, "Completed",
         "8086:d001", true},
        {2,
         [](vphone::PhoneOptions &po) {
             po.faults.device_errors.push_back(DE{vphone::agent_cmd::WRITE_FLASH, 5, 1});
         },
         "Write Failed", "1286:8104", true},
        {3, [](vphone::PhoneOptions &po) { po.agent_instance = "simagent-zz"; },
         "Wait for DKB failed", "1286:8104", false},
        {1, [](vphone::PhoneOptions &po) { po.faults.unplug_after_bytes = 150000; }, "Write Failed",
         "1286:8104", true},
        {2, none, "Completed", "1286:8104", true},
    };
    for (size_t i = 0; i < shift.size(); i++) {
        SCOPED_TRACE(i);
        const std::string k = std::to_string(shift[i].fixture);
        auto po = phone_options("simagent-f" + k);
        shift[i].fault(po);
        run_phone(run, shift[i].fixture, po, static_cast<int>(i + 1));
    }

    const auto csv = csv_rows(run.log_text());
    const auto lines = json_lines(run.detail_text());
    ASSERT_EQ(csv.size(), shift.size());
    ASSERT_EQ(lines.size(), shift.size());
    const std::string csv_file = std::filesystem::path(run.log_path).filename().string();
    for (size_t i = 0; i < shift.size(); i++) {
        SCOPED_TRACE(lines[i].dump());
        const json &j = lines[i];
        const std::vector<std::string> &c = csv[i];
        ASSERT_EQ(c.size(), 6u);
        const std::string k = std::to_string(shift[i].fixture);
        EXPECT_EQ(j["station"], "test-station");
        EXPECT_EQ(j["csv_file"], csv_file);
        EXPECT_EQ(j["csv_line"], static_cast<int>(i) + 2);
        EXPECT_EQ(j["fixture"], c[0]);
        EXPECT_EQ(j["die_id"], c[1]);
        EXPECT_EQ(csv_time(j["start"]), c[2]);
        EXPECT_EQ(csv_time(j["finish"]), c[3]);
        EXPECT_EQ(j["section"], c[4]);
        EXPECT_EQ(j["status_code"], std::stoi(c[5]));
        EXPECT_EQ(j["passed"], c[5] == "0");
        EXPECT_EQ(j["status_text"], shift[i].status_text);
        EXPECT_EQ(j["interface_1"], "sim-f" + k);
        EXPECT_EQ(j["interface_2"], "simagent-f" + k);
        EXPECT_EQ(j["bootrom_id"], shift[i].bootrom_id);
        EXPECT_EQ(j["bootrom_version"].get<std::string>().substr(0, 5), "3201 ");
        EXPECT_EQ(j["job"]["sha256"], sha256_of(read_file(ini)));
        ASSERT_EQ(j["job"]["images"].size(), images.size());
        for (size_t m = 0; m < images.size(); m++)
            EXPECT_EQ(j["job"]["images"][m]["sha256"], sha256_of(images[m].bytes));
        EXPECT_EQ(j["interrupted"], false);
        EXPECT_EQ(j["agent_wait"], shift[i].agent ? "found" : "timed out");
        if (shift[i].agent) {
            EXPECT_EQ(j["agent_interface"], "simagent-f" + k);
            EXPECT_EQ(j["nand"]["page_size"], 2048);
            EXPECT_EQ(j["nand"]["no_of_blocks"], 64);
        } else {
            EXPECT_TRUE(j["agent_interface"].is_null());
            EXPECT_TRUE(j["nand"].is_null());
        }
        // Steps: back to back from the attach, ending in the section (or "Done" for a pass).
        const json &steps = j["steps"];
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.front()["stage"], "Download DKB");
        EXPECT_GT(steps.front()["bytes"].get<uint64_t>(), 50000u) << "the DKB image went out";
        EXPECT_EQ(steps.back()["stage"], c[5] == "0" ? "Done" : c[4]);
        for (size_t s = 0; s + 1 < steps.size(); s++)
            EXPECT_EQ(steps[s]["start_ms"].get<uint32_t>() + steps[s]["ms"].get<uint32_t>(),
                      steps[s + 1]["start_ms"].get<uint32_t>());
        for (const Image &im : images) {
            for (const json &s : steps) {
                if (c[5] == "0" && s["stage"] == im.desc) {
                    EXPECT_GE(s["bytes"].get<uint64_t>(), im.bytes.size()) << im.desc;
                }
            }
        }
    }
    // Killed after every detail line but before any CSV line: start-up rebuilds the CSV's lines
    // from the detail lines byte for byte.
    TempDir cut;
    const std::string csv_path = (cut.path / "log_20261209_011500.csv").string();
    std::ofstream(csv_path, std::ios::binary) << LOG_HEADER;
    std::ofstream((cut.path / "log_20261209_011500.jsonl").string(), std::ios::binary)
        << run.detail_text();
    EXPECT_EQ(log_complete_dir(cut.path.string(), stderr), 0);
    std::ifstream completed(csv_path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(completed), {}), run.log_text());
}

TEST_F(DetailShift, EachFailedPhonesRecordHoldsItsOwnRunsLinesOnly)
{
    Job job = make_job(jobdir, default_images(), "[misc]\nlogging = 1\n");
    ASSERT_TRUE(job);
    StationRun run(job.get(), options);
    ASSERT_EQ(run.start(), 0);
    // Eight phones failing their writes at once, each boot ROM printing a date of its own.
    std::vector<std::shared_ptr<vphone::Phone>> phones;
    for (uint32_t n = 1; n <= 8; n++) {
        auto po = phone_options();
        po.bootrom.date = 0x20260100 + n;
        po.faults.device_errors.push_back({vphone::agent_cmd::WRITE_FLASH, 5, 0});
        phones.push_back(vphone::plug_phone("sim-d" + std::to_string(n), po));
    }
    ASSERT_TRUE(run.pump_until([&] { return count_lines(run.detail_text()) == 8; }));

    for (const json &j : json_lines(run.detail_text())) {
        SCOPED_TRACE(j.dump());
        const std::string own = "Date: " + j["bootrom_version"].get<std::string>().substr(5, 8);
        int own_dates = 0, other_dates = 0, write_failures = 0;
        uint32_t ms = 0;
        for (const json &d : j["diagnostics"]) {
            const std::string text = d["text"];
            own_dates += text == own;
            other_dates += text.rfind("Date: ", 0) == 0 && text != own;
            write_failures += text.rfind("Write NAND flash failed", 0) == 0;
            EXPECT_GE(d["ms"].get<uint32_t>(), ms);
            ms = d["ms"];
        }
        EXPECT_GE(own_dates, 1);
        EXPECT_EQ(other_dates, 0);
        EXPECT_EQ(write_failures, 1);
    }
}

// A one-file job whose section name and description hold control characters, a quote, a
// backslash and bytes 0x80-0xFF (a NUL cannot get through the container's terminated fields):
// the record stays JSON and gives the exact bytes back.
TEST_F(DetailShift, HostileFileNameAndDescriptionStayExact)
{
    std::string hostile = "img \"q\" \\ \x01\x1b\t\r\n";
    for (int b = 0x80; b <= 0xFF; b++)
        hostile += static_cast<char>(b);
    onefi_writer::container c;
    c.description = "hostile";
    onefi_writer::section s;
    s.name = hostile + ".bin";
    s.desc = hostile;
    s.data = pattern(5000, 9);
    s.second = 0x40000;
    c.sections = {s};
    const std::string container = (jobdir.path / "job.1fi").string();
    ASSERT_TRUE(onefi_writer::write_file(container, onefi_writer::build(c)));
    const std::string ini = (jobdir.path / "flasher.ini").string();
    std::ofstream(ini) << "[misc]\nlogging = 1\n[map]\n1fi_file = " << container << "\n";
    Job job(flashini_parse_file(ini.c_str()));
    ASSERT_TRUE(job);
    StationRun run(job.get(), options, ini);
    ASSERT_EQ(run.start(), 0);
    auto po = phone_options("simagent-f1");
    po.faults.device_errors.push_back({vphone::agent_cmd::WRITE_FLASH, 5, 1});
    run_phone(run, 1, po, 1);

    const auto lines = json_lines(run.detail_text());
    ASSERT_EQ(lines.size(), 1u);
    const json &j = lines[0];
    EXPECT_EQ(text_of(j["section"]), hostile);
    EXPECT_EQ(text_of(j["steps"].back()["stage"]), hostile);
    EXPECT_EQ(text_of(j["job"]["images"][0]["file"]), hostile + ".bin");
    EXPECT_EQ(text_of(j["job"]["images"][0]["desc"]), hostile);
    EXPECT_EQ(j["job"]["images"][0]["sha256"], sha256_of(s.data));
    EXPECT_EQ(j["job"]["container_sha256"], sha256_of(read_file(container)));
}

TEST_F(DetailShift, PluginVerdictIsRecordedWithItsName)
{
    auto images = default_images();
    Job job = make_job(jobdir, images, "[misc]\nlogging = 1\n");
    ASSERT_TRUE(job);
    const std::string ini = (jobdir.path / "post_plugin.ini").string();
    std::ofstream(ini) << "[Plugin]\ndll_name = " << BW_PLUGIN_VERDICT_5
                       << "\nextra_read_addr = 0\nextra_read_size = 2048\n";
    int err = -1;
    void *plugin = plugin_handler_init(&err, ini.c_str(), BW_PLUGIN_HOST);
    ASSERT_TRUE(plugin);
    options.post_plugin_handle = plugin;
    {
        StationRun run(job.get(), options);
        ASSERT_EQ(run.start(), 0);
        run_phone(run, 1, phone_options("simagent-f1"), 1);
        const auto lines = json_lines(run.detail_text());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["plugin"], json({{"name", "test plug-in"}, {"result", 5}}));
        EXPECT_EQ(lines[0]["status_code"], 5);
        EXPECT_EQ(lines[0]["status_text"], "Error execcute post plugin");
    }
    plugin_handler_finailize(plugin);
}

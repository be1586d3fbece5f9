// Every failure of the flashing sequence, each reproduced by a fault of the virtual phone or of
// the job, checked in its row ("Image", "Status", code, red) and in its log line.
#include <algorithm>
#include <cstring>
#include <optional>

#include <tuple>

#include "station_harness.h"
#include "util/bytes.h"

using namespace harness;
namespace cmd = vphone::agent_cmd;

namespace
{

const char *const kJob = "[misc]\nlogging = 1\nsync_pc_time = 1\n"
                         "[erase]\ntotal = 1\n"
                         "[erase1]\nnand_loc = 0x100000\nnand_loc_end = 0x140000\n"
                         "[gpio_bd]\ntotal = 1\n[gpio_bd1]\ngpio = 5\nvalue = 1\n"
                         "[gpio_ad]\ntotal = 1\n[gpio_ad1]\ngpio = 6\nvalue = 0\n";
// The chip of small_nand() is 8 MiB; its last two blocks are the default reserved area.
const char *const kReloc = "[misc]\nbbm_reloc = 0x7C0000\nbbm_reloc_end = 0x800000\n";

struct FailureCase {
    std::string name;
    std::string image, status; // expected "Image" and "Status" texts
    int code = 0;              // expected status code
    std::string job_extra;     // appended to kJob
    // Unplug the agent at the nth command word `word` (learnt from a clean run of the same job).
    uint32_t unplug_word = 0;
    int unplug_nth = 1;
    std::optional<vphone::AgentFaults::DeviceError> device_error;
    std::optional<vphone::BootromFault> rom_fault;
    bool bbm_present = true;
    bool agent_elsewhere = false; // the agent comes back on a name the row does not know
    std::string plugin;           // plug-in library; empty for none
    std::string plugin_extra;     // lines of [Plugin] besides dll_name
    int remove_image = -1;        // delete this image's file after the job was read
};

FailureCase fc(std::string name, std::string image, std::string status, int code)
{
    FailureCase c;
    c.name = std::move(name);
    c.image = std::move(image);
    c.status = std::move(status);
    c.code = code;
    return c;
}

std::vector<FailureCase> failure_cases()
{
    std::vector<FailureCase> v;
    auto add = [&](FailureCase c) { v.push_back(std::move(c)); };
    {
        FailureCase c = fc("bootstrap", "Download DKB", "Download DKB failed", -1);
        vphone::BootromFault f;
        f.kind = vphone::BootromFault::BAD_PREAMBLE_ECHO;
        f.cmd = vphone::BOOTROM_PREAMBLE;
        c.rom_fault = f;
        add(c);
    }
    {
        FailureCase c = fc("agent never on a known name", "Wait for DKB", "Wait for DKB failed", 1);
        c.agent_elsewhere = true;
        add(c);
    }
    {
        FailureCase c = fc("gpio before", "Wait for DKB", "Set GPIO failed", DKB_ERR_TRANSFER);
        c.unplug_word = cmd::SET_GPIO;
        add(c);
    }
    {
        FailureCase c =
            fc("init nand", "Init NAND flash", "Init NAND flash failed", DKB_ERR_DEVICE);
        c.device_error = vphone::AgentFaults::DeviceError{cmd::INIT_NAND, 5, 1};
        add(c);
    }
    {
        FailureCase c =
            fc("reloc area", "Init NAND flash", "Set BBM parameters failed", DKB_ERR_ACK);
        c.job_extra = kReloc;
        c.unplug_word = cmd::BBM_RELOC_AREA;
        add(c);
    }
    {
        FailureCase c = fc("validate", "Init NAND flash", "Validate BBM failed", DKB_ERR_DEVICE);
        c.job_extra = kReloc;
        c.device_error = vphone::AgentFaults::DeviceError{cmd::VALIDATE_BBM, 7, 1};
        add(c);
    }
    {
        FailureCase c =
            fc("nand para", "Init NAND flash", "Set NAND parameters failed", DKB_ERR_ACK);
        c.job_extra = "[misc]\nnum_of_chip_select = 1\n";
        c.unplug_word = cmd::NAND_PARA;
        add(c);
    }
    {
        FailureCase c =
            fc("nand info", "Get NAND flash info", "Get nand flash info failed", DKB_ERR_ACK);
        c.unplug_word = cmd::NAND_INFO;
        add(c);
    }
    {
        FailureCase c = fc("method 0 without table", "Get NAND flash info", "Cannot find BBM", -1);
        c.job_extra = "[misc]\ninit_nand_flash_bbm = 0\n";
        c.bbm_present = false;
        add(c);
    }
    {
        FailureCase c = fc("method 7", "Get NAND flash info", "config error in bbm", -1);
        c.job_extra = "[misc]\ninit_nand_flash_bbm = 7\n";
        add(c);
    }
    {
        FailureCase c = fc("bbm init nake", "Init BBM (Nake flash)", "Failed", DKB_ERR_DEVICE);
        c.job_extra = "[misc]\ninit_nand_flash_bbm = 1\n";
        c.device_error = vphone::AgentFaults::DeviceError{cmd::INIT_BBM_NAKE, 4, 1};
        add(c);
    }
    {
        FailureCase c = fc("bbm init used", "Init BBM (Used flash)", "Failed", DKB_ERR_DEVICE);
        c.job_extra = "[misc]\ninit_nand_flash_bbm = 2\n";
        c.device_error = vphone::AgentFaults::DeviceError{cmd::INIT_BBM_USED, 4, 1};
        add(c);
    }
    {
        FailureCase c = fc("erase", "Erase flash", "Erase failed", DKB_ERR_DEVICE);
        c.device_error = vphone::AgentFaults::DeviceError{cmd::ERASE_FLASH, 6, 1};
        add(c);
    }
    {
        FailureCase c = fc("write", "boot", "Write Failed", DKB_ERR_DEVICE);
        c.device_error = vphone::AgentFaults::DeviceError{cmd::WRITE_FLASH, 5, 1};
        add(c);
    }
    {
        // A description with a comma: the Section field is quoted, the line keeps six fields.
        FailureCase c = fc("missing image file", "rootfs, main", "Write Failed", DKB_ERR_OPEN_FILE);
        c.remove_image = 2;
        add(c);
    }
    {
        FailureCase c = fc("write back bbm", "Write back BBM", "Failed", DKB_ERR_DEVICE);
        c.device_error = vphone::AgentFaults::DeviceError{cmd::WRITE_BBM, 5, 1};
        add(c);
    }
    {
        FailureCase c = fc("gpio after", "Write back BBM", "Set GPIO failed", DKB_ERR_TRANSFER);
        c.unplug_word = cmd::SET_GPIO;
        c.unplug_nth = 2;
        add(c);
    }
    {
        FailureCase c =
            fc("plug-in buffer", "Write back BBM", "No more memory for post plugin read buffer", 1);
        c.plugin = BW_PLUGIN_VERDICT_0;
        c.plugin_extra = "extra_read_size = 0xFFFFFFFF\n";
        add(c);
    }
    {
        // Beyond the 8 MiB chip: the agent refuses the range.
        FailureCase c = fc("plug-in read-back", "Write back BBM", "Read post plugin buffer failed ",
                           DKB_ERR_DEVICE);
        c.plugin = BW_PLUGIN_VERDICT_0;
        c.plugin_extra = "extra_read_addr = 0x900000\nextra_read_size = 2048\n";
        add(c);
    }
    {
        FailureCase c = fc("plug-in verdict", "Write back BBM", "Error execcute post plugin", 5);
        c.plugin = BW_PLUGIN_VERDICT_5;
        c.plugin_extra = "extra_read_addr = 0\nextra_read_size = 2048\n";
        add(c);
    }
    // A plug-in that hangs, crashes or writes past its buffer fails its phone, code 1. Only the
    // hang waits for its (short) time-out; a crash is seen when it happens.
    for (auto [name, dll, status, timeout] :
         {std::tuple{"plug-in hangs", BW_PLUGIN_SLEEP, "Post plugin timed out", "0.3"},
          std::tuple{"plug-in crashes", BW_PLUGIN_CRASH, "Post plugin crashed", "60"},
          std::tuple{"plug-in overruns", BW_PLUGIN_OVERRUN, "Post plugin crashed", "60"}}) {
        FailureCase c = fc(name, "Write back BBM", status, 1);
        c.plugin = dll;
        c.plugin_extra =
            std::string("extra_read_addr = 0\nextra_read_size = 2048\ntimeout = ") + timeout + "\n";
        add(c);
    }
    {
        FailureCase c = fc("clock", "Write back BBM", "Set RTC failed", DKB_ERR_TRANSFER);
        c.unplug_word = cmd::WRITE_RTC;
        add(c);
    }
    return v;
}

// One phone through a station with the case's job and plug-in; returns the agent's commands
// of a clean run when `clean` (for learning where to unplug), otherwise checks the failure.
std::vector<uint32_t> run_case(const FailureCase &c, bool clean)
{
    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, std::string(kJob) + c.job_extra);
    EXPECT_TRUE(job);
    if (!job)
        return {};
    if (c.remove_image >= 0 && !clean)
        std::filesystem::remove(job->partition_info_list->partition_info[c.remove_image].filename);

    void *plugin = nullptr;
    if (!c.plugin.empty()) {
        std::string ini = (jobdir.path / "post_plugin.ini").string();
        std::ofstream(ini) << "[Plugin]\ndll_name = " << c.plugin << "\n" << c.plugin_extra;
        int err = -1;
        plugin = plugin_handler_init(&err, ini.c_str(), BW_PLUGIN_HOST);
        EXPECT_TRUE(plugin) << err;
        copy_text_field(job->one_file_image_description, sizeof job->one_file_image_description,
                        "test image v1");
    }

    station_options o;
    o.post_plugin_handle = plugin;
    o.ack_period_ms = 50;
    std::string mapping = (jobdir.path / "ports.ini").string();
    if (c.agent_elsewhere) {
        // A fixture that knows both its names: an agent on a third name is not its phone's.
        std::ofstream(mapping) << "[ports]\nNoOfPorts = 2\n[Port1]\nInterfaceName = sim-1\n"
                                  "PortNo = 1\n[Port2]\nInterfaceName = simagent-1\nPortNo = 1\n";
        o.port_mapping_path = mapping;
        o.agent_wait_ms = 500;
    }
    auto po = vphone::PhoneOptions();
    po.nand = small_nand();
    po.bbm_present = c.bbm_present;
    po.agent_instance = c.agent_elsewhere ? "simagent-9" : "";
    if (!clean && c.unplug_word) {
        // Unplug at the nth such command of a clean run of the same job.
        std::vector<uint32_t> ref = run_case(c, true);
        int seen = 0;
        for (size_t i = 0; i < ref.size(); i++)
            if (ref[i] == c.unplug_word && ++seen == c.unplug_nth)
                po.faults.unplug_at_command = static_cast<int>(i);
        EXPECT_GE(po.faults.unplug_at_command, 0) << "command never sent";
    }
    std::vector<uint32_t> commands;
    {
        StationRun run(job.get(), o);
        EXPECT_EQ(run.start(), 0);
        if (!clean) {
            if (c.rom_fault)
                po.bootrom.faults.push_back(*c.rom_fault);
            if (c.device_error)
                po.faults.device_errors.push_back(*c.device_error);
        }
        std::shared_ptr<vphone::Phone> phone;
        // A boot ROM that failed stays on the bus; take it off at its result so this run is its
        // only one.
        run.on_change = [&](const DeviceListChange &ch) {
            if ((ch.columns & column_bit(COL_STATUS)) &&
                run.cell(ch.row, COL_STATUS) == "Download DKB failed")
                vbus::unplug("sim-1");
        };
        phone = vphone::plug_phone("sim-1", po);
        EXPECT_TRUE(phone);
        EXPECT_TRUE(run.pump_until([&] { return run.logged() == 1; }));
        const int row = run.row_of("sim-1");
        EXPECT_GE(row, 0);
        if (clean) {
            EXPECT_EQ(run.cell(row, COL_IMAGE), "Finished") << "clean run of " << c.name;
            commands = phone->agent()->commands();
        } else {
            // The thread detaches right after a failure; the row keeps its result.
            EXPECT_TRUE(run.pump_until([&] {
                const tag_list_item *it = run.list().GetItemData(row);
                return it && it->detached;
            }));
            const tag_list_item *it = run.list().GetItemData(row);
            EXPECT_EQ(run.cell(row, COL_IMAGE), c.image);
            EXPECT_EQ(run.cell(row, COL_STATUS), c.status);
            EXPECT_EQ(it ? it->status_code : 0, c.code);
            EXPECT_EQ(ProcessCustomDraw(run.list(), row, COL_STATUS), STATION_COLOUR_FAILED);
            std::string section;
            csv_append_field(section, c.image.c_str());
            std::string fixture = c.agent_elsewhere ? "1" : "NA";
            EXPECT_EQ(log_lines(run.log_text()),
                      std::vector<std::string>{fixture + ",,T,T," + section + "," +
                                               std::to_string(c.code)});
        }
        phone->unplug();
    }
    plugin_handler_finailize(plugin);
    return commands;
}

} // namespace

TEST(StationFailures, EveryFailureShowsItsStageMessageCodeAndLogLine)
{
    for (const FailureCase &c : failure_cases()) {
        SCOPED_TRACE(c.name);
        run_case(c, false);
    }
}

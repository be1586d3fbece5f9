// fuzz target of the whole per-phone sequence: one phone whose boot ROM and then DKB agent answer
// with the fuzzer's bytes, run by DownloadThreadProc on this thread (the window thread, so every
// window message is handled at once) against a job with every step in it.
//
// Input: byte 0 shapes the job (bits 0-2 the BBM method, 3 set the clock, 4 reboot, 5 CRC, 6 a
// relocation area, 7 send NAND parameters); byte 1 numbers the write that fails (0xFF: none);
// byte 2 picks the post-flash plug-in's read range (bits 0-5, 0: no plug-in) and whether the
// agent's device is listed (bit 7 clear) and opens (bit 6 clear); the rest are the replies, boot
// ROM first, then agent. The plug-in is the sample plug-in, which reads every byte of the buffer
// it is given.
//
// Whatever the replies: the run ends with exactly one result and then one detach, the row
// carries that result, and the log gets exactly one line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "station/durable_log.h"
#include "station/post_plugin_handler.h"
#include "station/station.h"
#include "support/fake_transport.h"
#include "support/fuzz_util.h"

// ---- The bus: at most one agent device ----------------------------------------------------------
// These replace the transport's enumeration and open for this target alone.

namespace
{
const char kAgentPath[] =
    "\\\\?\\usb#vid_1286&pid_8111#fz-1#{325ddf96-938c-11d3-9e34-0080c82727f4}";
int g_open_devices = 0;
bool g_agent_listed = true;
bool g_agent_opens = true;
} // namespace

usb_dev_handle *usb_open(const char *path)
{
    if (strcmp(path, kAgentPath) == 0 && !g_agent_opens)
        return nullptr;
    g_open_devices++;
    return fake_transport_handle();
}

int usb_close(usb_dev_handle *)
{
    g_open_devices--;
    return 0;
}

int usb_set_configuration(usb_dev_handle *, int)
{
    return 0;
}

int usb_claim_interface(usb_dev_handle *, int)
{
    return 0;
}

int usb_enumerate(std::vector<std::string> *paths)
{
    if (g_agent_listed)
        paths->push_back(kAgentPath);
    return 0;
}

// The quit's abort and the detail record's byte count: no quit happens here, and the fuzzer's
// replies have no link to count.
void usb_abort(usb_dev_handle *) {}

uint64_t usb_bytes_moved(const usb_dev_handle *)
{
    return 0;
}

namespace
{

struct fuzz_job {
    flashini_content job{};
    std::string dir;
    std::vector<std::string> files;
};

// Writes two small image files and builds a job with every step: GPIOs before and after, one
// erase range, two images (one with spare areas) and one skipped entry.
fuzz_job *make_job()
{
    auto *fj = new fuzz_job;
    char tmpl[] = "/tmp/bw-fuzz-seq-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    fj->dir = tmpl;
    static std::string dir_to_remove = fj->dir;
    atexit([] { std::filesystem::remove_all(dir_to_remove); });
    const int sizes[2] = {3000, 2 * (512 + 16)};
    for (int i = 0; i < 2; i++) {
        std::string path = fj->dir + "/image" + std::to_string(i) + ".bin";
        FILE *f = fopen(path.c_str(), "wb");
        if (!f)
            abort();
        for (int b = 0; b < sizes[i]; b++)
            fputc((b * 7 + i) & 0xFF, f);
        fclose(f);
        fj->files.push_back(path);
    }
    flashini_content &j = fj->job;
    j.num_of_chip_select = -1;
    snprintf(j.one_file_image_description, sizeof j.one_file_image_description, "fuzz");

    auto *bd = static_cast<flashini_gpio_info_list *>(
        calloc(1, sizeof(flashini_gpio_info_list) + sizeof(flashini_gpio_info)));
    bd->no_of_gpio_info = 1;
    bd->gpio_info[0] = {12, 1};
    auto *ad = static_cast<flashini_gpio_info_list *>(
        calloc(1, sizeof(flashini_gpio_info_list) + sizeof(flashini_gpio_info)));
    ad->no_of_gpio_info = 1;
    ad->gpio_info[0] = {12, 0};
    auto *er = static_cast<flashini_erase_info_list *>(
        calloc(1, sizeof(flashini_erase_info_list) + sizeof(flashini_erase_info)));
    er->no_of_erase_info = 1;
    er->erase_info[0] = {0x100000, 0x140000};
    auto *pl = static_cast<flashini_partition_info_list *>(
        calloc(1, sizeof(flashini_partition_info_list) + 3 * sizeof(flashini_partition_info)));
    pl->no_of_partition_info = 3;
    for (int i = 0; i < 3; i++) {
        flashini_partition_info &p = pl->partition_info[i];
        snprintf(p.filename, sizeof p.filename, "%s", fj->files[i % 2].c_str());
        snprintf(p.desc, sizeof p.desc, "image %d", i);
        p.nand_loc_start = 0x20000u * (i + 1);
        p.nand_loc_end = p.nand_loc_start + 0x20000u;
    }
    pl->partition_info[1].image_with_oob = 1;
    pl->partition_info[2].skip_flash = 1;
    j.gpio_bd_info_list = bd;
    j.gpio_ad_info_list = ad;
    j.erase_info_list = er;
    j.partition_info_list = pl;
    return fj;
}

// The sample plug-in started once per read range: (extra_read_addr, extra_read_size) as the
// ini file gives them, unsigned. Sizes and addresses at and beyond 2^31 read as negative ints.
struct plugin_range {
    uint32_t addr, size;
};
constexpr plugin_range kPluginRanges[] = {
    {0x20000, 16},        {0x20000, 512},     {0x40000, 2048 + 7},    {0x3F000, 0x2000},
    {0x7FFFF000, 0x2000}, {0x80000000u, 600}, {0x20000, 0xFFFFFFF0u},
};

void *plugin_for(int index)
{
    static void *handles[std::size(kPluginRanges)];
    if (!handles[index]) {
        char path[] = "/tmp/bw-fuzz-plugin-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0)
            abort();
        dprintf(fd, "[Plugin]\ndll_name = %s\nextra_read_addr = %u\nextra_read_size = %u\n",
                BW_SAMPLE_PLUGIN, kPluginRanges[index].addr, kPluginRanges[index].size);
        close(fd);
        int err = 0;
        handles[index] = plugin_handler_init(&err, path, BW_PLUGIN_HOST);
        unlink(path);
        if (!handles[index])
            abort();
    }
    return handles[index];
}

struct message_log {
    int completed = 0, disconnected = 0, after_detach = 0;
    int code = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (silence_diagnostics(), true);
    (void)once;
    static fuzz_job *fj = make_job();
    static const std::vector<unsigned char> dkb_image(64, 0xD5);
    if (size < 3)
        return 0;

    flashini_content &job = fj->job;
    const uint8_t shape = data[0];
    job.init_bbm_method = (shape & 7) <= 3 ? (shape & 7) : 7;
    job.sync_pc_time = (shape >> 3) & 1;
    job.reboot = (shape >> 4) & 1;
    job.enable_crc = (shape >> 5) & 1;
    job.bbm_reloc_addr = (shape & 0x40) ? 0x7000000 : 0;
    job.bbm_reloc_end_addr = (shape & 0x40) ? 0x8000000 : 0;
    job.num_of_chip_select = (shape & 0x80) ? 1 : -1;
    fake_transport_reset(data + 3, size - 3, data[1] == 0xFF ? -1 : data[1]);

    station_options o;
    o.ini_content = &job;
    o.dkb_buf = dkb_image.data();
    o.dkb_size = static_cast<int>(dkb_image.size());
    o.port_mapping_path.clear();
    if (data[2] & 0x3F)
        o.post_plugin_handle = plugin_for((data[2] & 0x3F) % std::size(kPluginRanges));
    g_agent_listed = !(data[2] & 0x80);
    g_agent_opens = !(data[2] & 0x40);
    o.poll_period_ms = 0;
    o.agent_wait_ms = 0;
    o.ack_period_ms = 0;
    auto ctx = std::make_shared<station_context>(o);
    // The log on tmpfs, where its per-line sync costs nothing.
    char log_path[] = "/dev/shm/bw-fuzz-log-XXXXXX";
    int log_fd = mkstemp(log_path);
    durable_file log_file;
    if (log_fd < 0 || durable_file_adopt(&log_file, log_fd, log_path) != 0)
        abort();
    ctx->log.files.push_back(std::move(log_file));

    message_log seen;
    station_context *c = ctx.get();
    ctx->queue.open(
        [c, &seen](unsigned msg, WPARAM w, LPARAM l) {
            if (seen.disconnected)
                seen.after_detach++;
            if (msg == WM_DEVICE_COMPLETED) {
                seen.completed++;
                seen.code = static_cast<int>(l);
            }
            if (msg == WM_DEVICE_DISCONNECTED)
                seen.disconnected++;
            return MainProc(c, msg, w, l);
        },
        std::this_thread::get_id());

    station_take_rows(c); // as start() does
    usb_dev_handle *bootrom = usb_open("boot rom");
    auto *item = reinterpret_cast<tag_list_item *>(ctx->queue.send(
        WM_DEVICE_CONNECTED, reinterpret_cast<WPARAM>(bootrom), reinterpret_cast<LPARAM>("fz-1")));
    std::shared_ptr<tag_list_item> run = take_run_record(c, bootrom);
    if (!item || run.get() != item)
        abort();
    DownloadThreadProc(c, std::move(run));

    if (seen.completed != 1 || seen.disconnected != 1 || seen.after_detach != 0)
        abort();
    if (g_open_devices != 0)
        abort(); // both devices closed on every path
    {
        std::lock_guard<std::mutex> lock(c->runs.m);
        if (!c->runs.agents.empty())
            abort(); // the agent's claim is given back on every path
    }
    int row = FindMappedUSBListItem(c->list, "fz-1");
    tag_list_item *left = c->list.GetItemData(row);
    if (seen.code == 0 ? left != nullptr : (!left || left->status_code != seen.code))
        abort(); // a success clears its row; a failure stays on it with its code
    durable_log_close(&ctx->log);
    int lines = 0;
    if (FILE *f = fopen(log_path, "rb")) {
        for (int ch; (ch = fgetc(f)) != EOF;)
            lines += ch == '\n';
        fclose(f);
    }
    unlink(log_path);
    if (lines != 1 || !ctx->log.kept.empty())
        abort();
    ctx->queue.close();
    return 0;
}

// station core: the flashing sequence of one phone, run by its download thread (started by the
// monitor): bootstrap of the DKB agent through the boot ROM, the wait for the agent, the job,
// the result, then reset or acknowledgement until unplugged, then the detach. Every report goes
// to the window thread by synchronous send, addressed by the row record.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "romcode/libromcode_helper.h"
#include "romcode/romcode_protocol.h"
#include "station/post_plugin_handler.h"
#include "station/shutdown.h"
#include "station/station.h"
#include "usb/usb.h"
#include "util/diag.h"

namespace
{

// The bytes moved so far, for the window thread to read in the handler of the send that follows.
void publish_bytes(tag_list_item *item)
{
    const uint64_t moved = item->counted_bytes_closed + usb_bytes_moved(item->counted_udev);
    std::lock_guard<std::mutex> lock(item->detail_mutex);
    item->detail.bytes_moved = moved;
}

// The failure text the detail record gives the run (its Status text arrives after the result).
void set_result_text(tag_list_item *item, const char *text)
{
    std::lock_guard<std::mutex> lock(item->detail_mutex);
    item->detail.result_text = text;
}

// Closes the counted device, keeping its bytes for the sends still to come.
void close_counted(station_context *ctx, tag_list_item *item, usb_dev_handle *udev)
{
    item->counted_bytes_closed += usb_bytes_moved(udev);
    item->counted_udev = nullptr;
    station_close_device(ctx, udev);
}

void send_text(station_context *ctx, unsigned msg, tag_list_item *item, const char *text)
{
    publish_bytes(item);
    ctx->queue.send(msg, reinterpret_cast<WPARAM>(item), reinterpret_cast<LPARAM>(text));
}

void send_code(station_context *ctx, unsigned msg, tag_list_item *item, int code)
{
    publish_bytes(item);
    ctx->queue.send(msg, reinterpret_cast<WPARAM>(item), static_cast<LPARAM>(code));
}

// Sleeps ms, waking early when the station stops; true when it stopped.
bool sleep_unless_exit(station_context *ctx, int ms)
{
    using clock = std::chrono::steady_clock;
    auto end = clock::now() + std::chrono::milliseconds(ms);
    while (!ctx->do_exit.load()) {
        auto left = end - clock::now();
        if (left <= clock::duration::zero())
            return false;
        std::this_thread::sleep_for(std::min<clock::duration>(left, std::chrono::milliseconds(20)));
    }
    return true;
}

// Sleeps ms while the finished phone's agent is on the bus, looking for it every
// unplug_check_ms; true when it has left (or the station stopped), so the fixture is free for
// the next phone at once rather than at the next acknowledgement.
bool sleep_while_plugged(station_context *ctx, const std::string &agent_name, int ms)
{
    const int step = std::max(1, std::min(ctx->opt.unplug_check_ms, ms));
    for (int slept = 0; slept < ms; slept += step) {
        if (sleep_unless_exit(ctx, std::min(step, ms - slept)))
            return true;
        if (!bus_device_listed(ctx, DKB_AGENT_VID, DKB_AGENT_PID, agent_name, step))
            return true;
    }
    return false;
}

bool claim_agent(station_context *ctx, const std::string &name)
{
    return run_names_take_agent(ctx->runs, name);
}

void release_agent(station_context *ctx, const std::string &name)
{
    run_names_give_agent(ctx->runs, name);
}

// Applies a GPIO list in order; 0 or the first failing result.
int set_gpios(usb_dev_handle *udev, const flashini_gpio_info_list *gpios)
{
    if (!gpios)
        return 0;
    for (int i = 0; i < gpios->no_of_gpio_info; i++) {
        int r = dkb_set_gpio(udev, gpios->gpio_info[i].gpio, gpios->gpio_info[i].value);
        if (r != 0)
            return r;
    }
    return 0;
}

// The station was told to stop: nobody will see this phone's result, so its long steps (the
// erases and writes) are not started any more and stop() need not wait for them.
bool stopping(station_context *ctx, const char **err_msg)
{
    if (!ctx->do_exit.load())
        return false;
    *err_msg = "Station stopped";
    return true;
}

// A job file is no longer the one start-up checked: what this phone gets (or got) may not be
// what its record says, so it fails.
bool job_changed(station_context *ctx, const char **err_msg)
{
    std::string which;
    if (!ctx->opt.guard || job_guard_verify(ctx->opt.guard.get(), &which) == 0)
        return false;
    *err_msg = "Job file changed";
    return true;
}

} // namespace

void format_progress(char *buf, size_t size, int cur, int range)
{
    if (range <= 0) {
        // An empty or inverted flash range: nothing to measure against.
        snprintf(buf, size, "0%% (0/%d)", range);
        return;
    }
    int shown = cur < range ? cur : range;
    int64_t percent = static_cast<int64_t>(shown) * 100 / range;
    snprintf(buf, size, "%d%% (%d/%d)", static_cast<int>(percent), shown, range);
}

void progress_callback(void *user_data, const char *msg, int cur, int range)
{
    auto *run = static_cast<download_run *>(user_data);
    send_text(run->ctx, WM_DEVICE_DOWNLOAD_MSG, run->item, msg);
    char buf[100];
    format_progress(buf, sizeof buf, cur, range);
    send_text(run->ctx, WM_DEVICE_PROGRESS, run->item, buf);
}

const char *wait_dkb_result_name(int result)
{
    switch (result) {
    case WAIT_DKB_FOUND:
        return "found";
    case WAIT_DKB_TIMED_OUT:
        return "timed out";
    case WAIT_DKB_OPEN_FAILED:
        return "open failed";
    case WAIT_DKB_STOPPED:
        return "stopped";
    }
    return "unknown";
}

namespace
{

// What the agent wait looked for, for the run's diagnostic lines: "sim-1" or "simagent-1",
// and "any free name" when the row knows one name only.
std::string wanted_names(const char *name1, const char *name2)
{
    std::string s;
    for (const char *n : {name1, name2}) {
        if (!n[0])
            continue;
        s += (s.empty() ? "\"" : " or \"") + std::string(n) + "\"";
    }
    if (!name1[0] || !name2[0])
        s += s.empty() ? "any free name" : " or any free name";
    return s;
}

// The wait's end, on the run's diagnostic lines; returns result.
int wait_ended(int result, const char *name1, const char *name2, uint32_t start,
               const std::string &detail)
{
    const unsigned ms = static_cast<unsigned>(station_tick_ms() - start);
    const std::string wanted = wanted_names(name1, name2);
    switch (result) {
    case WAIT_DKB_FOUND:
        diag_printf(stdout, "Wait for DKB: agent on \"%s\" after %u ms (looked for %s)\n",
                    detail.c_str(), ms, wanted.c_str());
        break;
    case WAIT_DKB_TIMED_OUT:
        diag_printf(stderr, "Wait for DKB: timed out after %u ms: no agent on %s%s\n", ms,
                    wanted.c_str(), detail.c_str());
        break;
    case WAIT_DKB_OPEN_FAILED:
        diag_printf(stderr,
                    "Wait for DKB: the agent on \"%s\" could not be opened (after %u ms, "
                    "looked for %s)\n",
                    detail.c_str(), ms, wanted.c_str());
        break;
    default:
        diag_printf(stderr, "Wait for DKB: stopped after %u ms (looked for %s)\n", ms,
                    wanted.c_str());
        break;
    }
    return result;
}

} // namespace

int wait_for_dkb(station_context *ctx, usb_dev_handle **ret_udev, int timeout, const char *name1,
                 const char *name2, std::string *taken_name)
{
    const uint32_t start = station_tick_ms();
    const bool any = name1[0] == '\0' || name2[0] == '\0';
    std::vector<std::string> paths;
    struct candidate {
        const std::string *path;
        std::string name;
    };
    std::vector<candidate> own, others;
    std::vector<std::string> agent_names;
    std::string unopened; // an agent usb_open refused, the last one
    for (;;) {
        if (ctx->do_exit.load())
            return wait_ended(WAIT_DKB_STOPPED, name1, name2, start, "");
        paths.clear();
        if (station_enumerate(ctx, &paths) == 0) {
            own.clear();
            others.clear();
            agent_names.clear();
            for (const std::string &path : paths) {
                unsigned vid = 0;
                unsigned pid = 0;
                char name[STATION_NAME_MAX];
                if (path.size() >= USB_PATH_MAX ||
                    GetVIDPIDFromDevicePath(path.c_str(), &vid, &pid) != 0 ||
                    vid != DKB_AGENT_VID || pid != DKB_AGENT_PID ||
                    ExtractInterfaceName(path.c_str(), name) != 0)
                    continue;
                agent_names.push_back(name);
                if (strcmp(name, name2) == 0 || strcmp(name, name1) == 0)
                    own.push_back({&path, name});
                // A row that knows one name takes an agent on a name nobody else has: not a
                // mapped name of another fixture, not a name of another phone's run.
                else if (any && ctx->mapped_names.count(name) == 0 &&
                         !run_names_claimed(ctx->runs, name))
                    others.push_back({&path, name});
            }
            run_names_forget_absent(ctx->runs, agent_names);
            own.insert(own.end(), others.begin(), others.end());
            for (const candidate &c : own) {
                // Another phone's thread may already own this agent (rows that know one name
                // accept agents on names nobody claims).
                if (!claim_agent(ctx, c.name))
                    continue;
                usb_dev_handle *udev = usb_open(c.path->c_str());
                if (!udev) {
                    release_agent(ctx, c.name);
                    unopened = c.name;
                    continue;
                }
                station_hold_device(ctx, udev);
                if (usb_set_configuration(udev, 1) != 0 || usb_claim_interface(udev, 0) != 0) {
                    station_close_device(ctx, udev);
                    release_agent(ctx, c.name);
                    return wait_ended(WAIT_DKB_OPEN_FAILED, name1, name2, start, c.name);
                }
                *ret_udev = udev;
                *taken_name = c.name;
                return wait_ended(WAIT_DKB_FOUND, name1, name2, start, c.name);
            }
        }
        // Pause even without a device list, so a failing platform is not polled in a busy loop.
        if (sleep_unless_exit(ctx, ctx->opt.poll_period_ms))
            return wait_ended(WAIT_DKB_STOPPED, name1, name2, start, "");
        if (static_cast<uint32_t>(station_tick_ms() - start) >= static_cast<uint32_t>(timeout)) {
            // An agent that was there all along but would not open is not a time-out.
            if (!unopened.empty())
                return wait_ended(WAIT_DKB_OPEN_FAILED, name1, name2, start, unopened);
            std::string seen;
            for (const std::string &n : agent_names)
                seen += (seen.empty() ? "; agents on the bus: " : ", ") + n;
            return wait_ended(WAIT_DKB_TIMED_OUT, name1, name2, start, seen);
        }
    }
}

int start_download_image(station_context *ctx, tag_list_item *pitem, usb_dev_handle *udev,
                         const char **err_msg)
{
    const flashini_content *job = ctx->opt.ini_content;
    download_run run{ctx, pitem};
    int r;

    if ((r = set_gpios(udev, job->gpio_bd_info_list)) != 0) {
        *err_msg = "Set GPIO failed";
        return r;
    }

    send_text(ctx, WM_DEVICE_IMAGE, pitem, "Init NAND flash");
    int found_bbm = 0;
    if ((r = dkb_init_nand(udev, &found_bbm)) != 0) {
        *err_msg = "Init NAND flash failed";
        return r;
    }
    if (job->bbm_reloc_addr != 0 && job->bbm_reloc_end_addr != 0) {
        r = dkb_set_nand_bbm_reloc_area(udev, job->bbm_reloc_addr, job->bbm_reloc_end_addr);
        if (r != 0) {
            *err_msg = "Set BBM parameters failed";
            return r;
        }
        if ((r = dkb_validate_bbm(udev)) != 0) {
            *err_msg = "Validate BBM failed";
            return r;
        }
    }
    if (job->num_of_chip_select != -1) {
        if ((r = dkb_set_nand_flash_para(udev, job->num_of_chip_select)) != 0) {
            *err_msg = "Set NAND parameters failed";
            return r;
        }
    }

    send_text(ctx, WM_DEVICE_IMAGE, pitem, "Get NAND flash info");
    comm_protocol_flash_info_resp flash_info{};
    if ((r = dkb_get_nand_info(udev, &flash_info)) != 0) {
        *err_msg = "Get nand flash info failed";
        return r;
    }
    {
        std::lock_guard<std::mutex> lock(pitem->detail_mutex);
        pitem->detail.nand =
            detail_nand{flash_info.manu_id,   flash_info.device_id,  flash_info.no_of_blocks,
                        flash_info.page_size, flash_info.block_size, flash_info.oob_size,
                        flash_info.bus_width, found_bbm != 0};
    }
    const int page_size = static_cast<int>(flash_info.page_size);
    const int block_size = static_cast<int>(flash_info.block_size);

    switch (job->init_bbm_method) {
    case FLASHINI_USE_EXIST_BBM:
        if (!found_bbm) {
            *err_msg = "Cannot find BBM";
            return -1;
        }
        break;
    case FLASHINI_INIT_NAKE_BBM:
        send_text(ctx, WM_DEVICE_IMAGE, pitem, "Init BBM (Nake flash)");
        if ((r = dkb_init_bbm_nake_flash(udev, progress_callback, &run)) != 0) {
            *err_msg = "Failed";
            return r;
        }
        break;
    case FLASHINI_USE_EXIST_BBM_IF_NOT_FOUND_INIT_USED_BBM:
        if (found_bbm)
            break;
        [[fallthrough]];
    case FLASHINI_INIT_USED_BBM:
        send_text(ctx, WM_DEVICE_IMAGE, pitem, "Init BBM (Used flash)");
        if ((r = dkb_init_bbm_used_flash(udev, progress_callback, &run)) != 0) {
            *err_msg = "Failed";
            return r;
        }
        break;
    default:
        *err_msg = "config error in bbm";
        return -1;
    }

    const flashini_erase_info_list *erase = job->erase_info_list;
    for (int i = 0; erase && i < erase->no_of_erase_info; i++) {
        const flashini_erase_info &e = erase->erase_info[i];
        if (stopping(ctx, err_msg))
            return 1;
        send_text(ctx, WM_DEVICE_IMAGE, pitem, "Erase flash");
        r = dkb_flash_erase(udev, static_cast<int>(e.nand_loc_start),
                            static_cast<int>(e.nand_loc_end - e.nand_loc_start), 0);
        if (r != 0) {
            *err_msg = "Erase failed";
            return r;
        }
    }

    const flashini_partition_info_list *parts = job->partition_info_list;
    for (int i = 0; parts && i < parts->no_of_partition_info; i++) {
        const flashini_partition_info &p = parts->partition_info[i];
        if (p.skip_flash)
            continue;
        if (stopping(ctx, err_msg) || job_changed(ctx, err_msg))
            return 1;
        send_text(ctx, WM_DEVICE_IMAGE, pitem, p.desc);
        send_text(ctx, WM_DEVICE_DOWNLOAD_MSG, pitem, "");
        send_text(ctx, WM_DEVICE_PROGRESS, pitem, "");
        dkb_write_stats written;
        r = dkb_flash_write_from_file_ex(
            udev, p.filename, p.offset_in_file, p.file_size, static_cast<int>(p.nand_loc_start),
            static_cast<int>(p.nand_loc_end), 1, page_size, block_size,
            p.image_with_oob ? static_cast<int>(flash_info.oob_size) : 0, job->enable_crc, 0,
            progress_callback, &run, job->skip_blank, &written);
        if (job->skip_blank) {
            std::lock_guard<std::mutex> lock(pitem->detail_mutex);
            pitem->detail.blank_pending = true;
            pitem->detail.pending_blank_blocks = static_cast<uint64_t>(written.blank_blocks);
            pitem->detail.pending_blank_pages = static_cast<uint64_t>(written.blank_pages);
        }
        if (r != 0) {
            *err_msg = "Write Failed";
            return r;
        }
        // misc:verify: the image is read back through the agent and compared before the next.
        if (job->verify) {
            r = dkb_flash_verify_from_file_ex(
                udev, p.filename, p.offset_in_file, p.file_size, static_cast<int>(p.nand_loc_start),
                static_cast<int>(p.nand_loc_end), 1, page_size, block_size,
                p.image_with_oob ? static_cast<int>(flash_info.oob_size) : 0, job->enable_crc, 0,
                progress_callback, &run, job->skip_blank);
            if (r != 0) {
                *err_msg = "Verify Failed";
                return r;
            }
        }
    }

    // The files did not change while they were sent.
    if (job_changed(ctx, err_msg))
        return 1;
    send_text(ctx, WM_DEVICE_IMAGE, pitem, "Write back BBM");
    if ((r = dkb_finialize_nand(udev)) != 0) {
        *err_msg = "Failed";
        return r;
    }
    if ((r = set_gpios(udev, job->gpio_ad_info_list)) != 0) {
        *err_msg = "Set GPIO failed";
        return r;
    }

    if (void *plugin = ctx->opt.post_plugin_handle) {
        const int post_read_addr = plugin_handler_get_extra_read_addr(plugin);
        const int post_read_size = plugin_handler_get_extra_read_size(plugin);
        if (post_read_size != 0) {
            // A size read as negative cannot be a buffer: the allocation it asks for fails. The
            // bytes go straight into the shared memory the plug-in's process maps.
            plugin_shared_buffer buf;
            if (plugin_shared_buffer_alloc(&buf, post_read_size) != 0) {
                *err_msg = "No more memory for post plugin read buffer";
                return 1;
            }
            const int64_t end = static_cast<int64_t>(post_read_addr) + post_read_size;
            r = end > INT_MAX ? DKB_ERR_READ_SIZE
                              : dkb_flash_read(udev, reinterpret_cast<unsigned char *>(buf.data()),
                                               post_read_addr, static_cast<int>(end), 1, page_size,
                                               block_size, 0, job->enable_crc, 0, nullptr, nullptr);
            if (r != 0) {
                plugin_shared_buffer_free(&buf);
                *err_msg = "Read post plugin buffer failed ";
                return r;
            }
            // A station that stops abandons the call at once; its phone gets the stop's text.
            const int how = plugin_handler_judge(plugin, &buf, 1, job->one_file_image_description,
                                                 &ctx->do_exit, &r);
            plugin_shared_buffer_free(&buf);
            if (how == POST_PLUGIN_TIMED_OUT) {
                *err_msg = "Post plugin timed out";
                return 1;
            }
            if (how == POST_PLUGIN_CRASHED) {
                *err_msg = "Post plugin crashed";
                return 1;
            }
            if (how == POST_PLUGIN_CANCELLED) {
                *err_msg = "Station stopped";
                return 1;
            }
            {
                std::lock_guard<std::mutex> lock(pitem->detail_mutex);
                pitem->detail.plugin_judged = true;
                pitem->detail.plugin_result = r;
            }
            if (r != 0) {
                *err_msg = "Error execcute post plugin";
                return r;
            }
        }
    }

    if (job->sync_pc_time) {
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        struct tm rtc {
        };
        rtc.tm_year = utc.tm_year; // already year - 1900
        rtc.tm_mon = utc.tm_mon;   // already month - 1
        rtc.tm_mday = utc.tm_mday;
        rtc.tm_wday = utc.tm_wday;
        rtc.tm_hour = utc.tm_hour;
        rtc.tm_min = utc.tm_min;
        rtc.tm_sec = utc.tm_sec;
        if ((r = dkb_write_rtc(udev, &rtc)) != 0) {
            *err_msg = "Set RTC failed";
            return r;
        }
    }

    send_text(ctx, WM_DEVICE_IMAGE, pitem, "Done");
    return 0;
}

namespace
{

// The run's owner on its download thread, for the thread's whole life: its names claimed, its
// diagnostic lines, its devices and its agent's claim. Its end is the run's one exit: the boot
// ROM device closed if still open, the detach (the run's last message: the window may free the
// record then), the agent closed and given back, the names released.
class run_owner
{
  public:
    run_owner(station_context *ctx, std::shared_ptr<tag_list_item> item)
        : ctx_(ctx), record_(std::move(item)), item_(record_.get()),
          names_(ctx->runs, item_->interface_1_name, item_->interface_2_name), diag_(item_->diag),
          bootrom_(item_->udev)
    {
        item_->counted_udev = bootrom_;
    }
    // The record outlives the detach, the agent's release and the names' release: record_ is
    // declared before every member that reads it, so it is destroyed after them.
    ~run_owner()
    {
        close_bootrom();
        send_code(ctx_, WM_DEVICE_DISCONNECTED, item_, 0);
        if (agent_) {
            station_close_device(ctx_, agent_);
            release_agent(ctx_, agent_name_);
        }
    }
    run_owner(const run_owner &) = delete;
    run_owner &operator=(const run_owner &) = delete;

    usb_dev_handle *bootrom() const { return bootrom_; }
    void close_bootrom()
    {
        if (bootrom_)
            close_counted(ctx_, item_, bootrom_);
        bootrom_ = nullptr;
    }
    // The agent the wait found, taken over with its claim.
    void take_agent(usb_dev_handle *agent, std::string name)
    {
        agent_ = agent;
        agent_name_ = std::move(name);
        item_->counted_udev = agent;
    }
    usb_dev_handle *agent() const { return agent_; }
    tag_list_item *item() const { return item_; }
    const std::string &agent_name() const { return agent_name_; }

  private:
    station_context *ctx_;
    // The thread's share of the run's record: it outlives every use below.
    std::shared_ptr<tag_list_item> record_;
    tag_list_item *item_;
    // Other rows' agent waits leave this phone's names alone until the thread ends.
    run_names_guard names_;
    // Every line the layers print on this thread is the run's.
    diag_thread_scope diag_;
    usb_dev_handle *bootrom_;
    usb_dev_handle *agent_ = nullptr;
    std::string agent_name_;
};

} // namespace

int DownloadThreadProc(station_context *ctx, std::shared_ptr<tag_list_item> record)
{
    const flashini_content *job = ctx->opt.ini_content;
    if (!record)
        return -1;
    run_owner run(ctx, std::move(record));
    tag_list_item *item = run.item();

    send_text(ctx, WM_DEVICE_IMAGE, item, "Download DKB");
    send_text(ctx, WM_DEVICE_DOWNLOAD_MSG, item, "");
    send_text(ctx, WM_DEVICE_PROGRESS, item, "");
    // The bootstrap only reads the image; its interface predates const.
    sor_bootrom_version rom{};
    int r = download_dkb(run.bootrom(), nullptr, 0, const_cast<unsigned char *>(ctx->opt.dkb_buf),
                         ctx->opt.dkb_size, &rom);
    // Left all zero when the ROM never answered get version (an all-zero answer reads the same).
    static const sor_bootrom_version none{};
    if (memcmp(&rom, &none, sizeof rom) != 0) {
        char numbers[2][16];
        snprintf(numbers[0], sizeof numbers[0], " %08X ", static_cast<unsigned>(rom.date));
        snprintf(numbers[1], sizeof numbers[1], " %02X", rom.processor[3]);
        {
            std::lock_guard<std::mutex> lock(item->detail_mutex);
            item->detail.bootrom_version = std::string(rom.version, 4) + numbers[0] +
                                           std::string(reinterpret_cast<char *>(rom.processor), 3) +
                                           numbers[1];
        }
    }
    if (r != 0) {
        set_result_text(item, "Download DKB failed");
        send_code(ctx, WM_DEVICE_COMPLETED, item, r);
        send_text(ctx, WM_DEVICE_DOWNLOAD_MSG, item, "Download DKB failed");
        return 0;
    }
    run.close_bootrom();

    send_text(ctx, WM_DEVICE_IMAGE, item, "Wait for DKB");
    usb_dev_handle *agent = nullptr;
    std::string agent_name;
    const int waited = wait_for_dkb(ctx, &agent, ctx->opt.agent_wait_ms, item->interface_1_name,
                                    item->interface_2_name, &agent_name);
    {
        std::lock_guard<std::mutex> lock(item->detail_mutex);
        item->detail.agent_wait = wait_dkb_result_name(waited);
    }
    if (waited != WAIT_DKB_FOUND) {
        set_result_text(item, "Wait for DKB failed");
        send_code(ctx, WM_DEVICE_COMPLETED, item, 1);
        send_text(ctx, WM_DEVICE_DOWNLOAD_MSG, item, "Wait for DKB failed");
        return 0;
    }
    run.take_agent(agent, agent_name);
    {
        std::lock_guard<std::mutex> lock(item->detail_mutex);
        item->detail.agent_interface = agent_name;
    }

    const char *errmsg = "";
    int err = start_download_image(ctx, item, agent, &errmsg);
    if (err == 0) {
        send_code(ctx, WM_DEVICE_COMPLETED, item, 0);
        send_text(ctx, WM_DEVICE_PROGRESS, item, "100%");
        if (job->loop_test || job->reboot) {
            dkb_software_reset_device(agent);
        } else {
            // Keep the finished phone acknowledged until it is unplugged.
            while (dkb_ack(agent) == 0 &&
                   !sleep_while_plugged(ctx, agent_name, ctx->opt.ack_period_ms)) {
            }
        }
    } else {
        set_result_text(item, errmsg);
        send_code(ctx, WM_DEVICE_COMPLETED, item, err);
        send_text(ctx, WM_DEVICE_DOWNLOAD_MSG, item, errmsg);
        // The failed phone usually stays in its fixture in agent mode: no other row takes it.
        run_names_leave_agent(ctx->runs, agent_name);
    }
    return 0;
}

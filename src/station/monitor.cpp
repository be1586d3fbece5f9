// station core: device discovery. The monitor thread polls USB, attaches every new phone in boot
// ROM mode to its row (a synchronous WM_DEVICE_CONNECTED to the window thread) and starts its
// download thread; it reaps ended threads so their interface names can take the next phone.
// Started by Station::start(), ended by Station::stop() through do_exit.
#include <chrono>
#include <cstring>
#include <vector>

#include "station/shutdown.h"
#include "station/station.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "util/bytes.h"

namespace
{

bool is_bootrom(unsigned vid, unsigned pid)
{
    return (vid == BOOTROM_VID_1 && pid == BOOTROM_PID_1) ||
           (vid == BOOTROM_VID_2 && pid == BOOTROM_PID_2);
}

// The attached row cannot get its thread: report the run as failed so the row and the log
// say so, then give the device back.
void report_thread_start_failure(station_context *ctx, tag_list_item *item, usb_dev_handle *udev)
{
    auto w = reinterpret_cast<WPARAM>(item);
    {
        // A quit may be finishing the run in the window thread at this moment.
        std::lock_guard<std::mutex> lock(item->detail_mutex);
        item->detail.result_text = "Download thread failed to start";
    }
    ctx->queue.send(WM_DEVICE_COMPLETED, w, 1);
    ctx->queue.send(WM_DEVICE_DOWNLOAD_MSG, w,
                    reinterpret_cast<LPARAM>("Download thread failed to start"));
    ctx->queue.send(WM_DEVICE_DISCONNECTED, w, 0);
    station_close_device(ctx, udev);
}

// The interface name of a boot ROM device's path into name, its ids into *vid and *pid; false
// for any other path.
bool bootrom_name(const std::string &path, char name[STATION_NAME_MAX], unsigned *vid,
                  unsigned *pid)
{
    return path.size() < USB_PATH_MAX && GetVIDPIDFromDevicePath(path.c_str(), vid, pid) == 0 &&
           is_bootrom(*vid, *pid) && ExtractInterfaceName(path.c_str(), name) == 0;
}

// One member of a pass: attach it and start its thread, unless its name already has one, the
// log cannot be written, or the phone keeps failing without leaving the bus.
void take_device(const std::shared_ptr<station_context> &ctx, download_thread_list &ll,
                 const std::string &path)
{
    char name[STATION_NAME_MAX];
    unsigned vid = 0;
    unsigned pid = 0;
    if (!bootrom_name(path, name, &vid, &pid))
        return;
    if (FindDeviceStillConnectedNAlive(name, ll))
        return;
    if (ctx->log_blocked.load() || strikes_held(&ctx->health.strikes, name))
        return;
    if (ctx->opt.guard && !job_guard_alarm(ctx->opt.guard.get()).empty())
        return;
    usb_dev_handle *udev = usb_open(path.c_str());
    if (!udev)
        return;
    station_hold_device(ctx.get(), udev);
    if (usb_set_configuration(udev, 1) != 0 || usb_claim_interface(udev, 0) != 0) {
        station_close_device(ctx.get(), udev);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(ctx->devices_mutex);
        ctx->bootrom_ids[udev] = vid << 16 | pid;
    }
    auto *attached = reinterpret_cast<tag_list_item *>(ctx->queue.send(
        WM_DEVICE_CONNECTED, reinterpret_cast<WPARAM>(udev), reinterpret_cast<LPARAM>(name)));
    // The run's share of the record, left by the attach: from here on the thread's.
    std::shared_ptr<tag_list_item> item = take_run_record(ctx.get(), udev);
    if (!attached || !item) {
        // Refused (the row's previous run is still going), out of memory, or stopping: the
        // device is tried again on a later pass.
        station_close_device(ctx.get(), udev);
        return;
    }
    download_thread_node &node = ll.emplace_front();
    copy_text_field(node.interfaceName, sizeof node.interfaceName, name);
    node.udev = udev;
    node.ended = std::make_shared<std::atomic<bool>>(false);
    station_download_thread_started();
    try {
        node.hThread = std::thread([c = ctx, item, ended = node.ended]() mutable {
            DownloadThreadProc(c.get(), std::move(item));
            ended->store(true);
            c.reset(); // the context may go with this thread
            station_download_thread_ended();
        });
    } catch (const std::system_error &) {
        station_download_thread_ended();
        ll.pop_front();
        report_thread_start_failure(ctx.get(), item.get(), udev);
    }
}

} // namespace

download_thread_node *FindDeviceStillConnectedNAlive(const char *interface_name,
                                                     download_thread_list &dl_thread_ll)
{
    for (download_thread_node &node : dl_thread_ll)
        if (strcmp(node.interfaceName, interface_name) == 0)
            return &node;
    return nullptr;
}

void reap_download_threads(download_thread_list &dl_thread_ll)
{
    for (auto it = dl_thread_ll.begin(); it != dl_thread_ll.end();) {
        if (!it->ended || it->ended->load()) {
            if (it->hThread.joinable())
                it->hThread.join(); // it has ended: returns at once
            it = dl_thread_ll.erase(it);
        } else {
            ++it;
        }
    }
}

int station_enumerate(const station_context *ctx, std::vector<std::string> *paths)
{
    if (usb_enumerate(paths) != 0)
        return -1;
    if (ctx->opt.virtual_devices_only)
        std::erase_if(*paths, [](const std::string &p) { return !station_path_is_virtual(p); });
    return 0;
}

bool station_path_is_virtual(const std::string &path)
{
    char name[USB_PATH_MAX];
    return path.size() < USB_PATH_MAX && ExtractInterfaceName(path.c_str(), name) == 0 &&
           vbus::is_virtual_instance(name);
}

int MonitorThreadProc(std::shared_ptr<station_context> ctx)
{
    download_thread_list ll;
    std::vector<std::string> paths;
    while (!ctx->do_exit.load()) {
        paths.clear();
        if (station_enumerate(ctx.get(), &paths) == 0) {
            // Reaped before the pass takes devices, so a fixture whose phone was just unplugged
            // takes its next phone in this pass rather than the one after.
            reap_download_threads(ll);
            std::vector<std::string> listed;
            char name[STATION_NAME_MAX];
            unsigned vid = 0;
            unsigned pid = 0;
            for (const std::string &path : paths)
                if (bootrom_name(path, name, &vid, &pid))
                    listed.push_back(name);
            strikes_listed(&ctx->health.strikes, listed);
            for (const std::string &path : paths) {
                if (ctx->do_exit.load())
                    break;
                take_device(ctx, ll, path);
            }
        }
        // Pause even when there was no device list at all, so a failing platform is not polled
        // in a busy loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(ctx->opt.poll_period_ms));
    }
    // Threads still running are waited for (or let go) by Station::stop after it joined us.
    ctx->monitor_leftovers = std::move(ll);
    return 0;
}

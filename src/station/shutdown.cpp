// station core: the bounded quit. The device registry is used by the monitor and download
// threads; the stopped lines and the abandon run in the window thread from Station::stop.
#include "station/shutdown.h"

#include "station/production_log.h"
#include "usb/usb.h"

namespace
{
std::atomic<int> g_threads_alive{0};
}

void station_hold_device(station_context *ctx, usb_dev_handle *udev)
{
    std::lock_guard<std::mutex> lock(ctx->devices_mutex);
    ctx->devices_held.insert(udev);
    // The quit raises do_exit before it abandons the held devices under this lock: a device
    // taken after that is abandoned here.
    if (ctx->do_exit.load())
        usb_abort(udev);
}

void station_close_device(station_context *ctx, usb_dev_handle *udev)
{
    {
        std::lock_guard<std::mutex> lock(ctx->devices_mutex);
        ctx->devices_held.erase(udev);
        ctx->bootrom_ids.erase(udev);
    }
    usb_close(udev);
}

void station_abandon_devices(station_context *ctx)
{
    std::lock_guard<std::mutex> lock(ctx->devices_mutex);
    for (usb_dev_handle *udev : ctx->devices_held)
        usb_abort(udev);
}

int DeviceStationStopped(station_context *ctx)
{
    DeviceList &list = ctx->list;
    int n = 0;
    for (int row = 0; row < list.GetItemCount(); row++) {
        tag_list_item *item = list.GetItemData(row);
        if (!item || item->completed)
            continue;
        // Attached, but its thread had not shown its first stage yet: it was in the bootstrap.
        bool no_stage;
        {
            std::lock_guard<std::mutex> lock(item->detail_mutex);
            no_stage = item->detail.steps.empty();
        }
        if (no_stage)
            DeviceImageMsg(ctx, item, "Download DKB");
        // Through the result handler, so the line and its detail are written as for any result.
        {
            std::lock_guard<std::mutex> lock(item->detail_mutex);
            item->detail.result_text = "Station stopped";
        }
        // The station ended it, not the phone: neither a pass nor a failure.
        item->interrupted = true;
        DeviceDownloadMsg(ctx, item, "Station stopped");
        DeviceCompleted(ctx, item, 1);
        n++;
    }
    return n;
}

int station_download_threads_alive()
{
    return g_threads_alive.load();
}

void station_download_thread_started()
{
    ++g_threads_alive;
}

void station_download_thread_ended()
{
    --g_threads_alive;
}

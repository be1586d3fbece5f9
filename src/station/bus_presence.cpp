// station core: the shared, recent enumeration the finished phones' download threads look at;
// see station/bus_presence.h.
#include "station/bus_presence.h"

#include "station/station.h"
#include "usb/usb.h"

bool bus_device_listed(station_context *ctx, unsigned vid, unsigned pid, const std::string &name,
                       int max_age_ms)
{
    bus_presence &p = ctx->presence;
    std::lock_guard<std::mutex> lock(p.m);
    const uint32_t now = station_tick_ms();
    if (!p.valid || static_cast<uint32_t>(now - p.taken_ms) >= static_cast<uint32_t>(max_age_ms)) {
        // Enumerated under the lock: threads asking meanwhile want this same fresh answer.
        p.paths.clear();
        p.valid = station_enumerate(ctx, &p.paths) == 0;
        p.taken_ms = now;
        if (!p.valid)
            return true;
    }
    for (const std::string &path : p.paths) {
        unsigned v = 0;
        unsigned d = 0;
        char n[USB_PATH_MAX];
        if (path.size() < USB_PATH_MAX && GetVIDPIDFromDevicePath(path.c_str(), &v, &d) == 0 &&
            v == vid && d == pid && ExtractInterfaceName(path.c_str(), n) == 0 && name == n)
            return true;
    }
    return false;
}

// bench: what the one-phone benchmarks share: the floor they compare against (the bare virtual
// bus's rate, with no protocol) and one phone's flash time through a whole station. Used on the
// programs' main threads only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "job/flashini_parser.h"
#include "station/station.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

namespace bench
{

// A device that only stores what it is sent in a RAM buffer, as a phone must.
class Sink : public vbus::Device
{
  public:
    void connected(vbus::Link *) override {}
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        memcpy(ram_.data(), data, std::min(len, ram_.size()));
        return true;
    }
    std::vector<uint8_t> ram_ = std::vector<uint8_t>(65537);
};

// Bytes per second into a Sink, in 65537-byte writes; 0 when it cannot be opened.
inline double bare_bus_rate(size_t mib)
{
    vbus::plug("sim-sink", 0x1286, 0x8111, std::make_shared<Sink>());
    usb_dev_handle *h = usb_open(usb_make_device_path(0x1286, 0x8111, "sim-sink").c_str());
    if (!h)
        return 0;
    std::vector<char> block(65537, 0x5A);
    const size_t total = mib << 20;
    size_t sent = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (sent < total) {
        int n = static_cast<int>(std::min<size_t>(block.size(), total - sent));
        if (usb_bulk_write(h, USB_EP_BULK_OUT, block.data(), n, 5000) != n)
            break;
        sent += static_cast<size_t>(n);
    }
    const double rate =
        sent / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    usb_close(h);
    vbus::reset();
    return rate;
}

// Seconds from plugging one phone (bus instance `instance`, on a link of bytes_per_sec, 0 for
// full speed) in boot ROM mode to its result, for a job of one image of mib MiB; -1 when it
// failed (its code on standard error, after `program`).
inline double flash_one(const flashini_content *job, const std::vector<uint8_t> &dkb, size_t mib,
                        uint64_t bytes_per_sec, const char *instance, const char *program)
{
    station_options o;
    o.ini_content = job;
    o.dkb_buf = dkb.data();
    o.dkb_size = static_cast<int>(dkb.size());
    o.port_mapping_path.clear();
    o.poll_period_ms = 20; // the monitor's pause is not what is measured
    Station station(o);
    std::set<const tag_list_item *> done;
    int failed = 0;
    station.device_list().set_observer([&](const DeviceListChange &c) {
        const tag_list_item *rec = station.device_list().GetItemData(c.row);
        if (c.kind == DeviceListChange::CellsChanged && rec && rec->completed &&
            done.insert(rec).second && rec->status_code != 0) {
            failed++;
            fprintf(stderr, "%s: the phone failed with %d (%s)\n", program, rec->status_code,
                    station.device_list().text(c.row, COL_STATUS).c_str());
        }
    });
    if (station.start() != 0)
        return -1;
    vphone::PhoneOptions po;
    po.nand.block_count = static_cast<uint32_t>((mib << 20) / 131072) * 2 + 64;
    po.timing.bytes_per_sec = bytes_per_sec;
    const auto t0 = std::chrono::steady_clock::now();
    const auto since = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    auto phone = vphone::plug_phone(instance, po);
    while (phone && done.empty() && since() < 3600) {
        station.wait_for_messages(5);
        station.process_pending_messages();
    }
    const double s = since();
    if (phone)
        phone->unplug();
    station.stop();
    vbus::reset();
    return phone && !done.empty() && failed == 0 ? s : -1;
}

} // namespace bench

// bench: the floor the phone benchmarks compare against: the bare virtual bus's rate, with no
// protocol. Used on the programs' main threads only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "usb/usb.h"
#include "usb/vbus.h"

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

} // namespace bench

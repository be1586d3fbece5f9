// usb: the virtual USB bus, the second transport backend. Simulated devices are plugged in and
// out at run time; usb_enumerate lists them and usb_open/usb_bulk_* reach them exactly as they
// reach a real device (same chunking, short packets, time-outs and results).
//
// Used by the virtual phone (vphone/), by --simulate and by the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vbus {

// The device's side of its cable, handed to a Device when it is plugged in.
class Link {
public:
    virtual ~Link() = default;
    // Queues one bulk IN transfer for the host. Transfer boundaries are kept: a host read request
    // that reaches the end of a transfer shorter than what it asked for completes short there
    // (a short packet); a request shorter than the transfer leaves the rest for the next one.
    virtual void send(const uint8_t *data, size_t len) = 0;
    // Leaves the bus now: pending and later transfers of every handle to this device fail as
    // on a gone device, and the next enumeration no longer lists it. Safe from inside bulk_out.
    // Once unplugged, send and unplug do nothing; the link stays safe to call for as long as the
    // Device object exists (a timer may still hold it).
    virtual void unplug() = 0;
};

// A simulated USB device function (a phone's boot ROM, its DKB agent, a test model).
class Device {
public:
    virtual ~Device() = default;
    // Called once when plugged in, before any transfer; the link stays valid until the device
    // is unplugged (and the Device object is kept alive by the bus until then).
    virtual void connected(Link *link) = 0;
    // One bulk OUT request as the host issued it (1 to 65536 bytes; a host write larger than that
    // arrives as several requests, so a device parses its input as a stream). Runs on the host's
    // thread, with no bus lock held: it may call send, unplug, plug and after. Requests to one
    // device never overlap, as on a pipe. Returning false fails the request (the host's write
    // returns -1), as a stalled endpoint would.
    virtual bool bulk_out(const uint8_t *data, size_t len) = 0;
};

// Per-device link timing, for realistic demos. Zero (the default) means full speed.
// An OUT request takes its wire time on the host's thread and fails when that exceeds its
// time-out; an IN transfer becomes readable after the latency plus its wire time, in order.
struct Timing {
    unsigned latency_us = 0;        // added before each IN transfer becomes readable
    uint64_t bytes_per_sec = 0;     // both directions; 0 = unlimited
};

// Plugs dev in under instance (must start with "sim"); ids as the device reports them.
// Returns 0, or -1 when the instance is taken, its name is not a virtual one, it holds a '#' or
// is too long for a device path, or dev is null. connected() runs before the device is listed.
int plug(const std::string &instance, uint16_t vid, uint16_t pid, std::shared_ptr<Device> dev,
         Timing timing = {});
// Unplugs whatever is plugged under instance; 0, or -1 when nothing is.
int unplug(const std::string &instance);
// Cancels pending after() calls, waits for a running one to finish (unless called from it) and
// unplugs every device: tests start from an empty bus.
void reset();
// Runs fn once on the bus's timer thread after delay_ms (a phone re-enumerating after its boot
// ROM lets go, a fixture putting the next phone in).
void after(int delay_ms, std::function<void()> fn);
// Device paths of the plugged devices, in instance order.
std::vector<std::string> paths();
// True when the instance names a virtual-bus device.
bool is_virtual_instance(const char *instance);

}  // namespace vbus

// usb: internals of the libusb backend (usb_libusb.cpp) that tests reach directly: the pure
// parts (instance names, device matching, result mapping) and the context reset that an
// emulated testbed needs.
#pragma once

#include <cstdint>
#include <string>

namespace usb_libusb
{

enum { MAX_PORTS = 7 }; // USB allows at most seven tiers below the root hub

// Where a device sits: bus number and the chain of hub ports from the root, as sysfs names it
// ("1-1.4": bus 1, ports 1 then 4).
struct Location {
    uint8_t bus = 0;
    uint8_t ports[MAX_PORTS] = {};
    int nports = 0;
};

// "B-P.P.P" with decimal numbers 1..255, no leading zeros, 1..7 ports; 0, or -1 (loc untouched).
int parse_instance(const std::string &instance, Location *loc);
std::string format_instance(uint8_t bus, const uint8_t *ports, int nports);

// True when a device at (bus, ports) with (vid, pid) is the one want/want_vid/want_pid names.
bool matches(const Location &want, unsigned want_vid, unsigned want_pid, uint8_t bus,
             const uint8_t *ports, int nports, uint16_t vid, uint16_t pid);

// One libusb_bulk_transfer's outcome (libusb return code, bytes transferred) as the request
// result the transport expects: the byte count on success; for reads USB_ERR_GONE when the
// device is gone and USB_ERR_READ otherwise; for writes USB_ERR_WRITE.
int read_result(int rc, int transferred);
int write_result(int rc, int transferred);
// A libusb open, configuration or claim result as a USB_OPEN_* code.
int open_code(int rc);

// A per-request time-out in libusb's terms: libusb reads 0 as "wait for ever", which no caller
// means, so anything below 1 ms becomes 1 ms.
unsigned request_timeout(int timeout_ms);

// Drops the process's libusb context; the next enumeration or open creates a fresh one. For
// tests: a context made before an emulated testbed existed never sees its devices. Returns 0,
// or -1 (nothing done) while a device of this backend is open.
int reinit();

} // namespace usb_libusb

// The name the test plan knows it by.
inline int usb_libusb_reinit()
{
    return usb_libusb::reinit();
}

// test support: an emulated USB bus for the libusb backend, built on umockdev. Used by the tests
// in tests/umockdev/, which run the real libusb path (usb_open, usb_bulk_*, usb_enumerate) with
// no USB hardware and no kernel USB stack.
//
// It mirrors the virtual bus (usb/vbus.h): a vbus::Device model is plugged in under a sysfs port
// path ("1-1.2": bus 1, ports 1 then 2) and appears to libusb as a real device with descriptors
// (one configuration, interface 0, bulk OUT 0x02 and bulk IN 0x81, 512-byte packets). Host bulk
// OUT requests reach Device::bulk_out; what the Device sends through its Link completes the
// host's bulk IN requests, each transfer ending in a short packet. The same device models run
// unchanged on either bus.
//
// Where it departs from a real bus (what tests through it cannot show):
// - every IN transfer ends in a short packet, whatever its length, and a request shorter than a
//   transfer leaves the rest for the next one (the virtual bus's rule) instead of overflowing;
// - an OUT request a model is still working on after 50 ms completes as taken, and a refusal
//   after that halts bulk OUT until the host clears it (a device that NAKs, then STALLs);
// - a cable pull fails pending requests with -ESHUTDOWN and later ones with ENODEV; the node
//   never reports POLLERR, so libusb learns of the removal from the requests and the uevent;
// - a blocking REAPURB answers like REAPURBNDELAY (libusb uses only the latter); no kernel
//   driver is ever bound; link timing (vbus::Timing) is not emulated.
//
// Process rules (umockdev's): the program runs with libumockdev-preload.so.0 preloaded (see
// reexec_with_preload), start() creates the one testbed of the process before libusb is first
// initialised, and stop() removes it at the end.
#pragma once

#include "usb/vbus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace umockbus
{

// Called first thing in main(). Unless the preload library is already in LD_PRELOAD, re-executes
// the program with it added (and with the sanitizer options it needs); returns only when the
// process already runs preloaded or when the library is missing (then preloaded() is false).
void reexec_with_preload(char **argv);
// True when this process runs under umockdev's preload library.
bool preloaded();
// Why the emulation is unavailable ("" when it is available), for a test's skip message.
std::string unavailable_reason();

// Creates the testbed. 0, or -1 when not preloaded or when umockdev fails. Call once, before the
// libusb backend creates its context.
int start();
// Unplugs everything and removes the testbed (its temporary directory).
void stop();

// How an emulated device departs from a well-behaved one, to reach the host's failure paths.
struct Quirks {
    bool unconfigured = false;         // starts in configuration 0: the host must select one
    bool refuse_configuration = false; // selecting a configuration fails (busy)
    bool refuse_claim = false;         // claiming interface 0 fails (busy)
    bool no_access = false; // the device node's mode lets nobody open it (udev rules missing)
};

// Makes the calling thread subject to file modes even when it runs as root (drops
// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from its effective set), so a no_access device is
// refused to it as to an operator outside the group. 0, or -1.
int drop_permission_override();

// Plugs dev in under port_path ("B-P" or "B-P.P..."), creating the hubs above it as needed; the
// device gets the next free device address on its bus. 0, or -1 when the path is malformed, the
// port is taken or umockdev refuses the device.
int plug(const std::string &port_path, uint16_t vid, uint16_t pid,
         std::shared_ptr<vbus::Device> dev, Quirks quirks = {});
// Unplugs the device under port_path as a cable pull does: in-flight requests fail as on a gone
// device, later ones too, and libusb is told through a "remove" uevent. 0, or -1 when none.
int unplug(const std::string &port_path);
// Runs fn once on the bus's timer thread after delay_ms.
void after(int delay_ms, std::function<void()> fn);
// Port paths of the plugged devices (hubs excluded), sorted.
std::vector<std::string> paths();
// Cancels pending after() calls (waiting for a running one) and unplugs every device.
void reset();
// The device address (devnum) of the device under port_path, or -1 when none is plugged there.
int device_address(const std::string &port_path);
// What the host has done to the device under port_path: files it holds open on the device node
// now, and configurations it selected.
struct HostView {
    int open_files = 0;
    int configurations_set = 0;
};
// 0, or -1 when nothing is plugged there.
int host_view(const std::string &port_path, HostView *out);

// Plug and unplug for models that put their successor on the bus themselves (a phone whose boot
// ROM hands over to its agent): a test gives these to the model in place of the virtual bus's.
// The instance names a port path; link timing is not emulated (devices run at full speed).
struct Plugger {
    std::function<int(const std::string &instance, uint16_t vid, uint16_t pid,
                      std::shared_ptr<vbus::Device> dev, vbus::Timing timing)>
        plug;
    std::function<int(const std::string &instance)> unplug;
};
Plugger plugger();

// A device that sends every OUT packet straight back: enough for tests of opening, listing and
// moving bytes, with no protocol behind it.
class Echo : public vbus::Device
{
  public:
    void connected(vbus::Link *link) override { link_ = link; }
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        link_->send(data, len);
        return true;
    }

  private:
    vbus::Link *link_ = nullptr;
};

} // namespace umockbus

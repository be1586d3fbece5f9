// usb: the station's only way to USB. Called by the boot ROM and DKB protocol layers (bulk
// transfers), by discovery and the agent wait (enumeration, open), and by the plug-in host
// (which passes the handle on).
//
// Two backends sit behind these free functions, chosen by the device path's instance part:
// libusb-1.0 for real devices, and the in-process virtual bus (usb/vbus.h) for simulated ones,
// whose instances start with "sim". Nothing above this header can tell them apart.
//
// Contract (both backends):
// - usb_open(path) opens the device at that path, selects configuration index 0, claims
//   interface 0 with alternate setting 0, and binds bulk OUT 0x02 and bulk IN 0x81. Any failure
//   returns null and leaves nothing open.
// - usb_bulk_write sends size bytes to 0x02 in requests of at most 65536 bytes, each bounded by
//   timeout ms. Result: size, or -1 on any failure or time-out. size 0 returns 0 and sends
//   nothing.
// - usb_bulk_read reads exactly size bytes from 0x81 in requests of at most 65536 bytes, each
//   bounded by timeout ms; a request that ends short (short packet) is followed by a further
//   request for the rest with a fresh timeout. Result: size, -116 when the device is gone, -5 on
//   any other failure or time-out. size 0 returns 0.
// - A request that completes with zero bytes for a non-empty size is a failure, never retried.
// - A time-out of 0 or less gives a request no time to wait (libusb: 1 ms, since libusb reads 0
//   as "for ever").
// - ep is accepted and ignored. A handle is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct usb_dev_handle;   // opaque; one per opened device

enum {
    USB_EP_BULK_OUT = 0x02,
    USB_EP_BULK_IN = 0x81,
    USB_MAX_REQUEST = 65536,  // largest single bulk request
    USB_ERR_WRITE = -1,
    USB_ERR_READ = -5,
    USB_ERR_GONE = -116,
};

usb_dev_handle *usb_open(const char *filename);
int usb_close(usb_dev_handle *dev);
int usb_bulk_write(usb_dev_handle *dev, int ep, char *data, int size, int timeout);
int usb_bulk_read(usb_dev_handle *dev, int ep, char *data, int size, int timeout);
// Bytes the two calls above moved on dev since its open, both directions (the detail record's
// bytes per stage); 0 for null.
uint64_t usb_bytes_moved(const usb_dev_handle *dev);
// Abandons the device for its owner, from any thread (the station's quit): the request in
// progress ends at once as a failure (a libusb transfer is cancelled), and every later transfer
// fails at once. The owner still closes the handle; the caller must keep it from being closed
// while this runs.
void usb_abort(usb_dev_handle *dev);

// The rest of the classic family: no effect, fixed results (configuration and claiming happen
// inside usb_open).
int usb_set_configuration(usb_dev_handle *dev, int configuration);   // 0
int usb_claim_interface(usb_dev_handle *dev, int interface);         // 0
int usb_release_interface(usb_dev_handle *dev, int interface);       // 0
int usb_set_altinterface(usb_dev_handle *dev, int alternate);        // -1
int usb_resetep(usb_dev_handle *dev, unsigned int ep);               // -1
int usb_clear_halt(usb_dev_handle *dev, unsigned int ep);            // -1
int usb_reset(usb_dev_handle *dev);                                  // -1
int usb_interrupt_write(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout);  // -1
int usb_interrupt_read(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout);   // -1
int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index,
                    char *bytes, int size, int timeout);                                   // -1

// Enumeration: the device path of every present USB device (real ones through libusb, then the
// virtual bus's), in a stable order. Returns 0, or -1 when no device list could be had at all
// (the caller then skips its pause, as it would on the platform's failure). Cheap enough to be
// called every 100 ms.
int usb_enumerate(std::vector<std::string> *paths);

// Why a device cannot be opened, for the station's set-up tools (the flashing path only needs
// usb_open's null): what usb_check_open returns.
enum {
    USB_OPEN_OK = 0,
    USB_OPEN_FAILED = -1,  // any other failure (configuration refused, no interface 0, ...)
    USB_OPEN_DENIED = -13, // no permission on the device node
    USB_OPEN_BUSY = -16,   // interface 0 is held by another program or a kernel driver
    USB_OPEN_GONE = -19,   // the device left before or while it was opened
};
// Opens the device at path as usb_open does (configuration, interface 0 claimed) and closes it
// again at once; no transfer is made. USB_OPEN_OK or one of the codes above.
int usb_check_open(const char *path);

// Device paths keep the Windows form so the helpers below work unchanged:
//   \\?\usb#vid_1286&pid_8104#<instance>#{325ddf96-938c-11d3-9e34-0080c82727f4}
// with vid/pid as 4 lower-case hex digits; <instance> is the sysfs port path ("1-1.4") of a
// real device or the virtual bus's instance name ("sim-3").
enum { USB_PATH_MAX = 260 };   // path buffers hold 259 characters and a terminator
std::string usb_make_device_path(uint16_t vid, uint16_t pid, const std::string &instance);

// Reads vid and pid from "\\?\usb#vid_%x&pid_%x"; 0, or -1 when either is missing.
int GetVIDPIDFromDevicePath(const char *szPath, unsigned int *ret_vid, unsigned int *ret_pid);
// Copies the text between the second and third '#' into interface_name (USB_PATH_MAX bytes);
// 0, or -1 (output untouched) when the path has fewer than three '#' or the name is longer
// than 259 characters (refused rather than cut: a cut name could match another port).
// GetVIDPIDFromDevicePath takes hex digits in either case; a number that does not fit 16 bits
// fails it, and its outputs are written only on success.
int ExtractInterfaceName(const char *dev_path, char *interface_name);

// usb: the table of operations behind the transport's free functions (usb.cpp). Internal to
// src/usb; each backend (usb_libusb.cpp, vbus.cpp) fills one table.
//
// usb.cpp owns everything the two backends share: path parsing, cutting transfers into requests
// of at most USB_MAX_REQUEST bytes, short-packet continuation, the zero-byte rule and the result
// codes. A backend moves one request at a time.
#pragma once

#include "usb/usb.h"

#include <cstdint>
#include <string>
#include <vector>

struct usb_backend {
    // Opens the device with that instance, vid and pid; null on any failure, nothing left open.
    usb_dev_handle *(*open)(const std::string &instance, unsigned vid, unsigned pid);
    void (*close)(usb_dev_handle *dev);
    // One bulk OUT request of 1..USB_MAX_REQUEST bytes bounded by timeout ms: the number of
    // bytes the device took (0 included), or USB_ERR_WRITE.
    int (*write_request)(usb_dev_handle *dev, const uint8_t *data, int len, int timeout);
    // One bulk IN request of 1..USB_MAX_REQUEST bytes bounded by timeout ms: the number of bytes
    // received (fewer than len on a short packet), USB_ERR_GONE or USB_ERR_READ.
    int (*read_request)(usb_dev_handle *dev, uint8_t *data, int len, int timeout);
    // Appends the paths of the backend's present devices in a stable order; 0, or -1 when no
    // list could be had.
    int (*enumerate)(std::vector<std::string> *paths);
    // usb_abort: any thread, while the owner may be inside a request; must not block on it.
    void (*abort)(usb_dev_handle *dev);
    // Opens and closes the device as open would, saying why it failed (USB_OPEN_*). Optional:
    // when null, usb.cpp reads open's null as USB_OPEN_FAILED.
    int (*check_open)(const std::string &instance, unsigned vid, unsigned pid) = nullptr;
};

// Every backend's handle starts with this, so usb.cpp can dispatch without knowing the rest.
struct usb_dev_handle {
    const usb_backend *backend;
    uint64_t bytes_moved = 0; // by usb_bulk_write and usb_bulk_read, both directions
};

const usb_backend &usb_vbus_backend();
const usb_backend &usb_libusb_backend();

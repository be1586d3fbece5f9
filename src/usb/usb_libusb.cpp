// usb: libusb-1.0 backend for real devices. Not yet in: opens nothing and lists nothing, so the
// station sees only the virtual bus until it lands.
#include "usb_backend.h"

namespace {
usb_dev_handle *lu_open(const std::string &, unsigned, unsigned) { return nullptr; }
void lu_close(usb_dev_handle *) {}
int lu_write(usb_dev_handle *, const uint8_t *, int, int) { return USB_ERR_WRITE; }
int lu_read(usb_dev_handle *, uint8_t *, int, int) { return USB_ERR_READ; }
int lu_enumerate(std::vector<std::string> *) { return -1; }
}  // namespace

const usb_backend &usb_libusb_backend()
{
    static const usb_backend ops = {lu_open, lu_close, lu_write, lu_read, lu_enumerate};
    return ops;
}

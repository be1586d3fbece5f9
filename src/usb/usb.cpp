// usb: the transport's free functions. Called by the boot ROM and DKB protocol layers, discovery
// and the plug-in host; dispatches to the libusb backend or the virtual bus by the path's
// instance, and keeps the request loop (chunking, short packets, results) in one place so both
// backends behave alike.
#include "usb/usb.h"
#include "usb/vbus.h"
#include "usb_backend.h"

#include <algorithm>

namespace
{

const usb_backend &backend_for(const char *instance)
{
    return vbus::is_virtual_instance(instance) ? usb_vbus_backend() : usb_libusb_backend();
}

} // namespace

usb_dev_handle *usb_open(const char *filename)
{
    unsigned vid = 0, pid = 0;
    char instance[USB_PATH_MAX];
    if (GetVIDPIDFromDevicePath(filename, &vid, &pid) != 0 ||
        ExtractInterfaceName(filename, instance) != 0 || instance[0] == '\0')
        return nullptr;
    return backend_for(instance).open(instance, vid, pid);
}

int usb_check_open(const char *path)
{
    unsigned vid = 0, pid = 0;
    char instance[USB_PATH_MAX];
    if (GetVIDPIDFromDevicePath(path, &vid, &pid) != 0 ||
        ExtractInterfaceName(path, instance) != 0 || instance[0] == '\0')
        return USB_OPEN_FAILED;
    const usb_backend &b = backend_for(instance);
    if (b.check_open)
        return b.check_open(instance, vid, pid);
    usb_dev_handle *dev = b.open(instance, vid, pid);
    if (!dev)
        return USB_OPEN_FAILED;
    b.close(dev);
    return USB_OPEN_OK;
}

int usb_close(usb_dev_handle *dev)
{
    if (dev)
        dev->backend->close(dev);
    return 0;
}

void usb_abort(usb_dev_handle *dev)
{
    if (dev)
        dev->backend->abort(dev);
}

int usb_bulk_write(usb_dev_handle *dev, int /*ep*/, char *data, int size, int timeout)
{
    if (size == 0)
        return 0;
    if (!dev || !data || size < 0)
        return USB_ERR_WRITE;
    auto *p = reinterpret_cast<const uint8_t *>(data);
    int remaining = size;
    while (remaining > 0) {
        int len = std::min<int>(remaining, USB_MAX_REQUEST);
        int n = dev->backend->write_request(dev, p, len, timeout);
        // A request that moved nothing would be issued again without end: a failure.
        if (n <= 0 || n > len)
            return USB_ERR_WRITE;
        dev->bytes_moved += static_cast<uint64_t>(n);
        remaining -= n;
        p += n;
    }
    return size;
}

int usb_bulk_read(usb_dev_handle *dev, int /*ep*/, char *data, int size, int timeout)
{
    if (size == 0)
        return 0;
    if (!dev || !data || size < 0)
        return USB_ERR_READ;
    auto *p = reinterpret_cast<uint8_t *>(data);
    int remaining = size;
    // A short packet ends a request early; the rest is asked for with a fresh time-out.
    while (remaining > 0) {
        int len = std::min<int>(remaining, USB_MAX_REQUEST);
        int n = dev->backend->read_request(dev, p, len, timeout);
        if (n == USB_ERR_GONE)
            return USB_ERR_GONE;
        if (n <= 0 || n > len)
            return USB_ERR_READ;
        dev->bytes_moved += static_cast<uint64_t>(n);
        remaining -= n;
        p += n;
    }
    return size;
}

uint64_t usb_bytes_moved(const usb_dev_handle *dev)
{
    return dev ? dev->bytes_moved : 0;
}

int usb_set_configuration(usb_dev_handle *, int)
{
    return 0;
}
int usb_claim_interface(usb_dev_handle *, int)
{
    return 0;
}
int usb_release_interface(usb_dev_handle *, int)
{
    return 0;
}
int usb_set_altinterface(usb_dev_handle *, int)
{
    return -1;
}
int usb_resetep(usb_dev_handle *, unsigned int)
{
    return -1;
}
int usb_clear_halt(usb_dev_handle *, unsigned int)
{
    return -1;
}
int usb_reset(usb_dev_handle *)
{
    return -1;
}
int usb_interrupt_write(usb_dev_handle *, int, char *, int, int)
{
    return -1;
}
int usb_interrupt_read(usb_dev_handle *, int, char *, int, int)
{
    return -1;
}
int usb_control_msg(usb_dev_handle *, int, int, int, int, char *, int, int)
{
    return -1;
}

int usb_enumerate(std::vector<std::string> *paths)
{
    if (!paths)
        return -1;
    paths->clear();
    // No USB bus at all (a container, a test machine) still leaves the virtual devices.
    std::vector<std::string> real;
    if (usb_libusb_backend().enumerate(&real) == 0)
        *paths = std::move(real);
    return usb_vbus_backend().enumerate(paths);
}

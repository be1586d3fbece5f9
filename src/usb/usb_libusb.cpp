// usb: the libusb-1.0 backend, for real devices. Reached only through usb.cpp's table of
// operations; usb.cpp cuts transfers into requests and applies the short-packet and zero-byte
// rules, this file moves one request at a time.
//
// A device is named by its instance "B-P.P.P" (bus, then hub port chain, as sysfs has it), so the
// interface name in its path follows the fixture's hub port rather than the device's address.
#include "usb_libusb.h"
#include "usb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

namespace usb_libusb
{
namespace
{

using Clock = std::chrono::steady_clock;

// One context for the process, made on first use. Enumeration and open hold the lock shared
// for as long as they use the context; reinit takes it exclusively.
std::shared_mutex g_ctx_lock;
libusb_context *g_ctx = nullptr;   // guarded by g_ctx_lock
Clock::time_point g_ctx_failed_at; // last failed libusb_init, guarded by g_ctx_lock
bool g_ctx_failed = false;
// Raised under the shared lock while the context is in use, so reinit (exclusive) sees it.
std::atomic<int> g_open_handles{0};

// Returns the context, creating it if needed; null when there is no USB here. Called with
// g_ctx_lock held exclusively.
libusb_context *context_locked()
{
    // A machine without USB (a container) fails every time; do not ask 10 times a second.
    if (!g_ctx && (!g_ctx_failed || Clock::now() - g_ctx_failed_at > std::chrono::seconds(5))) {
        libusb_context *c = nullptr;
        if (libusb_init(&c) == LIBUSB_SUCCESS) {
            g_ctx = c;
            g_ctx_failed = false;
        } else {
            g_ctx_failed = true;
            g_ctx_failed_at = Clock::now();
        }
    }
    return g_ctx;
}

// Takes the context lock shared with a context in place, creating it first if needed. Returns
// the context (null: no USB; the lock is then not held).
libusb_context *acquire(std::shared_lock<std::shared_mutex> *lk)
{
    {
        std::shared_lock shared(g_ctx_lock);
        if (g_ctx) {
            *lk = std::move(shared);
            return g_ctx;
        }
    }
    {
        std::unique_lock excl(g_ctx_lock);
        if (!context_locked())
            return nullptr;
    }
    std::shared_lock shared(g_ctx_lock);
    if (!g_ctx) // reinit ran in between
        return nullptr;
    *lk = std::move(shared);
    return g_ctx;
}

struct LHandle : usb_dev_handle {
    libusb_device_handle *dh = nullptr;
    libusb_context *ctx = nullptr;  // the context dh was opened in; events are handled there
    std::mutex m;                   // guards cur and aborted (usb_abort comes from any thread)
    libusb_transfer *cur = nullptr; // the owner's transfer in flight
    bool aborted = false;
};

// Configuration index 0, interface 0 claimed (kernel driver detached), alternate setting 0.
// LIBUSB_SUCCESS, or the failing call's libusb code (LIBUSB_ERROR_OTHER where libusb gave none),
// with the interface not left claimed.
int configure(libusb_device_handle *dh)
{
    libusb_config_descriptor *cfg = nullptr;
    int rc = libusb_get_config_descriptor(libusb_get_device(dh), 0, &cfg);
    if (rc != LIBUSB_SUCCESS)
        return rc;
    int want = cfg->bConfigurationValue;
    int alt_settings = 0;
    for (int i = 0; i < cfg->bNumInterfaces; ++i)
        if (cfg->interface[i].num_altsetting > 0 &&
            cfg->interface[i].altsetting[0].bInterfaceNumber == 0)
            alt_settings = cfg->interface[i].num_altsetting;
    libusb_free_config_descriptor(cfg);
    if (alt_settings == 0)
        return LIBUSB_ERROR_NOT_SUPPORTED; // no interface 0: not a device we speak to

    int current = -1;
    if ((rc = libusb_get_configuration(dh, &current)) != LIBUSB_SUCCESS)
        return rc;
    if (current != want && (rc = libusb_set_configuration(dh, want)) != LIBUSB_SUCCESS)
        return rc;
    if (libusb_set_auto_detach_kernel_driver(dh, 1) != LIBUSB_SUCCESS &&
        libusb_kernel_driver_active(dh, 0) == 1 && libusb_detach_kernel_driver(dh, 0) != 0)
        return LIBUSB_ERROR_BUSY; // a kernel driver holds interface 0 and will not let go
    if ((rc = libusb_claim_interface(dh, 0)) != LIBUSB_SUCCESS)
        return rc;
    // Alternate setting 0 is in effect after claiming; asking for it again is a control
    // request that some boot ROMs stall, so it is only sent when there is a choice.
    if (alt_settings > 1 && (rc = libusb_set_interface_alt_setting(dh, 0, 0)) != LIBUSB_SUCCESS) {
        libusb_release_interface(dh, 0);
        return rc;
    }
    return LIBUSB_SUCCESS;
}

// Opens and configures the device; null with the reason (a USB_OPEN_* code) in *why.
usb_dev_handle *open_device(const std::string &instance, unsigned vid, unsigned pid, int *why)
{
    *why = USB_OPEN_GONE; // not found: not (or no longer) on the bus
    Location want;
    if (parse_instance(instance, &want) != 0) {
        *why = USB_OPEN_FAILED;
        return nullptr;
    }
    std::shared_lock<std::shared_mutex> lk;
    libusb_context *ctx = acquire(&lk);
    if (!ctx) {
        *why = USB_OPEN_FAILED;
        return nullptr;
    }

    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        *why = USB_OPEN_FAILED;
        return nullptr;
    }
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < n && !found; ++i) {
        libusb_device_descriptor d;
        uint8_t ports[MAX_PORTS];
        int np = libusb_get_port_numbers(list[i], ports, MAX_PORTS);
        if (np > 0 && libusb_get_device_descriptor(list[i], &d) == LIBUSB_SUCCESS &&
            matches(want, vid, pid, libusb_get_bus_number(list[i]), ports, np, d.idVendor,
                    d.idProduct))
            found = libusb_ref_device(list[i]);
    }
    libusb_free_device_list(list, 1);
    if (!found)
        return nullptr;

    libusb_device_handle *dh = nullptr;
    int rc = libusb_open(found, &dh);
    libusb_unref_device(found);
    if (rc == LIBUSB_SUCCESS && (rc = configure(dh)) != LIBUSB_SUCCESS)
        libusb_close(dh);
    if (rc != LIBUSB_SUCCESS) {
        *why = open_code(rc);
        return nullptr;
    }
    auto *h = new (std::nothrow) LHandle;
    if (!h) {
        *why = USB_OPEN_FAILED;
        libusb_release_interface(dh, 0);
        libusb_close(dh);
        return nullptr;
    }
    h->backend = &usb_libusb_backend();
    h->dh = dh;
    h->ctx = ctx;
    ++g_open_handles;
    *why = USB_OPEN_OK;
    return h;
}

usb_dev_handle *lu_open(const std::string &instance, unsigned vid, unsigned pid)
{
    int why = 0;
    return open_device(instance, vid, pid, &why);
}

void lu_close(usb_dev_handle *dev);

int lu_check_open(const std::string &instance, unsigned vid, unsigned pid)
{
    int why = USB_OPEN_OK;
    if (usb_dev_handle *h = open_device(instance, vid, pid, &why))
        lu_close(h);
    return why;
}

void lu_close(usb_dev_handle *dev)
{
    auto *h = static_cast<LHandle *>(dev);
    libusb_release_interface(h->dh, 0); // a gone device fails this; closing still frees it
    libusb_close(h->dh);
    delete h;
    --g_open_handles;
}

void LIBUSB_CALL transfer_done(libusb_transfer *t)
{
    *static_cast<int *>(t->user_data) = 1;
}

// One bulk request, as libusb_bulk_transfer makes it but cancellable by lu_abort: submitted
// asynchronously, then events handled until it completes. Returns a libusb code and the bytes
// moved.
int bulk_request(LHandle *h, unsigned char ep, uint8_t *data, int len, int timeout, int *done)
{
    *done = 0;
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t)
        return LIBUSB_ERROR_NO_MEM;
    // On the heap: a transfer the event loop could not finish is left to libusb with its flag.
    auto *flag = new (std::nothrow) int(0);
    if (!flag) {
        libusb_free_transfer(t);
        return LIBUSB_ERROR_NO_MEM;
    }
    int &completed = *flag;
    libusb_fill_bulk_transfer(t, h->dh, ep, data, len, transfer_done, flag,
                              request_timeout(timeout));
    {
        std::lock_guard lk(h->m);
        int rc = h->aborted ? LIBUSB_ERROR_INTERRUPTED : libusb_submit_transfer(t);
        if (rc != LIBUSB_SUCCESS) {
            libusb_free_transfer(t);
            delete flag;
            return rc;
        }
        h->cur = t;
    }
    while (!completed) {
        int rc = libusb_handle_events_completed(h->ctx, &completed);
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
            // The event loop failed: take the transfer back before its memory goes.
            libusb_cancel_transfer(t);
            while (!completed && libusb_handle_events_completed(h->ctx, &completed) >= 0) {
            }
            break;
        }
    }
    {
        std::lock_guard lk(h->m);
        h->cur = nullptr;
    }
    int rc;
    switch (completed ? t->status : LIBUSB_TRANSFER_ERROR) {
    case LIBUSB_TRANSFER_COMPLETED:
        rc = LIBUSB_SUCCESS;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        rc = LIBUSB_ERROR_TIMEOUT;
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        rc = LIBUSB_ERROR_NO_DEVICE;
        break;
    case LIBUSB_TRANSFER_STALL:
        rc = LIBUSB_ERROR_PIPE;
        break;
    case LIBUSB_TRANSFER_OVERFLOW:
        rc = LIBUSB_ERROR_OVERFLOW;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        rc = LIBUSB_ERROR_INTERRUPTED;
        break;
    default:
        rc = LIBUSB_ERROR_IO;
        break;
    }
    *done = t->actual_length;
    // A transfer the loop could not finish stays allocated: libusb may still complete it.
    if (completed) {
        libusb_free_transfer(t);
        delete flag;
    }
    return rc;
}

int lu_write(usb_dev_handle *dev, const uint8_t *data, int len, int timeout)
{
    int done = 0;
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    int rc = bulk_request(static_cast<LHandle *>(dev), USB_EP_BULK_OUT, const_cast<uint8_t *>(data),
                          len, timeout, &done);
    return write_result(rc, done);
}

int lu_read(usb_dev_handle *dev, uint8_t *data, int len, int timeout)
{
    int done = 0;
    int rc = bulk_request(static_cast<LHandle *>(dev), USB_EP_BULK_IN, data, len, timeout, &done);
    return read_result(rc, done);
}

void lu_abort(usb_dev_handle *dev)
{
    auto *h = static_cast<LHandle *>(dev);
    std::lock_guard lk(h->m);
    h->aborted = true;
    if (h->cur)
        libusb_cancel_transfer(h->cur); // the owner's event loop sees it complete as cancelled
}

int lu_enumerate(std::vector<std::string> *paths)
{
    std::shared_lock<std::shared_mutex> lk;
    libusb_context *ctx = acquire(&lk);
    if (!ctx)
        return -1;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0)
        return -1;
    size_t first = paths->size();
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        uint8_t ports[MAX_PORTS];
        int np = libusb_get_port_numbers(list[i], ports, MAX_PORTS);
        // Root hubs (no port chain) are never a station's device.
        if (np <= 0 || libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS)
            continue;
        paths->push_back(usb_make_device_path(
            d.idVendor, d.idProduct, format_instance(libusb_get_bus_number(list[i]), ports, np)));
    }
    libusb_free_device_list(list, 1);
    std::sort(paths->begin() + static_cast<std::ptrdiff_t>(first), paths->end());
    return 0;
}

// Reads a decimal 1..255 without leading zeros at *p; advances *p.
bool read_number(const char **p, uint8_t *out)
{
    const char *s = *p;
    if (*s < '1' || *s > '9')
        return false;
    unsigned v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + static_cast<unsigned>(*s++ - '0');
        if (v > 255)
            return false;
    }
    *out = static_cast<uint8_t>(v);
    *p = s;
    return true;
}

} // namespace

int parse_instance(const std::string &instance, Location *loc)
{
    if (!loc || instance.find('\0') != std::string::npos)
        return -1;
    Location l;
    const char *p = instance.c_str();
    if (!read_number(&p, &l.bus) || *p++ != '-')
        return -1;
    for (;;) {
        if (l.nports == MAX_PORTS || !read_number(&p, &l.ports[l.nports]))
            return -1;
        ++l.nports;
        if (*p == '\0')
            break;
        if (*p++ != '.')
            return -1;
    }
    *loc = l;
    return 0;
}

std::string format_instance(uint8_t bus, const uint8_t *ports, int nports)
{
    std::string s = std::to_string(bus) + "-";
    for (int i = 0; i < nports; ++i) {
        if (i)
            s += '.';
        s += std::to_string(ports[i]);
    }
    return s;
}

bool matches(const Location &want, unsigned want_vid, unsigned want_pid, uint8_t bus,
             const uint8_t *ports, int nports, uint16_t vid, uint16_t pid)
{
    return bus == want.bus && nports == want.nports &&
           std::equal(ports, ports + nports, want.ports) && vid == want_vid && pid == want_pid;
}

int read_result(int rc, int transferred)
{
    if (rc == LIBUSB_SUCCESS)
        return transferred;
    // Bytes that came in before a time-out do not make the request a success: the caller
    // asked for a whole answer within the time-out.
    return rc == LIBUSB_ERROR_NO_DEVICE ? USB_ERR_GONE : USB_ERR_READ;
}

int open_code(int rc)
{
    switch (rc) {
    case LIBUSB_SUCCESS:
        return USB_OPEN_OK;
    case LIBUSB_ERROR_ACCESS:
        return USB_OPEN_DENIED;
    case LIBUSB_ERROR_BUSY:
        return USB_OPEN_BUSY;
    case LIBUSB_ERROR_NO_DEVICE:
        return USB_OPEN_GONE;
    default:
        return USB_OPEN_FAILED;
    }
}

int write_result(int rc, int transferred)
{
    return rc == LIBUSB_SUCCESS ? transferred : USB_ERR_WRITE;
}

unsigned request_timeout(int timeout_ms)
{
    return timeout_ms < 1 ? 1u : unsigned(timeout_ms);
}

int reinit()
{
    std::unique_lock excl(g_ctx_lock);
    if (g_open_handles > 0)
        return -1;
    if (g_ctx)
        libusb_exit(g_ctx);
    g_ctx = nullptr;
    g_ctx_failed = false;
    return 0;
}

} // namespace usb_libusb

const usb_backend &usb_libusb_backend()
{
    using namespace usb_libusb;
    static const usb_backend ops = {lu_open, lu_close,     lu_write, lu_read,
                                    lu_enumerate, lu_abort, lu_check_open};
    return ops;
}

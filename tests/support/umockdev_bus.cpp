// test support: the umockdev-emulated USB bus (see umockdev_bus.h). Called by the tests in
// tests/umockdev/; libusb reaches it through umockdev's preload library.
//
// How a device is emulated:
// - sysfs: a record per hub on the way and one for the device, each with busnum, devnum, speed,
//   bConfigurationValue and a binary "descriptors" attribute, added with add_from_string (which
//   announces the device only once all of it exists).
// - the device node is a named pipe holding one byte in a one-page pipe while nothing can be
//   reaped: libusb polls it for POLLOUT as it polls a usbfs node, so it sleeps until a request
//   completes instead of spinning on a plain file that is always ready.
// - usbfs ioctls arrive on umockdev's worker thread (handle_ioctl). Bulk OUT requests are handed
//   to a per-device thread that calls Device::bulk_out, so a model may plug, unplug or send from
//   there; bulk IN requests are completed from the data the model sent, at reap time, so every
//   write to the client's request memory happens on the worker thread.
//
// Locking: Bus::m guards the testbed and the device tables; Emu::m guards one device's requests
// and data. Order: Bus::m before Emu::m; the ioctl handler takes Emu::m only. No bus lock is held
// while a model runs (connected, bulk_out, its destruction): models call back into the bus with
// locks of their own held. Timers have their own lock and never run with another one held.
#include "support/umockdev_bus.h"

#include <umockdev.h>

#include <linux/capability.h>
#include <linux/usbdevice_fs.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace umockbus
{
namespace
{

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxPacket = 512;
constexpr int kMaxDepth = 7; // a USB port chain is at most seven hubs deep
constexpr int kMaxAddress = 127;
// A device acknowledges an OUT request when it takes it and works afterwards, so a model's long
// operation must not count against the host's write time-out. A request still in bulk_out after
// this long is completed as taken; a stall decided later halts the endpoint instead.
constexpr int kAcceptAfterMs = 50;

// ---- descriptors ----

void put16(std::vector<uint8_t> &d, unsigned v)
{
    d.push_back(static_cast<uint8_t>(v & 0xFF));
    d.push_back(static_cast<uint8_t>(v >> 8));
}

// Device descriptor and the one configuration, as sysfs "descriptors" holds them.
std::vector<uint8_t> function_descriptors(uint16_t vid, uint16_t pid)
{
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);                 // bcdUSB 2.0
    d.insert(d.end(), {0, 0, 0, 64}); // class per interface, ep0 max packet 64
    put16(d, vid);
    put16(d, pid);
    put16(d, 0x0100);                // bcdDevice
    d.insert(d.end(), {0, 0, 0, 1}); // no strings, one configuration
    d.insert(d.end(), {9, 2});
    put16(d, 9 + 9 + 7 + 7);                // wTotalLength
    d.insert(d.end(), {1, 1, 0, 0x80, 50}); // one interface, value 1, bus powered, 100 mA
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0, 0, 0}); // interface 0, two endpoints
    d.insert(d.end(), {7, 5, 0x02, 0x02});             // bulk OUT 0x02
    put16(d, kMaxPacket);
    d.push_back(0);
    d.insert(d.end(), {7, 5, 0x81, 0x02}); // bulk IN 0x81
    put16(d, kMaxPacket);
    d.push_back(0);
    return d;
}

std::vector<uint8_t> hub_descriptors(bool root)
{
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {9, 0, 1, 64}); // hub class, single TT
    put16(d, root ? 0x1d6b : 0x05e3); // Linux root hub, a common external hub
    put16(d, root ? 0x0002 : 0x0608);
    put16(d, 0x0100);
    d.insert(d.end(), {0, 0, 0, 1});
    d.insert(d.end(), {9, 2});
    put16(d, 9 + 9 + 7);
    d.insert(d.end(), {1, 1, 0, 0xE0, 0});
    d.insert(d.end(), {9, 4, 0, 0, 1, 9, 0, 0, 0});
    d.insert(d.end(), {7, 5, 0x81, 0x03}); // status change endpoint
    put16(d, 4);
    d.push_back(12);
    return d;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// ---- port paths ----

struct PortPath {
    int bus = 0;
    std::vector<int> ports;
};

bool parse_number(const std::string &s, size_t &pos, int &out)
{
    size_t start = pos;
    long v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 4)
        v = v * 10 + (s[pos++] - '0');
    if (pos == start || v < 1 || v > 255)
        return false;
    out = static_cast<int>(v);
    return true;
}

// "B-P.P.P" as sysfs names a device: bus, then the port on each hub down from the root.
bool parse_port_path(const std::string &s, PortPath &out)
{
    size_t pos = 0;
    PortPath p;
    if (!parse_number(s, pos, p.bus) || pos >= s.size() || s[pos++] != '-')
        return false;
    for (;;) {
        int port;
        if (!parse_number(s, pos, port))
            return false;
        p.ports.push_back(port);
        if (pos == s.size())
            break;
        if (s[pos++] != '.' || static_cast<int>(p.ports.size()) == kMaxDepth)
            return false;
    }
    out = p;
    return true;
}

std::string sys_name(int bus, const std::vector<int> &ports, size_t depth)
{
    if (depth == 0)
        return "usb" + std::to_string(bus);
    std::string s = std::to_string(bus) + "-";
    for (size_t i = 0; i < depth; ++i)
        s += (i ? "." : "") + std::to_string(ports[i]);
    return s;
}

std::string dev_node(int bus, int devnum)
{
    char buf[32];
    snprintf(buf, sizeof buf, "/dev/bus/usb/%03d/%03d", bus, devnum);
    return buf;
}

// One sysfs record in umockdev's text format. node: create the /dev file (hubs only: a
// function's node is the named pipe made beforehand).
std::string device_record(const std::string &syspath, int bus, int devnum,
                          const std::vector<uint8_t> &descriptors, bool node,
                          bool configured = true)
{
    char num[16];
    std::string r = "P: " + syspath + "\n";
    if (node)
        r += "N: " + dev_node(bus, devnum).substr(5) + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    r += "E: DEVNAME=" + dev_node(bus, devnum) + "\n";
    snprintf(num, sizeof num, "%03d", bus);
    r += std::string("E: BUSNUM=") + num + "\n";
    snprintf(num, sizeof num, "%03d", devnum);
    r += std::string("E: DEVNUM=") + num + "\n";
    r += "A: busnum=" + std::to_string(bus) + "\\n\n";
    r += "A: devnum=" + std::to_string(devnum) + "\\n\n";
    r += "A: speed=480\\n\n";
    // An unconfigured device's value is an empty file, as sysfs has it.
    r += std::string("A: bConfigurationValue=") + (configured ? "1\\n" : "") + "\n";
    r += "H: descriptors=" + hex(descriptors) + "\n";
    return r;
}

// ---- one emulated device ----

struct Emu;

class EmuLink : public vbus::Link
{
  public:
    explicit EmuLink(Emu *e) : e_(e) {}
    void send(const uint8_t *data, size_t len) override;
    void unplug() override;

  private:
    Emu *e_;
};

// A request the host submitted, held until it is reaped.
struct Urb {
    UMockdevIoctlData *data = nullptr;     // the client's usbdevfs_urb (a reference we own)
    UMockdevIoctlData *buffer = nullptr;   // its transfer buffer, resolved under data
    UMockdevIoctlClient *client = nullptr; // the open file that submitted it
    int status = 0;
    int actual = 0;
    bool orphan = false; // its client closed the device meanwhile
};

void free_urb(Urb *u)
{
    if (u->buffer)
        g_object_unref(u->buffer);
    if (u->data)
        g_object_unref(u->data);
    delete u;
}

struct OutJob {
    Urb *urb;
    std::vector<uint8_t> bytes;
};

struct Emu {
    std::string port_path;
    std::string syspath;
    std::string devnode;
    int bus = 0;
    int devnum = 0;
    uint16_t vid = 0, pid = 0;
    Quirks quirks;
    UMockdevIoctlBase *handler = nullptr;
    bool attached = false; // handler attached at devnode
    EmuLink link{this};
    std::thread worker; // runs the model's bulk_out

    std::mutex m;
    std::condition_variable cv;
    // Guarded by m:
    std::shared_ptr<vbus::Device> dev; // null once unplugged
    bool gone = false;
    std::deque<std::vector<uint8_t>> in; // IN transfers the model sent
    size_t in_off = 0;                   // bytes of in.front() already read
    std::deque<Urb *> pending_in;        // IN requests waiting for data
    std::deque<OutJob> out;              // OUT requests waiting for the model
    Urb *out_running = nullptr;          // the OUT request bulk_out is taking
    int out_cancel = 0;                  // its status when discarded or unplugged
    unsigned out_seq = 0;                // counts the OUT requests taken
    bool out_accepted = false;           // the running one completed early
    bool halted = false;                 // bulk OUT stalled: requests fail -EPIPE
    std::deque<Urb *> done;              // completed, waiting to be reaped
    HostView host;                       // what the host did so far
    int fifo = -1;                       // our end of the node's named pipe
    bool fifo_full = false;              // the byte is in: nothing to reap
};

// The node reports POLLOUT exactly when a request can be reaped. Call with e.m held.
void update_poll_locked(Emu &e)
{
    bool reapable = !e.done.empty() || (!e.pending_in.empty() && !e.in.empty());
    if (e.fifo < 0)
        return;
    if (reapable && e.fifo_full) {
        uint8_t b;
        if (read(e.fifo, &b, 1) == 1)
            e.fifo_full = false;
    } else if (!reapable && !e.fifo_full) {
        uint8_t b = 0;
        if (write(e.fifo, &b, 1) == 1)
            e.fifo_full = true;
    }
}

void set_urb_result(Urb *u)
{
    struct usbdevfs_urb *urb = reinterpret_cast<struct usbdevfs_urb *>(u->data->data);
    int status = u->status, actual = u->actual;
    memcpy(reinterpret_cast<uint8_t *>(urb) + offsetof(struct usbdevfs_urb, status), &status,
           sizeof status);
    memcpy(reinterpret_cast<uint8_t *>(urb) + offsetof(struct usbdevfs_urb, actual_length), &actual,
           sizeof actual);
}

// Takes the next piece of IN data for the oldest IN request: up to its length, never past the
// end of the transfer (the end of a transfer is a short packet). Call with e.m held.
void fill_in_locked(Emu &e, Urb *u)
{
    std::vector<uint8_t> &t = e.in.front();
    size_t want = u->buffer ? static_cast<size_t>(u->buffer->data_len) : 0;
    size_t n = std::min(want, t.size() - e.in_off);
    if (n)
        memcpy(u->buffer->data, t.data() + e.in_off, n);
    e.in_off += n;
    if (e.in_off == t.size()) {
        e.in.pop_front();
        e.in_off = 0;
    }
    u->status = 0;
    u->actual = static_cast<int>(n);
}

// Fails every request the device still holds, as the kernel does on a disconnect.
void fail_all_locked(Emu &e, int status)
{
    for (Urb *u : e.pending_in) {
        u->status = status;
        u->actual = 0;
        e.done.push_back(u);
    }
    e.pending_in.clear();
    for (OutJob &j : e.out) {
        j.urb->status = status;
        j.urb->actual = 0;
        e.done.push_back(j.urb);
    }
    e.out.clear();
    if (e.out_running && !e.out_cancel)
        e.out_cancel = status;
}

// The running OUT request has been in bulk_out for kAcceptAfterMs: the device took it.
void accept_early(Emu *e, unsigned seq)
{
    std::lock_guard lk(e->m);
    Urb *u = e->out_running;
    if (!u || e->out_seq != seq || e->out_cancel || u->orphan)
        return;
    u->status = 0;
    u->actual = u->buffer ? u->buffer->data_len : 0;
    e->done.push_back(u);
    e->out_running = nullptr;
    e->out_accepted = true;
    update_poll_locked(*e);
}

void device_worker(Emu *e)
{
    std::unique_lock lk(e->m);
    for (;;) {
        e->cv.wait(lk, [&] { return !e->out.empty() || e->gone; });
        if (e->out.empty())
            return;
        OutJob job = std::move(e->out.front());
        e->out.pop_front();
        e->out_running = job.urb;
        e->out_cancel = 0;
        e->out_accepted = false;
        const unsigned seq = ++e->out_seq;
        std::shared_ptr<vbus::Device> dev = e->dev; // keeps the model alive through the call
        lk.unlock();
        after(kAcceptAfterMs, [e, seq] { accept_early(e, seq); });
        bool ok = job.bytes.empty() || (dev && dev->bulk_out(job.bytes.data(), job.bytes.size()));
        dev.reset();
        lk.lock();
        if (e->out_accepted) {
            // Already reported taken: a refusal now is a stalled endpoint for what follows.
            if (!ok && !e->gone) {
                e->halted = true;
                for (OutJob &j : e->out) {
                    j.urb->status = -EPIPE;
                    j.urb->actual = 0;
                    e->done.push_back(j.urb);
                }
                e->out.clear();
                update_poll_locked(*e);
            }
            continue;
        }
        Urb *u = e->out_running;
        e->out_running = nullptr;
        if (u->orphan) {
            free_urb(u);
            continue;
        }
        // A model that took the data and then left the bus still took it, as a device that
        // acknowledged the packet before dropping off does.
        if (e->out_cancel == -ENOENT || (e->out_cancel && !ok)) {
            u->status = e->out_cancel;
            u->actual = 0;
        } else {
            u->status = ok ? 0 : -EPIPE;
            u->actual = ok ? static_cast<int>(job.bytes.size()) : 0;
        }
        e->done.push_back(u);
        update_poll_locked(*e);
    }
}

void EmuLink::send(const uint8_t *data, size_t len)
{
    std::lock_guard lk(e_->m);
    if (e_->gone)
        return;
    e_->in.emplace_back(data, data + len);
    update_poll_locked(*e_);
}

// ---- the usbfs ioctls ----

void complete(UMockdevIoctlClient *client, long res, int err)
{
    umockdev_ioctl_client_complete(client, res, err);
}

// Reads the unsigned int the argument points at; false when it cannot be read.
bool arg_uint(UMockdevIoctlData *arg, unsigned *out)
{
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (!d)
        return false;
    memcpy(out, d->data, sizeof(unsigned));
    g_object_unref(d);
    return true;
}

void submit_urb(Emu &e, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    UMockdevIoctlData *data =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
    if (!data) {
        complete(client, -1, EFAULT);
        return;
    }
    struct usbdevfs_urb urb;
    memcpy(&urb, data->data, sizeof urb);
    bool bulk_out = urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x02;
    bool bulk_in = urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x81;
    bool control = urb.type == USBDEVFS_URB_TYPE_CONTROL && (urb.endpoint & 0x7F) == 0;
    if ((!bulk_out && !bulk_in && !control) || urb.buffer_length < 0) {
        g_object_unref(data);
        complete(client, -1, EINVAL);
        return;
    }
    auto *u = new Urb;
    u->data = data;
    u->client = client;
    if (urb.buffer_length > 0) {
        u->buffer = umockdev_ioctl_data_resolve(data, offsetof(struct usbdevfs_urb, buffer),
                                                static_cast<gsize>(urb.buffer_length), nullptr);
        if (!u->buffer) {
            free_urb(u);
            complete(client, -1, EFAULT);
            return;
        }
    }
    if (control || (bulk_out && e.halted)) {
        // The functions answer no control requests beyond what sysfs already tells: stall.
        u->status = -EPIPE;
        e.done.push_back(u);
    } else if (bulk_in) {
        e.pending_in.push_back(u);
    } else {
        std::vector<uint8_t> bytes;
        if (u->buffer)
            bytes.assign(u->buffer->data, u->buffer->data + u->buffer->data_len);
        e.out.push_back(OutJob{u, std::move(bytes)});
        e.cv.notify_all();
    }
    update_poll_locked(e);
    complete(client, 0, 0);
}

void reap_urb(Emu &e, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    Urb *u = nullptr;
    auto it =
        std::find_if(e.done.begin(), e.done.end(), [&](Urb *d) { return d->client == client; });
    if (it != e.done.end()) {
        u = *it;
        e.done.erase(it);
    } else if (!e.pending_in.empty() && !e.in.empty() && e.pending_in.front()->client == client) {
        u = e.pending_in.front();
        e.pending_in.pop_front();
        fill_in_locked(e, u);
    }
    update_poll_locked(e);
    if (!u) {
        complete(client, -1, e.gone ? ENODEV : EAGAIN);
        return;
    }
    // The argument points at the caller's pointer slot, which receives the request's address.
    set_urb_result(u);
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    if (!slot) {
        e.done.push_front(u);
        complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, u->data);
    complete(client, 0, 0);
    g_object_unref(slot);
    free_urb(u);
}

// Cancels a request that has not completed yet; it is then reaped with -ENOENT.
void discard_urb(Emu &e, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    // The argument is the request's own address.
    unsigned long addr = 0;
    memcpy(&addr, arg->data, std::min(sizeof addr, static_cast<size_t>(arg->data_len)));
    auto match = [&](Urb *u) { return u->data->client_addr == addr; };
    auto in_it = std::find_if(e.pending_in.begin(), e.pending_in.end(), match);
    auto out_it =
        std::find_if(e.out.begin(), e.out.end(), [&](const OutJob &j) { return match(j.urb); });
    if (in_it != e.pending_in.end()) {
        Urb *u = *in_it;
        e.pending_in.erase(in_it);
        u->status = -ENOENT;
        u->actual = 0;
        e.done.push_back(u);
    } else if (out_it != e.out.end()) {
        Urb *u = out_it->urb;
        e.out.erase(out_it);
        u->status = -ENOENT;
        u->actual = 0;
        e.done.push_back(u);
    } else if (e.out_running && match(e.out_running)) {
        if (!e.out_cancel)
            e.out_cancel = -ENOENT; // completes as cancelled once bulk_out returns
    } else {
        complete(client, -1, EINVAL); // already complete: the caller reaps it as it is
        return;
    }
    update_poll_locked(e);
    complete(client, 0, 0);
}

// The device records reach umockdev's worker thread through GLib, whose locks ThreadSanitizer
// cannot see; this pair of atomic operations tells it that a record is complete before use.
std::atomic<unsigned> g_published{0};

gboolean handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    g_published.load(std::memory_order_acquire);
    Emu &e = *static_cast<Emu *>(user);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lk(e.m);
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (e.gone && !reap) {
        complete(client, -1, ENODEV);
        return TRUE;
    }
    unsigned value = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        // One request per transfer, as a current kernel takes it.
        uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof caps, nullptr);
        if (!d) {
            complete(client, -1, EFAULT);
            break;
        }
        memcpy(d->data, &caps, sizeof caps);
        g_object_unref(d);
        complete(client, 0, 0);
        break;
    }
    case USBDEVFS_GETDRIVER:
        complete(client, -1, ENODATA); // no kernel driver is bound
        break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        if (!arg_uint(arg, &value))
            complete(client, -1, EFAULT);
        else if (value != 0)
            complete(client, -1, ENOENT);
        else if (request == USBDEVFS_CLAIMINTERFACE && e.quirks.refuse_claim)
            complete(client, -1, EBUSY);
        else
            complete(client, 0, 0);
        break;
    case USBDEVFS_DISCONNECT_CLAIM: {
        UMockdevIoctlData *d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_disconnect_claim), nullptr);
        if (!d) {
            complete(client, -1, EFAULT);
            break;
        }
        memcpy(&value, d->data + offsetof(struct usbdevfs_disconnect_claim, interface),
               sizeof value);
        g_object_unref(d);
        if (value != 0)
            complete(client, -1, ENOENT);
        else if (e.quirks.refuse_claim)
            complete(client, -1, EBUSY);
        else
            complete(client, 0, 0);
        break;
    }
    case USBDEVFS_SETCONFIGURATION:
        if (!arg_uint(arg, &value)) {
            complete(client, -1, EFAULT);
        } else if (value != 1) {
            complete(client, -1, EINVAL);
        } else if (e.quirks.refuse_configuration) {
            complete(client, -1, EBUSY);
        } else {
            ++e.host.configurations_set;
            complete(client, 0, 0);
        }
        break;
    case USBDEVFS_SETINTERFACE: {
        UMockdevIoctlData *d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_setinterface), nullptr);
        if (!d) {
            complete(client, -1, EFAULT);
            break;
        }
        struct usbdevfs_setinterface si;
        memcpy(&si, d->data, sizeof si);
        g_object_unref(d);
        bool ok = si.interface == 0 && si.altsetting == 0;
        complete(client, ok ? 0 : -1, ok ? 0 : EINVAL);
        break;
    }
    case USBDEVFS_IOCTL: {
        // Driver binding on the interface: none is bound, and none binds on reconnect.
        UMockdevIoctlData *d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_ioctl), nullptr);
        if (!d) {
            complete(client, -1, EFAULT);
            break;
        }
        struct usbdevfs_ioctl cmd;
        memcpy(&cmd, d->data, sizeof cmd);
        g_object_unref(d);
        if (cmd.ifno != 0)
            complete(client, -1, EINVAL);
        else if (cmd.ioctl_code == USBDEVFS_DISCONNECT)
            complete(client, -1, ENODATA);
        else if (cmd.ioctl_code == USBDEVFS_CONNECT)
            complete(client, 0, 0);
        else
            complete(client, -1, ENOTTY);
        break;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        e.halted = false;
        complete(client, 0, 0);
        break;
    case USBDEVFS_SUBMITURB:
        submit_urb(e, client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap_urb(e, client, arg);
        break;
    case USBDEVFS_DISCARDURB:
        discard_urb(e, client, arg);
        break;
    default:
        complete(client, -1, ENOTTY);
        break;
    }
    return TRUE;
}

// The host closed its file (as far as umockdev reports it: 0.17.16 does not on close()):
// requests it left behind are dropped, so later IN data goes to the
// next reader instead of a request nobody will reap.
void client_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    g_published.load(std::memory_order_acquire);
    Emu &e = *static_cast<Emu *>(user);
    std::lock_guard lk(e.m);
    auto drop = [&](std::deque<Urb *> &q) {
        for (auto it = q.begin(); it != q.end();) {
            if ((*it)->client == client) {
                free_urb(*it);
                it = q.erase(it);
            } else {
                ++it;
            }
        }
    };
    drop(e.pending_in);
    drop(e.done);
    for (auto it = e.out.begin(); it != e.out.end();) {
        if (it->urb->client == client) {
            free_urb(it->urb);
            it = e.out.erase(it);
        } else {
            ++it;
        }
    }
    if (e.out_running && e.out_running->client == client)
        e.out_running->orphan = true;
    update_poll_locked(e);
}

// ---- the bus ----

struct Hub {
    std::string syspath;
    int bus;
    int devnum;
};

struct Bus {
    std::mutex m;
    // Guarded by m:
    UMockdevTestbed *testbed = nullptr;
    std::string root;                      // the testbed's directory
    std::map<std::string, Hub> hubs;       // by sysfs name
    std::map<std::string, Emu *> live;     // plugged devices by port path
    std::vector<std::unique_ptr<Emu>> all; // every device of the run, gone ones too
    std::map<int, int> last_address;       // per bus

    // Timers: their own lock, never held while one runs.
    std::mutex tm;
    std::condition_variable tcv;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    bool timer_running = false;
    bool timer_stop = false;
    std::thread timer;
};

Bus &bus()
{
    static Bus *b = new Bus; // lives to the end of the process: models may call in late
    return *b;
}

// Next device address on the bus not held by a plugged device or a hub. Addresses wrap at 127
// as the bus's do; a freed address is reused only after every other one.
int next_address_locked(Bus &b, int busnum)
{
    int &last = b.last_address[busnum];
    for (int tries = 0; tries < kMaxAddress; ++tries) {
        last = last % kMaxAddress + 1;
        bool used = false;
        for (auto &kv : b.hubs)
            used |= kv.second.bus == busnum && kv.second.devnum == last;
        for (auto &kv : b.live)
            used |= kv.second->bus == busnum && kv.second->devnum == last;
        if (!used)
            return last;
    }
    return -1;
}

int ensure_hubs_locked(Bus &b, const PortPath &p)
{
    std::string parent = "/sys/devices";
    for (size_t depth = 0; depth < p.ports.size(); ++depth) {
        std::string name = sys_name(p.bus, p.ports, depth);
        std::string syspath = parent + "/" + name;
        if (!b.hubs.count(name)) {
            if (b.live.count(name))
                return -1; // a function sits where a hub is needed
            int devnum = next_address_locked(b, p.bus);
            if (devnum < 0)
                return -1;
            std::string rec =
                device_record(syspath.substr(4), p.bus, devnum, hub_descriptors(depth == 0), true);
            GError *err = nullptr;
            if (!umockdev_testbed_add_from_string(b.testbed, rec.c_str(), &err)) {
                fprintf(stderr, "umockdev_bus: hub %s: %s\n", name.c_str(), err->message);
                g_error_free(err);
                return -1;
            }
            b.hubs[name] = Hub{syspath, p.bus, devnum};
        }
        parent = syspath;
    }
    return 0;
}

// Makes the device node a named pipe before umockdev announces the device.
int make_node_locked(Bus &b, Emu &e)
{
    std::string path = b.root + e.devnode;
    std::string dir = path.substr(0, path.rfind('/'));
    for (size_t pos = b.root.size() + 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return -1;
        }
    }
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0)
        return -1;
    e.fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (e.fifo < 0)
        return -1;
    // One page: a single byte fills the pipe, so POLLOUT then means "something to reap".
    fcntl(e.fifo, F_SETPIPE_SZ, 4096);
    update_poll_locked(e);
    return 0;
}

void unplug_emu(Bus &b, Emu *e)
{
    std::shared_ptr<vbus::Device> dropped;
    {
        std::lock_guard lk(e->m);
        e->gone = true;
        dropped = std::move(e->dev);
        e->in.clear();
        e->in_off = 0;
        fail_all_locked(*e, -ESHUTDOWN);
        update_poll_locked(*e);
    }
    e->cv.notify_all();
    {
        std::lock_guard lk(b.m);
        if (b.testbed) {
            // umockdev does not announce a removal itself; libusb learns of it from this.
            umockdev_testbed_uevent(b.testbed, e->syspath.c_str(), "remove");
            umockdev_testbed_remove_device(b.testbed, e->syspath.c_str());
        }
    }
    dropped.reset(); // outside every lock: the model may be destroyed here
}

void EmuLink::unplug()
{
    Bus &b = bus();
    {
        std::lock_guard lk(b.m);
        auto it = b.live.find(e_->port_path);
        if (it == b.live.end() || it->second != e_)
            return;
        b.live.erase(it);
    }
    unplug_emu(b, e_);
}

void timer_loop()
{
    Bus &b = bus();
    std::unique_lock lk(b.tm);
    while (!b.timer_stop) {
        if (b.timers.empty()) {
            b.tcv.wait(lk);
            continue;
        }
        auto it = b.timers.begin();
        if (it->first > Clock::now()) {
            const Clock::time_point when = it->first; // a copy: reset() may free the entry
            b.tcv.wait_until(lk, when);
            continue;
        }
        std::function<void()> fn = std::move(it->second);
        b.timers.erase(it);
        b.timer_running = true;
        lk.unlock();
        fn();
        fn = nullptr;
        lk.lock();
        b.timer_running = false;
        b.tcv.notify_all();
    }
}

void cancel_timers()
{
    Bus &b = bus();
    std::unique_lock lk(b.tm);
    b.timers.clear();
    b.tcv.wait(lk, [&] { return !b.timer_running; });
}

void join_workers(Bus &b)
{
    std::vector<Emu *> gone;
    {
        std::lock_guard lk(b.m);
        for (auto &e : b.all)
            if (e->gone && e->worker.joinable())
                gone.push_back(e.get());
    }
    for (Emu *e : gone)
        if (e->worker.get_id() != std::this_thread::get_id())
            e->worker.join();
}

// Everything of plug() but the model's connected() and the announcement, with b.m held: the
// hubs, an address, the named-pipe node, the ioctl handler and the model's worker thread. The
// port is taken when this returns the record.
Emu *setup_locked(Bus &b, const std::string &port_path, const PortPath &p, uint16_t vid,
                  uint16_t pid, const std::shared_ptr<vbus::Device> &dev, const Quirks &quirks)
{
    if (!b.testbed || b.live.count(port_path) || b.hubs.count(port_path))
        return nullptr;
    if (ensure_hubs_locked(b, p) != 0)
        return nullptr;
    int devnum = next_address_locked(b, p.bus);
    if (devnum < 0)
        return nullptr;
    auto owned = std::make_unique<Emu>();
    Emu *e = owned.get();
    e->port_path = port_path;
    e->bus = p.bus;
    e->devnum = devnum;
    e->vid = vid;
    e->pid = pid;
    e->quirks = quirks;
    e->syspath = b.hubs[sys_name(p.bus, p.ports, p.ports.size() - 1)].syspath + "/" + port_path;
    e->devnode = dev_node(p.bus, devnum);
    e->dev = dev;

    // An address handed out again: the previous holder's handler leaves its node first.
    for (auto &old : b.all) {
        if (old->attached && old->devnode == e->devnode) {
            umockdev_testbed_detach_ioctl(b.testbed, old->devnode.c_str(), nullptr);
            old->attached = false;
        }
    }
    b.all.push_back(std::move(owned));

    g_published.fetch_add(1, std::memory_order_release);
    e->handler = umockdev_ioctl_base_new();
    g_signal_connect(e->handler, "handle-ioctl", G_CALLBACK(handle_ioctl), e);
    g_signal_connect(e->handler, "client-vanished", G_CALLBACK(client_vanished), e);
    GError *err = nullptr;
    if (make_node_locked(b, *e) != 0 ||
        !umockdev_testbed_attach_ioctl(b.testbed, e->devnode.c_str(), e->handler, &err)) {
        fprintf(stderr, "umockdev_bus: %s: cannot emulate %s: %s\n", port_path.c_str(),
                e->devnode.c_str(), err ? err->message : strerror(errno));
        if (err)
            g_error_free(err);
        std::lock_guard el(e->m);
        e->gone = true;
        e->dev.reset(); // the caller still holds the model: no destruction here
        return nullptr;
    }
    e->attached = true;
    // Our own end of the pipe is open already; every later open is checked against the mode.
    if (quirks.no_access)
        chmod((b.root + e->devnode).c_str(), 0);
    e->worker = std::thread(device_worker, e);
    b.live[port_path] = e;
    return e;
}

} // namespace

// ---- process set-up ----

int drop_permission_override()
{
    // Capabilities are per thread: the raw calls change the calling thread's alone.
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &head, data) != 0)
        return -1;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        data[cap / 32].effective &= ~(1u << (cap % 32));
    return syscall(SYS_capset, &head, data) == 0 ? 0 : -1;
}

bool preloaded()
{
    const char *p = getenv("LD_PRELOAD");
    return p && strstr(p, "libumockdev-preload") != nullptr;
}

std::string unavailable_reason()
{
    if (preloaded())
        return "";
    if (access(BW_UMOCKDEV_PRELOAD, R_OK) != 0)
        return std::string("umockdev's preload library is not installed (") + BW_UMOCKDEV_PRELOAD +
               ")";
    return "the test program was not started under umockdev's preload library";
}

void reexec_with_preload(char **argv)
{
    if (preloaded() || getenv("BW_UMOCKDEV_REEXEC") || access(BW_UMOCKDEV_PRELOAD, R_OK) != 0)
        return;
    std::string preload = BW_UMOCKDEV_PRELOAD;
    if (const char *old = getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // AddressSanitizer insists on coming first in the library order; the preload cannot.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    // GLib and umockdev keep process-lifetime allocations that the leak checker would report.
    std::string lsan = getenv("LSAN_OPTIONS") ? getenv("LSAN_OPTIONS") : "";
    if (lsan.find("suppressions=") == std::string::npos)
        lsan += (lsan.empty() ? "" : ":") + std::string("suppressions=") + BW_LSAN_SUPP;
    setenv("LSAN_OPTIONS", lsan.c_str(), 1);
    std::string tsan = getenv("TSAN_OPTIONS") ? getenv("TSAN_OPTIONS") : "";
    if (tsan.find("suppressions=") == std::string::npos)
        tsan += (tsan.empty() ? "" : " ") + std::string("suppressions=") + BW_TSAN_SUPP;
    setenv("TSAN_OPTIONS", tsan.c_str(), 1);
    setenv("BW_UMOCKDEV_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
    perror("umockdev_bus: re-executing under the preload library");
}

int start()
{
    Bus &b = bus();
    std::lock_guard lk(b.m);
    if (b.testbed)
        return 0;
    if (!preloaded())
        return -1;
    b.testbed = umockdev_testbed_new();
    if (!b.testbed)
        return -1;
    gchar *root = umockdev_testbed_get_root_dir(b.testbed);
    b.root = root;
    g_free(root);
    {
        std::lock_guard tl(b.tm);
        b.timer_stop = false;
    }
    if (!b.timer.joinable())
        b.timer = std::thread(timer_loop);
    return 0;
}

void stop()
{
    Bus &b = bus();
    reset();
    {
        std::lock_guard tl(b.tm);
        b.timer_stop = true;
    }
    b.tcv.notify_all();
    if (b.timer.joinable())
        b.timer.join();
    std::lock_guard lk(b.m);
    // The device records and their ioctl handlers stay to the end of the process: umockdev's
    // worker thread may still hold a handler. Only what they hold is let go.
    for (auto &e : b.all) {
        std::lock_guard el(e->m);
        for (Urb *u : e->pending_in)
            free_urb(u);
        for (Urb *u : e->done)
            free_urb(u);
        e->pending_in.clear();
        e->done.clear();
        if (e->fifo >= 0)
            close(e->fifo);
        e->fifo = -1;
    }
    b.hubs.clear();
    if (b.testbed)
        g_object_unref(b.testbed);
    b.testbed = nullptr;
}

// ---- the bus API ----

int plug(const std::string &port_path, uint16_t vid, uint16_t pid,
         std::shared_ptr<vbus::Device> dev, Quirks quirks)
{
    Bus &b = bus();
    PortPath p;
    if (!dev || !parse_port_path(port_path, p))
        return -1;
    Emu *e;
    {
        std::lock_guard lk(b.m);
        e = setup_locked(b, port_path, p, vid, pid, dev, quirks);
        if (!e)
            return -1;
    }
    // The port is taken but not yet announced: nobody can open the device before connected().
    dev->connected(&e->link);

    std::lock_guard lk(b.m);
    auto it = b.live.find(port_path);
    if (it == b.live.end() || it->second != e)
        return -1; // unplugged from inside connected()
    std::string rec = device_record(e->syspath.substr(4), p.bus, e->devnum,
                                    function_descriptors(vid, pid), false, !quirks.unconfigured);
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(b.testbed, rec.c_str(), &err)) {
        fprintf(stderr, "umockdev_bus: %s: %s\n", port_path.c_str(), err->message);
        g_error_free(err);
        b.live.erase(it);
        std::shared_ptr<vbus::Device> dropped;
        {
            std::lock_guard el(e->m);
            e->gone = true;
            dropped = std::move(e->dev);
        }
        e->cv.notify_all();
        return -1;
    }
    return 0;
}

int unplug(const std::string &port_path)
{
    Bus &b = bus();
    Emu *e;
    {
        std::lock_guard lk(b.m);
        auto it = b.live.find(port_path);
        if (it == b.live.end())
            return -1;
        e = it->second;
        b.live.erase(it);
    }
    unplug_emu(b, e);
    return 0;
}

void after(int delay_ms, std::function<void()> fn)
{
    Bus &b = bus();
    {
        std::lock_guard lk(b.tm);
        b.timers.emplace(Clock::now() + std::chrono::milliseconds(std::max(delay_ms, 0)),
                         std::move(fn));
    }
    b.tcv.notify_all();
}

std::vector<std::string> paths()
{
    Bus &b = bus();
    std::lock_guard lk(b.m);
    std::vector<std::string> out;
    for (auto &kv : b.live)
        out.push_back(kv.first);
    return out;
}

int device_address(const std::string &port_path)
{
    Bus &b = bus();
    std::lock_guard lk(b.m);
    auto it = b.live.find(port_path);
    return it == b.live.end() ? -1 : it->second->devnum;
}

int host_view(const std::string &port_path, HostView *out)
{
    Bus &b = bus();
    std::lock_guard lk(b.m);
    auto it = b.live.find(port_path);
    if (it == b.live.end() || !out)
        return -1;
    Emu &e = *it->second;
    std::lock_guard el(e.m);
    *out = e.host;
    // The host's files are descriptors of this process open on the node, besides our own.
    std::string node = b.root + e.devnode;
    out->open_files = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (struct dirent *ent = readdir(dir)) {
            char target[PATH_MAX];
            std::string link = std::string("/proc/self/fd/") + ent->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0 || atoi(ent->d_name) == e.fifo || atoi(ent->d_name) == dirfd(dir))
                continue;
            target[n] = '\0';
            out->open_files += node == target;
        }
        closedir(dir);
    }
    return 0;
}

void reset()
{
    Bus &b = bus();
    cancel_timers();
    for (const std::string &path : paths())
        unplug(path);
    join_workers(b);
}

Plugger plugger()
{
    Plugger p;
    p.plug = [](const std::string &instance, uint16_t vid, uint16_t pid,
                std::shared_ptr<vbus::Device> dev,
                vbus::Timing) { return umockbus::plug(instance, vid, pid, std::move(dev)); };
    p.unplug = [](const std::string &instance) { return umockbus::unplug(instance); };
    return p;
}

} // namespace umockbus

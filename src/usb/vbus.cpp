// usb: the virtual USB bus, the transport's second backend. Devices (the virtual phone, test
// models) are plugged in by vphone/, --simulate and the tests; the host side is reached only
// through usb.h, via the table of operations at the end of this file.
//
// Locking: the bus mutex guards the instance map and the list of unplugged generations; each
// plugged generation has its own mutex for its IN queue and state (always taken after the bus
// mutex, never before); the timer has its own. No lock is held while a device runs (connected,
// bulk_out, timer callbacks), so a device may call back into the bus from there.
#include "usb/vbus.h"
#include "usb/usb.h"
#include "usb_backend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>

namespace vbus
{
namespace
{

using Clock = std::chrono::steady_clock;

struct Plugged;

class LinkImpl final : public Link
{
  public:
    explicit LinkImpl(Plugged *p) : p_(p) {}
    void send(const uint8_t *data, size_t len) override;
    void unplug() override;

  private:
    Plugged *p_;
};

// One IN transfer queued by the device; off is how much the host has already read of it.
struct Transfer {
    std::vector<uint8_t> data;
    size_t off = 0;
    Clock::time_point ready; // readable from then on (latency, bandwidth)
};

// One plug generation of an instance. Handles opened on it keep it alive and stay bound to it:
// after unplug and re-plug under the same name they see this generation gone, never the new one.
struct Plugged : std::enable_shared_from_this<Plugged> {
    Plugged(const std::string &inst, uint16_t v, uint16_t p, std::shared_ptr<Device> d, Timing t)
        : instance(inst), vid(v), pid(p), timing(t), dev(d), weak_dev(d)
    {
    }
    const std::string instance;
    const uint16_t vid, pid;
    const Timing timing;
    LinkImpl link{this};
    bool listed = false; // guarded by the bus mutex: connected() has returned

    std::mutex m;               // guards in, last_ready, gone, dev
    std::condition_variable cv; // IN data queued, or gone
    std::deque<Transfer> in;
    Clock::time_point last_ready;
    bool gone = false;
    std::shared_ptr<Device> dev;    // null once unplugged
    std::weak_ptr<Device> weak_dev; // tells when nobody can use the link any more

    std::mutex out_m; // one OUT request at a time reaches the device, as on a pipe
};

struct Bus {
    std::mutex m; // guards devices, graveyard and Plugged::listed
    std::map<std::string, std::shared_ptr<Plugged>> devices;
    // Unplugged generations whose Device object still exists somewhere: its Link pointer stays
    // safe to call (as a no-op) until the Device is gone.
    std::vector<std::shared_ptr<Plugged>> graveyard;

    std::mutex tm; // guards everything below
    std::condition_variable tcv;
    std::multimap<Clock::time_point, std::function<void()>> timers; // equal times stay FIFO
    bool timer_started = false;
    bool running = false; // a callback is running on the timer thread
    int resetting = 0;    // reset() in progress: start no callback
    std::thread::id timer_id;
};

Bus &bus()
{
    // Never destroyed: the detached timer thread may outlive static destruction.
    static Bus *b = new Bus;
    return *b;
}

std::chrono::microseconds wire_time(const Timing &t, size_t len)
{
    if (t.bytes_per_sec == 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(static_cast<int64_t>(len * 1000000ull / t.bytes_per_sec));
}

void prune_graveyard_locked(Bus &b)
{
    std::erase_if(b.graveyard, [](const auto &p) { return p->weak_dev.expired(); });
}

// Takes p off the bus (bus mutex held). Returns the device reference for the caller to drop
// once no lock is held (its destructor may call into the bus), or null if p was already gone.
std::shared_ptr<Device> detach_locked(Bus &b, const std::shared_ptr<Plugged> &p)
{
    auto it = b.devices.find(p->instance);
    if (it != b.devices.end() && it->second == p)
        b.devices.erase(it);
    std::shared_ptr<Device> dev;
    {
        std::lock_guard lk(p->m);
        if (p->gone)
            return nullptr;
        p->gone = true;
        p->in.clear();
        dev = std::move(p->dev);
    }
    p->cv.notify_all();
    b.graveyard.push_back(p);
    return dev;
}

int unplug_generation(const std::shared_ptr<Plugged> &p)
{
    Bus &b = bus();
    std::shared_ptr<Device> dropped;
    {
        std::lock_guard lk(b.m);
        dropped = detach_locked(b, p);
        if (!dropped)
            return -1;
    }
    return 0; // dropped is released here, outside the bus lock
}

void LinkImpl::send(const uint8_t *data, size_t len)
{
    Plugged &p = *p_;
    {
        std::lock_guard lk(p.m);
        if (p.gone)
            return;
        Clock::time_point ready = Clock::now() + std::chrono::microseconds(p.timing.latency_us);
        ready = std::max(ready, p.last_ready) + wire_time(p.timing, len);
        p.last_ready = ready;
        p.in.push_back(Transfer{std::vector<uint8_t>(data, data + len), 0, ready});
    }
    p.cv.notify_all();
}

void LinkImpl::unplug()
{
    unplug_generation(p_->shared_from_this());
}

void timer_loop()
{
    Bus &b = bus();
    std::unique_lock lk(b.tm);
    for (;;) {
        if (b.resetting || b.timers.empty()) {
            b.tcv.wait(lk);
            continue;
        }
        auto it = b.timers.begin();
        if (it->first > Clock::now()) {
            // A copy: reset() may free the entry while we wait, and wait_until reads it after.
            const Clock::time_point when = it->first;
            b.tcv.wait_until(lk, when);
            continue;
        }
        std::function<void()> fn = std::move(it->second);
        b.timers.erase(it);
        b.running = true;
        lk.unlock();
        fn();
        fn = nullptr; // captured state is released without the timer lock
        lk.lock();
        b.running = false;
        b.tcv.notify_all();
    }
}

// ---- host side: the transport backend ----

struct VHandle : usb_dev_handle {
    std::shared_ptr<Plugged> p;
    bool aborted = false; // guarded by p->m: usb_abort ran, every request fails at once
};

usb_dev_handle *vb_open(const std::string &instance, unsigned vid, unsigned pid)
{
    Bus &b = bus();
    std::lock_guard lk(b.m);
    auto it = b.devices.find(instance);
    if (it == b.devices.end() || !it->second->listed || it->second->vid != vid ||
        it->second->pid != pid)
        return nullptr;
    auto *h = new (std::nothrow) VHandle;
    if (!h)
        return nullptr;
    h->backend = &usb_vbus_backend();
    h->p = it->second;
    return h;
}

void vb_close(usb_dev_handle *dev)
{
    delete static_cast<VHandle *>(dev);
}

int vb_write_request(usb_dev_handle *dev, const uint8_t *data, int len, int timeout)
{
    auto &h = *static_cast<VHandle *>(dev);
    Plugged &p = *h.p;
    std::lock_guard out(p.out_m);
    std::shared_ptr<Device> target;
    {
        std::unique_lock lk(p.m);
        auto wire = wire_time(p.timing, static_cast<size_t>(len));
        auto limit = std::chrono::milliseconds(std::max(timeout, 0));
        if (wire > std::chrono::microseconds(0)) {
            // The bytes take this long on the wire; an unplug or an abort ends the wait at once.
            bool fits = wire <= limit;
            bool ended = p.cv.wait_for(lk, fits ? std::chrono::microseconds(wire) : limit,
                                       [&] { return p.gone || h.aborted; });
            if (ended || !fits)
                return USB_ERR_WRITE;
        }
        if (p.gone || h.aborted)
            return USB_ERR_WRITE;
        target = p.dev;
    }
    if (!target || !target->bulk_out(data, static_cast<size_t>(len)))
        return USB_ERR_WRITE;
    return len;
}

int vb_read_request(usb_dev_handle *dev, uint8_t *data, int len, int timeout)
{
    auto &h = *static_cast<VHandle *>(dev);
    Plugged &p = *h.p;
    std::unique_lock lk(p.m);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    for (;;) {
        if (p.gone)
            return USB_ERR_GONE;
        if (h.aborted)
            return USB_ERR_READ;
        auto now = Clock::now();
        auto wake = deadline;
        if (!p.in.empty()) {
            Transfer &t = p.in.front();
            if (t.ready <= now) {
                // Transfer boundaries are kept: a request ends at the end of a transfer.
                size_t n = std::min(static_cast<size_t>(len), t.data.size() - t.off);
                if (n)
                    memcpy(data, t.data.data() + t.off, n);
                t.off += n;
                if (t.off == t.data.size())
                    p.in.pop_front();
                return static_cast<int>(n);
            }
            wake = std::min(wake, t.ready);
        }
        if (now >= deadline)
            return USB_ERR_READ;
        p.cv.wait_until(lk, wake);
    }
}

void vb_abort(usb_dev_handle *dev)
{
    auto &h = *static_cast<VHandle *>(dev);
    {
        std::lock_guard lk(h.p->m);
        h.aborted = true;
    }
    h.p->cv.notify_all(); // the owner's wait for wire time or IN data ends now
}

int vb_enumerate(std::vector<std::string> *out)
{
    for (auto &path : paths())
        out->push_back(std::move(path));
    return 0;
}

} // namespace

int plug(const std::string &instance, uint16_t vid, uint16_t pid, std::shared_ptr<Device> dev,
         Timing timing)
{
    // The name becomes the middle of a device path: no '#', and it must fit a path buffer.
    if (!dev || !is_virtual_instance(instance.c_str()) || instance.size() > USB_PATH_MAX - 100 ||
        instance.find('#') != std::string::npos)
        return -1;
    Bus &b = bus();
    auto p = std::make_shared<Plugged>(instance, vid, pid, dev, timing);
    bool taken;
    {
        std::lock_guard lk(b.m);
        prune_graveyard_locked(b);
        taken = !b.devices.emplace(instance, p).second;
    }
    if (taken)
        return -1;
    // The instance is reserved but not yet listed: nobody can open it before connected() ran.
    dev->connected(&p->link);
    std::lock_guard lk(b.m);
    auto it = b.devices.find(instance);
    if (it != b.devices.end() && it->second == p)
        p->listed = true;
    return 0;
}

int unplug(const std::string &instance)
{
    Bus &b = bus();
    std::shared_ptr<Device> dropped;
    {
        std::lock_guard lk(b.m);
        auto it = b.devices.find(instance);
        if (it == b.devices.end())
            return -1;
        auto p = it->second;
        dropped = detach_locked(b, p);
        prune_graveyard_locked(b);
    }
    return 0;
}

void reset()
{
    Bus &b = bus();
    std::multimap<Clock::time_point, std::function<void()>> cancelled;
    {
        std::unique_lock lk(b.tm);
        ++b.resetting;
        cancelled.swap(b.timers);
        // A callback calling reset() runs on the timer thread: it cannot wait for itself.
        if (std::this_thread::get_id() != b.timer_id)
            b.tcv.wait(lk, [&] { return !b.running; });
        cancelled.merge(b.timers); // what the finished callback scheduled
        b.timers.clear();
        --b.resetting;
    }
    b.tcv.notify_all();
    cancelled.clear(); // captured devices may call into the bus as they are destroyed

    std::vector<std::shared_ptr<Device>> dropped;
    {
        std::lock_guard lk(b.m);
        auto all = b.devices;
        for (auto &[name, p] : all)
            dropped.push_back(detach_locked(b, p));
        b.devices.clear();
        prune_graveyard_locked(b);
    }
}

void after(int delay_ms, std::function<void()> fn)
{
    if (!fn)
        return;
    Bus &b = bus();
    {
        std::lock_guard lk(b.tm);
        if (!b.timer_started) {
            std::thread t(timer_loop);
            b.timer_id = t.get_id();
            t.detach();
            b.timer_started = true;
        }
        b.timers.emplace(Clock::now() + std::chrono::milliseconds(std::max(delay_ms, 0)),
                         std::move(fn));
    }
    b.tcv.notify_all();
}

std::vector<std::string> paths()
{
    Bus &b = bus();
    std::vector<std::string> out;
    std::lock_guard lk(b.m);
    for (const auto &[name, p] : b.devices)
        if (p->listed)
            out.push_back(usb_make_device_path(p->vid, p->pid, name));
    return out;
}

bool is_virtual_instance(const char *instance)
{
    return instance && strncmp(instance, "sim", 3) == 0;
}

} // namespace vbus

const usb_backend &usb_vbus_backend()
{
    static const usb_backend ops = {vbus::vb_open,          vbus::vb_close,
                                    vbus::vb_write_request, vbus::vb_read_request,
                                    vbus::vb_enumerate,     vbus::vb_abort};
    return ops;
}

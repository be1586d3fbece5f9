// tests/umockdev: the emulated-libusb bench for the transport contract tests (tests/usb/bench.h).
// Its devices sit on the umockdev bus under port paths "1-1.N", so usb_open and usb_bulk_* go
// through the libusb backend exactly as they would to a phone on a hub.
#include "umockdev_bench.h"

#include "support/umockdev_bus.h"
#include "usb/usb.h"
#include "usb_libusb.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace
{

// True once usb_enumerate agrees with want about path, waiting up to 3 s: libusb learns of
// plugs and unplugs from uevents on its own thread.
bool wait_listed(const std::string &path, bool want)
{
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<std::string> paths;
        bool listed = usb_enumerate(&paths) == 0 &&
                      std::find(paths.begin(), paths.end(), path) != paths.end();
        if (listed == want)
            return true;
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(3))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

class EmulatedDevice : public RecordingTestDevice
{
  public:
    EmulatedDevice(uint16_t vid, uint16_t pid, std::string port)
        : vid_(vid), pid_(pid), port_(std::move(port))
    {
        replug();
    }
    std::string path() override { return usb_make_device_path(vid_, pid_, port_); }
    void send_after(int ms, const std::vector<uint8_t> &d) override
    {
        auto rec = rec_;
        umockbus::after(ms, [rec, d] { rec->link_->send(d.data(), d.size()); });
    }
    void unplug() override
    {
        if (umockbus::unplug(port_) == 0)
            wait_listed(path(), false);
    }
    void unplug_after(int ms) override
    {
        auto port = port_;
        umockbus::after(ms, [port] { umockbus::unplug(port); });
    }
    std::string replug() override
    {
        unplug();
        rec_ = std::make_shared<Recorder>();
        if (umockbus::plug(port_, vid_, pid_, rec_) == 0)
            wait_listed(path(), true);
        return path();
    }

  private:
    uint16_t vid_, pid_;
    std::string port_;
};

class UmockdevBench : public Bench
{
  public:
    const char *name() const override { return "umockdev"; }
    std::unique_ptr<TestDevice> plug(uint16_t vid, uint16_t pid, int index) override
    {
        return std::make_unique<EmulatedDevice>(vid, pid, "1-1." + std::to_string(index + 1));
    }
    void clear() override
    {
        std::vector<std::string> before = umockbus::paths();
        umockbus::reset();
        // Wait until libusb has seen every removal, so a device plugged next under the same
        // port is never confused with its predecessor.
        std::vector<std::string> listed;
        auto t0 = std::chrono::steady_clock::now();
        while (!before.empty() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
            listed.clear();
            usb_enumerate(&listed);
            bool any = false;
            for (const std::string &p : listed)
                for (const std::string &port : before)
                    any |= p.find("#" + port + "#") != std::string::npos;
            if (!any)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

} // namespace

std::unique_ptr<Bench> make_umockdev_bench()
{
    // A libusb context made before the testbed existed would never see its devices.
    static const int fresh = usb_libusb::reinit();
    (void)fresh;
    return std::make_unique<UmockdevBench>();
}

// tests/usb: the virtual-bus bench for the transport contract tests.
#include "bench.h"

#include "usb/usb.h"
#include "usb/vbus.h"


namespace
{

class VbusDevice : public RecordingTestDevice
{
  public:
    VbusDevice(uint16_t vid, uint16_t pid, std::string instance)
        : vid_(vid), pid_(pid), instance_(std::move(instance))
    {
        replug();
    }
    std::string path() override { return usb_make_device_path(vid_, pid_, instance_); }
    void send_after(int ms, const std::vector<uint8_t> &d) override
    {
        auto rec = rec_;
        vbus::after(ms, [rec, d] { rec->link_->send(d.data(), d.size()); });
    }
    void unplug() override { vbus::unplug(instance_); }
    void unplug_after(int ms) override
    {
        auto inst = instance_;
        vbus::after(ms, [inst] { vbus::unplug(inst); });
    }
    std::string replug() override
    {
        vbus::unplug(instance_);
        rec_ = std::make_shared<Recorder>();
        vbus::plug(instance_, vid_, pid_, rec_);
        return path();
    }

  private:
    uint16_t vid_, pid_;
    std::string instance_;
};

class VbusBench : public Bench
{
  public:
    const char *name() const override { return "vbus"; }
    std::unique_ptr<TestDevice> plug(uint16_t vid, uint16_t pid, int index) override
    {
        return std::make_unique<VbusDevice>(vid, pid, "simtest-" + std::to_string(index));
    }
    void clear() override { vbus::reset(); }
};

} // namespace

std::unique_ptr<Bench> make_vbus_bench()
{
    return std::make_unique<VbusBench>();
}

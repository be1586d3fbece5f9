// tests/usb: the virtual-bus bench for the transport contract tests.
#include "bench.h"

#include "usb/usb.h"
#include "usb/vbus.h"

#include <mutex>

namespace
{

class Recorder : public vbus::Device
{
  public:
    void connected(vbus::Link *link) override { link_ = link; }
    bool bulk_out(const uint8_t *data, size_t len) override
    {
        bool echo, leave;
        {
            std::lock_guard lk(m_);
            sizes_.push_back(len);
            bytes_.insert(bytes_.end(), data, data + len);
            echo = echo_;
            leave = unplug_on_out_;
        }
        if (leave) {
            link_->unplug();
            return true;
        }
        if (echo)
            link_->send(data, len);
        return true;
    }
    vbus::Link *link_ = nullptr;
    std::mutex m_;
    std::vector<size_t> sizes_;
    std::vector<uint8_t> bytes_;
    bool echo_ = false;
    bool unplug_on_out_ = false;
};

class VbusDevice : public TestDevice
{
  public:
    VbusDevice(uint16_t vid, uint16_t pid, std::string instance)
        : vid_(vid), pid_(pid), instance_(std::move(instance))
    {
        replug();
    }
    std::string path() override { return usb_make_device_path(vid_, pid_, instance_); }
    void send(const std::vector<uint8_t> &d) override { rec_->link_->send(d.data(), d.size()); }
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
    void unplug_on_next_out() override
    {
        std::lock_guard lk(rec_->m_);
        rec_->unplug_on_out_ = true;
    }
    std::string replug() override
    {
        vbus::unplug(instance_);
        rec_ = std::make_shared<Recorder>();
        vbus::plug(instance_, vid_, pid_, rec_);
        return path();
    }
    void set_echo(bool on) override
    {
        std::lock_guard lk(rec_->m_);
        rec_->echo_ = on;
    }
    std::vector<size_t> out_sizes() override
    {
        std::lock_guard lk(rec_->m_);
        return rec_->sizes_;
    }
    std::vector<uint8_t> out_bytes() override
    {
        std::lock_guard lk(rec_->m_);
        return rec_->bytes_;
    }

  private:
    uint16_t vid_, pid_;
    std::string instance_;
    std::shared_ptr<Recorder> rec_;
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

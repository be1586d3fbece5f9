// tests/usb: what the transport contract tests need from a device, whatever bus it sits on. A
// bench plugs a scriptable test device and hands back its path; the virtual bus has one here,
// an emulated libusb bench can implement the same two classes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/vbus.h"

// One plugged test device. It records every bulk OUT request and, in echo mode, sends each
// request straight back as one IN transfer.
class TestDevice
{
  public:
    virtual ~TestDevice() = default;
    virtual std::string path() = 0;
    virtual void send(const std::vector<uint8_t> &data) = 0; // one IN transfer
    virtual void send_after(int ms, const std::vector<uint8_t> &data) = 0;
    virtual void unplug() = 0;
    virtual void unplug_after(int ms) = 0;
    virtual void unplug_on_next_out() = 0; // leaves the bus while taking an OUT request
    virtual std::string replug() = 0;      // a fresh device under the same name; its path
    virtual void set_echo(bool on) = 0;
    virtual std::vector<size_t> out_sizes() = 0;
    virtual std::vector<uint8_t> out_bytes() = 0;
};

// The device model behind every bench's TestDevice: records each bulk OUT request, echoes it
// as one IN transfer when asked, or leaves the bus while taking one.
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
    std::vector<size_t> sizes_;  // guarded by m_
    std::vector<uint8_t> bytes_; // guarded by m_
    bool echo_ = false;          // guarded by m_
    bool unplug_on_out_ = false; // guarded by m_
};

// What a bench's TestDevice does through its Recorder alone; the bench adds plugging and timers.
class RecordingTestDevice : public TestDevice
{
  public:
    void send(const std::vector<uint8_t> &d) override { rec_->link_->send(d.data(), d.size()); }
    void unplug_on_next_out() override
    {
        std::lock_guard lk(rec_->m_);
        rec_->unplug_on_out_ = true;
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

  protected:
    std::shared_ptr<Recorder> rec_;
};

class Bench
{
  public:
    virtual ~Bench() = default;
    virtual const char *name() const = 0;
    // A device under a name of the bench's choosing, distinct for each distinct index.
    virtual std::unique_ptr<TestDevice> plug(uint16_t vid, uint16_t pid, int index) = 0;
    virtual void clear() = 0; // every device gone, no timer pending
};

std::unique_ptr<Bench> make_vbus_bench();

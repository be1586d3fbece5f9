// tests/usb: what the transport contract tests need from a device, whatever bus it sits on. A
// bench plugs a scriptable test device and hands back its path; the virtual bus has one here,
// an emulated libusb bench can implement the same two classes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

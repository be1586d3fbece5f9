// vphone: the whole virtual phone on the virtual USB bus. Used by the station's simulate mode
// and by tests: plug_phone puts a phone in boot ROM mode under an instance name; after the boot
// ROM has received the TIM and the DKB image and let go, the phone comes back as the DKB agent
// (vphone/agent.h) under the same instance or, as some fixtures do, under another one
// ("sim-3" -> "simagent-3"). The NAND chip belongs to the phone and outlives every boot.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/vbus.h"
#include "vphone/agent.h"
#include "vphone/bootrom.h"
#include "vphone/nand.h"

namespace vphone
{

// Where a phone plugs in and out. Unset members mean the virtual bus; the tests of the libusb
// path point them at an emulated USB bus so the same phone runs there.
struct PhoneBus {
    std::function<int(const std::string &instance, uint16_t vid, uint16_t pid,
                      std::shared_ptr<vbus::Device> dev, vbus::Timing timing)>
        plug;
    std::function<int(const std::string &instance)> unplug;
};

struct PhoneOptions {
    uint16_t rom_vid = 0x1286, rom_pid = 0x8104; // or 0x8086:0xD001
    BootromOptions bootrom;                      // its on_agent_start is the phone's own
    std::string agent_instance; // where the agent appears; empty: the boot ROM's instance
    NandGeometry nand;
    bool bbm_present = true; // the chip starts with a bad-block table stored on it
    AgentFaults faults;      // applied to every boot of the agent
    uint32_t ram_size = 4u << 20;
    vbus::Timing timing;          // both the ROM's and the agent's link
    bool reboot_on_reset = false; // after a reset command the phone returns in boot ROM mode
    int reset_delay_ms = 50;
    PhoneBus bus;
};

class Phone : public std::enable_shared_from_this<Phone>
{
  public:
    Phone(std::string instance, PhoneOptions options, std::shared_ptr<Nand> nand);

    const std::string &instance() const { return instance_; }
    const std::string &agent_instance() const { return agent_instance_; }
    const std::shared_ptr<Nand> &nand() const { return nand_; }
    std::shared_ptr<Bootrom> bootrom() const; // the current or last boot ROM, or null
    std::shared_ptr<Agent> agent() const;     // the current or last agent, or null
    std::vector<uint8_t> dkb() const;         // the image the last handover started
    int agent_starts() const;
    // Waits until the agent has been plugged n times in all; false on time-out.
    bool wait_for_agent(int timeout_ms, int n = 1) const;
    // Takes the phone off the bus, whatever mode it is in.
    void unplug();

    // Internal: plug the boot ROM, or the agent.
    int plug_rom();
    int plug_agent(const std::vector<uint8_t> &dkb);

  private:
    int bus_plug(const std::string &instance, uint16_t vid, uint16_t pid,
                 std::shared_ptr<vbus::Device> dev);
    void bus_unplug(const std::string &instance);

    const std::string instance_, agent_instance_;
    const PhoneOptions opt_;
    const std::shared_ptr<Nand> nand_;
    mutable std::mutex mu_; // guards everything below
    mutable std::condition_variable cv_;
    std::shared_ptr<Bootrom> rom_;
    std::shared_ptr<Agent> agent_;
    std::vector<uint8_t> dkb_;
    int agent_starts_ = 0;
    bool gone_ = false;
};

// Plugs a phone in boot ROM mode; null when the geometry is invalid or the instance is taken.
std::shared_ptr<Phone> plug_phone(const std::string &instance, const PhoneOptions &options = {});
// Plugs a phone whose agent already runs (the boot ROM stage skipped), under
// options.agent_instance or instance; null on the same failures.
std::shared_ptr<Phone> plug_agent_phone(const std::string &instance,
                                        const PhoneOptions &options = {});

} // namespace vphone

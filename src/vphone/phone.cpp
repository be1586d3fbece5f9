// vphone: the whole virtual phone (see vphone/phone.h): boot ROM first, then the DKB agent on
// the chip the phone owns.
#include "vphone/phone.h"

#include <chrono>

namespace vphone
{

Phone::Phone(std::string instance, PhoneOptions options, std::shared_ptr<Nand> nand)
    : instance_(instance),
      agent_instance_(options.agent_instance.empty() ? instance : options.agent_instance),
      opt_(std::move(options)), nand_(std::move(nand))
{
}

std::shared_ptr<Bootrom> Phone::bootrom() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return rom_;
}

std::shared_ptr<Agent> Phone::agent() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return agent_;
}

std::vector<uint8_t> Phone::dkb() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return dkb_;
}

int Phone::agent_starts() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return agent_starts_;
}

bool Phone::wait_for_agent(int timeout_ms, int n) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return agent_starts_ >= n; });
}

int Phone::bus_plug(const std::string &instance, uint16_t vid, uint16_t pid,
                    std::shared_ptr<vbus::Device> dev)
{
    if (opt_.bus.plug)
        return opt_.bus.plug(instance, vid, pid, std::move(dev), opt_.timing);
    return vbus::plug(instance, vid, pid, std::move(dev), opt_.timing);
}

void Phone::bus_unplug(const std::string &instance)
{
    if (opt_.bus.unplug)
        opt_.bus.unplug(instance);
    else
        vbus::unplug(instance);
}

void Phone::unplug()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        gone_ = true;
    }
    bus_unplug(instance_);
    if (agent_instance_ != instance_)
        bus_unplug(agent_instance_);
}

int Phone::plug_rom()
{
    BootromOptions bo = opt_.bootrom;
    std::weak_ptr<Phone> weak = weak_from_this();
    bo.on_agent_start = [weak](const std::vector<uint8_t> &dkb) {
        if (auto self = weak.lock())
            self->plug_agent(dkb);
    };
    auto rom = std::make_shared<Bootrom>(std::move(bo));
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (gone_)
            return -1;
        rom_ = rom;
    }
    return bus_plug(instance_, opt_.rom_vid, opt_.rom_pid, rom);
}

int Phone::plug_agent(const std::vector<uint8_t> &dkb)
{
    AgentOptions ao;
    ao.nand = nand_;
    ao.ram_size = opt_.ram_size;
    ao.faults = opt_.faults;
    if (opt_.reboot_on_reset) {
        std::weak_ptr<Phone> weak = weak_from_this();
        const int delay = opt_.reset_delay_ms;
        ao.on_reset = [weak, delay](bool) {
            vbus::after(delay, [weak] {
                if (auto self = weak.lock())
                    self->plug_rom();
            });
        };
    }
    auto agent = std::make_shared<Agent>(std::move(ao));
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (gone_)
            return -1;
        agent_ = agent;
        dkb_ = dkb;
    }
    int r = bus_plug(agent_instance_, AGENT_VID, AGENT_PID, agent);
    if (r == 0) {
        std::lock_guard<std::mutex> lock(mu_);
        agent_starts_++;
        cv_.notify_all();
    }
    return r;
}

namespace
{

std::shared_ptr<Phone> make_phone(const std::string &instance, const PhoneOptions &options)
{
    auto nand = Nand::create(options.nand);
    if (!nand)
        return nullptr;
    if (options.bbm_present) {
        auto [first, end] = Agent::default_reloc_blocks(options.nand);
        if (auto table = Agent::build_table(*nand, first, end))
            nand->store_bbt(*table);
    }
    return std::make_shared<Phone>(instance, options, nand);
}

} // namespace

std::shared_ptr<Phone> plug_phone(const std::string &instance, const PhoneOptions &options)
{
    auto phone = make_phone(instance, options);
    if (!phone || phone->plug_rom() != 0)
        return nullptr;
    return phone;
}

std::shared_ptr<Phone> plug_agent_phone(const std::string &instance, const PhoneOptions &options)
{
    auto phone = make_phone(instance, options);
    if (!phone || phone->plug_agent({}) != 0)
        return nullptr;
    return phone;
}

} // namespace vphone

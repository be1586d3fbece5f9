// setup: the learning session and the agent check behind --learn-ports (see
// setup/port_learning.h). PortLearner runs on its front-end's thread; agent_check on whichever
// thread calls it.
#include "setup/port_learning.h"

#include "romcode/libromcode_helper.h"
#include "station/device_list.h"
#include "station/station.h"
#include "usb/usb.h"

#include <chrono>
#include <map>
#include <thread>

namespace setup
{
namespace
{

enum class Kind { Other, BootRom, Agent };

// The kind and port of a device path; Other for anything that is not a phone.
Kind classify(const std::string &path, std::string *port)
{
    unsigned vid = 0, pid = 0;
    char name[USB_PATH_MAX];
    if (path.size() >= USB_PATH_MAX || GetVIDPIDFromDevicePath(path.c_str(), &vid, &pid) != 0 ||
        ExtractInterfaceName(path.c_str(), name) != 0)
        return Kind::Other;
    *port = name;
    if ((vid == BOOTROM_VID_1 && pid == BOOTROM_PID_1) ||
        (vid == BOOTROM_VID_2 && pid == BOOTROM_PID_2))
        return Kind::BootRom;
    if (vid == DKB_AGENT_VID && pid == DKB_AGENT_PID)
        return Kind::Agent;
    return Kind::Other;
}

// Boot ROM ports -> paths, or agent ports, of one pass.
std::map<std::string, std::string> ports_of(const std::vector<std::string> &paths, Kind kind)
{
    std::map<std::string, std::string> out;
    for (const std::string &p : paths) {
        std::string port;
        if (classify(p, &port) == kind)
            out.emplace(port, p);
    }
    return out;
}

std::string fixture_text(int n)
{
    return "Fixture " + std::to_string(n);
}

} // namespace

PortLearner::PortLearner(const std::vector<std::string> &present, int first_fixture)
    : fixture_(first_fixture)
{
    for (const auto &kv : ports_of(present, Kind::BootRom))
        rom_ports_seen_.insert(kv.first);
}

int PortLearner::fixture_of(const std::string &name) const
{
    for (const PortEntry &e : entries_)
        if (e.interface_name == name)
            return e.fixture;
    return 0;
}

std::string PortLearner::prompt() const
{
    switch (state_) {
    case WaitingForPhone:
        return fixture_text(fixture_) +
               ": plug a phone in boot ROM download mode into it (s: skip, q: end)";
    case PhoneFound: {
        std::string s = fixture_text(fixture_) + ": phone on " + found_port_;
        if (!second_port_.empty())
            s += ", its agent on " + second_port_;
        return s + " (Enter: take, a: check where its agent comes back, s: skip, q: end)";
    }
    case CheckingAgent:
        return fixture_text(fixture_) + ": pushing the agent to the phone on " + found_port_ +
               " ...";
    case Done:
        break;
    }
    return "Learning ended.";
}

std::vector<std::string> PortLearner::next_fixture(const std::string &said)
{
    ++fixture_;
    state_ = WaitingForPhone;
    found_port_.clear();
    found_path_.clear();
    second_port_.clear();
    return {said};
}

std::vector<std::string> PortLearner::poll(const std::vector<std::string> &paths)
{
    std::map<std::string, std::string> roms = ports_of(paths, Kind::BootRom);
    std::set<std::string> seen_before;
    seen_before.swap(rom_ports_seen_);
    for (const auto &kv : roms)
        rom_ports_seen_.insert(kv.first);
    // Only a waiting fixture takes a phone; while one is found, others wait for their turn.
    if (state_ != WaitingForPhone)
        return {};

    std::vector<std::string> said;
    for (const auto &kv : roms) {
        const std::string &port = kv.first;
        if (seen_before.count(port))
            continue; // not newly plugged
        if (int other = fixture_of(port)) {
            said.push_back("Port " + port + " is already fixture " + std::to_string(other) +
                           ": not taken. Plug the phone into fixture " + std::to_string(fixture_) +
                           ".");
            continue;
        }
        state_ = PhoneFound;
        found_port_ = port;
        found_path_ = kv.second;
        said.push_back(fixture_text(fixture_) + ": phone on " + port + ".");
        break;
    }
    return said;
}

std::vector<std::string> PortLearner::key(LearnKey k)
{
    if (state_ == Done || state_ == CheckingAgent)
        return {};
    if (k == LearnKey::Quit) {
        const bool found = state_ == PhoneFound;
        state_ = Done;
        if (found)
            return {fixture_text(fixture_) + " left out: its phone was not taken."};
        return {};
    }
    if (k == LearnKey::Skip)
        return next_fixture(fixture_text(fixture_) + " skipped.");
    if (state_ == WaitingForPhone) {
        return {"No phone on fixture " + std::to_string(fixture_) +
                " yet: plug one in, or s to skip it, q to end."};
    }
    if (k == LearnKey::AgentCheck) {
        state_ = CheckingAgent;
        return {};
    }
    // Take.
    const size_t adding = second_port_.empty() ? 1 : 2;
    if (entries_.size() + adding > MAPPING_MAX_ENTRIES)
        return {"The mapping holds at most " + std::to_string(int(MAPPING_MAX_ENTRIES)) +
                " port entries: not taken. Press q to end."};
    entries_.push_back({found_port_, fixture_});
    std::string said = fixture_text(fixture_) + " is " + found_port_;
    if (!second_port_.empty()) {
        entries_.push_back({second_port_, fixture_});
        said += " and " + second_port_;
    }
    return next_fixture(said + ".");
}

std::vector<std::string> PortLearner::agent_checked(int rc, const std::string &agent_port)
{
    if (state_ != CheckingAgent)
        return {};
    state_ = PhoneFound;
    switch (rc) {
    case 0:
        break;
    case AGENT_CHECK_NO_OPEN:
        return {"The phone on " + found_port_ + " cannot be opened (see bramblewick --list)."};
    case AGENT_CHECK_DOWNLOAD:
        return {"Pushing the agent to the phone on " + found_port_ +
                " failed; re-plug it to try again."};
    default:
        return {"No agent came back in time; re-plug the phone to try again."};
    }
    if (agent_port == found_port_) {
        second_port_.clear();
        return {"Its agent comes back on the same port, " + agent_port + "."};
    }
    if (int other = fixture_of(agent_port)) {
        return {"Its agent came back on " + agent_port + ", which is already fixture " +
                std::to_string(other) + ": not taken."};
    }
    second_port_ = agent_port;
    return {"Its agent comes back on another port, " + agent_port + ": Enter takes both names."};
}

int agent_check(const std::string &rom_path, const unsigned char *dkb, int dkb_size, int timeout_ms,
                std::string *agent_port)
{
    using Clock = std::chrono::steady_clock;
    std::vector<std::string> paths;
    usb_enumerate(&paths);
    std::map<std::string, std::string> agents_before = ports_of(paths, Kind::Agent);

    usb_dev_handle *udev = usb_open(rom_path.c_str());
    if (!udev)
        return AGENT_CHECK_NO_OPEN;
    // The bootstrap only reads the image.
    int r = download_dkb(udev, nullptr, 0, const_cast<unsigned char *>(dkb), dkb_size);
    usb_close(udev);
    if (r != 0)
        return AGENT_CHECK_DOWNLOAD;

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        paths.clear();
        if (usb_enumerate(&paths) != 0)
            continue;
        for (const auto &kv : ports_of(paths, Kind::Agent))
            if (!agents_before.count(kv.first)) {
                *agent_port = kv.first;
                return 0;
            }
    } while (Clock::now() < deadline);
    return AGENT_CHECK_NO_AGENT;
}

std::vector<std::string> describe_mapping(const std::vector<PortEntry> &entries)
{
    std::map<int, std::string> by_fixture;
    for (const PortEntry &e : entries) {
        std::string &s = by_fixture[e.fixture];
        s += (s.empty() ? "" : ", ") + e.interface_name;
    }
    std::vector<std::string> out;
    for (const auto &kv : by_fixture)
        out.push_back(fixture_text(kv.first) + ": " + kv.second);
    return out;
}

} // namespace setup

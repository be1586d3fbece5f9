// setup: learning the port mapping by plugging, for `bramblewick --learn-ports`. The terminal
// and the window's dialog drive the same PortLearner from their own thread: they feed it the
// bus's device paths every ~100 ms (poll) and the engineer's keys (key), show what it returns
// and its prompt, and run agent_check when it asks for one. Nothing here blocks but
// agent_check, which a dialog runs on a worker thread of its own.
//
// One fixture at a time: the engineer plugs a phone in boot ROM download mode into fixture N;
// the port it newly appears on becomes the fixture's name. On request the phone is pushed its
// agent, and a port the agent comes back on (if another) becomes the fixture's second name.
// A port another fixture already has is refused with that fixture's number.
#pragma once

#include "setup/mapping_file.h"

#include <set>
#include <string>
#include <vector>

namespace setup
{

enum class LearnKey {
    Take,       // Enter: take the phone found for this fixture and go on to the next
    Skip,       // s: leave this fixture out
    AgentCheck, // a: push the agent to see where it comes back
    Quit,       // q: end learning (a phone found but not taken is left out)
};

class PortLearner
{
  public:
    enum State {
        WaitingForPhone, // for fixture() to get a phone
        PhoneFound,      // found_port() is the candidate; waiting for a key
        CheckingAgent,   // the front-end runs agent_check(found_path()) and calls agent_checked
        Done,
    };

    // present: the bus's device paths when learning starts. Phones already plugged in count
    // only once they have been re-plugged, so a phone left in a fixture is not taken again.
    explicit PortLearner(const std::vector<std::string> &present, int first_fixture = 1);

    State state() const { return state_; }
    int fixture() const { return fixture_; }
    const std::string &found_port() const { return found_port_; }
    const std::string &found_path() const { return found_path_; }
    const std::string &second_port() const { return second_port_; }
    const std::vector<PortEntry> &entries() const { return entries_; }
    // The fixture that already has this interface name, 0 when none.
    int fixture_of(const std::string &name) const;
    // What the engineer is asked now, one line.
    std::string prompt() const;

    // One enumeration pass (usb_enumerate's paths). Returns the lines to show (none when nothing
    // happened).
    std::vector<std::string> poll(const std::vector<std::string> &paths);
    std::vector<std::string> key(LearnKey k);
    // agent_check's result for found_path(): its code and the agent's port.
    std::vector<std::string> agent_checked(int rc, const std::string &agent_port);

  private:
    std::vector<std::string> next_fixture(const std::string &said);

    State state_ = WaitingForPhone;
    int fixture_;
    std::set<std::string> rom_ports_seen_; // boot ROM ports of the previous pass
    std::string found_port_, found_path_, second_port_;
    std::vector<PortEntry> entries_;
};

enum {
    AGENT_CHECK_NO_OPEN = -1,  // the boot ROM phone could not be opened
    AGENT_CHECK_DOWNLOAD = -2, // pushing the agent failed
    AGENT_CHECK_NO_AGENT = -3, // no new agent appeared within the time-out
};
// Pushes the DKB agent (dkb, dkb_size) into the boot ROM phone at rom_path, as the station's
// first step does, and waits up to timeout_ms for an agent (1286:8111) on a port that had none
// before. 0 with that port in *agent_port, or an AGENT_CHECK_* code. Blocks; touches no other
// phone.
int agent_check(const std::string &rom_path, const unsigned char *dkb, int dkb_size, int timeout_ms,
                std::string *agent_port);

// The entries as the engineer checks them before they are written: "fixture 1: 1-1.2, 1-1.5".
std::vector<std::string> describe_mapping(const std::vector<PortEntry> &entries);

} // namespace setup

// station core: the interface names the station's runs claim, station-wide, so that the agent
// wait of one row never takes the agent of another row's phone. Written and read by the download
// threads (any number at once); every function takes the record's own mutex.
//
// A name is claimed
// - by a run in progress: both names of its row record, from the start of its download thread
//   until the thread ends;
// - by an agent a failed run left on the bus: the phone stays in agent mode in its fixture, so
//   its agent is still listed under that name until the phone is unplugged.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

struct run_names {
    std::mutex m;
    std::multiset<std::string> in_progress; // guarded by m; one entry per run and name
    std::set<std::string> left_behind;      // guarded by m
    // Agent names some run has taken: claimed before the agent's open, released after its
    // close, so two runs never share one agent device; guarded by m.
    std::set<std::string> agents;
};

// A run starts with its row's one or two names (empty ones are not names). A new run on a name
// means the phone that was left there has gone.
void run_names_add(run_names &r, const std::string &name1, const std::string &name2);
void run_names_remove(run_names &r, const std::string &name1, const std::string &name2);
// A failed run leaves its agent, still open in the fixture, on name.
void run_names_leave_agent(run_names &r, const std::string &name);
// One scan's agent names: a left-behind agent missing from them has been unplugged.
void run_names_forget_absent(run_names &r, const std::vector<std::string> &agent_names);
// True when some run in progress has name as one of its own, or a failed run left its agent there.
bool run_names_claimed(run_names &r, const std::string &name);
// Takes the agent on name for a run: false when another run has it.
bool run_names_take_agent(run_names &r, const std::string &name);
// Gives the agent on name back (after its device was closed).
void run_names_give_agent(run_names &r, const std::string &name);

// Claims a run's names for the life of a download thread.
class run_names_guard
{
  public:
    run_names_guard(run_names &r, std::string name1, std::string name2)
        : r_(r), name1_(std::move(name1)), name2_(std::move(name2))
    {
        run_names_add(r_, name1_, name2_);
    }
    ~run_names_guard() { run_names_remove(r_, name1_, name2_); }
    run_names_guard(const run_names_guard &) = delete;
    run_names_guard &operator=(const run_names_guard &) = delete;

  private:
    run_names &r_;
    const std::string name1_, name2_;
};

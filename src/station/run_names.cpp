// station core: the names claimed by runs in progress and by agents failed runs left on the bus.
// Called by the download threads; see station/run_names.h.
#include "station/run_names.h"

#include <algorithm>

void run_names_add(run_names &r, const std::string &name1, const std::string &name2)
{
    std::lock_guard<std::mutex> lock(r.m);
    for (const std::string *n : {&name1, &name2}) {
        if (n->empty())
            continue;
        r.in_progress.insert(*n);
        r.left_behind.erase(*n);
    }
}

void run_names_remove(run_names &r, const std::string &name1, const std::string &name2)
{
    std::lock_guard<std::mutex> lock(r.m);
    for (const std::string *n : {&name1, &name2}) {
        if (n->empty())
            continue;
        auto it = r.in_progress.find(*n);
        if (it != r.in_progress.end())
            r.in_progress.erase(it); // one entry: another run may hold the same name
    }
}

void run_names_leave_agent(run_names &r, const std::string &name)
{
    std::lock_guard<std::mutex> lock(r.m);
    if (!name.empty())
        r.left_behind.insert(name);
}

void run_names_forget_absent(run_names &r, const std::vector<std::string> &agent_names)
{
    std::lock_guard<std::mutex> lock(r.m);
    std::erase_if(r.left_behind, [&](const std::string &n) {
        return std::find(agent_names.begin(), agent_names.end(), n) == agent_names.end();
    });
}

bool run_names_claimed(run_names &r, const std::string &name)
{
    std::lock_guard<std::mutex> lock(r.m);
    return r.in_progress.count(name) != 0 || r.left_behind.count(name) != 0;
}

bool run_names_take_agent(run_names &r, const std::string &name)
{
    std::lock_guard<std::mutex> lock(r.m);
    return r.agents.insert(name).second;
}

void run_names_give_agent(run_names &r, const std::string &name)
{
    std::lock_guard<std::mutex> lock(r.m);
    r.agents.erase(name);
}

// station core: the shift's tally, fixture health and the boot ROM retry guard. Called by the
// window-side handlers and the one-second timer (window thread) and by the monitor thread
// (strikes_listed, strikes_held).
#include "station/fixture_health.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "station/device_list.h"

namespace
{

fixture_tally &fixture_at(station_health *h, int row)
{
    if (static_cast<size_t>(row) >= h->fixtures.size())
        h->fixtures.resize(static_cast<size_t>(row) + 1);
    return h->fixtures[static_cast<size_t>(row)];
}

int strikes_of(phone_strikes *s, const std::string &name)
{
    std::lock_guard<std::mutex> lock(s->mu);
    auto it = s->fails.find(name);
    return it == s->fails.end() ? 0 : it->second;
}

} // namespace

void strikes_listed(phone_strikes *s, const std::vector<std::string> &bootrom_names)
{
    std::set<std::string> listed(bootrom_names.begin(), bootrom_names.end());
    std::lock_guard<std::mutex> lock(s->mu);
    std::erase_if(s->fails, [&](const auto &kv) { return listed.count(kv.first) == 0; });
}

bool strikes_held(phone_strikes *s, const std::string &name)
{
    return strikes_of(s, name) >= PHONE_HOLD_FAILS;
}

void health_attach(station_health *h, int row, const std::string &name)
{
    if (row < 0)
        return;
    fixture_at(h, row).retry = strikes_of(&h->strikes, name) > 0;
    std::erase_if(h->holds, [&](const phone_hold &hold) { return hold.name == name; });
}

bool health_result(station_health *h, int row, const std::string &name, int code, bool interrupted)
{
    if (row < 0)
        return false;
    fixture_tally &f = fixture_at(h, row);
    if (interrupted)
        return !f.retry;
    const bool passed = code == 0;
    if (passed) {
        ++f.passed;
        f.phones_failed_in_row = 0;
    } else {
        ++f.failed;
        if (!f.retry) // the same phone failing again says nothing new about the fixture
            ++f.phones_failed_in_row;
    }
    std::lock_guard<std::mutex> lock(h->strikes.mu);
    if (passed)
        h->strikes.fails.erase(name);
    else
        ++h->strikes.fails[name];
    return !f.retry;
}

void shift_count(shift_tally *t, int code, bool first_run, bool interrupted)
{
    if (interrupted) {
        ++t->interrupted;
        return;
    }
    const bool passed = code == 0;
    ++(passed ? t->programmed : t->failed);
    if (first_run) {
        ++t->first_runs;
        t->first_runs_passed += passed;
    }
}

bool health_detach(station_health *h, const tag_list_item *item, const std::string &status_now)
{
    const std::string name = item->interface_1_name;
    if (item->status_code == 0 || !strikes_held(&h->strikes, name))
        return false;
    h->holds.push_back({item, name, status_now});
    return true;
}

void health_tick(station_health *h, const DeviceList &list, std::vector<phone_hold> *released)
{
    std::erase_if(h->holds, [&](const phone_hold &hold) {
        int row = FindListItem(list, hold.item);
        if (row < 0)
            return true; // the row moved on to another phone
        if (strikes_held(&h->strikes, hold.name))
            return false;
        // Gone from the bus: the row shows its failure again, until the next phone.
        released->push_back(hold);
        return true;
    });
}

const fixture_tally *health_fixture(const station_health &h, int row)
{
    if (row < 0 || static_cast<size_t>(row) >= h.fixtures.size())
        return nullptr;
    return &h.fixtures[static_cast<size_t>(row)];
}

bool fixture_suspect(const fixture_tally &t)
{
    return t.phones_failed_in_row >= FIXTURE_SUSPECT_FAILS;
}

std::string fixture_health_text(const station_health &h, int row)
{
    const fixture_tally *f = health_fixture(h, row);
    if (!f || f->passed + f->failed == 0)
        return {};
    std::string s = std::to_string(f->passed) + " passed, " + std::to_string(f->failed) + " failed";
    if (fixture_suspect(*f))
        s += " - suspect";
    return s;
}

std::string shift_tally_text(const shift_tally &t, uint32_t now)
{
    char buf[160];
    const double hours = std::max<uint32_t>(now - t.start_tick, 1000) / 3600000.0;
    int n = std::snprintf(buf, sizeof buf, "%d programmed, %d failed, ", t.programmed, t.failed);
    if (t.interrupted > 0)
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%d interrupted, ",
                           t.interrupted);
    n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "first-pass yield ");
    if (t.first_runs > 0)
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%.1f%% (%d/%d)",
                           100.0 * t.first_runs_passed / t.first_runs, t.first_runs_passed,
                           t.first_runs);
    else
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "-");
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), ", %.1f phones/h",
                  t.programmed / hours);
    return buf;
}

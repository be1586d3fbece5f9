// live: the live board. take() on the window thread; the readers on their own threads.
#include "live/live_board.h"

std::string live_fixture_key(const run_snapshot &run)
{
    if (run.fixture > 0)
        return std::to_string(run.fixture);
    return "NA" + std::to_string(run.row);
}

void LiveBoard::take(const run_event &ev, int first_runs, int first_runs_passed)
{
    if (ev.run.row < 0)
        return; // not a row's event: nothing to show
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++seq_;
        live_fixture &f = fixtures_[live_fixture_key(ev.run)];
        f.key = live_fixture_key(ev.run);
        f.run = ev.run;
        f.seq = seq_;
        if (ev.kind == run_event_kind::result) {
            if (ev.run.state == fixture_state::passed)
                ++tally_.programmed;
            else if (ev.run.state == fixture_state::interrupted)
                ++tally_.interrupted;
            else
                ++tally_.failed;
        }
        tally_.first_runs = first_runs;
        tally_.first_runs_passed = first_runs_passed;
    }
    for (const auto &fn : listeners_)
        fn();
}

void LiveBoard::listen(std::function<void()> fn)
{
    listeners_.push_back(std::move(fn));
}

std::vector<live_fixture> LiveBoard::changed_since(uint64_t since, uint64_t *now_seq) const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<live_fixture> out;
    for (const auto &[key, f] : fixtures_)
        if (f.seq > since)
            out.push_back(f);
    *now_seq = seq_;
    return out;
}

live_tally LiveBoard::tally() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return tally_;
}

std::map<std::string, live_fixture> LiveBoard::fixtures() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return fixtures_;
}

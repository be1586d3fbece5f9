// util: diagnostic lines kept with their run; see util/diag.h. Any thread: each thread has its
// own unfinished line and sink, the sinks and the station-wide list lock themselves.
#include "util/diag.h"

#include <cstdarg>
#include <deque>

namespace
{

thread_local std::shared_ptr<diag_sink> t_sink;
thread_local std::string t_partial; // the thread's line so far, without its end

std::mutex g_unowned_mu;
std::deque<std::string> g_unowned; // guarded by g_unowned_mu

constexpr size_t kUnownedKeep = 3;
constexpr size_t kLineMax = 1024; // a line longer than this is cut: a runaway text is no line

void keep_line(std::string_view text)
{
    if (t_sink) {
        t_sink->add(text);
        return;
    }
    std::lock_guard<std::mutex> lock(g_unowned_mu);
    g_unowned.emplace_back(text);
    if (g_unowned.size() > kUnownedKeep)
        g_unowned.pop_front();
}

void flush_partial()
{
    if (!t_partial.empty())
        keep_line(t_partial);
    t_partial.clear();
}

} // namespace

diag_sink::diag_sink(std::chrono::steady_clock::time_point start, size_t keep)
    : start_(start), keep_(keep)
{
}

void diag_sink::add(std::string_view text)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    std::lock_guard<std::mutex> lock(mu_);
    if (keep_ == 0)
        return;
    if (lines_.size() >= keep_) {
        lines_.erase(lines_.begin()); // at most a few hundred short moves, and only past the limit
        ++dropped_;
    }
    lines_.push_back(diag_line{static_cast<uint32_t>(ms < 0 ? 0 : ms), std::string(text)});
}

std::vector<diag_line> diag_sink::lines() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return {lines_.begin(), lines_.end()};
}

std::string diag_sink::last() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return lines_.empty() ? std::string() : lines_.back().text;
}

void diag_sink::release()
{
    std::lock_guard<std::mutex> lock(mu_);
    dropped_ += lines_.size();
    std::vector<diag_line>().swap(lines_);
}

uint64_t diag_sink::dropped() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return dropped_;
}

void diag_printf(FILE *stream, const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    std::string text;
    if (static_cast<size_t>(n) < sizeof buf) {
        text.assign(buf, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        va_start(ap, fmt);
        vsnprintf(text.data(), text.size(), fmt, ap);
        va_end(ap);
        text.resize(static_cast<size_t>(n));
    }
    fputs(text.c_str(), stream);
    for (char c : text) {
        if (c == '\n')
            flush_partial();
        else if (t_partial.size() < kLineMax)
            t_partial += c;
    }
}

diag_thread_scope::diag_thread_scope(std::shared_ptr<diag_sink> sink)
{
    flush_partial();
    previous_ = std::move(t_sink);
    t_sink = std::move(sink);
}

diag_thread_scope::~diag_thread_scope()
{
    flush_partial();
    t_sink = std::move(previous_);
}

std::vector<std::string> diag_unowned_lines()
{
    std::lock_guard<std::mutex> lock(g_unowned_mu);
    return {g_unowned.begin(), g_unowned.end()};
}

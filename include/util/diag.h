// util: the diagnostic lines of the protocol and station layers, each kept with the run that
// printed it. The layers print through diag_printf instead of straight to the process's
// streams: the text still goes to that stream, unchanged, and each whole line is also kept by
// the sink of the printing thread's run (a download thread names its run's sink for its whole
// life with diag_thread_scope), with its milliseconds since the run's start. Lines printed on a
// thread without a sink are kept in a short station-wide list of their own (diag_unowned_lines).
//
// Any thread. A sink is shared: its run's thread adds lines while the window thread reads them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct diag_line {
    uint32_t ms;      // since the run's start
    std::string text; // without the line end
};

class diag_sink
{
  public:
    // A run that started at `start`, keeping its last `keep` lines.
    explicit diag_sink(std::chrono::steady_clock::time_point start, size_t keep = 200);
    void add(std::string_view text);
    std::vector<diag_line> lines() const;
    std::string last() const; // the last line kept; empty when none is
    uint64_t dropped() const; // lines no longer kept because later ones came
    // Lets the lines kept so far go (a passed run's, once its record is written), so a finished
    // phone left in its fixture holds no memory for them.
    void release();

  private:
    const std::chrono::steady_clock::time_point start_;
    const size_t keep_;
    mutable std::mutex mu_;        // guards lines_ and dropped_
    std::vector<diag_line> lines_; // oldest first; empty ones allocate nothing
    uint64_t dropped_ = 0;
};

// printf to `stream` (stdout or stderr), the text also kept line by line as said above.
void diag_printf(FILE *stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Names the calling thread's sink until the scope ends (null: none). A line left unfinished is
// kept when the scope ends.
class diag_thread_scope
{
  public:
    explicit diag_thread_scope(std::shared_ptr<diag_sink> sink);
    ~diag_thread_scope();
    diag_thread_scope(const diag_thread_scope &) = delete;
    diag_thread_scope &operator=(const diag_thread_scope &) = delete;

  private:
    std::shared_ptr<diag_sink> previous_;
};

// The last lines (at most 3) printed on threads without a sink, oldest first.
std::vector<std::string> diag_unowned_lines();

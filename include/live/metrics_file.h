// live: the station's numbers for the monitoring that already runs on the PC: --metrics FILE is
// rewritten every few seconds in the Prometheus text format, for node_exporter's textfile
// collector. Started and stopped by start-up on the main thread; writes on a thread of its own
// (a slow disk never holds the window). The file is replaced atomically (a temporary file in
// the same directory, then rename), so a reader sees the old figures or the new, never half.
#pragma once

#include "live/live_board.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

struct MetricsFigures {
    live_tally tally;
    std::map<std::string, live_fixture> fixtures;
    std::optional<long> record_backlog; // records the database has not confirmed; none without
    std::optional<long> record_refused; // the factory record
    std::optional<bool> live_connected; // the live state's connection; none without
};

// The whole file's text. Station ids go in as label values, escaped as the format asks.
std::string metrics_text(const std::string &station, const MetricsFigures &figures);

// Writes `text` to `path` atomically. 0, or -errno (the temporary file is removed).
int metrics_write_file(const std::string &path, const std::string &text);

struct MetricsOptions {
    std::string path;
    std::string station;
    int period_ms = 5000;
    FILE *report = stderr; // a file that cannot be written, once until it can again
};

class MetricsWriter
{
  public:
    // `extra` (any thread, may be empty) fills the figures the board does not hold.
    MetricsWriter(MetricsOptions options, std::shared_ptr<LiveBoard> board,
                  std::function<void(MetricsFigures *)> extra);
    ~MetricsWriter(); // stop()
    MetricsWriter(const MetricsWriter &) = delete;
    MetricsWriter &operator=(const MetricsWriter &) = delete;

    int start(); // -1 when it could not be started
    void stop(); // a last write, then the thread ends. Idempotent.
    long writes() const;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

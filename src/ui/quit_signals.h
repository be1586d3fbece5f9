// ui: SIGINT, SIGTERM and SIGHUP as quit requests of the front-end's loop. Created by the terminal loop
// and by the Qt window's run() on their own (the window) thread, for as long as the station runs.
//
// The handlers only write one byte to a pipe ('i' for SIGINT, 't' for SIGTERM and for SIGHUP,
// which leaves no terminal to ask: the station stops as for a shutdown); the loop watches
// read_fd() and calls take(). The old handlers come back when the object goes.
#pragma once

#include <csignal>
#include <string>

namespace ui
{

class QuitSignals
{
  public:
    QuitSignals();
    ~QuitSignals();
    QuitSignals(const QuitSignals &) = delete;
    QuitSignals &operator=(const QuitSignals &) = delete;

    bool ok() const { return fd_[0] >= 0; }
    int read_fd() const { return fd_[0]; }
    // What arrived since the last call: 'i' per SIGINT, 't' per SIGTERM or SIGHUP.
    std::string take();

  private:
    int fd_[2] = {-1, -1};
    struct sigaction old_int_ = {}, old_term_ = {}, old_hup_ = {};
};

} // namespace ui

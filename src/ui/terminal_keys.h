// ui: single keys from a terminal, for the terminal front-end and the port learning session (on
// the thread that reads the keys). While an object lives, the terminal gives each key at once
// without echo; its old mode comes back at the end, on every way out.
#pragma once

#include <termios.h>
#include <unistd.h>

namespace ui
{

class TerminalKeys
{
  public:
    // min_bytes: how many bytes a read waits for (0: a read returns at once, for a poll loop).
    TerminalKeys(int fd, cc_t min_bytes) : fd_(fd)
    {
        if (isatty(fd_) && tcgetattr(fd_, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = min_bytes;
            raw.c_cc[VTIME] = 0;
            active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
        }
    }
    ~TerminalKeys()
    {
        if (active_)
            tcsetattr(fd_, TCSANOW, &saved_);
    }
    TerminalKeys(const TerminalKeys &) = delete;
    TerminalKeys &operator=(const TerminalKeys &) = delete;
    // False when fd is no terminal (a pipe: then whole lines arrive).
    bool active() const { return active_; }

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

} // namespace ui
